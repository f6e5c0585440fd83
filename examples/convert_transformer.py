"""Converts a small transformer-style model end to end.

Neuron modules wrap the model's linear layers in three kinds of place: plain
attributes (the attention projections and the output head), a Sequential
(each block's feed-forward part) and a ModuleList (the blocks themselves
hold them below). The head's path is on the not-to-save list, so the walk
leaves it alone. Run with scripts/example.sh.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import torch  # noqa: E402
import torch.nn as nn  # noqa: E402

import vantorix.blockwise_vantorix as bv  # noqa: E402
from vantorix import globals_vantorix as GVT  # noqa: E402
from vantorix import modules_vantorix as VT  # noqa: E402


def neuron(in_features, out_features):
    return VT.VTXNeuronModule(nn.Linear(in_features, out_features),
                              processor=VT.MainProcessor(),
                              dendrite_processor=VT.DendriteProcessor)


class Attention(nn.Module):
    def __init__(self, width):
        super().__init__()
        self.query = neuron(width, width)
        self.key = neuron(width, width)
        self.value = neuron(width, width)
        self.out = neuron(width, width)


class Block(nn.Module):
    def __init__(self, width):
        super().__init__()
        self.norm1 = nn.LayerNorm(width)
        self.attention = Attention(width)
        self.norm2 = nn.LayerNorm(width)
        self.feed_forward = nn.Sequential(neuron(width, 4 * width), nn.GELU(),
                                          neuron(4 * width, width))


class TinyTransformer(nn.Module):
    def __init__(self, vocabulary=100, width=16, depth=2):
        super().__init__()
        self.embedding = nn.Embedding(vocabulary, width)
        self.blocks = nn.ModuleList([Block(width) for _ in range(depth)])
        self.head = neuron(width, vocabulary)


def neuron_paths(model):
    return [name for name, module in model.named_modules()
            if type(module) is VT.VTXNeuronModule]


def main():
    torch.manual_seed(0)
    model = TinyTransformer()
    skipped = ".head"
    GVT.pc.set_module_names_to_not_save([skipped])
    GVT.pc.set_extra_verbose(True)

    found = neuron_paths(model)
    before = {id(p): (p, p.data_ptr()) for p in model.parameters()}
    count_before = sum(p.numel() for p in model.parameters())

    print(f"Before: {len(found)} neuron modules, {len(before)} parameter tensors, "
          f"{count_before} values")
    print("Converting with progress messages on:")
    result = bv.blockwise_network(model)
    GVT.pc.set_extra_verbose(False)

    blocks = [name for name, module in model.named_modules()
              if isinstance(module, bv.VTXLayer)]
    after = {id(p): p for p in model.parameters()}
    count_after = sum(p.numel() for p in model.parameters())
    carried = [key for key in before if key in after]
    same_storage = all(after[key].data_ptr() == before[key][1] for key in carried)
    added = [p for key, p in after.items() if key not in before]

    print()
    print(f"blockwise_network returned the same model object: {result is model}")
    print(f"After: {len(blocks)} layer blocks made, {len(neuron_paths(model))} neuron "
          f"modules left ({', '.join(neuron_paths(model)) or 'none'})")
    print(f"Skipped by the not-to-save list: {skipped} "
          f"(still a {type(model.head).__name__})")
    print(f"Parameter values: {count_before} before, {count_after} after; "
          f"{len(carried)} of {len(before)} tensors carried over as the very same "
          f"objects with the same storage: {same_storage}")
    print(f"New tensors: {len(added)} zero skip weights of shape "
          f"{sorted({tuple(p.shape) for p in added})}, one per block")
    for name in blocks:
        block = model.get_submodule(name)
        print(f"  {name}: {len(block.layer_array)} layers, view shape "
              f"{block.view_tuple.tolist()}, {len(block.skip_weights)} skip weights")


if __name__ == "__main__":
    main()
