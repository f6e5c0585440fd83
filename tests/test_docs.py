"""The pages of the documentation: README.md, docs/*.md and DESCRIPTION.md
(the package index's description).

Their Python blocks fenced as ```python run``` run, each in a fresh
interpreter, and must not raise; ```python run setup``` blocks run before
every later runnable block of their page; ``requires=NAME`` in the fence
skips a block whose need is missing. Their relative links lead to files
(and headings) that exist.

Their shell commands (in indented code blocks or ```sh fences) run as a
reader runs them: the install lines (``pip ...``) block by block, each in a
fresh virtual environment beside a wheel built here; every other command in
the checkout after the setup command, as written, or with ``--help`` when it
is a synopsis or stands in CANNOT_RUN. Every script and benchmark answers
``--help``."""

import importlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import vantorix
from vtx_support import timeout

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "README.md").is_file():
    pytest.skip("README.md and docs/ are not beside tests/ (a copy of tests/ alone)",
                allow_module_level=True)
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md")), ROOT / "DESCRIPTION.md"]

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


# ------------------------------------------------------------ shell commands

SHELL_FENCES = {"sh", "bash", "shell", "console"}
# A command: environment assignments, then one of the programs the pages use.
COMMAND = re.compile(r"^(?:[A-Z_]+=\S*\s+)*(?:bash|pip|python3?|\.venv/bin/\S+)\s")
SCRIPT = re.compile(r"^(?:scripts|benchmarks|examples)/\S+\.(?:sh|py)$")
# An argument that stands for others: [optional], X ..., DIR, 3.X.
SYNOPSIS = re.compile(r"^\[|\.\.\.|^[A-Z][A-Z0-9_]*$|3\.X")

# Documented commands that cannot run in a test; each runs with --help.
CANNOT_RUN = {
    "bash scripts/test.sh": "runs this suite",
    "bash scripts/sanitize.sh": "runs this suite again, under sanitizers",
    "SWEEP=1 bash scripts/sanitize.sh": "runs this suite again, under sanitizers",
    ".venv/bin/python scripts/alloc_sweep.py":
        "the full sweep, which test_allocation_failures.py runs",
    "bash scripts/test-matrix.sh": "root; nine interpreters, each with its torch",
    "bash scripts/test-matrix.sh 3.7 3.14": "root; interpreters with their torch",
    "bash scripts/test-debug.sh": "root; the suite under three debug interpreters",
    "bash scripts/test-debug.sh 3.11": "root; the suite under a debug interpreter",
    "bash scripts/test-old-glibc.sh dist": "root; a Debian 11 chroot",
}


def shell_blocks(page):
    """(first line number, commands) of each code block that holds shell
    commands: indented blocks and shell fences, comments cut."""
    lines = page.read_text().splitlines()
    fenced, found = set(), []
    for start, words, code in blocks(page):
        fenced.update(range(start - 1, start + len(code) + 1))
        if words[0] in SHELL_FENCES:
            found.append((start, [line for line in code if line.strip()]))
    run = []
    for number, line in enumerate(lines + [""], 1):
        if number not in fenced and line.startswith("    ") and line.strip():
            run.append((number, line))
        elif run:
            found.append((run[0][0], [text for _, text in run]))
            run = []
    commands = []
    for start, code in sorted(found):
        code = [re.sub(r"\s+#.*", "", line.strip()) for line in code]
        code = [line for line in code if COMMAND.match(line)]
        if code:
            commands.append((start, code))
    return commands


def help_form(command):
    """The command cut after its script, with --help."""
    words = shlex.split(command)
    script = next(index for index, word in enumerate(words) if SCRIPT.match(word))
    return " ".join(words[:script + 1] + ["--help"])


# Install blocks by place; other commands once each, by the first place.
INSTALLS, _FIRST = [], {}
for _page in PAGES:
    for _start, _code in shell_blocks(_page):
        _id = f"{_page.relative_to(ROOT)}:{_start}"
        if all(line.startswith("pip ") for line in _code):
            INSTALLS.append(pytest.param(_code, id=_id))
        else:
            for _line in _code:
                _FIRST.setdefault(_line, f"{_id}:{_line}")
COMMANDS = [pytest.param(line, id=place) for line, place in _FIRST.items()]


def without_pythonpath():
    return {key: value for key, value in os.environ.items()
            if key not in ("PYTHONPATH", "VIRTUAL_ENV")}


