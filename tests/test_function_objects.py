"""The native function objects of vantorix.blockwise_vantorix: attributes,
code objects, signatures, method binding and recursion."""
import dis
import functools
import inspect
import re
import sys
import types

import pytest

LAYER_PARAMS = ("self", "layer_array", "processor_array", "dendrites_to_top",
                "dendrites_to_dendrites", "node_index", "num_cycles", "view_tuple")
# qualified name, co_varnames (parameters, then locals), co_argcount
FUNCTIONS = [
    ("VTXLayer.__init__", LAYER_PARAMS, 8),
    ("unWrap_params", ("model", "p"), 1),
    ("convert_to_vtx_layer_block", ("pretrained_dendrite", "layer_array", "processor_array",
                                    "layer_id", "view_tuple", "dim"), 1),
    ("get_pretrained_vtx_attr", ("pretrained_dendrite", "member"), 2),
    ("get_pretrained_vtx_var", ("pretrained_dendrite", "submodule_id"), 2),
    ("optimize_module", ("net", "depth", "name_so_far", "converted_list", "all_members",
                         "submodule_id", "layer", "member", "sub_name"), 4),
    ("blockwise_network", ("net",), 1),
]
# Up to 3.10 the code objects carry no body at all; from 3.11 on an empty
# body is not safe to run, and they carry the interpreter's own.
EMPTY_BODY = sys.version_info < (3, 11)
each_function = pytest.mark.parametrize("qualname, varnames, argcount", FUNCTIONS,
                                        ids=[f[0] for f in FUNCTIONS])


def resolve(bv, qualname):
    return functools.reduce(getattr, qualname.split("."), bv)


@each_function
def test_function_attributes_and_writable_dict(bv, qualname, varnames, argcount):
    f = resolve(bv, qualname)
    assert f.__name__ == qualname.rpartition(".")[2]
    assert f.__qualname__ == qualname
    assert f.__module__ == "vantorix.blockwise_vantorix"
    assert f.__doc__ is None
    assert f.__defaults__ is None
    assert f.__kwdefaults__ is None
    assert f.__globals__ is vars(bv)
    assert f.__closure__ is None
    annotations = f.__annotations__
    assert type(annotations) is dict and annotations == {}
    assert f.__annotations__ is annotations
    assert f.__dict__ == {}
    f.marker = "set by a caller"
    try:
        assert f.__dict__ == {"marker": "set by a caller"}
    finally:
        del f.marker


@each_function
def test_code_object(bv, qualname, varnames, argcount):
    code = resolve(bv, qualname).__code__
    assert type(code) is types.CodeType
    assert code.co_name == qualname.rpartition(".")[2]
    assert code.co_argcount == argcount
    assert getattr(code, "co_posonlyargcount", 0) == 0  # the field exists from 3.8 on
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    if EMPTY_BODY:
        assert code.co_code == b""
        assert code.co_stacksize == 0
        assert (code.co_linetable if sys.version_info >= (3, 10) else code.co_lnotab) == b""
    else:
        # a body of the running interpreter's own, every instruction of which
        # dis can read against the empty constants and names below
        assert [i.opname for i in dis.get_instructions(code)]
        assert code.co_stacksize > 0
    assert code.co_consts == ()
    assert code.co_names == ()
    assert code.co_freevars == ()
    assert code.co_cellvars == ()
    assert code.co_filename == "vantorix\\blockwise_vantorix"


@each_function
def test_signature_lists_the_required_parameters(bv, qualname, varnames, argcount):
    signature = inspect.signature(resolve(bv, qualname))
    assert str(signature) == "(" + ", ".join(varnames[:argcount]) + ")"
    assert {p.kind for p in signature.parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_class_signature_leaves_out_self(bv):
    assert str(inspect.signature(bv.VTXLayer)) == "(" + ", ".join(LAYER_PARAMS[1:]) + ")"


@each_function
def test_binds_as_a_method_through_instances_only(bv, qualname, varnames, argcount):
    f = resolve(bv, qualname)
    holder_class = type("Holder", (), {"held": f})
    holder = holder_class()
    bound = holder.held
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is holder and bound.__func__ is f
    assert holder_class.held is f
    assert f.__get__(None, holder_class) is f


def test_bound_method_passes_the_instance_first(bv):
    class Holder:
        read = bv.get_pretrained_vtx_attr
        value = object()

    class Items(list):
        entry = bv.get_pretrained_vtx_var

    holder = Holder()
    assert holder.read("value") is Holder.value
    assert Items([10, 20]).entry(-1) == 20
    with pytest.raises(TypeError) as excinfo:
        holder.read()
    assert str(excinfo.value) == (
        "get_pretrained_vtx_attr() takes exactly 2 positional arguments (1 given)")


@each_function
def test_repr_is_a_function_repr(bv, qualname, varnames, argcount):
    assert re.fullmatch(r"<function %s at 0x[0-9a-fA-F]+>" % re.escape(qualname),
                        repr(resolve(bv, qualname)))


RECURSION_SCRIPT = """
import functools, json, torch
import vantorix.blockwise_vantorix as bv

class Net:
    def __dir__(self):
        return bv.blockwise_network(Net())

net = Net()
if LABEL == "native":  # the member listing re-enters the walk with no Python frame between
    net.__dir__ = functools.partial(bv.blockwise_network, net)
try:
    bv.blockwise_network(net)
except BaseException as exc:
    outcome = type(exc).__name__
else:
    outcome = None
fresh = torch.nn.Module()
print(json.dumps([outcome, bv.blockwise_network(fresh) is fresh]))
"""


@pytest.mark.parametrize("label", ["python", "native"])
def test_unbounded_recursion_raises_recursion_error(package_copy, run_python, label):
    script = RECURSION_SCRIPT.replace("LABEL", repr(label))
    assert run_python(script, package_copy) == ["RecursionError", True]


FROM_CODE_SCRIPT = """
import json, traceback, types
import vantorix.blockwise_vantorix as bv

outcomes = []
for function in [bv.VTXLayer.__init__, bv.unWrap_params, bv.convert_to_vtx_layer_block,
                 bv.get_pretrained_vtx_attr, bv.get_pretrained_vtx_var, bv.optimize_module,
                 bv.blockwise_network]:
    code = function.__code__
    try:
        types.FunctionType(code, {})(*[None] * code.co_argcount)
    except Exception as exc:
        entry = traceback.extract_tb(exc.__traceback__)[-1]
        outcomes.append([type(exc).__name__, entry.name == code.co_name,
                         entry.lineno == code.co_firstlineno])
print(json.dumps(outcomes))
"""


def test_function_built_from_a_code_object_raises(package_copy, run_python):
    # an empty body meets no valid instruction; the interpreter's own body,
    # taken from a template, raises TypeError; a crash fails the run
    # (3.10 reads no line at all from an empty line table)
    expected = ["SystemError" if EMPTY_BODY else "TypeError", True,
                sys.version_info[:2] != (3, 10)]
    assert run_python(FROM_CODE_SCRIPT, package_copy) == [expected] * len(FUNCTIONS)
