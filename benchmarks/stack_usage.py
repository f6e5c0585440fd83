"""C stack that the walk takes, measured by painting the stack.

    python benchmarks/stack_usage.py [--depths] [thread stack KiB ...]

A thread of known stack size fills the unused part of its stack with a
pattern, walks a chain of modules (each holding the next as its attribute
`n`, a neuron module at the bottom) and then looks how far down the pattern
was overwritten. Linux x86-64 only (it reads the stack pointer from
getcontext()). It measures the installed vantorix where the interpreter has
one, else the in-place build of the checkout it lies in, and names the
module's file.

Prints, for blockwise_network and for a plain-Python walk of the same
network (the same statements, written in Python):
  - bytes per level: the difference in stack used between chains of 100 and
    300 levels, divided by 200;
  - for blockwise_network in each thread size given (default 32, 64, 256
    KiB): the deepest chain tried, whether it converted, and how many bytes
    at the low end of the stack were never touched, i.e. what the way out of
    the stack bound left unused.
With --depths, also the deepest chain that converts under the default
recursion limit, per thread size, for both walks; each probe runs in a
process of its own, since a plain-Python walk may overflow a small stack.
"""
import ctypes
import json
import os
import struct
import subprocess
import sys
import threading

# --help answers before torch and the module load.
if __name__ == "__main__" and sys.argv[1:2] in (["-h"], ["--help"]):
    print(__doc__)
    sys.exit(0)

import torch.nn as nn  # noqa: E402

# The installed module where there is one (a wheel's frames are measured
# that way), else the in-place build of this checkout.
try:
    import vantorix.blockwise_vantorix as bv
except ImportError:
    sys.modules.pop("vantorix", None)
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        import vantorix.blockwise_vantorix as bv
    except ImportError as error:
        sys.exit(f"{error}\nNo built vantorix.blockwise_vantorix: in a checkout, "
                 "`bash scripts/setup.sh` makes the in-place build in vantorix/.")
from vantorix import globals_vantorix as GVT  # noqa: E402
from vantorix import modules_vantorix as VT  # noqa: E402

PATTERN = 0xA5
# Left unpainted above the painting call, for the frames of that call itself.
MARGIN = 4 * 1024

libc = ctypes.CDLL(None)
libc.pthread_self.restype = ctypes.c_ulong


def stack_bounds():
    """(lowest usable address, size) of the calling thread's stack."""
    attributes = ctypes.create_string_buffer(256)
    libc.pthread_getattr_np(ctypes.c_ulong(libc.pthread_self()), attributes)
    base, size = ctypes.c_void_p(), ctypes.c_size_t()
    libc.pthread_attr_getstack(attributes, ctypes.byref(base), ctypes.byref(size))
    libc.pthread_attr_destroy(attributes)
    return base.value, size.value


def stack_pointer():
    context = ctypes.create_string_buffer(1024)
    libc.getcontext(context)
    # ucontext_t: uc_flags, uc_link, uc_stack (24 bytes), then gregs[], RSP is gregs[15]
    return struct.unpack_from("Q", context.raw, 40 + 15 * 8)[0]


def optimize_module(net, depth, name_so_far, converted_list):
    """The walk in plain Python, statement for statement."""
    all_members = net.__dir__()
    if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
        for submodule_id, layer in net.named_children():
            if type(net.get_submodule(submodule_id)) is VT.VTXNeuronModule:
                if GVT.pc.get_extra_verbose():
                    print("Seq sub is VTX so optimizing: %s" % name_so_far + "[" + str(submodule_id) + "]")
                setattr(net, submodule_id, bv.convert_to_vtx_layer_block(net.get_submodule(submodule_id)))
            elif net != net.get_submodule(submodule_id):
                converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
                setattr(net, submodule_id, optimize_module(
                    net.get_submodule(submodule_id), depth + 1,
                    name_so_far + "[" + str(submodule_id) + "]", converted_list))
            elif GVT.pc.get_extra_verbose():
                print("%s is a self pointer so skipping" % (name_so_far + "[" + str(submodule_id) + "]"))
        return net
    for member in all_members:
        try:
            getattr(net, member, None)
        except BaseException:
            continue
        sub_name = name_so_far + "." + member
        if sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list:
            if GVT.pc.get_extra_verbose():
                print("Skipping %s during save" % sub_name)
            continue
        if type(getattr(net, member, None)) is VT.VTXNeuronModule:
            if GVT.pc.get_extra_verbose():
                print("Sub is in conversion list so initiating optimization for: %s" % name_so_far + "." + member)
            setattr(net, member, bv.convert_to_vtx_layer_block(getattr(net, member)))
        elif issubclass(type(getattr(net, member, None)), nn.Module):
            if net != getattr(net, member):
                converted_list += [sub_name]
                setattr(net, member, optimize_module(getattr(net, member), depth + 1, sub_name, converted_list))
            elif GVT.pc.get_extra_verbose():
                print("%s is a self pointer so skipping" % sub_name)
    return net


