"""Times blockwise_network on synthetic networks against the floor of the
torch-level work that any walk of the same network has to do.

    .venv/bin/python benchmarks/bench_walk.py [--meta] [module counts ...]
    .venv/bin/python benchmarks/bench_walk.py --depth [levels ...]
    .venv/bin/python benchmarks/bench_walk.py --caller-list
    .venv/bin/python benchmarks/bench_walk.py --transformer [decoder blocks ...]

The default counts are 1000 2000 10000 50000 200000. A network is a root
holding a ModuleList of blocks; a block holds ten plain layers and one
neuron module as attributes, so one module in twelve is converted.

For each count the script prints the modules the walk reaches, the seconds
of one blockwise_network call (best of three runs; one run from 50,000 on),
microseconds per module, the peak memory the call added (resident set
growth, or traced allocations where /proc cannot say), the floor and the
ratio walk/floor.

The floor replays, on a fresh copy of the same network, the operations that
the walk performs on torch objects and the configuration, each kind in a
loop of its own: `__dir__()` of every module walked, every attribute read
(`getattr` with a default, as many times per member as the walk reads it),
`named_children()` and `get_submodule()` of the container, every
configuration query, every conversion (`convert_to_vtx_layer_block` and the
assignment of its result) and every assignment after a descent. The cost of
each loop's own iteration, measured by the same loop with an empty body, is
taken out. What remains above the floor is the walk itself: path names, the
`in` tests, type tests, global lookups and calls.

With --depth the networks are chains instead: each level a module whose
one member (its `__dir__()` lists nothing else) is the next level, the last
one a neuron module, so that path names grow by two characters a level. For
each length (default 1000 5000 20000) the script prints the seconds of one
blockwise_network call (best of three), microseconds per level and their
ratio to those of the shortest chain, each chain walked on the main thread
of a process of its own whose stack limit and recursion limit it raises,
and what making and keeping the chain's path names alone costs per level,
which every walk of the chain must do.
Last, it times one optimize_module call on a module with one member while
the caller's list holds 40 names of 6,000 dots each.

With --caller-list it times optimize_module called from Python with a list
of the caller's, in four cases: one member against 100,000 short names; one
member against 100 names of 100,000 characters; 2,000 members each found as
the list's first item; 500 blocks of two leaves, each walked by a call of
its own, sharing a list of 20,000 names. For each it prints the
milliseconds of the module's calls and of the same calls of the walk
written in plain Python, each also less the same calls with the shortest
list on which they take the same way:
what the membership tests cost. Last, the peak memory of one call that
indexes a caller's list of 65,537, 100,000 and 131,071 names, per name.

With --meta the networks are built on the meta device, as a network too
large for real weights is, and the script prints per count the CPU seconds
and the peak memory added by building and by converting, and the ratio of
the peak over both steps to the memory the module tree alone keeps (what
building added and still holds).

With --transformer the network is shaped like today's transformer
checkpoints: token embeddings, decoder blocks (default 32) of attention
projections (q, k, v, o), a gated MLP (gate, up, down) and two norms, a
final norm and an output head, every linear layer wrapped in a neuron
module. The dimensions are small, since the walk's work depends on the
tree and not on the weights. It prints the same columns as for the wide
networks.
"""

import gc
import json
import os
import subprocess
import sys
import time
import tracemalloc

# --help answers before torch and the module load.
if __name__ == "__main__" and sys.argv[1:2] in (["-h"], ["--help"]):
    print(__doc__)
    sys.exit(0)

# Run against the in-place build of this checkout.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import torch.nn as nn  # noqa: E402

try:
    import vantorix.blockwise_vantorix as bv
except ImportError as error:
    sys.exit(f"{error}\nNo built vantorix.blockwise_vantorix: in a checkout, "
             "`bash scripts/setup.sh` makes the in-place build in vantorix/.")
from vantorix import globals_vantorix as GVT  # noqa: E402
from vantorix import modules_vantorix as VT  # noqa: E402

PLAIN_PER_BLOCK = 10
MODULES_PER_BLOCK = PLAIN_PER_BLOCK + 2  # the block, its plain layers, its neuron


class Block(nn.Module):
    def __init__(self):
        super().__init__()
        for index in range(PLAIN_PER_BLOCK):
            setattr(self, f"layer{index}", nn.Linear(2, 2) if index % 5 == 0 else nn.ReLU())
        self.neuron = VT.VTXNeuronModule(nn.Linear(2, 2))


