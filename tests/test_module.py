"""The module's surface: namespace, function objects, signatures and the argument checks."""

import ctypes.util
import datetime
import importlib
import inspect
import itertools
import json
import os
import pickle
import re
import subprocess
import sys
import time
import typing
import urllib.error
import urllib.parse
import urllib.request

import pytest

# Every exported function with its signature, in the order the namespace lists them.
SIGNATURES = {
    "api_base": "() -> 'str'",
    "request_headers": "(auth: 'str') -> 'dict[str, str]'",
    "taostats_auth": "() -> 'str | None'",
    "http_get_json": "(path: 'str', params: 'dict[str, Any]', auth: 'str') -> 'dict[str, Any] | None'",
    "is_rate_limited": "(payload: 'dict[str, Any]') -> 'bool'",
    "with_retries": "(path: 'str', params: 'dict[str, Any]', auth: 'str', *, max_retries: 'int' = 6)"
    " -> 'dict[str, Any]'",
    "fetch_all_subnets_latest": "(auth: 'str') -> 'list[dict[str, Any]] | dict[str, Any]'",
    "owner_burn_from_row": "(row: 'dict[str, Any]') -> 'str'",
    "format_owner_burn": "(value: 'str') -> 'str'",
    "owner_burn_changed": "(old: 'str', new: 'str', threshold: 'float') -> 'bool'",
    "load_burn_state": "(path: 'str') -> 'dict[str, str]'",
    "save_burn_state": "(path: 'str', burns: 'dict[str, str]', updated_at: 'str') -> 'None'",
    "diff_burns": "(prev: 'dict[str, str]', current: 'dict[str, str]', threshold: 'float')"
    " -> 'list[tuple[str, str, str]]'",
    "format_burn_alert": "(changes: 'list[tuple[str, str, str]]', updated_at: 'str') -> 'str'",
    "format_burn_snapshot": "(rows: 'list[dict[str, Any]]', updated_at: 'str') -> 'str'",
    "_chunk_text": "(text: 'str', max_len: 'int' = 3900) -> 'list[str]'",
    "send_burn_telegram_messages": "(text: 'str', token: 'str', chat_id: 'str') -> 'tuple[bool, str]'",
    "send_burn_telegram": "(text: 'str', token: 'str', chat_id: 'str') -> 'tuple[bool, str]'",
    "run_ashvigil_once": "(*, state_path: 'str', threshold: 'float', burn_token: 'str', burn_chat_id: 'str') -> 'int'",
    "run_burn_startup_snapshot": "(*, state_path: 'str', burn_token: 'str', burn_chat_id: 'str') -> 'int'",
    "_burn_is_paused": "(pause_path: 'str') -> 'bool'",
    "_sleep_until_interval": "(interval_seconds: 'float', pause_path: 'str') -> 'bool'",
    "run_burn_poll_loop": "(*, state_path: 'str', threshold: 'float', interval_minutes: 'float', "
    "burn_token: 'str', burn_chat_id: 'str', pause_path: 'str' = '') -> 'None'",
}
DOCS = {
    "run_burn_startup_snapshot": "Fetch all subnets and send full burn-rate snapshot to burn Telegram.",
    "_sleep_until_interval": "Sleep in 1s steps. Returns False if paused before interval elapsed.",
}
SUBCLASS_SENTENCE = (
    "Subclasses of built-in types are not accepted; convert the value to the exact built-in type before passing it"
)


def exported(av):
    return [name for name in SIGNATURES if name in vars(av)]


def test_namespace_is_filled_in_order(av):
    # A fresh interpreter: tests elsewhere delete and restore names, which moves them to the end.
    code = "import ashvigil; print(' '.join(k for k in vars(ashvigil) if not k.startswith('__')))"
    names = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    assert names[:9] == ["json", "os", "sys", "time", "urllib", "datetime", "timezone", "Any", "OWNER_BURN_DECIMALS"]
    assert names[9:] == exported(av)
    assert av.OWNER_BURN_DECIMALS == 4
    assert type(av.OWNER_BURN_DECIMALS) is int


