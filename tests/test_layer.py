"""Construction of VTXLayer."""

import sys
from types import SimpleNamespace

import pytest
import torch
import torch.nn as nn

from vantorix import globals_vantorix as GVT
from vtx_support import native_entries

INIT = "vantorix.blockwise_vantorix.VTXLayer.__init__"


def arguments(top=(), d2d=None, **changes):
    args = dict(layer_array=nn.Sequential(nn.Linear(2, 2)), processor_array=[None],
                dendrites_to_top=top, dendrites_to_dendrites=d2d, node_index=1,
                num_cycles=torch.tensor(1), view_tuple=[1, -1])
    args.update(changes)
    return args


def half_built(bv, args):
    """Run the constructor on a bare instance, so that a failure leaves it to examine."""
    layer = bv.VTXLayer.__new__(bv.VTXLayer)
    with pytest.raises(BaseException) as caught:
        bv.VTXLayer.__init__(layer, *args.values())
    return layer, caught


@pytest.mark.parametrize("keywords", [False, True])
@pytest.mark.parametrize("forward", [None, torch.tanh, "not a function"])
def test_arguments_are_stored_and_buffers_registered(bv, keywords, forward):
    GVT.pc.set_vtx_forward_function(forward)
    node, procs = object(), [None, "p"]
    args = arguments(processor_array=procs, node_index=node, num_cycles=torch.tensor(3),
                     view_tuple=[1, -1, 1, 1])
    layer = bv.VTXLayer(**args) if keywords else bv.VTXLayer(*args.values())
    assert layer.layer_array is args["layer_array"] and layer.processor_array is procs
    assert layer.node_index is node and layer.internal_nonlinearity is forward
    assert dict(layer.named_children()) == {"layer_array": args["layer_array"]}
    assert [name for name, _ in layer.named_buffers()] == ["num_cycles", "view_tuple"]
    assert layer.num_cycles is args["num_cycles"]
    expected = torch.tensor([1, -1, 1, 1])
    assert layer.view_tuple.dtype == expected.dtype and torch.equal(layer.view_tuple, expected)


W, T = nn.Parameter(torch.ones(2)), nn.Parameter(torch.full((3,), 2.0))


@pytest.mark.parametrize("top", [[], (), None, 0])
def test_no_skip_weights_without_dendrites_to_top(bv, top):
    given = nn.ParameterList([W])
    layer = bv.VTXLayer(*arguments(top=top, d2d=given).values())
    assert not hasattr(layer, "skip_weights")
    assert len(given) == 1 and given[0] is W


@pytest.mark.parametrize("d2d", [None, nn.ParameterList(), [], 0])
def test_new_skip_weights_hold_zeros_then_last_top_entry(bv, d2d):
    layer = bv.VTXLayer(*arguments(top=[W, "ignored", T], d2d=d2d).values())
    weights = layer.skip_weights
    assert type(weights) is nn.ParameterList and len(weights) == 2 and weights is not d2d
    assert torch.equal(weights[0], torch.zeros(1, 1, 1)) and weights[1] is T


@pytest.mark.parametrize("make", [lambda: nn.ParameterList([W]), lambda: [W]])
def test_given_skip_weights_grow_in_place(bv, make):
    given = make()
    layer = bv.VTXLayer(*arguments(top=[T], d2d=given).values())
    assert layer.skip_weights is given and len(given) == 2 and given[0] is W and given[1] is T
    bv.VTXLayer(*arguments(top=[W], d2d=given).values())
    assert len(given) == 3 and given[2] is W


class Hollow(list):
    """Truthy skip-weight holder that stays empty whatever is appended."""

    def __bool__(self):
        return True

    def append(self, value):
        self.appended = value


class Top(list):
    """dendrites_to_top that records how it is indexed."""

    def __getitem__(self, key):
        self.keys.append(key)
        return T


def test_last_top_entry_is_taken_by_length_and_empty_weights_are_deleted(bv):
    top, hollow = Top("abc"), Hollow()
    top.keys = []
    layer = bv.VTXLayer(*arguments(top=top, d2d=hollow).values())
    assert top.keys == [2] and hollow.appended is T
    assert not hasattr(layer, "skip_weights")


def test_plain_int_cycle_count_is_refused_by_torch(bv):
    with pytest.raises(TypeError) as refused:
        nn.Module().register_buffer("num_cycles", 3)
    args = arguments(num_cycles=3)
    layer, caught = half_built(bv, args)
    message = "cannot assign 'int' object to buffer 'num_cycles' (torch Tensor or None required)"
    assert type(caught.value) is TypeError and str(caught.value) == str(refused.value) == message
    assert native_entries(caught) == [INIT]
    assert layer.layer_array is args["layer_array"] and "view_tuple" not in layer._buffers


def test_forward_function_is_asked_for_once_and_last(bv, monkeypatch):
    layer, seen = bv.VTXLayer.__new__(bv.VTXLayer), []

    def ask():
        seen.append((layer.node_index, type(layer.skip_weights)))
        return "chosen"
    monkeypatch.setattr(GVT, "pc", SimpleNamespace(get_vtx_forward_function=ask))
    assert bv.VTXLayer.__init__(layer, *arguments(top=[T], node_index=7).values()) is None
    assert seen == [(7, nn.ParameterList)] and layer.internal_nonlinearity == "chosen"


class Unrelated:
    pass


@pytest.mark.parametrize("rebind, message, entries", [
    ("derived", "__init__() takes exactly 8 positional arguments (1 given)", [INIT, INIT]),
    (Unrelated, "super(type, obj): obj (instance of VTXLayer) is not an instance or subtype of "
                "type (Unrelated)." if sys.version_info >= (3, 13) else
                "super(type, obj): obj must be an instance or subtype of type", [INIT]),
    (5, "super() argument 1 must be a type, not int" if sys.version_info >= (3, 11) else
        "super() argument 1 must be type, not int", [INIT]),
])
def test_parent_initialisation_uses_the_current_global(bv, monkeypatch, rebind, message, entries):
    original = bv.VTXLayer

    class Derived(original):
        pass
    monkeypatch.setattr(bv, "VTXLayer", Derived if rebind == "derived" else rebind)
    with pytest.raises(TypeError) as caught:
        (Derived if rebind == "derived" else original)(*arguments().values())
    assert str(caught.value) == message
    assert native_entries(caught) == entries


def test_class_has_only_its_constructor(bv):
    class Twin(nn.Module):
        def __init__(self, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites,
                     node_index, num_cycles, view_tuple):
            pass
    cls = bv.VTXLayer
    # The 3.13 compiler adds these two to every class statement's namespace.
    compiled = {"__firstlineno__", "__static_attributes__"}
    assert sorted(vars(cls)) == sorted(set(vars(Twin)) - compiled)
    assert cls.__bases__ == (nn.Module,) and cls.__doc__ is None and cls.forward is nn.Module.forward
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "VTXLayer", "VTXLayer", "vantorix.blockwise_vantorix")
    assert cls.__init__.__qualname__ == "VTXLayer.__init__"