class Network(nn.Module):
    def __init__(self, blocks):
        super().__init__()
        self.blocks = nn.ModuleList([Block() for _ in range(blocks)])


def block_count(module_count):
    return max(1, round((module_count - 2) / MODULES_PER_BLOCK))


def build(module_count):
    return Network(block_count(module_count))


# ------------------------------------------------------------------ memory

def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise OSError(field)


def resident():
    """The resident set size now, in bytes, after resetting its peak."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak resident set size
    return _status("VmRSS:")


def peak_memory(run):
    """Runs `run` and returns the peak memory it added, in bytes."""
    try:
        before = resident()
        run()
        return _status("VmHWM:") - before
    except OSError:
        tracemalloc.start()
        run()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return peak


# ------------------------------------------------------------------- walk

def time_walk(module_count, measure_memory):
    """Seconds of one blockwise_network call, and the memory it added."""
    net = build(module_count)
    gc.collect()
    seconds = []

    def walk():
        start = time.process_time()
        bv.blockwise_network(net)
        seconds.append(time.process_time() - start)

    peak = peak_memory(walk) if measure_memory else walk()
    assert not any(type(m) is VT.VTXNeuronModule for m in net.modules())
    return seconds[0], peak


# ------------------------------------------------------------------ floor

class Plan:
    """The torch-level operations of one walk, by kind, in walk order."""

    def __init__(self):
        self.dirs, self.reads, self.submodules = [], [], []
        self.children_of, self.not_to_save, self.verbose = [], 0, 0
        self.conversions, self.assignments = [], []


def plan_walk(plan, net, name_so_far, converted):
    """Records what optimize_module does to `net`, without doing it."""
    all_members = net.__dir__()
    plan.dirs.append(net)
    if isinstance(net, (nn.Sequential, nn.ModuleList)):
        plan.children_of.append(net)
        for key, child in net.named_children():
            path = f"{name_so_far}[{key}]"
            if type(child) is VT.VTXNeuronModule:
                plan.submodules += [(net, key)] * 2
                plan.verbose += 1
                plan.conversions.append((net, key, child))
            else:
                plan.submodules += [(net, key)] * 3
                converted.add(path)
                plan.assignments.append((net, key, child))
                plan_walk(plan, child, path, converted)
        return
    for member in all_members:
        plan.reads.append((net, member))
        try:
            getattr(net, member, None)
        except BaseException:
            continue
        sub_name = name_so_far + "." + member
        plan.not_to_save += 1
        if sub_name in converted:
            plan.verbose += 1
            continue
        value = getattr(net, member, None)
        if type(value) is VT.VTXNeuronModule:
            plan.reads += [(net, member)] * 2
            plan.verbose += 1
            plan.conversions.append((net, member, value))
        elif isinstance(value, nn.Module) and value is not net:
            plan.reads += [(net, member)] * 4
            converted.add(sub_name)
            plan.assignments.append((net, member, value))
            plan_walk(plan, value, sub_name, converted)
        else:
            plan.reads += [(net, member)] * 2


def timed(loop, items):
    start = time.process_time()
    loop(items)
    return time.process_time() - start


def floor_seconds(module_count):
    net = build(module_count)
    plan = Plan()
    plan_walk(plan, net, "", set())
    pc_holder, convert = GVT, bv.convert_to_vtx_layer_block
    queries = [None] * plan.not_to_save

    def dirs(modules):
        for module in modules:
            module.__dir__()

    def children(containers):
        for container in containers:
            for _ in container.named_children():
                pass

    def reads(pairs):
        for module, member in pairs:
            getattr(module, member, None)

    def submodules(pairs):
        for module, key in pairs:
            module.get_submodule(key)

    def not_to_save(items):
        for _ in items:
            pc_holder.pc.get_module_names_to_not_save()

    def verbose(items):
        for _ in items:
            pc_holder.pc.get_extra_verbose()

    def conversions(triples):
        for module, name, neuron in triples:
            setattr(module, name, convert(neuron))

    def assignments(triples):
        for module, name, child in triples:
            setattr(module, name, child)

    def empty_pairs(pairs):
        for _module, _member in pairs:
            pass

    def empty_triples(triples):
        for _module, _name, _value in triples:
            pass

    def empty(items):
        for _ in items:
            pass

    gc.collect()
    work = [(dirs, empty, plan.dirs), (children, empty, plan.children_of),
            (reads, empty_pairs, plan.reads), (submodules, empty_pairs, plan.submodules),
            (not_to_save, empty, queries), (verbose, empty, [None] * plan.verbose),
            (conversions, empty_triples, plan.conversions),
            (assignments, empty_triples, plan.assignments)]
    total = 0.0
    for loop, overhead, items in work:
        total += timed(loop, items) - timed(overhead, items)
    return total


def measure(count):
    """One size, in a process of its own so that memory freed by an earlier
    size cannot hide what this one adds. Walk and floor take turns, so that
    a change in the machine's load touches both alike."""
    repeats = 3 if count < 50000 else 1
    walks, floors, peak = [], [], 0
    for run in range(repeats):
        seconds, added = time_walk(count, measure_memory=run == 0)
        walks.append(seconds)
        peak = max(peak, added or 0)
        floors.append(floor_seconds(count))
    print(json.dumps([min(walks), peak, min(floors)]))


