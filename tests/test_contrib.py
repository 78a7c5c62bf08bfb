"""contrib/: the image of the command."""

import pathlib
import re
import shutil
import subprocess
import uuid

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONTRIB = ROOT / "contrib"


def container_engine():
    """docker or podman when it answers within a few seconds, else None and why not."""
    why = []
    for engine in ("docker", "podman"):
        if shutil.which(engine) is None:
            why.append(f"no {engine}")
            continue
        try:
            if subprocess.run([engine, "info"], capture_output=True, timeout=10).returncode == 0:
                return engine, ""
            why.append(f"`{engine} info` fails")
        except subprocess.TimeoutExpired:
            why.append(f"`{engine} info` does not answer")
    return None, ", ".join(why)


@pytest.mark.full_run
def test_the_image_runs_the_command_from_the_wheel_as_a_user():
    engine, why = container_engine()
    if engine is None:
        pytest.skip(f"no container engine can run here ({why}): contrib/Containerfile is not built")
    tag = f"ashvigil-test:{uuid.uuid4().hex[:12]}"
    build = [engine, "build", "-f", str(CONTRIB / "Containerfile"), "-t", tag, str(ROOT)]
    built = subprocess.run(build, capture_output=True, text=True, timeout=1800)
    try:
        assert built.returncode == 0, built.stderr[-3000:]
        run = [engine, "run", "--rm", "--network=none"]
        version = re.search(r'^version = "(.+?)"', (ROOT / "pyproject.toml").read_text(), re.M)[1]
        said = subprocess.run([*run, tag, "--version"], capture_output=True, text=True, timeout=120)
        assert said.stdout == f"ashvigil {version}\n"
        user = subprocess.run([*run, "--entrypoint", "id", tag, "-u"], capture_output=True, text=True, timeout=120)
        assert user.stdout.strip() not in ("", "0")
    finally:
        subprocess.run([engine, "rmi", "-f", tag], capture_output=True, timeout=120)
