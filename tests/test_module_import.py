"""Import of vantorix.blockwise_vantorix: the namespace it leaves, re-import
and reload, refused and failed imports, and what is captured at import."""
import builtins
import copy
import pdb
import string
import sys
import types

import numpy
import pytest
import torch

import vantorix
import vantorix.globals_vantorix as GVT
import vantorix.modules_vantorix as VT
import vantorix.utils_vantorix as UVT
from vtx_support import RecordingConfig

INIT_ENTRY = ["init vantorix.blockwise_vantorix", "vantorix\\\\blockwise_vantorix"]
GLOBALS = ["__builtins__", "GVT", "VT", "UVT", "nn", "torch", "pdb", "np", "string",
           "copy", "VTXLayer", "unWrap_params", "convert_to_vtx_layer_block",
           "get_pretrained_vtx_attr", "get_pretrained_vtx_var", "optimize_module",
           "blockwise_network", "__test__"]
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

# Reports [type, message, exception name] of a failed import and the traceback
# entries that this module contributed.
FAILURE_REPORT = """
def report(exc):
    import traceback
    entries = [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)
               if "blockwise_vantorix" in f.name + f.filename]
    return [type(exc).__name__, str(exc), getattr(exc, "name", None)], entries
"""


def test_namespace_holds_the_eighteen_globals_in_binding_order(package_copy, run_python):
    # A fresh process: tests that delete and restore a global move it to the end.
    keys = run_python("import json, vantorix.blockwise_vantorix as m; print(json.dumps(list(vars(m))))",
                      package_copy)
    assert [k for k in keys if k not in STANDARD] == GLOBALS
    assert STANDARD <= set(keys)
    assert max(keys.index(k) for k in STANDARD) < keys.index("__builtins__")


@pytest.mark.parametrize("name, expected", [
    ("__builtins__", builtins), ("GVT", GVT), ("VT", VT), ("UVT", UVT),
    ("nn", torch.nn), ("torch", torch), ("pdb", pdb), ("np", numpy),
    ("string", string), ("copy", copy)])
def test_imports_are_bound_under_their_aliases(bv, name, expected):
    assert vars(bv)[name] is expected


def test_module_attributes(bv):
    assert bv.__name__ == "vantorix.blockwise_vantorix"
    assert bv.__doc__ is None
    assert type(bv.__test__) is dict and bv.__test__ == {}
    assert bv.VTXLayer.__bases__ == (torch.nn.Module,)


def test_package_version_is_the_installed_metadata():
    # The version lives on the package, not on the native module.
    metadata = pytest.importorskip("importlib.metadata", reason="3.8 and later")
    try:
        installed = metadata.version("vantorix")
    except metadata.PackageNotFoundError:
        pytest.skip("vantorix is not installed here (an in-place build)")
    assert vantorix.__version__ == installed


def test_reimport_and_reload_return_the_same_module(package_copy, run_python):
    result = run_python("""
        import importlib, json, sys
        import vantorix, vantorix.blockwise_vantorix as first
        standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
        before = {k: v for k, v in vars(first).items() if k not in standard}
        companions = ["globals_vantorix", "modules_vantorix", "utils_vantorix"]
        del sys.modules["vantorix.blockwise_vantorix"]
        for name in companions:
            del sys.modules["vantorix." + name]
            delattr(vantorix, name)
        import vantorix.blockwise_vantorix as again
        changed_by_import = [k for k in before if vars(again).get(k) is not before[k]]
        reloaded = importlib.reload(again)
        changed_by_reload = [k for k in before if vars(reloaded).get(k) is not before[k]]
        print(json.dumps({
            "same": again is first, "same_after_reload": reloaded is first,
            "companions_imported": [n for n in companions if "vantorix." + n in sys.modules],
            "changed": changed_by_import + changed_by_reload}))
    """, package_copy)
    assert result == {"same": True, "same_after_reload": True,
                      "companions_imported": [], "changed": []}


def test_sub_interpreter_is_refused(package_copy, run_python):
    result = run_python("""
        import json, _testcapi
        import vantorix.blockwise_vantorix as module
        status = _testcapi.run_in_subinterp('''
        try:
            import vantorix.blockwise_vantorix
        except BaseException as exc:
            outcome = type(exc).__name__ + "|" + str(exc)
        else:
            outcome = "imported|"
        with open("subinterp.txt", "w") as f:
            f.write(outcome)
        ''')
        with open("subinterp.txt") as f:
            kind, message = f.read().split("|", 1)
        print(json.dumps([status, kind, message,
                          module.get_pretrained_vtx_attr(None, "x") is None]))
    """, package_copy)
    assert result == [0, "ImportError", "Interpreter change detected - this module can "
                      "only be loaded into one interpreter per process.", True]