# ------------------------------------------------------------------ depth

class Link(nn.Module):
    """One level of a chain: its only member is the next level."""

    def __dir__(self):
        return ["n"]


def chain(levels):
    root = node = Link()
    for _ in range(levels - 2):
        node.n = Link()
        node = node.n
    node.n = VT.VTXNeuronModule(nn.Linear(2, 2))
    return root


def names_seconds(levels):
    """What making and keeping the chain's path names alone costs, each
    joined from three parts with one copy, as the walk makes them."""
    names, name = [], ""
    start = time.process_time()
    for _ in range(levels):
        name = "".join((name, ".", "n"))
        names.append(name)
    return time.process_time() - start


def measure_depth(levels):
    sys.setrecursionlimit(10 * levels + 1000)
    seconds, names = [], []
    for _ in range(3):
        net = chain(levels)
        gc.collect()
        start = time.process_time()
        bv.blockwise_network(net)
        seconds.append(time.process_time() - start)
        del net
        gc.collect()
        names.append(names_seconds(levels))
    print(json.dumps([min(seconds), min(names)]))


def long_names_call():
    """Milliseconds of one optimize_module call on a module with one member
    while the caller's list holds 40 names of 6,000 dots each."""
    names = [("." + "x" * (index % 7 + 1)) * 6000 for index in range(40)]
    seconds = []
    for _ in range(3):
        net = Link()
        net.n = nn.ReLU()
        start = time.process_time()
        bv.optimize_module(net, 0, "", list(names))
        seconds.append(time.process_time() - start)
    return min(seconds) * 1e3