def test_host_names_are_the_hosts_own(av):
    assert av.json is json
    assert av.os is os
    assert av.sys is sys
    assert av.time is time
    assert av.urllib.request is urllib.request
    assert av.urllib.error is urllib.error
    assert av.urllib.parse is urllib.parse
    assert av.datetime is datetime.datetime
    assert av.timezone is datetime.timezone
    assert av.Any is typing.Any


def test_second_import_returns_the_same_module(av):
    assert importlib.import_module("ashvigil") is av
    import ashvigil as again

    assert again is av


def test_import_after_removal_gives_the_same_module():
    code = (
        "import sys, ashvigil as a\ndel sys.modules['ashvigil']\nimport ashvigil as b\n"
        "class T:\n    def sleep(self, s): raise SystemExit(7)\n"
        "b.time = T()\nprint(a is b)\na._sleep_until_interval(1, '')"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.stdout, done.returncode) == ("True\n", 7)


def test_call_cycles_through_the_namespace_end_in_recursion_error(av, monkeypatch):
    monkeypatch.setattr(av, "http_get_json", av.with_retries)
    with pytest.raises(RecursionError):
        av.with_retries("/x", {}, "k")


DEEP_CYCLE = """
import sys, threading, ashvigil as av
sys.setrecursionlimit(100000)

def through_python(path, params, auth):
    return av.with_retries(path, params, auth)

def cycle(replacement):
    av.http_get_json = replacement
    try:
        av.with_retries("/x", {}, "k")
    except RecursionError:
        return "RecursionError"

results = [cycle(av.with_retries), cycle(through_python)]
threading.stack_size(256 * 1024)
thread = threading.Thread(target=lambda: results.extend([cycle(av.with_retries), cycle(through_python)]))
thread.start()
thread.join()
print(*results)
"""


def test_cycles_end_in_recursion_error_at_a_high_limit_and_on_a_small_stack():
    # The depth the limit allows would overflow the C stack: on the main thread and in a thread
    # of 256 KiB, directly and through a Python function between the calls.
    done = subprocess.run([sys.executable, "-c", DEEP_CYCLE], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, " ".join(["RecursionError"] * 4) + "\n"), done.stderr


def test_calls_work_on_the_smallest_thread_stack():
    # Only a nested call can be part of a runaway cycle; a first call needs no room for one.
    # 64 KiB, or the system's least where that is more (128 KiB on aarch64).
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            """
import os, threading, ashvigil
threading.stack_size(max(64 * 1024, os.sysconf("SC_THREAD_STACK_MIN")))
out = []
thread = threading.Thread(target=lambda: out.append(ashvigil.format_owner_burn("0.25")))
thread.start()
thread.join()
print(out)
""",
        ],
        capture_output=True,
        text=True,
    )
    assert (done.returncode, done.stdout) == (0, "['0.2500']\n"), done.stderr


ALLOCATION_FAILURE = """
import resource, ashvigil
text = "x" * (64 << 20)  # made before the limit; the body needs four bytes a character for it
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (128 << 20), resource.RLIM_INFINITY))
try:
    ashvigil._chunk_text(text, 3900)
except MemoryError as e:
    print(type(e).__name__)
print(ashvigil._chunk_text("a", 3))
"""


@pytest.mark.skipif(
    bool(os.environ.get("ASHVIGIL_SANITIZED")),
    reason="the sanitizer's allocator reserves the address space and aborts on failure",
)
@pytest.mark.skipif(
    bool(os.environ.get("ASHVIGIL_EMULATED")), reason="qemu-user keeps the address-space limit to itself"
)
@pytest.mark.parametrize("preload", [None, "stdc++"])
def test_allocation_failure_in_a_body_raises_memory_error(preload):
    # With libstdc++ loaded too, a module that links its C++ runtime statically must still
    # allocate, throw and catch with its own.
    env = dict(os.environ)
    if preload:
        library = ctypes.util.find_library(preload)
        if library is None:
            pytest.skip(f"lib{preload} not found")
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), library]))
    done = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE], env=env, capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "MemoryError\n['a']\n"), done.stderr


