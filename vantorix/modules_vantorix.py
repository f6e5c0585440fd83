"""The dendrite-carrying neuron module and its processors.

``VTXNeuronModule(layer)`` wraps any layer: it keeps the layer as its main
module and grows a chain of dendrite layers (copies of the main module), each
with a processor slot, plus the settings that tie the dendrites together.
"""

import copy

import torch
import torch.nn as nn


class DendriteProcessor:
    """Per-dendrite processor; the conversion binds ``pre``/``post`` to these."""

    def pre_d(self, *values):
        return values[0] if len(values) == 1 else values

    def post_d(self, *values):
        return values[0] if len(values) == 1 else values


class MainProcessor:
    """Processor of the main module; the conversion binds ``pre``/``post``."""

    def post_n1(self, *values):
        return values[0] if len(values) == 1 else values

    def post_n2(self, *values):
        return values[0] if len(values) == 1 else values


class DendriteValues(nn.Module):
    """Describes the shape of the values a dendrite produces."""

    def __init__(self, output_dimensions, node_index):
        super().__init__()
        self.this_output_dimensions = list(output_dimensions)
        self.this_node_index = node_index


class DendriteModule(nn.Module):
    """Holder of the dendrite layers, their processors and shared settings."""

    def __init__(self, layers, processors, output_dimensions, node_index,
                 dendrites_to_dendrites, num_cycles):
        super().__init__()
        self.layers = nn.ModuleList(layers)
        self.processors = list(processors)
        self.dendrite_values = nn.ModuleList(
            [DendriteValues(output_dimensions, node_index)])
        self.dendrites_to_dendrites = dendrites_to_dendrites
        self.register_buffer("num_cycles", num_cycles)


class VTXNeuronModule(nn.Module):
    """A layer with dendrites.

    ``num_dendrites`` copies of ``layer`` become the dendrite layers.
    ``output_dimensions`` describes the layer's output (-1 marks the batch
    dimension, 0 the node dimension); ``node_index`` is the position of the
    node dimension.  ``dendrite_processor`` is a factory called once per
    dendrite (or None), ``processor`` the main processor (or None).  Every
    parameter is marked ``wrapped`` as a wrapping component would leave it.
    """

    def __init__(self, layer, num_dendrites=1, output_dimensions=(-1, 0),
                 node_index=1, processor=None, dendrite_processor=None):
        super().__init__()
        layers = [copy.deepcopy(layer) for _ in range(num_dendrites)]
        processors = [dendrite_processor() if dendrite_processor else None
                      for _ in range(num_dendrites)]
        self.main_module = layer
        self.dendrite_module = DendriteModule(
            layers, processors, output_dimensions, node_index,
            nn.ParameterList(), torch.tensor(num_dendrites))
        self.processor = processor
        self.dendrites_to_top = nn.ParameterList(
            [nn.Parameter(torch.zeros(1)) for _ in range(num_dendrites)])
        self.this_node_index = node_index
        for parameter in self.parameters():
            parameter.wrapped = True

    def forward(self, *args, **kwargs):
        return self.main_module(*args, **kwargs)
