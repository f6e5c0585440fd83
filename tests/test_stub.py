"""The type stub agrees with the built module."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")


def test_stub_agrees_with_the_module(package_copy):
    # Run from a copy: mypy takes every module beside the working directory
    # for the user's own, which in site-packages would shadow its own
    # modules. torch's annotations are not under test and take most of the
    # time.
    config = package_copy / "mypy.ini"
    config.write_text("[mypy]\ncache_dir = {}\n[mypy-torch.*]\nfollow_imports = skip\n".format(
        package_copy / "cache"))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
         "vantorix.blockwise_vantorix"],
        cwd=str(package_copy), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
