"""Makes pip evaluate requirement markers for the interpreter it installs
for (``pip install --target --platform --python-version``), not for the one
running it: torch's ``triton; platform_machine == "x86_64"`` must read false
for an arm64 root, and ``python_version < "3.15"`` must read that root's
version. VTX_TARGET_MARKERS holds that interpreter's marker environment as
JSON (matrix-lib.sh prints it there); without it nothing changes."""
import json
import os

_TARGET = os.environ.get("VTX_TARGET_MARKERS")
if _TARGET:
    from pip._vendor.packaging import markers

    _host_environment = markers.default_environment

    def _target_environment():
        environment = _host_environment()
        environment.update(json.loads(_TARGET))
        return environment

    markers.default_environment = _target_environment
