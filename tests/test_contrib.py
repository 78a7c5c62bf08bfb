"""contrib/: the compose file for two monitors on one PostgreSQL database, and the image they run."""

import pathlib
import re
import shutil
import subprocess
import urllib.parse
import uuid

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONTRIB = ROOT / "contrib"


def block_yaml(text):
    """Block-style YAML as compose.yaml writes it (mappings, lists of plain scalars): PyYAML is no
    dependency of the tests."""
    lines = [line.split(" #")[0].rstrip() for line in text.splitlines() if not line.lstrip().startswith("#")]
    lines = [line for line in lines if line.strip()]
    root = {}
    stack = [(-1, root)]
    for i, line in enumerate(lines):
        indent = len(line) - len(line.lstrip())
        while stack[-1][0] >= indent:
            stack.pop()
        parent, item = stack[-1][1], line.strip()
        if item.startswith("- "):
            parent.append(item[2:])
            continue
        key, _, value = item.partition(":")
        if value.strip():
            parent[key] = value.strip().strip('"')
        else:
            parent[key] = [] if i + 1 < len(lines) and lines[i + 1].strip().startswith("- ") else {}
            stack.append((indent, parent[key]))
    return root


def test_the_monitors_share_one_database_keep_their_own_state_and_read_secrets_from_files():
    compose = block_yaml((CONTRIB / "compose.yaml").read_text())
    services = compose["services"]
    monitors = [services["ashvigil-a"], services["ashvigil-b"]]
    (url,) = {monitor["environment"]["ASHVIGIL_DB_URL"] for monitor in monitors}
    parts = urllib.parse.urlsplit(url)
    assert (parts.scheme, parts.password, parts.hostname in services) == ("postgresql", None, True)
    state_dir = re.search(r"^ENV ASHVIGIL_STATE_PATH=(\S+)/", (CONTRIB / "Containerfile").read_text(), re.M)[1]
    state_volumes = []
    for monitor in monitors:
        env = monitor["environment"]
        assert not {"TAOSTATS_API_KEY", "ASHVIGIL_BOT_TOKEN", "ASHVIGIL_DB_PASSWORD"} & set(env)
        files = {name: path for name, path in env.items() if name.endswith("_FILE")}
        assert set(files) == {"ASHVIGIL_DB_PASSWORD_FILE", "ASHVIGIL_BOT_TOKEN_FILE", "TAOSTATS_API_KEY_FILE"}
        assert sorted(files.values()) == sorted(f"/run/secrets/{name}" for name in monitor["secrets"])
        assert any(mount.endswith(f":{env['ASHVIGIL_CONFIG']}:ro") for mount in monitor["volumes"])
        state_volumes += [mount.split(":")[0] for mount in monitor["volumes"] if mount.endswith(f":{state_dir}")]
    assert len(set(state_volumes)) == 2
    assert services["postgres"]["environment"]["POSTGRES_PASSWORD_FILE"] == "/run/secrets/db_password"
    assert sorted(compose["secrets"]) == ["bot_token", "db_password", "taostats_api_key"]
    assert all(list(spec) == ["file"] for spec in compose["secrets"].values())


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
