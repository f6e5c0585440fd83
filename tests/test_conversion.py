"""Conversion of one neuron module: convert_to_vtx_layer_block."""

from types import SimpleNamespace

import pytest
import torch.nn as nn

from vantorix import modules_vantorix as VT
from vtx_support import native_entries


class Rec:
    """Plain object that logs every read and write of its attributes."""

    def __init__(self, log, path, **attrs):
        self.__dict__.update(log=log, path=path, attrs=attrs)

    def __getattr__(self, name):
        if name not in self.__dict__["attrs"]:
            raise AttributeError(name)
        self.log.append(f"{self.path}.{name}")
        return self.attrs[name]

    def __setattr__(self, name, value):
        self.log.append(f"set {self.path}.{name}")
        self.attrs[name] = value


def dendrite_processor(log, i):
    return Rec(log, f"dp{i}", pre_d=f"pre_d{i}", post_d=f"post_d{i}")


def fake(log, layers=1, processors=None, dims=2, node=1, main=True):
    """Pretrained dendrite object of plain objects; every read lands in `log`."""
    if processors is None:
        processors = [dendrite_processor(log, i) for i in range(layers)]
    values = Rec(log, "dv", this_output_dimensions=[0] * dims, this_node_index=node)
    module = Rec(log, "dm", layers=[f"l{i}" for i in range(layers)], processors=processors,
                 dendrite_values=[values], dendrites_to_dendrites="d2d", num_cycles="cycles")
    processor = Rec(log, "mp", post_n1="n1", post_n2="n2") if main else None
    return Rec(log, "pd", parameters=lambda: [], dendrite_module=module, main_module="main",
               processor=processor, dendrites_to_top="d2t", this_node_index="node")


@pytest.fixture
def built(bv, monkeypatch):
    """Stand-ins for the layer class and for nn.Sequential that log their calls."""
    seen = SimpleNamespace(log=[], calls=[])

    def layer(*args, **kwargs):
        seen.log.append("VTXLayer")
        seen.calls.append((args, kwargs))
        return "layer"

    def sequential(*modules):
        seen.log.append("Sequential")
        return ("Sequential",) + modules
    monkeypatch.setattr(bv, "VTXLayer", layer)
    monkeypatch.setattr(bv, "nn", SimpleNamespace(Sequential=sequential))
    return seen


def test_steps_run_in_order_reading_every_chain_afresh(bv, built):
    pd = fake(built.log)
    dp0, mp = pd.attrs["dendrite_module"].attrs["processors"][0], pd.attrs["processor"]
    assert bv.convert_to_vtx_layer_block(pretrained_dendrite=pd) == "layer"
    dm = ["pd.dendrite_module"]
    procs = dm + ["dm.processors"]
    assert built.log == (
        ["pd.parameters"] + dm + ["dm.layers"] + dm + ["dm.layers"] + procs + procs
        + procs + ["dp0.pre_d"] + procs + ["set dp0.pre"]
        + procs + ["dp0.post_d"] + procs + ["set dp0.post"] + procs
        + ["pd.main_module", "pd.processor"]
        + ["pd.processor", "mp.post_n1", "pd.processor", "set mp.pre"]
        + ["pd.processor", "mp.post_n2", "pd.processor", "set mp.post", "pd.processor"]
        + dm + ["dm.dendrite_values", "dv.this_output_dimensions"]
        + (dm + ["dm.dendrite_values", "dv.this_node_index"]) * 2
        + ["Sequential", "pd.dendrites_to_top"] + dm + ["dm.dendrites_to_dendrites"]
        + ["pd.this_node_index"] + dm + ["dm.num_cycles", "VTXLayer"])
    [(args, kwargs)] = built.calls
    assert kwargs == {}
    assert args == (("Sequential", "l0", "main"), [dp0, mp], "d2t", "d2d", "node", "cycles", [1, -1])
    assert type(args[1]) is list and args[1][0] is dp0 and args[1][1] is mp and type(args[6]) is list
    assert (dp0.attrs["pre"], dp0.attrs["post"]) == ("pre_d0", "post_d0")
    assert (mp.attrs["pre"], mp.attrs["post"]) == ("n1", "n2")


@pytest.mark.parametrize("dims, node, expected", [
    (4, 1, [1, -1, 1, 1]), (3, 0, [-1, 1, 1]), (3, -1, [1, 1, 1]),
    (2, 2, [1, 1]), (2, 1.0, [1, -1]), (0, 0, []),
])
def test_view_shape(bv, built, dims, node, expected):
    bv.convert_to_vtx_layer_block(fake(built.log, dims=dims, node=node))
    view = built.calls[0][0][6]
    assert view == expected and all(type(v) is int for v in view)


