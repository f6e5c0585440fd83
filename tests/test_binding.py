"""Argument binding of the exported functions and the VTXLayer constructor,
through the vector call and through the tuple-and-dict call."""
import ctypes
import functools
import sys
import traceback

import _testcapi
import pytest
import torch

from vantorix.modules_vantorix import VTXNeuronModule

TRACEBACK_FILE = "vantorix\\\\blockwise_vantorix"
LAYER_PARAMS = ("self", "layer_array", "processor_array", "dendrites_to_top",
                "dendrites_to_dendrites", "node_index", "num_cycles", "view_tuple")
PARAMS = {
    "blockwise_network": ("net",),
    "optimize_module": ("net", "depth", "name_so_far", "converted_list"),
    "convert_to_vtx_layer_block": ("pretrained_dendrite",),
    "get_pretrained_vtx_attr": ("pretrained_dendrite", "member"),
    "get_pretrained_vtx_var": ("pretrained_dendrite", "submodule_id"),
    "unWrap_params": ("model",),
    "VTXLayer.__init__": LAYER_PARAMS,
}
each_function = pytest.mark.parametrize("qualname", list(PARAMS))

PyObject_Call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                                  ctypes.py_object)(("PyObject_Call", ctypes.pythonapi))


def vector_call(f, *args, **kwargs):
    return f(*args, **kwargs)


def tuple_call(f, *args, **kwargs):
    return type(f).__call__(f, *args, **kwargs)


each_form = pytest.mark.parametrize("call", [vector_call, tuple_call], ids=["vector", "tuple"])


def resolve(bv, qualname):
    return functools.reduce(getattr, qualname.split("."), bv)


def fresh(name):
    """An equal str that is not the interned parameter name."""
    return "".join(list(name))


class Name(str):
    pass


def count_message(qualname, given):
    n = len(PARAMS[qualname])
    return "%s() takes exactly %d positional argument%s (%d given)" % (
        qualname.rpartition(".")[2], n, "" if n == 1 else "s", given)


def multiple_message(qualname, keyword):
    return f"{qualname.rpartition('.')[2]}() got multiple values for keyword argument '{keyword}'"


def unexpected_message(qualname, keyword):
    return f"{qualname.rpartition('.')[2]}() got an unexpected keyword argument '{keyword}'"


def module_entries(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)
            if "blockwise_vantorix" in f.name + f.filename]


def assert_binding_error(excinfo, qualname, message):
    exc = excinfo.value
    assert type(exc) is TypeError
    assert str(exc) == message
    assert module_entries(exc) == [("vantorix.blockwise_vantorix." + qualname, TRACEBACK_FILE)]
    formatted = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    assert "in vantorix.blockwise_vantorix." + qualname + "\n" in formatted


def binding_failures():
    for qualname, params in PARAMS.items():
        n, first, last = len(params), params[0], params[-1]
        pos = lambda k: tuple(object() for _ in range(k))
        x = object()
        cases = [
            ("none", (), {}, count_message(qualname, 0)),
            ("too-many", pos(n + 1), {}, count_message(qualname, n + 1)),
            ("too-many-with-keyword", pos(n + 1), {first: x}, count_message(qualname, n + 1)),
            ("positional-and-keyword", pos(n), {first: x}, multiple_message(qualname, first)),
            ("non-interned-duplicate", pos(n), {fresh(last): x}, multiple_message(qualname, last)),
            ("unexpected", pos(n), {"unknown": x}, unexpected_message(qualname, "unknown")),
            ("only-unexpected", (), {"unknown": x}, count_message(qualname, 0)),
            ("all-keywords-and-unexpected", (), {**{p: x for p in reversed(params)}, "extra": x},
             unexpected_message(qualname, "extra")),
            ("unexpected-before-duplicate", pos(n), {"extra": x, first: x},
             unexpected_message(qualname, "extra")),
            ("duplicate-before-unexpected", pos(n), {first: x, "extra": x},
             multiple_message(qualname, first)),
        ]
        if n >= 2:
            cases += [("too-few", pos(n - 1), {}, count_message(qualname, n - 1)),
                      ("first-missing", (), {p: x for p in params[1:]}, count_message(qualname, 0))]
        if n >= 3:  # keywords for later parameters are not counted
            cases.append(("second-missing", pos(1), {p: x for p in params[2:]},
                          count_message(qualname, 1)))
        for label, args, kwargs, message in cases:
            yield pytest.param(qualname, args, kwargs, message, id=f"{qualname}-{label}")


