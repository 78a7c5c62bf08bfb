"""Checks that a wheel holds exactly the installed package: no sources, tests or stand-ins."""

import fnmatch
import os
import sys
import zipfile

COMMAND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ashvigil_monitor")

# Every top-level entry the wheel holds, with the files inside it (None: the entry is one file).
LAYOUT = {
    "ashvigil.cpython-*.so": None,  # the extension module
    "ashvigil-stubs": ["__init__.pyi"],  # its type stubs
    # the `ashvigil` command: every module of its source folder, its typed marker, and the version
    # module the build writes
    "ashvigil_monitor": sorted(
        [*(n for n in os.listdir(COMMAND) if n.endswith(".py") or n == "py.typed"), "_version.py"]
    ),
    "ashvigil-*.dist-info": ["METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE"],
}


def problems(names):
    found = {entry: [] for entry in LAYOUT}
    for name in names:
        top, _, inner = name.partition("/")
        entry = next((e for e in LAYOUT if fnmatch.fnmatchcase(top, e)), None)
        if entry is None or (LAYOUT[entry] is None) != (inner == ""):
            yield f"unexpected file {name}"
        else:
            found[entry].append(inner or top)
    for entry, wanted in LAYOUT.items():
        got = found[entry]
        if wanted is None and len(got) != 1:
            yield f"{entry}: expected one file, found {got}"
        elif wanted is not None and sorted(got) != sorted(wanted):
            yield f"{entry}/: expected {sorted(wanted)}, found {sorted(got)}"


def main(path):
    with zipfile.ZipFile(path) as wheel:
        names = [n for n in wheel.namelist() if not n.endswith("/")]
    found = list(problems(names))
    for line in found:
        print(f"{path}: {line}", file=sys.stderr)
    print(f"{path}: {len(names)} files, {'bad' if found else 'as expected'}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