WALKS = {
    "blockwise_network": bv.blockwise_network,
    "plain Python": lambda net: optimize_module(net, 0, "", []),
}


# Every chain built stays alive until the process ends: freeing a deep chain
# recurses in the interpreter itself and overflows a small stack (3.13).
KEEP = []


def chain(depth):
    root = node = nn.Module()
    KEEP.append(root)
    for _ in range(depth - 1):
        node.add_module("n", nn.Module())
        node = node.n
    node.add_module("n", VT.VTXNeuronModule(nn.Linear(1, 1)))
    return root


def converted(root):
    node = root
    while isinstance(getattr(node, "n", None), nn.Module) and type(node.n) is not bv.VTXLayer:
        node = node.n
    return type(getattr(node, "n", None)) is bv.VTXLayer


def in_thread(stack_kib, function):
    """function() in a new thread with a stack of stack_kib KiB."""
    result = []
    old = threading.stack_size(stack_kib * 1024)
    try:
        thread = threading.Thread(target=lambda: result.append(function()))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    return result[0]


def painted_walk(walk, depth):
    """Walks a chain in the calling thread over a painted stack; returns
    (converted, bytes used below the call, bytes never touched)."""
    root = chain(depth)
    low, _ = stack_bounds()
    top = stack_pointer()
    ctypes.memset(low, PATTERN, top - MARGIN - low)
    try:
        walk(root)
        ok = converted(root)
    except RecursionError:
        ok = False
    painted = ctypes.string_at(low, top - MARGIN - low)
    untouched = len(painted) - len(painted.lstrip(bytes([PATTERN])))
    return ok, top - (low + untouched), untouched


def per_level(walk):
    shallow = in_thread(8 * 1024, lambda: painted_walk(walk, 100))
    deep = in_thread(8 * 1024, lambda: painted_walk(walk, 300))
    assert shallow[0] and deep[0]
    return (deep[1] - shallow[1]) / 200


PROBE = """
import os, sys
sys.path[:0] = [{here!r}]
from stack_usage import WALKS, chain, converted, in_thread
def probe():
    root = chain({depth})
    try:
        WALKS[{walk!r}](root)
    except RecursionError:
        return False
    return converted(root)
print(in_thread({stack}, probe), flush=True)
os._exit(0)
"""


def converts(walk, depth, stack_kib):
    code = PROBE.format(here=os.path.dirname(os.path.abspath(__file__)), depth=depth,
                        walk=walk, stack=stack_kib)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return proc.returncode == 0 and proc.stdout.split()[-1] == "True"


def deepest(walk, stack_kib, high=2000):
    """The deepest chain that converts, by bisection; 0 if none."""
    low = 0
    while low < high:
        middle = (low + high + 1) // 2
        if converts(walk, middle, stack_kib):
            low = middle
        else:
            high = middle - 1
    return low


def main(args):
    depths = "--depths" in args
    sizes = [int(a) for a in args if a != "--depths"] or [32, 64, 256]
    print(f"Python {sys.version.split()[0]}, {bv.__file__}")
    for name, walk in WALKS.items():
        print(f"{name}: {per_level(walk):.0f} bytes per level")
    for stack in sizes:
        ok, used, untouched = in_thread(stack, lambda: painted_walk(bv.blockwise_network, 3000))
        print(f"blockwise_network, {stack} KiB thread, 3000 levels: "
              f"{'converted' if ok else 'RecursionError'}, {used} bytes used, "
              f"{untouched} bytes never touched")
    if depths:
        print(json.dumps({name: {stack: deepest(name, stack) for stack in sizes}
                          for name in WALKS}))


if __name__ == "__main__":
    main(sys.argv[1:])
    sys.stdout.flush()
    os._exit(0)
