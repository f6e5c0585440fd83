"""Pretrained attribute access and parameter unwrapping."""

import sys

import pytest
import torch
import torch.nn as nn

from vtx_support import native_entries


class EqualsEverything:
    value = "read"

    def __eq__(self, other):
        return True

    def __getitem__(self, key):
        return ("item", key)


class ClassSubscript:
    def __class_getitem__(cls, key):
        return ("class item", key)


@pytest.mark.parametrize("second", ["member", 5, [], {}, None])
def test_none_answers_none_whatever_the_second_argument(bv, second):
    assert bv.get_pretrained_vtx_attr(None, second) is None
    assert bv.get_pretrained_vtx_var(None, second) is None
    assert bv.get_pretrained_vtx_attr(member=second, pretrained_dendrite=None) is None
    assert bv.get_pretrained_vtx_var(submodule_id=second, pretrained_dendrite=None) is None


KEY = object()


@pytest.mark.parametrize("function, obj, key, expected", [
    ("var", [10, 20], -1, 20), ("var", (10, 20), 0, 10), ("var", {"a": 1, KEY: 2}, KEY, 2),
    ("var", "text", -2, "x"), ("var", ClassSubscript, int, ("class item", int)), ("var", EqualsEverything(), 3, ("item", 3)),
    ("attr", 0, "real", 0), ("attr", EqualsEverything(), "value", "read"), ("attr", "", "__len__", "".__len__),
])
def test_falsy_and_none_like_objects_are_read(bv, function, obj, key, expected):
    found = getattr(bv, f"get_pretrained_vtx_{function}")(obj, key)
    assert found == expected and type(found) is type(expected)


def module_with_child():
    module = nn.Module()
    module.add_module("0", nn.Linear(1, 1))
    return module


@pytest.mark.parametrize("function, obj, key, error, message", [
    ("var", [], 0, IndexError, "list index out of range"),
    ("var", {}, "b", KeyError, "'b'"),
    ("var", object(), 0, TypeError, "'object' object is not subscriptable"),
    ("var", module_with_child(), "0", TypeError, "'Module' object is not subscriptable"),
    ("var", [1], 2 ** 100, IndexError, "cannot fit 'int' into an index-sized integer"),
    ("var", [1], "a", TypeError, "list indices must be integers or slices, not str"),
    ("attr", object(), "nope", AttributeError, "'object' object has no attribute 'nope'"),
    ("attr", object(), 5, TypeError, "attribute name must be string, not 'int'"),
])
def test_access_errors_propagate(bv, function, obj, key, error, message):
    with pytest.raises(error) as caught:
        getattr(bv, f"get_pretrained_vtx_{function}")(obj, key)
    assert type(caught.value) is error and str(caught.value) == message
    assert native_entries(caught) == [f"vantorix.blockwise_vantorix.get_pretrained_vtx_{function}"]


def marked(value=True):
    parameter = nn.Parameter(torch.zeros(2))
    parameter.wrapped = value
    return parameter


class Model:
    def __init__(self, produce):
        self.produce = produce

    def parameters(self):
        return self.produce()


@pytest.mark.parametrize("shape", [list, tuple, iter, lambda ps: (p for p in ps)])
@pytest.mark.parametrize("value", [True, None, False, torch.ones(1)])
def test_marker_is_removed_whatever_its_value_and_container(bv, shape, value):
    params = [marked(value), nn.Parameter(torch.ones(1)), marked(value)]
    params.append(params[0])
    assert bv.unWrap_params(Model(lambda: shape(params))) is None
    assert not any(hasattr(p, "wrapped") for p in params)


def test_module_parameters_lose_the_marker(bv):
    plain = nn.Linear(2, 2)
    assert bv.unWrap_params(plain) is None and bv.unWrap_params(nn.ReLU()) is None
    net = nn.Sequential(nn.Linear(2, 2), nn.Linear(2, 1))
    for p in net.parameters():
        p.wrapped, p.other = True, "kept"
    bv.unWrap_params(net)
    assert all(not hasattr(p, "wrapped") and p.other == "kept" for p in net.parameters())


class Hidden:
    """Has `wrapped` on lookup, but does not list it."""

    def __init__(self):
        self.wrapped = "instance"

    def __dir__(self):
        return ["something"]


class OnDemand:
    def __getattr__(self, name):
        if name == "wrapped":
            return "supplied"
        raise AttributeError(name)


def test_marker_missing_from_the_listing_is_left_alone(bv):
    hidden, on_demand = Hidden(), OnDemand()
    bv.unWrap_params(Model(lambda: [hidden, on_demand]))
    assert hidden.wrapped == "instance" and on_demand.wrapped == "supplied"


class ClassMarked:
    wrapped = True


def test_class_level_marker_fails_and_stops_the_walk(bv):
    first, last = marked(), marked()
    with pytest.raises(AttributeError) as caught:
        bv.unWrap_params(Model(lambda: [first, ClassMarked(), last]))
    assert str(caught.value) == ("'ClassMarked' object has no attribute 'wrapped'"
                                 if sys.version_info >= (3, 11) else "wrapped")
    assert native_entries(caught) == ["vantorix.blockwise_vantorix.unWrap_params"]
    assert not hasattr(first, "wrapped") and last.wrapped is True


class Logged:
    """Element whose listing runs a hook; deletions are logged by name."""

    def __init__(self, log, name, hook=None):
        self.__dict__.update(log=log, name=name, hook=hook, wrapped=True)

    def __dir__(self):
        if self.hook:
            self.hook()
        return ["wrapped"] if "wrapped" in self.__dict__ else []

    def __delattr__(self, name):
        self.log.append(f"del {self.name}.{name}")
        super().__delattr__(name)


def test_list_changed_while_walked(bv):
    log, params = [], []
    params.append(Logged(log, "a", hook=params.clear))
    params.append(Logged(log, "b"))
    bv.unWrap_params(Model(lambda: params))
    assert log == ["del a.wrapped"] and params == []
    grown = [Logged(log, "c", hook=lambda: grown.append(Logged(log, "d")))]
    bv.unWrap_params(Model(lambda: grown))
    assert log[1:] == ["del c.wrapped", "del d.wrapped"]


def test_failures_of_the_model_propagate(bv):
    def broken():
        yield marked()
        raise ValueError("iteration failed")
    with pytest.raises(AttributeError) as caught:
        bv.unWrap_params(object())
    assert str(caught.value) == "'object' object has no attribute 'parameters'"
    with pytest.raises(ValueError) as caught:
        bv.unWrap_params(Model(broken))
    assert str(caught.value) == "iteration failed"
    assert native_entries(caught) == ["vantorix.blockwise_vantorix.unWrap_params"]