def test_missing_companion_fails_after_binding_the_earlier_ones(package_copy, run_python):
    package = package_copy / "vantorix"
    (package / "utils_vantorix.py").unlink()
    # The second companion imports the module while the module imports it.
    with open(package / "modules_vantorix.py", "a") as f:
        f.write("\nimport sys as _sys\nimport vantorix.blockwise_vantorix as _partial\n"
                "_sys.vtx_partial = _partial\n_sys.vtx_names = list(vars(_partial))\n")
    result = run_python(FAILURE_REPORT + """
import json, sys
try:
    import vantorix.blockwise_vantorix
except BaseException as exc:
    failure, entries = report(exc)
print(json.dumps({"failure": failure[:2], "entries": entries,
                  "names_seen_by_companion": sys.vtx_names,
                  "names_after_failure": list(vars(sys.vtx_partial))}))
    """, package_copy)
    bound = lambda names: [k for k in names if k in GLOBALS]
    assert result["failure"] == ["ImportError", "cannot import name utils_vantorix"]
    assert result["entries"] == [INIT_ENTRY]
    assert bound(result["names_seen_by_companion"]) == ["__builtins__", "GVT"]
    assert bound(result["names_after_failure"]) == ["__builtins__", "GVT", "VT"]


def test_import_without_torch_fails_and_a_later_import_succeeds(package_copy, run_python):
    result = run_python(FAILURE_REPORT + """
import json, sys
saved = list(sys.path)
sys.path[:] = [p for p in saved if "site-packages" not in p and "dist-packages" not in p]
try:
    import vantorix.blockwise_vantorix
except BaseException as exc:
    failure, entries = report(exc)
sys.path[:] = saved
import torch, vantorix.blockwise_vantorix as module
print(json.dumps({"failure": failure, "entries": entries, "names": list(vars(module)),
                  "layer_is_module": issubclass(module.VTXLayer, torch.nn.Module)}))
    """, package_copy)
    assert result["failure"] == ["ModuleNotFoundError", "No module named 'torch'", "torch"]
    assert result["entries"] == [INIT_ENTRY]
    assert [k for k in result["names"] if k not in STANDARD] == GLOBALS
    assert result["layer_is_module"] is True


def test_print_is_the_builtin_captured_at_import(bv, monkeypatch, capsys):
    replacement_calls = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: replacement_calls.append(a))
    net = torch.nn.Module()
    net.block = VT.VTXNeuronModule(torch.nn.Linear(2, 2))
    GVT.pc.set_extra_verbose(True)
    assert bv.blockwise_network(net) is net
    assert replacement_calls == []
    assert capsys.readouterr().out == (
        "Sub is in conversion list so initiating optimization for: .block\n")


def test_rebinding_gvt_takes_effect_at_the_next_use(bv, monkeypatch, capsys):
    net = torch.nn.Module()
    net.child = torch.nn.Linear(2, 2)
    bv.blockwise_network(net)
    assert capsys.readouterr().out == ""
    config = RecordingConfig(verbose=True)
    config.not_to_save.append(".child")
    monkeypatch.setattr(bv, "GVT", types.SimpleNamespace(pc=config))
    assert bv.blockwise_network(net) is net
    assert capsys.readouterr().out == "Skipping .child during save\n"
    assert config.calls["get_extra_verbose"] == 1
    assert ".child" in config.not_to_save.queries


