"""The pages of the documentation: README.md and docs/*.md.

Their Python blocks fenced as ```python run``` run, each in a fresh
interpreter, and must not raise; ```python run setup``` blocks run before
every later runnable block of their page; ``requires=NAME`` in the fence
skips a block whose need is missing. Their relative links lead to files
(and headings) that exist."""

import importlib
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vantorix
from vtx_support import timeout

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "README.md").is_file():
    pytest.skip("README.md and docs/ are not beside tests/ (a copy of tests/ alone)",
                allow_module_level=True)
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

FENCE = re.compile(r"^```(?!`)(\S*)\s*(.*)$")


def not_installed(name):
    try:
        importlib.import_module(name)
    except ImportError:
        return f"needs {name}, which is not installed"
    return None


# What a block may require, and why it is skipped when that is missing.
REQUIREMENTS = {
    "safetensors": lambda: not_installed("safetensors"),
    "two-processes": lambda: (os.environ.get("VTX_DOCS_PROCESSES") != "1"
                              and "starts two worker processes; VTX_DOCS_PROCESSES=1 runs it"),
}


def blocks(page):
    """(first line number, fence words, code lines) of each fenced block."""
    found, current = [], None
    for number, line in enumerate(page.read_text().splitlines(), 1):
        if current is None:
            match = FENCE.match(line)
            if match:
                current = (number + 1, [match.group(1), *match.group(2).split()], [])
        elif line.rstrip() == "```":
            found.append(current)
            current = None
        else:
            current[2].append(line)
    assert current is None, f"{page.name}: block from line {current[0]} is not closed"
    return found


def runnable(page):
    return [b for b in blocks(page) if b[1][:2] == ["python", "run"]]


SNIPPETS = [pytest.param(page, block, id=f"{page.relative_to(ROOT)}:{block[0]}")
            for page in PAGES for block in runnable(page)]


@pytest.mark.parametrize("page, block", SNIPPETS)
def test_snippet_runs(page, block, tmp_path):
    start, words, _ = block
    for word in words[2:]:
        if word.startswith("requires="):
            reason = REQUIREMENTS[word[len("requires="):]]()
            if reason:
                pytest.skip(reason)
    # The setup blocks above it, then the block, each at its line of the
    # page, so that a traceback names the page's line numbers.
    lines = [""] * len(page.read_text().splitlines())
    for first, other_words, code in runnable(page):
        if first == start or (first < start and "setup" in other_words[2:]):
            lines[first - 1:first - 1 + len(code)] = code
    (tmp_path / "snippet.py").write_text("\n".join(lines) + "\n")
    package_root = str(Path(vantorix.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, "snippet.py"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=timeout(600))
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr}"


def anchors(page):
    """The anchors of a page's headings, as the Markdown renderers make them."""
    text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.S | re.M)
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.*)$", text, flags=re.M)}


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_relative_links_lead_to_files(page):
    # Links inside code are not links.
    text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.S | re.M)
    text = re.sub(r"`[^`\n]*`", "", text)
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z][a-z0-9+.-]*:", target):
            continue
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        if not linked.exists() or (anchor and linked.suffix == ".md"
                                   and anchor not in anchors(linked)):
            broken.append(target)
    assert not broken, f"{page.name}: broken links {broken}"