def main_depth(lengths):
    import resource

    def big_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (1 << 30, 1 << 30))

    print(f"{'levels':>8} {'walk s':>9} {'us/level':>9} {'ratio':>6} {'names us/level':>15}")
    first = None
    for levels in lengths:
        out = subprocess.run([sys.executable, __file__, "--one-depth", str(levels)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True,
                             preexec_fn=big_stack).stdout
        seconds, names = json.loads(out.splitlines()[-1])
        per_level = seconds / levels * 1e6
        first = first or per_level
        print(f"{levels:>8} {seconds:>9.3f} {per_level:>9.2f} {per_level / first:>6.2f} "
              f"{names / levels * 1e6:>15.2f}", flush=True)
    print(f"optimize_module, 40 listed names of 6,000 dots: {long_names_call():.2f} ms")


# ------------------------------------------------------------ caller list

class Members(nn.Module):
    """A module whose __dir__ lists the names given, none of them a module."""

    def __init__(self, members):
        super().__init__()
        self.members = members

    def __dir__(self):
        return self.members


class Pair(nn.Module):
    """A block of two small leaves, each of three plain members."""

    def __init__(self):
        super().__init__()
        self.left = Members(["p", "q", "r"])
        self.right = Members(["p", "q", "r"])

    def __dir__(self):
        return ["left", "right"]


def caller_list_cases():
    """(what, make) of each case; make() gives the calls, a list of
    (net, name_so_far), the list they share, and the shortest list with
    which the calls take the same way."""
    short = [".block%d" % index for index in range(100000)]
    long = [("." + "x" * 99999)[:-1] + chr(65 + index % 26) + "%d" % index
            for index in range(100)]
    return [
        ("one member, 100,000 short names", lambda: ([(Members(["n"]), "")], list(short), [])),
        ("one member, 100 names of 100,000 characters",
         lambda: ([(Members(["n"]), "")], list(long), [])),
        ("2,000 questions answered by the first of 100,000 names",
         lambda: ([(Members(["n"] * 2000), "")], [".n"] + short, [".n"])),
        ("500 blocks of two leaves, a 20,000-name list",
         lambda: ([(Pair(), ".blocks[%d]" % index) for index in range(500)], short[:20000], [])),
    ]


def caller_list_ms(optimize, make):
    """Milliseconds of the calls of one case, best of three, and of the same
    calls with the shortest list: their difference is what the tests cost."""
    results = []
    for listed in (True, False):
        seconds = []
        for _ in range(3):
            calls, names, shortest = make()
            if not listed:
                names = shortest
            gc.collect()
            start = time.process_time()
            for net, name_so_far in calls:
                optimize(net, 0, name_so_far, names)
            seconds.append(time.process_time() - start)
        results.append(min(seconds) * 1e3)
    return results


def index_bytes_per_name(count):
    """Peak memory traced during one call that indexes a caller's list of
    `count` short names, per name: names, list and call made beforehand."""
    names = [".block%d" % index for index in range(count)]
    net = Members(["m%d" % index for index in range(50)])
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    bv.optimize_module(net, 0, "", names)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return peak / count


def main_caller_list():
    # The walk written in plain Python, statement for statement.
    import stack_usage
    print(f"{'case':<56} {'module ms':>10} {'tests ms':>9} {'Python ms':>10} {'tests ms':>9}")
    for what, make in caller_list_cases():
        native, native_empty = caller_list_ms(bv.optimize_module, make)
        python, python_empty = caller_list_ms(stack_usage.optimize_module, make)
        print(f"{what:<56} {native:>10.2f} {native - native_empty:>9.2f} "
              f"{python:>10.2f} {python - python_empty:>9.2f}", flush=True)
    print("peak memory of one call that indexes the list, bytes per name:")
    for count in (65537, 100000, 131071):
        print(f"{count:>8} names {index_bytes_per_name(count):>8.1f}", flush=True)


# ------------------------------------------------------------------- meta

def measure_meta(count):
    """Builds and converts one network on the meta device: seconds and peak
    memory added by each step, and the memory the built tree keeps."""
    import torch
    gc.collect()
    base = resident()
    start = time.process_time()
    with torch.device("meta"):
        net = build(count)
    build_seconds = time.process_time() - start
    build_peak = _status("VmHWM:") - base
    tree = resident() - base
    start = time.process_time()
    with torch.device("meta"):
        bv.blockwise_network(net)
    convert_seconds = time.process_time() - start
    convert_peak = _status("VmHWM:") - base
    assert not any(type(m) is VT.VTXNeuronModule for m in net.modules())
    print(json.dumps([build_seconds, build_peak, tree, convert_seconds, convert_peak]))


def main_meta(counts):
    print(f"{'modules':>8} {'build s':>8} {'peak MiB':>9} {'tree MiB':>9} "
          f"{'convert s':>10} {'peak MiB':>9} {'peak/tree':>10}")
    for count in counts:
        out = subprocess.run([sys.executable, __file__, "--one-meta", str(count)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        build_s, build_peak, tree, convert_s, convert_peak = json.loads(out.splitlines()[-1])
        modules = 2 + MODULES_PER_BLOCK * block_count(count)
        print(f"{modules:>8} {build_s:>8.2f} {build_peak / 2**20:>9.1f} {tree / 2**20:>9.1f} "
              f"{convert_s:>10.2f} {convert_peak / 2**20:>9.1f} "
              f"{max(build_peak, convert_peak) / tree:>10.2f}", flush=True)


# ------------------------------------------------------------ transformer

TRANSFORMER_WIDTH, TRANSFORMER_HIDDEN, TRANSFORMER_VOCABULARY = 8, 16, 64


def projection(in_features, out_features):
    return VT.VTXNeuronModule(nn.Linear(in_features, out_features, bias=False))


def norm():
    # RMSNorm came with torch 2.4; the walk treats either as a plain module.
    return getattr(nn, "RMSNorm", nn.LayerNorm)(TRANSFORMER_WIDTH)


class SelfAttention(nn.Module):
    def __init__(self):
        super().__init__()
        for name in ("q_proj", "k_proj", "v_proj", "o_proj"):
            setattr(self, name, projection(TRANSFORMER_WIDTH, TRANSFORMER_WIDTH))


class GatedMLP(nn.Module):
    def __init__(self):
        super().__init__()
        self.gate_proj = projection(TRANSFORMER_WIDTH, TRANSFORMER_HIDDEN)
        self.up_proj = projection(TRANSFORMER_WIDTH, TRANSFORMER_HIDDEN)
        self.down_proj = projection(TRANSFORMER_HIDDEN, TRANSFORMER_WIDTH)
        self.act_fn = nn.SiLU()


class DecoderBlock(nn.Module):
    def __init__(self):
        super().__init__()
        self.input_layernorm = norm()
        self.self_attn = SelfAttention()
        self.post_attention_layernorm = norm()
        self.mlp = GatedMLP()


class Transformer(nn.Module):
    def __init__(self, blocks):
        super().__init__()
        self.embed_tokens = nn.Embedding(TRANSFORMER_VOCABULARY, TRANSFORMER_WIDTH)
        self.layers = nn.ModuleList([DecoderBlock() for _ in range(blocks)])
        self.norm = norm()
        self.lm_head = projection(TRANSFORMER_WIDTH, TRANSFORMER_VOCABULARY)


def reached(module):
    """The modules a walk reaches: it converts a neuron module without
    descending into it."""
    if type(module) is VT.VTXNeuronModule:
        return 1
    return 1 + sum(reached(child) for child in module.children())


def measure_transformer(blocks):
    """The wide networks' measure, in a process of its own, with the
    transformer as the network: measure() and its helpers make the network
    through build()."""
    global build
    build = lambda _count: Transformer(blocks)  # noqa: E731
    measure(blocks)


def main_transformer(block_counts):
    print(f"{'blocks':>8} {'modules':>8} {'walk s':>9} {'us/module':>10} {'peak MiB':>9} "
          f"{'floor s':>9} {'walk/floor':>10}")
    for blocks in block_counts:
        out = subprocess.run([sys.executable, __file__, "--one-transformer", str(blocks)],
                             check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
        seconds, peak, floor = json.loads(out.splitlines()[-1])
        modules = reached(Transformer(blocks))
        print(f"{blocks:>8} {modules:>8} {seconds:>9.3f} {seconds / modules * 1e6:>10.1f} "
              f"{peak / 2**20:>9.1f} {floor:>9.3f} {seconds / floor:>10.2f}", flush=True)


def main(args):
    if args[:1] == ["--one"]:
        return measure(int(args[1]))
    if args[:1] == ["--one-transformer"]:
        return measure_transformer(int(args[1]))
    if args[:1] == ["--transformer"]:
        return main_transformer([int(arg) for arg in args[1:]] or [32])
    if args[:1] == ["--one-meta"]:
        return measure_meta(int(args[1]))
    if args[:1] == ["--one-depth"]:
        return measure_depth(int(args[1]))
    if args[:1] == ["--caller-list"]:
        return main_caller_list()
    if args[:1] == ["--depth"]:
        return main_depth([int(arg) for arg in args[1:]] or [1000, 5000, 20000])
    meta = args[:1] == ["--meta"]
    counts = [int(arg) for arg in args[meta:]] or [1000, 2000, 10000, 50000, 200000]
    if meta:
        return main_meta(counts)
    print(f"{'modules':>8} {'walk s':>9} {'us/module':>10} {'peak MiB':>9} "
          f"{'floor s':>9} {'walk/floor':>10}")
    per_module = {}
    for count in counts:
        out = subprocess.run([sys.executable, __file__, "--one", str(count)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        seconds, peak, floor = json.loads(out.splitlines()[-1])
        modules = 2 + MODULES_PER_BLOCK * block_count(count)
        per_module[count] = seconds / modules * 1e6
        print(f"{modules:>8} {seconds:>9.2f} {per_module[count]:>10.1f} {peak / 2**20:>9.1f} "
              f"{floor:>9.2f} {seconds / floor:>10.2f}", flush=True)
    if 2000 in per_module and len(per_module) > 1:
        largest = max(per_module)
        print(f"us/module at {largest} over 2000: {per_module[largest] / per_module[2000]:.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
