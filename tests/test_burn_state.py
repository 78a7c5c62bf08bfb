"""The burn state file: exact layout, loading back, failure modes and the atomic replacement."""

import fcntl
import json
import os
import shlex
import shutil
import stat
import subprocess
import sys
import textwrap
import time
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import assert_no_leak

STAMP = "2025-01-02T03:04:05Z"
any_text = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=()), max_size=12)


def expected_bytes(burns, stamp=STAMP):
    return (json.dumps({"owner_burn_rate": burns, "updated_at_utc": stamp}, indent=2, sort_keys=True) + "\n").encode()


@given(st.dictionaries(any_text, any_text, max_size=8), any_text)
def test_layout_matches_json_dumps(tmp_path_factory, burns, stamp):
    import ashvigil

    path = tmp_path_factory.mktemp("state") / "state.json"
    ashvigil.save_burn_state(str(path), burns, stamp)
    assert path.read_bytes() == expected_bytes(burns, stamp)
    assert ashvigil.load_burn_state(str(path)) == burns


def test_layout_example(av, tmp_path):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"2": "0.5", "10": "1", "1": "0"}, STAMP)
    assert path.read_text() == (
        '{\n  "owner_burn_rate": {\n    "1": "0",\n    "10": "1",\n    "2": "0.5"\n  },\n'
        f'  "updated_at_utc": "{STAMP}"\n}}\n'
    )
    av.save_burn_state(str(path), {}, STAMP)
    assert path.read_text() == f'{{\n  "owner_burn_rate": {{}},\n  "updated_at_utc": "{STAMP}"\n}}\n'


def test_lone_surrogates_and_astral_characters_are_escaped(av, tmp_path):
    path = tmp_path / "s.json"
    burns = {"1": "\ud800x\U0001f600\x7f\u2192"}
    av.save_burn_state(str(path), burns, STAMP)
    assert path.read_bytes() == expected_bytes(burns)
    assert av.load_burn_state(str(path)) == burns


@pytest.mark.parametrize(
    ("text", "escaped"),
    [
        ('"', r"\""),
        ("\\", r"\\"),
        ("\b", r"\b"),
        ("\f", r"\f"),
        ("\n", r"\n"),
        ("\r", r"\r"),
        ("\t", r"\t"),
        ("\x01", r"\u0001"),
        ("\U0001f600", r"\ud83d\ude00"),
    ],
)
def test_each_escape_is_written_and_read_back(av, tmp_path, text, escaped):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"1": f"a{text}b"}, STAMP)
    assert f'"1": "a{escaped}b"' in path.read_text()
    assert av.load_burn_state(str(path)) == {"1": f"a{text}b"}


def test_escaped_solidus_is_read_back(av, tmp_path):
    path = tmp_path / "s.json"
    path.write_text(expected_bytes({"1": "a/b"}).decode().replace("a/b", r"a\/b"))
    assert av.load_burn_state(str(path)) == {"1": "a/b"}


@pytest.mark.parametrize("burns", [{"1": 0.5, "2": None, "3": True}, {1: "a", 2: "b"}, {"1": ["x", 2]}])
def test_other_contents_are_written_by_the_host(av, tmp_path, burns):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), burns, STAMP)
    assert path.read_bytes() == expected_bytes(burns)


@pytest.mark.parametrize(
    "content",
    [
        "",
        "{}",
        "   \n",
        '{"owner_burn_rate": [1]}',
        '{"owner_burn_rate": "x"}',
        '{"owner_burn_rate": null}',
        '{"owner_burn_rate": {"1": "0.5"',
        "{} {}",
        '\ufeff{"owner_burn_rate": {"1": "0.5"}}',
        '{"a": "\x01"}',
    ],
)
def test_unusable_files_load_as_empty(av, tmp_path, content):
    path = tmp_path / "s.json"
    path.write_text(content, encoding="utf-8")
    assert av.load_burn_state(str(path)) == {}


def test_missing_paths_and_directories_load_as_empty(av, tmp_path):
    assert av.load_burn_state(str(tmp_path / "missing.json")) == {}
    assert av.load_burn_state(str(tmp_path)) == {}
    assert av.load_burn_state("bad\0path") == {}


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_loads_as_empty(av, tmp_path):
    path = tmp_path / "s.json"
    path.write_text('{"owner_burn_rate": {"1": "2"}}')
    path.chmod(0)
    assert av.load_burn_state(str(path)) == {}