@pytest.mark.parametrize(
    ("name", "replacement", "outcome"),
    [
        ("format_owner_burn", "load_burn_state", "SN1: {} \u2192 {}"),  # exact types: its own body runs
        ("format_owner_burn", "_chunk_text", "SN1: ['0.5'] \u2192 ['0.6']"),  # a default to fill
        ("format_owner_burn", "owner_burn_from_row", "Argument 'row' has incorrect type (expected dict, got str)"),
        ("format_owner_burn", "api_base", "api_base() takes 0 positional arguments but 1 was given"),
    ],
)
def test_sibling_replaced_by_another_function_is_called_as_that_function(av, monkeypatch, name, replacement, outcome):
    monkeypatch.setattr(av, name, getattr(av, replacement))
    try:
        result = av.format_burn_alert([("1", "0.5", "0.6")], "T").split("\n")[-1]
    except TypeError as e:
        result = str(e)
    assert result == outcome


def test_the_foundation_functions_are_exported(av):
    for name in [
        "owner_burn_from_row",
        "format_owner_burn",
        "owner_burn_changed",
        "load_burn_state",
        "save_burn_state",
        "diff_burns",
    ]:
        assert callable(getattr(av, name))


@pytest.fixture(params=list(SIGNATURES))
def fn(request, av):
    if request.param not in vars(av):
        pytest.skip(f"{request.param} is not built")
    return getattr(av, request.param)


def test_signature_and_attributes(fn):
    name = fn.__name__
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__qualname__ == name
    assert fn.__module__ == "ashvigil"
    assert fn.__doc__ == DOCS[name] if name in DOCS else fn.__doc__.strip()
    sig = inspect.signature(fn)
    expected = {p.name: p.annotation for p in sig.parameters.values()}
    expected["return"] = sig.return_annotation
    assert fn.__annotations__ == expected
    assert all(isinstance(v, str) for v in fn.__annotations__.values())


def test_annotation_texts_resolve_in_the_module_namespace(fn, av):
    assert fn.__globals__ is vars(av)
    hints = typing.get_type_hints(fn)
    assert hints.keys() == fn.__annotations__.keys()
    assert not any(isinstance(v, (str, typing.ForwardRef)) for v in hints.values())
    evaluated = inspect.get_annotations(fn, eval_str=True)
    assert hints == {k: type(None) if v is None else v for k, v in evaluated.items()}
    # inspect hands back __signature__ as it is, so the texts stay texts there.
    assert str(inspect.signature(fn, eval_str=True)) == SIGNATURES[fn.__name__]
    with pytest.raises(AttributeError):
        fn.__globals__ = {}


def test_annotations_name_the_host_types(av):
    hints = typing.get_type_hints(av.with_retries)
    assert hints["params"] == dict[str, typing.Any]
    assert hints["max_retries"] is int
    assert typing.get_type_hints(av.taostats_auth)["return"] == str | None
    assert typing.get_type_hints(av.diff_burns)["return"] == list[tuple[str, str, str]]


def test_defaults_are_exposed_as_on_python_functions(fn):
    defaults = {
        "_chunk_text": ((3900,), None),
        "with_retries": (None, {"max_retries": 6}),
        "run_burn_poll_loop": (None, {"pause_path": ""}),
    }
    assert (fn.__defaults__, fn.__kwdefaults__) == defaults.get(fn.__name__, (None, None))


def test_functions_look_like_routines(fn):
    assert inspect.isroutine(fn)
    assert callable(fn)
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert not hasattr(fn, "__text_signature__") or fn.__text_signature__ is None
    fn.custom = 1  # functions carry arbitrary attributes
    assert fn.__dict__["custom"] == 1
    del fn.custom


# A function taken out of the namespace and kept only by a reference cycle through one of its
# members: the collector must see the member (traverse) and break the cycle (clear).
CYCLE_THROUGH_A_MEMBER = """
import gc, weakref, ashvigil
class Holder: pass
fn = ashvigil.{name}
del ashvigil.{name}
holder = Holder()
holder.fn = fn
{link}
fn.__signature__, fn.__annotations__  # the members made on first use are there too
gone = weakref.ref(holder)
del fn, holder
gc.collect()
print(gone() is None)
"""


