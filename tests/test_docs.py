"""The documentation: every relative link leads to a file (and heading) that is there, and the
settings page matches the settings table."""

import re
import runpy
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = ["README.md", "CONTRIBUTING.md", "bench/README.md", *sorted(f"docs/{p.name}" for p in ROOT.glob("docs/*.md"))]

FENCED = re.compile(r"^(```|~~~).*?^\1[^\n]*$", re.M | re.S)
INDENTED = re.compile(r"^(?: {4}|\t).*$", re.M)
CODE_SPAN = re.compile(r"`[^`]*`")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}[ \t]+(.+?)[ \t]*#*[ \t]*$", re.M)
EXTERNAL = re.compile(r"[a-z][a-z0-9+.-]*:", re.I)


def prose(path):
    """The page without its code blocks, where a bracket or a # is no link or heading."""
    return INDENTED.sub("", FENCED.sub("", path.read_text(encoding="utf-8")))


def anchors(path):
    """GitHub's heading ids: lower case, punctuation dropped, spaces as hyphens, repeats numbered."""
    seen, found = {}, set()
    for heading in HEADING.findall(prose(path)):
        slug = re.sub(r"[^\w\- ]", "", heading.replace("`", "").lower()).replace(" ", "-")
        found.add(f"{slug}-{seen[slug]}" if slug in seen else slug)
        seen[slug] = seen.get(slug, 0) + 1
    return found


@pytest.mark.parametrize("page", PAGES)
def test_relative_links_lead_somewhere(page):
    source = ROOT / page
    broken = []
    for target in LINK.findall(CODE_SPAN.sub("", prose(source))):
        if EXTERNAL.match(target):
            continue
        path, _, anchor = target.partition("#")
        linked = (source.parent / path).resolve() if path else source
        if not linked.exists() or (anchor and anchor not in anchors(linked)):
            broken.append(target)
    assert broken == []


def test_configuration_page_is_current():
    generator = runpy.run_path(str(ROOT / "scripts" / "configuration_doc.py"))
    assert generator["main"](["--check"]) == 0, "run python scripts/configuration_doc.py"