def test_stored_values_come_back_as_texts(av, tmp_path):
    path = tmp_path / "s.json"
    path.write_text(
        '{"x": 1, "owner_burn_rate": {"1": 0.5, "2": 3, "3": true, "4": null, "5": [1, "a"], '
        '"6": 1e-05, "7": NaN, "1": 0.25}}'
    )
    assert av.load_burn_state(str(path)) == {
        "1": "0.25",
        "2": "3",
        "3": "True",
        "4": "None",
        "5": "[1, 'a']",
        "6": "1e-05",
        "7": "nan",
    }


@pytest.mark.parametrize(
    ("content", "error"),
    [
        (b"[1, 2]", "'list' object has no attribute 'get'"),
        (b'"x"', "'str' object has no attribute 'get'"),
        (b"null", "'NoneType' object has no attribute 'get'"),
    ],
)
def test_non_object_documents_raise_attribute_error(av, tmp_path, content, error):
    path = tmp_path / "s.json"
    path.write_bytes(content)
    with pytest.raises(AttributeError, match=error):
        av.load_burn_state(str(path))


def test_invalid_utf8_raises_decode_error(av, tmp_path):
    path = tmp_path / "s.json"
    path.write_bytes(b'{"owner_burn_rate": {"1": "\xff"}}')
    with pytest.raises(UnicodeDecodeError):
        av.load_burn_state(str(path))


def test_load_uses_the_hosts_isfile(av, tmp_path, monkeypatch):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"1": "2"}, STAMP)
    monkeypatch.setattr(av.os.path, "isfile", lambda p: False)
    assert av.load_burn_state(str(path)) == {}


def test_missing_directory_raises_and_creates_nothing(av, tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        av.save_burn_state(str(tmp_path / "no" / "s.json"), {"1": "2"}, STAMP)
    assert e.value.filename == str(tmp_path / "no" / "s.json")
    assert list(tmp_path.iterdir()) == []


def test_directory_at_the_path_raises(av, tmp_path):
    with pytest.raises(IsADirectoryError):
        av.save_burn_state(str(tmp_path), {"1": "2"}, STAMP)


def test_unwritable_values_fail_and_keep_the_old_file(av, tmp_path):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"1": "old"}, STAMP)
    before = path.read_bytes()
    with pytest.raises(TypeError, match="not JSON serializable"):
        av.save_burn_state(str(path), {"1": {1, 2}}, STAMP)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["s.json"]


@pytest.mark.parametrize(
    ("name", "error"),
    [("", FileNotFoundError), ("dir/", IsADirectoryError), ("file.json/", IsADirectoryError), ("loop", OSError)],
)
def test_paths_open_would_refuse(av, tmp_path, monkeypatch, name, error):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "loop").symlink_to("loop")
    with pytest.raises(error) as e:
        av.save_burn_state(name, {"1": "2"}, STAMP)
    assert e.value.filename == name
    assert sorted(os.listdir(tmp_path)) == ["loop"]
    assert os.path.islink(tmp_path / "loop")


def test_errors_come_in_the_order_open_then_write_raises_them(av, tmp_path):
    with pytest.raises(FileNotFoundError):
        av.save_burn_state(str(tmp_path / "no" / "s.json"), {"1": object()}, STAMP)
    with pytest.raises(TypeError):
        av.save_burn_state(str(tmp_path / "s.json"), {"1": object()}, STAMP)
    assert os.listdir(tmp_path) == []


def test_long_file_names_are_written(av, tmp_path):
    path = tmp_path / ("s" * 250)
    av.save_burn_state(str(path), {"1": "2"}, STAMP)
    assert path.read_bytes() == expected_bytes({"1": "2"})
    assert len(os.listdir(tmp_path)) == 1


def test_stored_map_changed_while_read_is_refused(av, monkeypatch, tmp_path):
    class Key(str):
        def __str__(self):
            stored.clear()
            return "k"

    stored = {Key("1"): "a", "2": "b"}
    monkeypatch.setattr(
        av,
        "json",
        types.SimpleNamespace(loads=lambda text: {"owner_burn_rate": stored}, JSONDecodeError=json.JSONDecodeError),
    )
    path = tmp_path / "s.json"
    path.write_text("{}")
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        av.load_burn_state(str(path))


def test_symbolic_link_is_followed(av, tmp_path):
    target = tmp_path / "real.json"
    link = tmp_path / "link.json"
    link.symlink_to("real.json")
    av.save_burn_state(str(link), {"1": "2"}, STAMP)
    assert link.is_symlink()
    assert target.read_bytes() == expected_bytes({"1": "2"})
    assert sorted(os.listdir(tmp_path)) == ["link.json", "real.json"]