@pytest.mark.parametrize("name", ["with_retries", "format_burn_alert"])
@pytest.mark.parametrize("link", ["fn.__dict__['holder'] = holder", "fn.__annotations__['holder'] = holder"])
def test_collector_frees_a_cycle_through_a_function(name, link):
    code = CYCLE_THROUGH_A_MEMBER.format(name=name, link=link)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout.strip()) == (0, "True"), done.stderr


def python_twin(fn):
    """A Python function with the same name and signature, as the oracle for binding errors."""
    sig = inspect.signature(fn).replace(return_annotation=inspect.Signature.empty)
    plain = sig.replace(parameters=[p.replace(annotation=inspect.Parameter.empty) for p in sig.parameters.values()])
    namespace = {}
    exec(f"def {fn.__name__}{plain}: pass", namespace)
    return namespace[fn.__name__]


def binding_calls(fn):
    params = list(inspect.signature(fn).parameters)
    names = [*params, "bogus"]
    for npos in range(len(params) + 2):
        for kws in itertools.chain.from_iterable(itertools.combinations(names, k) for k in range(3)):
            yield tuple(range(npos)), {k: 0 for k in kws}


def test_binding_errors_match_python(fn):
    twin = python_twin(fn)
    for args, kwargs in binding_calls(fn):
        try:
            twin(*args, **kwargs)
        except TypeError as e:
            with pytest.raises(TypeError, match=f"^{re.escape(str(e))}$"):
                fn(*args, **kwargs)


KIND_OF = {
    "str": "text",
    "dict[str, Any]": "mapping",
    "dict[str, str]": "mapping",
    "list[str]": "list",
    "list[dict[str, Any]]": "list",
    "list[tuple[str, str, str]]": "list",
    "float": "real",
    "int": "integer",
}
VALID = {"text": "x", "mapping": {}, "list": [], "real": 1.0, "integer": 1}
EXPECTED_NAME = {"text": "str", "mapping": "dict", "list": "list"}


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


SUBCLASS = {"text": StrSub("x"), "mapping": DictSub(), "list": ListSub()}
WRONG = {"text": b"x", "mapping": [("a", 1)], "list": ("a",)}


def checked_params(fn):
    for p in inspect.signature(fn).parameters.values():
        yield p.name, KIND_OF[p.annotation]


def call_with(fn, bad_name, bad_value):
    kwargs = {name: (bad_value if name == bad_name else VALID[kind]) for name, kind in checked_params(fn)}
    return fn(**kwargs)


def test_exact_type_checks(fn):
    for name, kind in checked_params(fn):
        if kind not in EXPECTED_NAME:
            continue
        want = EXPECTED_NAME[kind]
        for bad in (None, WRONG[kind]):
            with pytest.raises(TypeError) as e:
                call_with(fn, name, bad)
            assert str(e.value) == (f"Argument '{name}' has incorrect type (expected {want}, got {type(bad).__name__})")
        with pytest.raises(TypeError) as e:
            call_with(fn, name, SUBCLASS[kind])
        assert str(e.value) == (
            f"Argument '{name}' has incorrect type (expected {want}, "
            f"got {type(SUBCLASS[kind]).__name__}). {SUBCLASS_SENTENCE}"
        )


def test_numeric_parameters_convert_first(fn):
    for name, kind in checked_params(fn):
        if kind == "real":
            # The float conversion's own error, raised before any other argument is looked at.
            kwargs = {n: (VALID[k] if k in ("real", "integer") else None) for n, k in checked_params(fn)}
            with pytest.raises(TypeError, match="must be real number, not str"):
                fn(**{**kwargs, name: "0.5"})
        elif kind == "integer":
            for bad in ("5", None, [1]):
                with pytest.raises(TypeError) as e:
                    call_with(fn, name, bad)
                assert str(e.value) == (
                    f"Argument '{name}' has incorrect type (expected int, got {type(bad).__name__})"
                )
            with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
                call_with(fn, name, float("nan"))


def test_real_parameter_accepts_numbers(av):
    class Number:
        def __float__(self):
            return 0.45

    assert av.owner_burn_changed("0.1", "0.5", 0) is True
    assert av.owner_burn_changed("0.1", "0.5", Number()) is False
    assert av.owner_burn_changed("0.1", "0.5", True) is False
