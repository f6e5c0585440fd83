"""The type stub agrees with the built module."""
import subprocess
import sys
from pathlib import Path

import pytest

import vantorix

pytest.importorskip("mypy.stubtest")


def test_stub_agrees_with_the_module(tmp_path):
    # torch's own annotations are not under test, and checking them takes
    # most of the time.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\ncache_dir = {}\n[mypy-torch.*]\nfollow_imports = skip\n".format(
        tmp_path / "cache"))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
         "vantorix.blockwise_vantorix"],
        cwd=str(Path(vantorix.__file__).parents[1]), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
