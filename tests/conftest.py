"""Shared fixtures of the behaviour tests."""
import importlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import torch

import vantorix
from vtx_support import timeout


@pytest.fixture
def bv():
    """The native module, imported the way callers import it."""
    return importlib.import_module("vantorix.blockwise_vantorix")


@pytest.fixture(autouse=True)
def default_config():
    """Puts the package configuration back to its defaults after each test."""
    yield
    pc = importlib.import_module("vantorix.globals_vantorix").pc
    pc.set_extra_verbose(False)
    pc.set_module_names_to_not_save([])
    pc.set_vtx_forward_function(torch.sigmoid)


@pytest.fixture
def package_copy(tmp_path):
    """A private copy of the package, built extension included, for scripts
    that change process-wide import state. Returns the directory to put on
    PYTHONPATH; the package itself is ``package_copy / "vantorix"``."""
    shutil.copytree(Path(vantorix.__file__).parent, tmp_path / "vantorix",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return tmp_path


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter with ``path`` on PYTHONPATH and
    returns the JSON value that the script prints on its last line. A
    ``stack_limit`` in bytes caps the main thread's stack of that process."""
    def run(code, path, stack_limit=None):
        command = [sys.executable, "-c", textwrap.dedent(code)]
        if stack_limit:
            # A fresh interpreter sets the limit and execs the script, which
            # gets a main thread of that size. Not preexec_fn: Python code in
            # a fork of this threaded process can deadlock (seen under
            # qemu-user).
            command = [sys.executable, "-c", "import os, resource, sys\n"
                       f"resource.setrlimit(resource.RLIMIT_STACK, ({stack_limit}, {stack_limit}))\n"
                       "os.execv(sys.executable, sys.argv[1:])", *command]
        env = dict(os.environ, PYTHONPATH=str(path))
        proc = subprocess.run(command, cwd=path, env=env, capture_output=True, text=True,
                              timeout=timeout(600))
        assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr}"
        return json.loads(proc.stdout.splitlines()[-1])
    return run
