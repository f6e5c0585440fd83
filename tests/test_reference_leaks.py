"""Repeated calls leave nothing behind: for every exported function and the
constructor, on success, on a binding error and on an error raised by the
caller's own object, the inputs' reference counts and the number of objects
that the garbage collector tracks end where they started. As in CPython's
reference-leak hunt, the calls are warmed up first."""
import gc
import sys

import pytest
import torch
import torch.nn as nn

import vantorix.modules_vantorix as VT

WARMUP, REPEAT = 5, 30


class Raising(nn.Module):
    """Every read, listing, item and truth test of it raises."""

    def __getattr__(self, name):
        raise KeyError(name)

    def __dir__(self):
        raise KeyError("__dir__")

    def __getitem__(self, key):
        raise KeyError(key)

    def __bool__(self):
        raise KeyError("__bool__")


def network():
    net = nn.Module()
    net.body = nn.Sequential(nn.Linear(2, 2), nn.ReLU())
    net.inner = nn.Module()
    net.inner.plain = nn.Linear(2, 2)
    return net


def layer_arguments(dendrites_to_dendrites=None):
    return [nn.Sequential(nn.Linear(2, 2)), [None], nn.ParameterList([nn.Parameter(torch.ones(1))]),
            dendrites_to_dendrites, 1, torch.tensor(1), [1, -1]]


# function, then the arguments of a call that succeeds and of one where the
# caller's object raises
CASES = [
    ("blockwise_network", [network()], [Raising()]),
    ("optimize_module", [network(), 0, "", []], [Raising(), 0, "", []]),
    ("convert_to_vtx_layer_block", [VT.VTXNeuronModule(nn.Linear(2, 2))], [Raising()]),
    ("VTXLayer", layer_arguments(), layer_arguments(Raising())),
    ("unWrap_params", [VT.VTXNeuronModule(nn.Linear(2, 2))], [Raising()]),
    ("get_pretrained_vtx_attr", [nn.Linear(2, 2), "weight"], [Raising(), "weight"]),
    ("get_pretrained_vtx_var", [nn.Sequential(nn.ReLU()), 0], [Raising(), 0]),
]


def calling(function, args, kwargs, expected):
    def call():
        try:
            function(*args, **kwargs)
        except expected:
            pass
    return call


def footprint(args):
    gc.collect()
    return [sys.getrefcount(arg) for arg in args], len(gc.get_objects())


@pytest.mark.parametrize("path", ["success", "binding error", "caller's error"])
@pytest.mark.parametrize("name, good, raising", CASES, ids=[case[0] for case in CASES])
def test_repeated_calls_leak_nothing(bv, name, good, raising, path):
    args = raising if path == "caller's error" else good
    kwargs = {"unexpected": 1} if path == "binding error" else {}
    expected = () if path == "success" else (TypeError if kwargs else KeyError)
    call = calling(getattr(bv, name), args, kwargs, expected)
    for _ in range(WARMUP):
        call()
    refcounts, tracked = footprint(args)
    for _ in range(REPEAT):
        call()
    after_refcounts, after_tracked = footprint(args)
    assert after_refcounts == refcounts
    # a leak of one object per call would add at least REPEAT
    assert after_tracked - tracked < REPEAT // 2
