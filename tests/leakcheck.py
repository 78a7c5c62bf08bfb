"""Reference-leak check: a function called many times must not keep allocating blocks."""

import gc
import itertools
import sys


def assert_no_leak(call, calls=200, rounds=6, warmup=None):
    """Runs `call()` calls x rounds times; fails when blocks grow by about one per call or more.

    `call` should take the success and the error paths of the function under test (catch the
    expected exceptions inside it). Under PYTHONMALLOC=malloc the count is not kept, and the
    check passes trivially; the sanitizer run covers memory errors instead.
    """
    if sys.getallocatedblocks() == 0:  # PYTHONMALLOC=malloc keeps no count: just take the paths once
        call()
        return
    for _ in range(2 * calls if warmup is None else warmup):  # the host's own caches settle first
        call()
    gc.collect()
    counts = []
    for _ in range(rounds):
        for _ in range(calls):
            call()
        sys._clear_type_cache()  # it holds attribute names until it fills up
        gc.collect()
        counts.append(sys.getallocatedblocks())
    # A leak grows every round; caches that are still settling grow less each time.
    growth = min(b - a for a, b in itertools.pairwise(counts)) / calls
    assert growth < 0.5, f"allocated blocks grew {growth:.2f} per call: {counts}"