def test_modes_new_file_and_existing_file(av, tmp_path):
    old_umask = os.umask(0o027)
    try:
        fresh = tmp_path / "new.json"
        av.save_burn_state(str(fresh), {}, STAMP)
        assert stat.S_IMODE(fresh.stat().st_mode) == 0o640
    finally:
        os.umask(old_umask)
    kept = tmp_path / "kept.json"
    kept.write_text("{}")
    kept.chmod(0o604)
    av.save_burn_state(str(kept), {"1": "2"}, STAMP)
    assert stat.S_IMODE(kept.stat().st_mode) == 0o604
    assert sorted(os.listdir(tmp_path)) == ["kept.json", "new.json"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root may create files in any directory")
def test_locked_directory_falls_back_to_rewriting_in_place(av, tmp_path):
    path = tmp_path / "s.json"
    path.write_text("{}")
    tmp_path.chmod(0o555)
    try:
        av.save_burn_state(str(path), {"1": "2"}, STAMP)
    finally:
        tmp_path.chmod(0o755)
    assert path.read_bytes() == expected_bytes({"1": "2"})


FAIL_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
static int failing(const char *name) {
    const char *which = getenv("ASHVIGIL_TEST_FAIL");
    return which && strcmp(which, name) == 0;
}
int fsync(int fd) {
    if (failing("fsync")) { errno = EIO; return -1; }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}
int rename(const char *a, const char *b) {
    if (failing("rename")) { errno = EXDEV; return -1; }
    int (*real)(const char *, const char *) = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    return real(a, b);
}
"""


@pytest.fixture(scope="module")
def fail_shim(tmp_path_factory):
    # Built for the interpreter's own machine: ASHVIGIL_TEST_CC names a compiler aimed at it when
    # the tests run on another architecture or where the system has none.
    compiler = shlex.split(os.environ.get("ASHVIGIL_TEST_CC", "cc"))
    if shutil.which(compiler[0]) is None:
        pytest.skip(f"no C compiler ({compiler[0]}) for the failing-call shim")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(FAIL_SHIM)
    subprocess.run(
        [*compiler, "-shared", "-fPIC", "-o", str(folder / "shim.so"), str(folder / "shim.c"), "-ldl"], check=True
    )
    return str(folder / "shim.so")


def save_in_child(path, env, prelude=""):
    code = (
        "import ashvigil\n"
        + prelude
        + textwrap.dedent(f"""
        try:
            ashvigil.save_burn_state({str(path)!r}, {{"1": "new" * 100000}}, "T")
        except OSError as e:
            print(type(e).__name__, e.errno)
    """)
    )
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("call", ["fsync", "rename"])
def test_failure_after_writing_keeps_the_old_file(av, tmp_path, fail_shim, call):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"1": "old"}, STAMP)
    before = path.read_bytes()
    env = dict(os.environ, ASHVIGIL_TEST_FAIL=call)
    env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), fail_shim]))
    out = save_in_child(path, env)
    assert out.split()[0] == "OSError"
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["s.json"]


def test_full_disk_keeps_the_old_file(av, tmp_path):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"1": "old"}, STAMP)
    before = path.read_bytes()
    limit = (
        "import resource, signal\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
    )
    out = save_in_child(path, dict(os.environ), limit)
    assert out.split() == ["OSError", "27"]  # EFBIG
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["s.json"]


def ended_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def test_temporary_files_of_ended_processes_are_removed(av, tmp_path):
    dead = ended_pid()
    left = [f".ashvigil-{dead}-3.tmp", f".ashvigil-{ended_pid()}-12.tmp"]
    kept = [
        f".ashvigil-{os.getppid()}-1.tmp",
        f".ashvigil-{os.getpid()}-9.tmp",  # live processes: in progress
        f".ashvigil-{dead}-1.tmp.bak",
        f".ashvigil-{dead}.tmp",
        ".ashvigil-x-1.tmp",
        "s.json.tmp",
    ]
    for name in left + kept:
        (tmp_path / name).write_text("partial")
    av.save_burn_state(str(tmp_path / "s.json"), {"1": "2"}, STAMP)
    assert sorted(os.listdir(tmp_path)) == sorted([*kept, "s.json"])


@pytest.mark.parametrize("name", ["+{pid}-1", " {pid}-2", "{pid}--3", "{pid}-+4", "0{pid}-5"])
def test_names_the_module_never_makes_are_kept(av, tmp_path, name):
    stray = tmp_path / (".ashvigil-" + name.format(pid=ended_pid()) + ".tmp")
    stray.write_text("not ours")
    av.save_burn_state(str(tmp_path / "s.json"), {"1": "2"}, STAMP)
    assert stray.exists()


def test_temporary_file_still_locked_by_a_save_is_kept(av, tmp_path):
    # A process id that looks ended may belong to another PID namespace or host sharing the
    # directory; the lock a saving process holds on its file tells.
    busy = tmp_path / f".ashvigil-{ended_pid()}-7.tmp"
    busy.write_text("partial")
    with open(busy) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        av.save_burn_state(str(tmp_path / "s.json"), {"1": "2"}, STAMP)
        assert busy.exists()
    av.save_burn_state(str(tmp_path / "s.json"), {"1": "2"}, STAMP)
    assert not busy.exists()


SAVING_CHILD = """
import sys, ashvigil
print(flush=True)
for i in range(1, 10 ** 6):
    ashvigil.save_burn_state(sys.argv[1], {"v": str(i) * 50000}, "T")
"""


def test_kills_during_saves_leave_a_whole_file_and_no_temporary_one(av, tmp_path):
    path = tmp_path / "s.json"
    for k in range(8):
        child = subprocess.Popen([sys.executable, "-c", SAVING_CHILD, str(path)], stdout=subprocess.PIPE)
        child.stdout.readline()
        time.sleep(0.01 * (k + 1))
        child.kill()
        child.wait()
        child.stdout.close()
        if path.exists():
            version = json.loads(path.read_text())["owner_burn_rate"]["v"]
            assert path.read_bytes() == expected_bytes({"v": version}, "T")
    av.save_burn_state(str(path), {"1": "2"}, STAMP)
    assert os.listdir(tmp_path) == ["s.json"]


def test_state_functions_do_not_leak(av, tmp_path):
    good, array = tmp_path / "good.json", tmp_path / "array.json"
    array.write_text("[]")

    def calls():
        av.save_burn_state(str(good), {"1": "0.5", "2": "x\u2192"}, STAMP)
        av.save_burn_state(str(good), {"1": 0.5}, STAMP)
        av.load_burn_state(str(good))
        for bad in (
            lambda: av.load_burn_state(str(array)),
            lambda: av.save_burn_state(str(tmp_path), {}, STAMP),
            lambda: av.save_burn_state(str(good), {"1": {1}}, STAMP),
        ):
            try:
                bad()
            except (AttributeError, OSError, TypeError):
                pass

    assert_no_leak(calls, calls=100)


# --- the native reader of the file's own layout, held to json.loads --------------------------------


def reference_load(path):
    """What load_burn_state does with the host's json.loads."""
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            data = json.loads(f.read())
    except (OSError, json.JSONDecodeError):
        return {}
    stored = data.get("owner_burn_rate")
    return {str(k): str(v) for k, v in stored.items()} if isinstance(stored, dict) else {}


def outcome(load, path):
    try:
        return "ok", load(path)
    except Exception as e:  # noqa: BLE001 - the kind of failure is what is compared
        return "error", type(e)


burn_maps = st.dictionaries(st.text(max_size=6), st.text(max_size=8), max_size=8)


@given(burn_maps, st.text(max_size=4), st.data())
def test_own_layout_reads_as_json_loads_reads_it(tmp_path_factory, burns, stamp, data):
    import ashvigil

    path = tmp_path_factory.mktemp("layout") / "state.json"
    ashvigil.save_burn_state(str(path), burns, stamp)
    assert ashvigil.load_burn_state(str(path)) == burns
    # Edited copies: whatever the native reader takes must read as json.loads reads it.
    raw = path.read_bytes()
    at = data.draw(st.integers(0, len(raw)))
    cut = data.draw(st.integers(0, 3))
    insert = data.draw(st.binary(max_size=3) | st.sampled_from([b"\\u0041", b"\\ud83d\\ude00", b"\\/", b" ", b"\x7f"]))
    path.write_bytes(raw[:at] + insert + raw[at + cut :])
    assert outcome(ashvigil.load_burn_state, str(path)) == outcome(reference_load, str(path))


def test_replaced_json_loads_is_used_for_the_own_layout(av, monkeypatch, tmp_path):
    path = tmp_path / "s.json"
    av.save_burn_state(str(path), {"1": "0.5"}, STAMP)
    monkeypatch.setattr(av.json, "loads", lambda text: {"owner_burn_rate": {"1": "patched"}})
    assert av.load_burn_state(str(path)) == {"1": "patched"}


def test_json_loads_replaced_before_the_import_is_used():
    # Only the json module's own loads may be read past; a wrapper in place at import is honoured.
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            """
import json, sys, tempfile, os
real, calls = json.loads, []
json.loads = lambda text: calls.append(1) or real(text)
import ashvigil
path = os.path.join(tempfile.mkdtemp(), "s.json")
ashvigil.save_burn_state(path, {"1": "0.5"}, "T")
print(ashvigil.load_burn_state(path), len(calls))
""",
        ],
        capture_output=True,
        text=True,
    )
    assert (done.returncode, done.stdout) == (0, "{'1': '0.5'} 1\n"), done.stderr
