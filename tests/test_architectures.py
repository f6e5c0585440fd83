"""Whole networks built from torch's own architectures."""

import gc
import sys

import pytest
import torch
import torch.nn as nn

from vantorix import modules_vantorix as VT


def wrap_linears(module, processors=False):
    """Wrap every Linear below `module` in place; answer the neuron modules by path."""
    for name, child in list(module.named_children()):
        if isinstance(child, nn.Linear):
            extra = dict(num_dendrites=2, processor=VT.MainProcessor(),
                         dendrite_processor=VT.DendriteProcessor) if processors else {}
            setattr(module, name, VT.VTXNeuronModule(child, **extra))
        else:
            wrap_linears(child, processors)
    return {path: m for path, m in module.named_modules() if type(m) is VT.VTXNeuronModule}


class Tagger(nn.Module):
    def __init__(self, rnn, head):
        super().__init__()
        self.embed = nn.Embedding(10, 4)
        self.rnn = rnn
        self.head = head


ARCHITECTURES = {
    "transformer": lambda: nn.Transformer(d_model=8, nhead=2, num_encoder_layers=2,
                                          num_decoder_layers=1, dim_feedforward=16),
    "encoder": lambda: nn.TransformerEncoder(nn.TransformerEncoderLayer(8, 2, 16), num_layers=2,
                                             enable_nested_tensor=False),
    "decoder": lambda: nn.TransformerDecoder(nn.TransformerDecoderLayer(8, 2, 16), num_layers=2),
    "lstm": lambda: Tagger(nn.LSTM(4, 8, batch_first=True), nn.Linear(8, 3)),
    "gru": lambda: Tagger(nn.GRU(4, 8, num_layers=2),
                          nn.Sequential(nn.Linear(8, 8), nn.ReLU(), nn.Linear(8, 3))),
}


def parts(neuron):
    return list(neuron.dendrite_module.layers) + [neuron.main_module]


@pytest.mark.parametrize("processors", [False, True])
@pytest.mark.parametrize("name", list(ARCHITECTURES))
def test_every_neuron_module_becomes_a_layer_block(bv, name, processors):
    model = ARCHITECTURES[name]()
    neurons = wrap_linears(model, processors)
    assert neurons
    carried = {path: {k: v.data_ptr() for k, v in n.main_module.state_dict().items()}
               for path, n in neurons.items()}
    assert bv.blockwise_network(model) is model
    assert not any(type(m) is VT.VTXNeuronModule for m in model.modules())
    assert sum(type(m) is bv.VTXLayer for m in model.modules()) == len(neurons)
    state = model.state_dict()
    for path, neuron in neurons.items():
        block = model.get_submodule(path)
        assert type(block) is bv.VTXLayer
        assert [id(m) for m in block.layer_array] == [id(m) for m in parts(neuron)]
        assert [id(p) for p in block.processor_array] == [
            id(p) for p in neuron.dendrite_module.processors + [neuron.processor]]
        last = len(parts(neuron)) - 1
        assert block.layer_array[last].weight is neuron.main_module.weight
        for key, pointer in carried[path].items():
            assert state[f"{path}.layer_array.{last}.{key}"].data_ptr() == pointer
        for index, layer in enumerate(parts(neuron)[:-1]):
            for key, value in layer.state_dict().items():
                assert state[f"{path}.layer_array.{index}.{key}"].data_ptr() == value.data_ptr()
        assert {f"{path}.num_cycles", f"{path}.view_tuple"} <= state.keys()
    assert not any(hasattr(p, "wrapped") for p in model.parameters())


def short_processors(neuron):
    neuron.dendrite_module.processors = [VT.DendriteProcessor()]
    return neuron


def two_dendrites():
    return VT.VTXNeuronModule(nn.Linear(2, 2), num_dendrites=2, dendrite_processor=VT.DendriteProcessor)


CALLS = [
    ("blockwise_network", lambda: (Tagger(nn.GRU(4, 4), VT.VTXNeuronModule(nn.Linear(4, 2))),), None),
    ("blockwise_network", lambda: (nn.Sequential(short_processors(two_dendrites())),), IndexError),
    ("optimize_module", lambda: (nn.Sequential(two_dendrites()), int("1" * 25), "".join([".", "root"]), []),
     None),
    ("convert_to_vtx_layer_block", lambda: (two_dendrites(),), None),
    ("convert_to_vtx_layer_block", lambda: (short_processors(two_dendrites()),), IndexError),
    ("unWrap_params", lambda: (two_dendrites(),), None),
    ("unWrap_params", lambda: (object(),), AttributeError),
    ("get_pretrained_vtx_attr", lambda: (nn.Linear(2, 2), "weight"), None),
    ("get_pretrained_vtx_attr", lambda: (object(), "nope"), AttributeError),
    ("get_pretrained_vtx_var", lambda: ([object()], 0), None),
    ("get_pretrained_vtx_var", lambda: ({}, object()), KeyError),
    ("VTXLayer", lambda: (nn.Sequential(), [], [object()], [], object(), torch.tensor(1), [1]), None),
    ("VTXLayer", lambda: (nn.Sequential(), [], [], None, object(), int("3" * 25), [1]), TypeError),
]


def call_and_drop(function, args, error):
    if error is None:
        function(*args)
    else:
        with pytest.raises(error):
            function(*args)


@pytest.mark.parametrize("name, make, error", CALLS,
                         ids=[f"{n}-{'fails' if e else 'succeeds'}" for n, _, e in CALLS])
def test_reference_counts_of_arguments_are_unchanged(bv, name, make, error):
    args = make()
    if error is not None:
        call_and_drop(getattr(bv, name), args, error)  # lets the interpreter fill its lookup caches
    gc.collect()
    before = [sys.getrefcount(a) for a in args]
    call_and_drop(getattr(bv, name), args, error)
    gc.collect()
    assert [sys.getrefcount(a) for a in args] == before