@pytest.mark.parametrize("command", COMMANDS)
def test_documented_command_runs(command):
    if command.startswith(".venv/") and not (ROOT / ".venv/bin/python").exists():
        pytest.skip("no .venv here: scripts/setup.sh has not run")
    arguments = shlex.split(command)
    script = next((i for i, word in enumerate(arguments) if SCRIPT.match(word)), None)
    assert script is not None, f"names no script of the checkout: {command}"
    if command in CANNOT_RUN or any(SYNOPSIS.search(word) for word in arguments[script + 1:]):
        command = help_form(command)
    proc = subprocess.run(command, shell=True, executable="/bin/bash", cwd=ROOT,
                          env=without_pythonpath(), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout(600))
    assert proc.returncode == 0, f"{command}: exit status {proc.returncode}\n{proc.stderr}"
    assert proc.stdout.strip(), f"{command} printed nothing"


SCRIPTS = sorted([*ROOT.glob("scripts/*.sh"), *ROOT.glob("scripts/*.py"),
                  *ROOT.glob("benchmarks/*.py")])


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda path: str(path.relative_to(ROOT)))
def test_script_answers_help(script):
    runner = ["bash"] if script.suffix == ".sh" else [sys.executable]
    proc = subprocess.run([*runner, str(script), "--help"], cwd=ROOT, env=without_pythonpath(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout(60))
    assert proc.returncode == 0, proc.stderr
    assert script.name in proc.stdout, proc.stdout


# Each with arguments that keep a run short, should it find a build after all.
UNBUILT_RUNS = {"scripts/alloc_sweep.py": ["--only", "get_pretrained_vtx_var"],
                "benchmarks/bench_walk.py": ["--transformer", "1"],
                "benchmarks/stack_usage.py": []}


@pytest.mark.parametrize("script", sorted(UNBUILT_RUNS))
def test_script_without_a_build_says_how_to_make_one(script, tmp_path):
    shutil.copytree(ROOT / "vantorix", tmp_path / "vantorix",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    (tmp_path / script).parent.mkdir()
    shutil.copy(ROOT / script, tmp_path / script)
    proc = subprocess.run([sys.executable, script, *UNBUILT_RUNS[script]], cwd=tmp_path,
                          env=without_pythonpath(), capture_output=True, text=True,
                          timeout=timeout(300))
    assert proc.returncode != 0 and "bash scripts/setup.sh" in proc.stderr, proc.stderr


@pytest.fixture(scope="module")
def clone(tmp_path_factory):
    """A copy of the checkout's sources, as a fresh clone has them, with a
    wheel built from it in dist/."""
    pytest.importorskip("scikit_build_core", reason="builds the wheel without isolation")
    copy = tmp_path_factory.mktemp("clone") / "vantorix"
    shutil.copytree(ROOT, copy, ignore=shutil.ignore_patterns(
        ".git", ".venv", "build", "dist", "dist-*", "*.so", "__pycache__", ".pytest_cache"))
    # The build tools of this environment; its bin/ holds cmake and ninja.
    env = dict(without_pythonpath(), PATH=os.pathsep.join(
        [str(Path(sys.executable).parent), os.environ["PATH"]]))
    proc = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps",
                           "--no-build-isolation", "-w", "dist", "."], cwd=copy, env=env,
                          capture_output=True, text=True, timeout=timeout(600))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return copy


CHECK_INSTALLED = """
import importlib.metadata, sys
import torch.nn as nn
import vantorix, vantorix.blockwise_vantorix as bv
from vantorix import modules_vantorix as VT
assert bv.__file__.startswith(sys.prefix), bv.__file__
assert vantorix.__version__ == importlib.metadata.version("vantorix")
net = bv.blockwise_network(nn.Sequential(VT.VTXNeuronModule(nn.Linear(2, 2))))
assert type(net[0]) is bv.VTXLayer
"""


@pytest.mark.parametrize("lines", INSTALLS)
def test_install_lines_work_in_a_fresh_venv(lines, clone, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=timeout(300))
    env = dict(without_pythonpath(), VIRTUAL_ENV=str(venv),
               PATH=os.pathsep.join([str(venv / "bin"), os.environ["PATH"]]))
    for line in lines:
        proc = subprocess.run(line, shell=True, executable="/bin/bash", cwd=clone, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout(600))
        assert proc.returncode == 0, f"{line}: exit status {proc.returncode}\n{proc.stderr}"
    proc = subprocess.run([str(venv / "bin/python"), "-c", CHECK_INSTALLED], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=timeout(300))
    assert proc.returncode == 0, proc.stderr


def test_wheel_description_has_no_repository_links_or_developer_steps(clone):
    wheel, = (clone / "dist").glob("vantorix-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        metadata, = [name for name in archive.namelist() if name.endswith(".dist-info/METADATA")]
        description = archive.read(metadata).decode().partition("\n\n")[2]
    assert "blockwise_network" in description
    relative = [target for target in re.findall(r"\]\(([^)\s]+)\)", description)
                if not re.match(r"[a-z][a-z0-9+.-]*:", target)]
    assert not relative and not re.search(r"bash scripts/|\.ci/run|\.venv/", description)