class FlipFlop(list):
    """Processor list that equals the empty list only at its first comparison."""

    def __eq__(self, other):
        self.compared.append(other)
        return len(self.compared) == 1


def test_processor_list_is_compared_with_empty_list_at_every_layer(bv, built):
    log = built.log
    processors = FlipFlop([dendrite_processor(log, 0), dendrite_processor(log, 1)])
    processors.compared = []
    bv.convert_to_vtx_layer_block(fake(log, layers=2, processors=processors, main=False))
    assert processors.compared == [[], []] and all(type(o) is list for o in processors.compared)
    assert built.calls[0][0][1] == [None, processors[1], None]
    assert "pre" not in processors[0].attrs and processors[1].attrs["pre"] == "pre_d1"


KEEP = SimpleNamespace(pre_d="a", post_d="b")


@pytest.mark.parametrize("processors, expected", [([], [None, None]), ({0: None, 1: KEEP}, [None, KEEP])])
def test_equal_to_empty_gives_none_otherwise_entries_are_taken(bv, built, processors, expected):
    pd = fake(built.log, layers=2, processors=processors)
    bv.convert_to_vtx_layer_block(pd)
    assert built.calls[0][0][1] == expected + [pd.attrs["processor"]]
    assert processors == [] or (KEEP.pre, KEEP.post) == ("a", "b")


class Untouchable:
    def __eq__(self, other):
        raise AssertionError("compared")

    def __getitem__(self, key):
        raise AssertionError("indexed")


def test_no_dendrite_layers(bv, built):
    pd = fake(built.log, layers=0, processors=Untouchable(), main=False)
    bv.convert_to_vtx_layer_block(pd)
    args = built.calls[0][0]
    assert args[0] == ("Sequential", "main") and args[1] == [None]
    assert "dm.processors" not in built.log


def test_processors_shorter_than_layers(bv, built):
    log = built.log
    first, second = dendrite_processor(log, 0), dendrite_processor(log, 1)
    pd = fake(log, layers=3, processors=[first, second])
    with pytest.raises(IndexError) as caught:
        bv.convert_to_vtx_layer_block(pd)
    assert str(caught.value) == "list index out of range"
    assert native_entries(caught) == ["vantorix.blockwise_vantorix.convert_to_vtx_layer_block"]
    assert first.attrs["post"] == "post_d0" and second.attrs["post"] == "post_d1"
    assert "pre" not in pd.attrs["processor"].attrs and built.calls == []


@pytest.mark.parametrize("name", ["unWrap_params", "VTXLayer", "nn"])
def test_missing_global_raises_name_error(bv, built, monkeypatch, name):
    pd = fake(built.log)
    monkeypatch.delattr(bv, name)
    with pytest.raises(NameError) as caught:
        bv.convert_to_vtx_layer_block(pd)
    assert str(caught.value) == f"name '{name}' is not defined"
    rebound = pd.attrs["dendrite_module"].attrs["processors"][0].attrs
    assert ("pre" in rebound) is (name != "unWrap_params")


def test_neuron_module_becomes_a_layer_sharing_its_parts(bv):
    main, processor = nn.Linear(3, 2), VT.MainProcessor()
    neuron = VT.VTXNeuronModule(main, num_dendrites=2, output_dimensions=(-1, 0, 5), node_index=1,
                                processor=processor, dendrite_processor=VT.DendriteProcessor)
    dendrites, dps = list(neuron.dendrite_module.layers), neuron.dendrite_module.processors
    block = bv.convert_to_vtx_layer_block(neuron)
    assert type(block) is bv.VTXLayer and type(block.layer_array) is nn.Sequential
    assert [id(m) for m in block.layer_array] == [id(m) for m in dendrites + [main]]
    assert [id(p) for p in block.processor_array] == [id(p) for p in dps + [processor]]
    assert all(p.pre == p.pre_d and p.post == p.post_d for p in dps)
    assert processor.pre == processor.post_n1 and processor.post == processor.post_n2
    assert not any(hasattr(p, "wrapped") for p in neuron.parameters())
    assert block.view_tuple.tolist() == [1, -1, 1] and block.node_index == 1
    assert block.num_cycles is neuron.dendrite_module.num_cycles
    assert block.skip_weights[1] is neuron.dendrites_to_top[1]