@each_form
@pytest.mark.parametrize("qualname, args, kwargs, message", list(binding_failures()))
def test_binding_failure(bv, call, qualname, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        call(resolve(bv, qualname), *args, **kwargs)
    assert_binding_error(excinfo, qualname, message)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, count_message("VTXLayer.__init__", 1)),
    ((1, 2, 3), {}, count_message("VTXLayer.__init__", 4)),
    (tuple(range(7)), {"self": 8}, multiple_message("VTXLayer.__init__", "self")),
    (tuple(range(8)), {}, count_message("VTXLayer.__init__", 9)),
], ids=["none", "three", "self-by-keyword", "eight"])
def test_class_call_counts_the_new_instance(bv, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        bv.VTXLayer(*args, **kwargs)
    assert_binding_error(excinfo, "VTXLayer.__init__", message)


@pytest.mark.skipif(not hasattr(_testcapi, "pyobject_vectorcall"),
                    reason="no vector call protocol before Python 3.8")
@each_function
def test_non_str_name_in_vector_keywords(bv, qualname):
    f = resolve(bv, qualname)
    n = len(PARAMS[qualname])
    with pytest.raises(TypeError) as excinfo:
        _testcapi.pyobject_vectorcall(f, tuple(object() for _ in range(n + 1)), (1,))
    if sys.version_info >= (3, 9):
        assert_binding_error(excinfo, qualname, qualname.rpartition(".")[2] + "() keywords must be strings")
    else:  # 3.8 hands the call to the tuple form, which refuses the name before binding
        assert str(excinfo.value) == "keywords must be strings"
        assert module_entries(excinfo.value) == []


@each_function
@pytest.mark.parametrize("route", ["interpreter", "slot"])
def test_non_str_key_in_keyword_dict(bv, qualname, route):
    f = resolve(bv, qualname)
    with pytest.raises(TypeError) as excinfo:
        if route == "interpreter":
            f(**{1: 2})
        else:  # reaches the tuple-and-dict call with the int key still in the dict
            PyObject_Call(type(f).__call__, (f,), {1: 2})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == "keywords must be strings"
    assert module_entries(excinfo.value) == []


class Holder:
    value = object()


def layer_values(bv):
    """Constructor arguments that build a layer without skip weights."""
    return dict(zip(LAYER_PARAMS, (bv.VTXLayer.__new__(bv.VTXLayer), torch.nn.Sequential(),
                                   [], [], None, object(), torch.tensor(1), [1, -1])))


def split(params, values, positional):
    """The first `positional` parameters by position, the rest by keyword in reverse."""
    return (tuple(values[p] for p in params[:positional]),
            {p: values[p] for p in reversed(params[positional:])})


def walk_case(qualname, positional):
    net = torch.nn.Module()
    values = dict(zip(PARAMS[qualname], (net, 0, "", [])))
    return (qualname, *split(PARAMS[qualname], values, positional), lambda r: r is net)


def layer_case(bv, positional):
    values = layer_values(bv)
    return ("VTXLayer.__init__", *split(LAYER_PARAMS, values, positional),
            lambda r: r is None and values["self"].node_index is values["node_index"])


# Each case builds (qualname, args, kwargs, check of the result).
SUCCESSES = {
    "attr-keywords-reversed": lambda bv: (
        "get_pretrained_vtx_attr", (), {"member": "x", "pretrained_dendrite": None},
        lambda r: r is None),
    "attr-non-interned-keywords": lambda bv: (
        "get_pretrained_vtx_attr", (), {fresh("member"): "value", fresh("pretrained_dendrite"): Holder},
        lambda r: r is Holder.value),
    "attr-str-subclass-keyword": lambda bv: (
        "get_pretrained_vtx_attr", (Holder,), {Name("member"): "value"}, lambda r: r is Holder.value),
    "var-keywords-reversed": lambda bv: (
        "get_pretrained_vtx_var", (), {"submodule_id": -1, "pretrained_dendrite": [10, Holder]},
        lambda r: r is Holder),
    "unwrap-keyword": lambda bv: (
        "unWrap_params", (), {"model": torch.nn.Linear(2, 2)}, lambda r: r is None),
    "convert-keyword": lambda bv: (
        "convert_to_vtx_layer_block", (), {"pretrained_dendrite": VTXNeuronModule(torch.nn.Linear(2, 2))},
        lambda r: type(r) is bv.VTXLayer),
    "network-keyword": lambda bv: walk_case("blockwise_network", 0),
    "optimize-keywords-any-order": lambda bv: walk_case("optimize_module", 0),
    "optimize-mixed": lambda bv: walk_case("optimize_module", 2),
    "layer-last-by-keyword": lambda bv: layer_case(bv, 7),
    "layer-all-by-keyword": lambda bv: layer_case(bv, 0),
}


@each_form
@pytest.mark.parametrize("case", list(SUCCESSES))
def test_binding_success(bv, call, case):
    qualname, args, kwargs, check = SUCCESSES[case](bv)
    assert check(call(resolve(bv, qualname), *args, **kwargs))


def test_class_call_binds_last_parameter_by_keyword(bv):
    values = layer_values(bv)
    layer = bv.VTXLayer(*(values[k] for k in LAYER_PARAMS[1:7]), view_tuple=values["view_tuple"])
    assert type(layer) is bv.VTXLayer and layer.node_index is values["node_index"]


def test_empty_keyword_dict_binds_like_no_keywords(bv):
    f = bv.get_pretrained_vtx_attr
    assert PyObject_Call(type(f).__call__, (f, Holder, "value"), {}) is Holder.value


def refcount_cases():
    a, b, c, d = object(), object(), object(), object()
    extra, net, member = fresh("extra"), fresh("net"), fresh("member")
    return [
        pytest.param("blockwise_network", (a, b), {}, TypeError, [a, b], id="too-many"),
        pytest.param("blockwise_network", (a,), {net: b}, TypeError, [a, b, net], id="duplicate"),
        pytest.param("optimize_module", (a, b, c, d), {extra: a, "net": b}, TypeError,
                     [a, b, c, d, extra], id="unexpected"),
        pytest.param("get_pretrained_vtx_attr", (Holder,), {member: fresh("value")}, None,
                     [Holder, member, Holder.value], id="success"),
        pytest.param("get_pretrained_vtx_attr", (Holder, fresh("missing")), {}, AttributeError,
                     [Holder], id="body-fails"),
        pytest.param("get_pretrained_vtx_var", (), {fresh("submodule_id"): b,
                                                   fresh("pretrained_dendrite"): a},
                     TypeError, [a, b], id="body-fails-keywords"),
    ]


@each_form
@pytest.mark.parametrize("qualname, args, kwargs, error, watched", refcount_cases())
def test_reference_counts_are_unchanged(bv, call, qualname, args, kwargs, error, watched):
    f = resolve(bv, qualname)
    watched = watched + list(args) + list(kwargs) + list(kwargs.values())

    def repeat(times):
        for _ in range(times):
            try:
                call(f, *args, **kwargs)
            except Exception as exc:
                assert type(exc) is error
            else:
                assert error is None

    repeat(1)  # lets the interpreter fill its attribute caches first
    before = [sys.getrefcount(o) for o in watched]
    repeat(5)
    assert [sys.getrefcount(o) for o in watched] == before
