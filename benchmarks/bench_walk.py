"""Times blockwise_network on synthetic networks and reports peak memory.

    .venv/bin/python benchmarks/bench_walk.py [--scan] [module counts ...]

Each network is a ModuleList of blocks; a block holds nine plain layers and
one neuron module as attributes, so one walked module in ten is converted.
With --scan the walk is given a list subclass as its converted_list, which
the walk can only search item by item: the cost without the name index.
"""

import os
import sys
import time
import tracemalloc

# Run against the in-place build of this checkout.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import torch.nn as nn  # noqa: E402

import vantorix.blockwise_vantorix as bv
from vantorix import modules_vantorix as VT


class Block(nn.Module):
    def __init__(self, width):
        super().__init__()
        for index in range(9):
            setattr(self, f"layer{index}", nn.Linear(width, width) if index % 3 else nn.ReLU())
        self.neuron = VT.VTXNeuronModule(nn.Linear(width, width))


def build(module_count, width=4):
    return nn.ModuleList([Block(width) for _ in range(module_count // 10)])


class ScannedList(list):
    pass


def convert(net, scan):
    if scan:
        return bv.optimize_module(net, 0, "", ScannedList())
    return bv.blockwise_network(net)


def measure(module_count, scan, repeats=3):
    timings = []
    for _ in range(repeats):
        net = build(module_count)
        start = time.perf_counter()
        convert(net, scan)
        timings.append(time.perf_counter() - start)
        assert not any(type(m) is VT.VTXNeuronModule for m in net.modules())
    net = build(module_count)
    tracemalloc.start()
    convert(net, scan)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return min(timings), peak


def main(args):
    scan = "--scan" in args
    counts = [int(arg) for arg in args if arg != "--scan"] or [1000, 10000]
    for count in counts:
        seconds, peak = measure(count, scan, repeats=1 if scan else 3)
        print(f"{count:>7} modules{' (scan)' if scan else ''}: {seconds * 1000:9.1f} ms, "
              f"peak traced memory during conversion {peak / 2**20:7.2f} MiB")


if __name__ == "__main__":
    main(sys.argv[1:])