# A companion that binds its names lazily (3.15 on), or a lazy import object
# in the module's own namespace or among the builtins: every read of the walk
# sees what a global load or an attribute read would, imported at that moment.
LAZY_SCRIPT = """
import builtins, json, sys, types
import torch.nn as nn
import vantorix.blockwise_vantorix as bv
import vantorix.modules_vantorix as VT

CASE = "LAZY_CASE"
if CASE == "own-global":
    exec("lazy import torch.nn as nn", vars(bv))
elif CASE == "nn-attributes":
    bv.nn = types.ModuleType("lazy_nn")
    exec("lazy from torch.nn import Module, Sequential, ModuleList, ParameterList", vars(bv.nn))
elif CASE == "builtins":
    bv._convert = bv.convert_to_vtx_layer_block
    del bv.convert_to_vtx_layer_block
    exec("lazy from vantorix.blockwise_vantorix import _convert as convert_to_vtx_layer_block",
         vars(builtins))
neuron_class = getattr(VT, "_Neuron", None) or VT.VTXNeuronModule
net = nn.Sequential(nn.Sequential(neuron_class(nn.Linear(2, 2))))
try:
    bv.blockwise_network(net)
    outcome = type(net[0][0]).__name__
except Exception as exc:
    outcome = "%s: %s" % (type(exc).__name__, exc)
print(json.dumps([outcome, type(vars(bv)["nn"]).__name__]))
"""
RENAME_NEURON = "_Neuron = VTXNeuronModule\ndel VTXNeuronModule\n"
LAZY_COMPANIONS = {
    "neuron-class": ("modules_vantorix", RENAME_NEURON + "lazy from lazy_source import Neuron as VTXNeuronModule\n"),
    "config": ("globals_vantorix", "_pc = pc\ndel pc\nlazy from lazy_source import pc\n"),
    "import-error": ("modules_vantorix", RENAME_NEURON + "lazy from no_such_source import Neuron as VTXNeuronModule\n"),
}


@pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports came with 3.15")
@pytest.mark.parametrize("case, outcome", [
    ("neuron-class", "VTXLayer"), ("config", "VTXLayer"), ("own-global", "VTXLayer"),
    ("nn-attributes", "VTXLayer"), ("builtins", "VTXLayer"),
    ("import-error", "ModuleNotFoundError: No module named 'no_such_source'")])
def test_lazy_imports_are_resolved_where_the_walk_reads_them(package_copy, run_python, case, outcome):
    (package_copy / "lazy_source.py").write_text(
        "import vantorix.globals_vantorix as GVT, vantorix.modules_vantorix as VT\n"
        "Neuron, pc = getattr(VT, '_Neuron', None), getattr(GVT, '_pc', None)\n")
    companion, lines = LAZY_COMPANIONS.get(case, ("utils_vantorix", ""))
    with open(package_copy / "vantorix" / f"{companion}.py", "a") as source:
        source.write(lines)
    # A lazy global of the module itself is replaced by what it imported.
    assert run_python(LAZY_SCRIPT.replace("LAZY_CASE", case), package_copy) == [outcome, "module"]


def test_failed_import_under_another_name_leaves_no_registry_entry(package_copy, run_python):
    # Loaded under another name, the module enters itself under its fixed
    # name; a failure must take that entry out again, or the next import
    # would get the broken module instead of a fresh attempt.
    package = package_copy / "vantorix"
    utils = (package / "utils_vantorix.py").read_text()
    (package / "utils_vantorix.py").unlink()
    result = run_python(FAILURE_REPORT + f"""
import importlib.util, json, pathlib, sys
import vantorix
path = importlib.util.find_spec("vantorix.blockwise_vantorix").origin  # this interpreter's build
spec = importlib.util.spec_from_file_location("elsewhere.blockwise_vantorix", path)
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
except BaseException as exc:
    failure, entries = report(exc)
left_behind = "vantorix.blockwise_vantorix" in sys.modules
pathlib.Path(vantorix.__path__[0], "utils_vantorix.py").write_text({utils!r})
import vantorix.blockwise_vantorix as module
print(json.dumps({{"failure": failure[:2], "left_behind": left_behind,
                   "has_walk": hasattr(module, "blockwise_network")}}))
    """, package_copy)
    assert result == {"failure": ["ImportError", "cannot import name utils_vantorix"],
                      "left_behind": False, "has_walk": True}


BUILTINS_SCRIPT = """
import builtins, json, sys
real = sys.modules["builtins"]
sys.modules["builtins"] = dict(vars(builtins))
try:
    import vantorix.blockwise_vantorix
except TypeError as exc:
    outcome = [type(exc).__name__, str(exc)]
sys.modules["builtins"] = real
import vantorix.blockwise_vantorix as bv
print(json.dumps(outcome + [bv.get_pretrained_vtx_attr(None, "x")]))
"""


def test_builtins_entry_that_is_not_a_module_fails_the_import(package_copy, run_python):
    assert run_python(BUILTINS_SCRIPT, package_copy) == [
        "TypeError", "sys.modules['builtins'] must be a module, not 'dict'", None]
