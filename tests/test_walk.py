"""The tree walk: blockwise_network and optimize_module."""

import builtins
import collections
import sys
import threading
import types
import weakref
from pathlib import Path
from types import SimpleNamespace

import pytest
import torch.nn as nn

import vantorix.blockwise_vantorix as blockwise
from vantorix import globals_vantorix as GVT
from vantorix import modules_vantorix as VT
from vtx_support import Holder as Block
from vtx_support import Queried, RecordingConfig, native_entries

SEQ = "Seq sub is VTX so optimizing: %s"
SUB = "Sub is in conversion list so initiating optimization for: %s"
SKIP = "Skipping %s during save"
SELF = "%s is a self pointer so skipping"


class Converted(nn.Module):
    """What the stand-in conversion puts in place of a neuron module."""


class Script:
    """Outcomes of successive reads of one member; the last one repeats."""

    def __init__(self, *outcomes):
        self.outcomes = list(outcomes)


def outcome(value):
    """What one read of a member yields: a Script's next outcome, a fresh result
    of a lambda; an exception instance is raised."""
    if isinstance(value, Script):
        value = value.outcomes.pop(0) if len(value.outcomes) > 1 else value.outcomes[0]
    if isinstance(value, types.FunctionType):
        value = value()
    if isinstance(value, BaseException):
        raise value
    return value


class Net(nn.Module):
    """Module whose member list, member values and reads the test controls."""

    def __init__(self, members=None, names=None):
        super().__init__()
        vals = dict(members or {})
        self.__dict__.update(vals=vals, names=list(vals) if names is None else names,
                             reads=collections.Counter(), stored=[])

    def __dir__(self):
        return self.__dict__["names"]

    def __getattr__(self, name):
        if name not in self.__dict__.get("vals", {}):
            return super().__getattr__(name)
        self.reads[name] += 1
        return outcome(self.vals[name])

    def __setattr__(self, name, value):
        if name in self.__dict__.get("vals", ()):
            self.vals[name] = value
            self.stored.append(name)
        else:
            super().__setattr__(name, value)


def scripted(base):
    class Scripted(base):
        """Container whose children, lookups and assignments the test controls."""

        def __init__(self, items, kids, hook=None):
            super().__init__()
            self.__dict__.update(items=items, kids=kids, hook=hook,
                                 lookups=collections.Counter(), stored=[])

        def named_children(self):
            return self.items

        def get_submodule(self, target):
            self.lookups[target] += 1
            if self.hook:
                self.hook()
            return outcome(self.kids[target])

        def __setattr__(self, name, value):
            if name in self.__dict__.get("kids", ()):
                self.kids[name] = value
                self.stored.append(name)
            else:
                super().__setattr__(name, value)
    return Scripted


class Key(str):
    def __str__(self):
        return "shown"


def neuron():
    return VT.VTXNeuronModule(nn.Linear(2, 2))


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture
def stub(bv, monkeypatch):
    calls = []

    def convert(pretrained_dendrite):
        calls.append(pretrained_dendrite)
        return Converted()
    monkeypatch.setattr(bv, "convert_to_vtx_layer_block", convert)
    return calls


@pytest.fixture
def config(monkeypatch):
    config = RecordingConfig()
    monkeypatch.setattr(GVT, "pc", config)
    return config


@pytest.mark.parametrize("verbose", [True, False])
def test_member_walk_reads_asks_and_reports_per_member(bv, stub, config, capsys, verbose):
    config.verbose = verbose
    config.not_to_save.append(".listed")
    found, child = neuron(), Net({"leaf": 1})
    net = Net({"broken": Script(ValueError("unreadable")), "listed": neuron(), "seen": nn.Identity(),
               "neuron": found, "number": 42, "me": None, "child": child})
    net.vals["me"] = net
    done = Queried([".seen"])
    assert bv.optimize_module(net, 0, "", done) is net
    assert net.reads == {"broken": 1, "listed": 1, "seen": 1, "neuron": 3, "number": 3, "me": 4, "child": 5}
    assert child.reads == {"leaf": 3}
    assert net.stored == ["neuron", "child"] and net.vals["child"] is child
    assert stub == [found] and type(net.vals["neuron"]) is Converted
    assert done == [".seen", ".child"] and done.added == [[".child"]]
    assert type(done.added[0]) is list
    walked = [".neuron", ".number", ".me", ".child", ".child.leaf"]
    assert config.not_to_save.queries == [".listed", ".seen"] + walked
    assert done.queries == [".seen"] + walked
    assert config.calls == {"get_extra_verbose": 4, "get_module_names_to_not_save": 7}
    expected = [SKIP % ".listed", SKIP % ".seen", SUB % ".neuron", SELF % ".me"]
    assert lines(capsys) == (expected if verbose else [])


@pytest.mark.parametrize("error", [ValueError("v"), KeyboardInterrupt(), SystemExit(3),
                                   GeneratorExit(), StopIteration(),
                                   type("Interrupt", (BaseException,), {})("custom")])
def test_probe_swallows_every_exception_and_non_string_names(bv, stub, config, capsys, error):
    found = neuron()
    net = Net({"bad": error, "after": found}, names=[5, "bad", "after"])
    assert bv.optimize_module(net, 0, "", []) is net
    assert net.reads == {"bad": 1, "after": 3}
    assert stub == [found]
    assert config.not_to_save.queries == [".after"]
    assert lines(capsys) == [SUB % ".after"]


@pytest.mark.parametrize("outcomes, message, recorded", [
    (["child", AttributeError("gone")], None, []),
    (["child", ValueError("second read")], "second read", []),
    (["neuron", "neuron", AttributeError("third read")], "third read", []),
    (["child"] * 3 + [AttributeError("fourth read")], "fourth read", []),
    (["child"] * 4 + [KeyError("fifth read")], "'fifth read'", [".outer.x"]),
])
def test_reads_after_the_probe_are_not_guarded(bv, stub, config, outcomes, message, recorded):
    made = {"child": Net(), "neuron": neuron()}
    net = Net({"x": Script(*[made.get(o, o) if isinstance(o, str) else o for o in outcomes])})
    done, root = [], Net({"outer": net})
    if message is None:
        assert bv.optimize_module(root, 0, "", done) is root
        assert net.reads == {"x": 3} and net.stored == [] and stub == []
    else:
        with pytest.raises(type(outcomes[-1])) as caught:
            bv.optimize_module(root, 0, "", done)
        assert str(caught.value) == message
        assert native_entries(caught) == ["vantorix.blockwise_vantorix.optimize_module"] * 2
    assert done == [".outer"] + recorded


@pytest.mark.parametrize("base", [nn.Sequential, nn.ModuleList])
def test_container_walk_converts_descends_and_skips_self(bv, stub, config, capsys, base):
    found, child, key = neuron(), Net(), Key("k")
    box = scripted(base)(None, {"a": found, key: child})
    box.kids["me"] = box
    box.items = [("a", found), (key, child), ["me", box]]
    box.side = neuron()
    config.not_to_save.extend([".box[a]", ".box[shown]"])
    done = Queried([".box[shown]"])
    assert bv.optimize_module(box, 3, ".box", done) is box
    assert box.lookups == {"a": 2, "k": 3, "me": 2}
    assert box.stored == ["a", "k"] and box.kids["k"] is child
    assert stub == [found] and type(box.kids["a"]) is Converted
    assert done == [".box[shown]"] * 2 and done.queries == config.not_to_save.queries == []
    assert lines(capsys) == [SEQ % ".box[a]", SELF % ".box[me]"]
    assert config.calls == {"get_extra_verbose": 2}


@pytest.mark.parametrize("item, message", [
    (("a", 1, 2), "too many values to unpack (expected 2)"),
    (("a",), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
])
def test_children_that_do_not_unpack_into_two(bv, stub, config, item, message):
    box = scripted(nn.Sequential)([item], {})
    with pytest.raises(ValueError) as caught:
        bv.optimize_module(box, 0, "", [])
    assert str(caught.value) == message
    assert native_entries(caught) == ["vantorix.blockwise_vantorix.optimize_module"]


def test_path_names_and_pre_order_on_a_real_tree(bv, stub, config, capsys):
    attn, last = neuron(), neuron()
    blocks = nn.Sequential(Block(attn=attn), last)
    root = Block(encoder=Block(blocks=blocks), head=nn.Linear(2, 2))
    done = Queried()
    assert bv.optimize_module(root, 0, "", done) is root
    assert done.added == [[".encoder"], [".encoder.blocks"], [".encoder.blocks[0]"], [".head"]]
    assert done == [".encoder", ".encoder.blocks", ".encoder.blocks[0]", ".head"]
    assert lines(capsys) == [SUB % ".encoder.blocks[0].attn", SEQ % ".encoder.blocks[1]"]
    assert stub == [attn, last] and root.encoder.blocks is blocks
    assert type(blocks[0].attn) is Converted and type(blocks[1]) is Converted


@pytest.mark.parametrize("make", [lambda: nn.Linear(2, 2), nn.Sequential, lambda: Net({"x": 1}), neuron])
def test_network_without_neurons_below_root_comes_back_unchanged(bv, stub, config, capsys, make):
    net = make()
    before = [(name, id(m)) for name, m in net.named_modules()]
    assert bv.blockwise_network(net) is net
    assert [(name, id(m)) for name, m in net.named_modules()] == before
    assert stub == [] and lines(capsys) == []


def test_only_the_exact_neuron_type_below_the_root_is_converted(bv, stub, config, capsys):
    class SubNeuron(VT.VTXNeuronModule):
        pass
    inner = neuron()
    root = VT.VTXNeuronModule(inner)
    copy_of_inner = root.dendrite_module.layers[0]
    root.sub = sub = SubNeuron(nn.Linear(2, 2))
    done = Queried()
    bv.optimize_module(root, 0, "", done)
    assert stub == [copy_of_inner, inner] and root.sub is sub and ".sub" in done
    assert lines(capsys) == [SEQ % ".dendrite_module.layers[0]", SUB % ".main_module"]


def test_module_reachable_under_two_names_is_treated_under_each(bv, stub, config):
    shared, twice = Block(x=neuron()), neuron()
    root = Block(a=shared, b=shared, p=twice, q=twice)
    inner = shared.x
    done = Queried()
    bv.optimize_module(root, 0, "", done)
    assert done == [".a", ".b", ".b.x"]
    assert stub == [inner, twice, twice]


def test_entry_point_and_descent_use_the_current_optimize_module(bv, config, monkeypatch):
    real, calls = bv.optimize_module, []
    child = Net()
    root = Net({"child": child})

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args) if args[0] is root else "replacement"
    monkeypatch.setattr(bv, "optimize_module", spy)
    assert bv.blockwise_network(root) is root
    (top, top_kw), (down, down_kw) = calls
    assert top_kw == down_kw == {}
    assert top[0] is root and top[1:3] == (0, "") and type(top[1]) is int
    assert type(top[3]) is list and down[3] is top[3] and top[3] == [".child"]
    assert down[0] is child and down[1:3] == (1, ".child")
    assert root.vals["child"] == "replacement"
    monkeypatch.setattr(bv, "optimize_module", lambda *args: "result")
    assert bv.blockwise_network(root) == "result"


class Unrelated:
    pass


QUIET = SimpleNamespace(pc=SimpleNamespace(get_extra_verbose=lambda: False,
                                           get_module_names_to_not_save=lambda: []))


@pytest.mark.parametrize("name, value, in_builtins, expected", [
    (None, None, False, [SEQ % ".seq[first]"]),
    ("nn", SimpleNamespace(Sequential=Unrelated, ModuleList=Unrelated, Module=nn.Module), False,
     [SUB % ".seq.first"]),
    ("VT", SimpleNamespace(VTXNeuronModule=nn.Sequential), False, [SUB % ".seq"]),
    ("VT", SimpleNamespace(VTXNeuronModule=nn.Sequential), True, [SUB % ".seq"]),
    ("GVT", QUIET, True, []),
])
def test_rebound_globals_are_used(bv, stub, config, capsys, monkeypatch, name, value, in_builtins, expected):
    root = Block(seq=nn.Sequential(collections.OrderedDict(first=neuron())))
    if name:
        if in_builtins:
            monkeypatch.delattr(bv, name)
            monkeypatch.setattr(builtins, name, value, raising=False)
        else:
            monkeypatch.setattr(bv, name, value)
    assert bv.blockwise_network(root) is root
    assert lines(capsys) == expected


@pytest.mark.parametrize("name", ["nn", "VT", "GVT", "convert_to_vtx_layer_block", "optimize_module"])
def test_missing_global_raises_name_error(bv, stub, config, monkeypatch, name):
    root = Block(seq=nn.Sequential(neuron()), lin=nn.Linear(1, 1))
    monkeypatch.delattr(bv, name)
    with pytest.raises(NameError) as caught:
        bv.blockwise_network(root)
    assert str(caught.value) == f"name '{name}' is not defined"
    assert native_entries(caught)[0] == "vantorix.blockwise_vantorix.blockwise_network"


DEEP_SCRIPT = """
import json, os, resource, sys, threading
import torch.nn as nn
import vantorix.blockwise_vantorix as bv

depth = DEPTH
# qemu-user ignores a program's own stack limit and gives the main thread
# its own (8 MiB or more): the chain then grows with the stack it has.
stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
if not THREAD_STACK and stack != resource.RLIM_INFINITY and stack > STACK_LIMIT:
    depth = DEPTH * stack // STACK_LIMIT
root = node = nn.Module()
for _ in range(depth):
    node.add_module("n", nn.Module())
    node = node.n
outcome = []

def walk():
    try:
        bv.blockwise_network(root)
    except RecursionError as exc:
        outcome.append(str(exc))

sys.setrecursionlimit(RECURSION_LIMIT)
if THREAD_STACK:
    threading.stack_size(THREAD_STACK)
    thread = threading.Thread(target=walk)
    thread.start()
    thread.join()
else:
    walk()
fresh = nn.Linear(1, 3)
print(json.dumps(outcome + [bv.blockwise_network(fresh) is fresh]), flush=True)
# Freeing a chain this deep overflows a 1 MiB stack in the interpreter
# itself on some versions (3.13), with or without this module.
os._exit(0)
"""


# Under AddressSanitizer (scripts/sanitize.sh), and in the unoptimised build
# made for a debug interpreter (scripts/test-debug.sh), every native frame is
# several times larger, and a 256 KiB thread holds far fewer levels.
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()
TOO_DEEP = "maximum recursion depth exceeded while calling a Python object"
MAIN_STACK = 1024 * 1024


def smallest_thread_stack():
    # 3.14 raised the floor that threading.stack_size() accepts (to 52 KiB,
    # and 100 KiB in debug builds).
    for size in range(32 * 1024, 1024 * 1024, 4096):
        try:
            previous = threading.stack_size(size)
        except ValueError:
            continue
        threading.stack_size(previous)
        return size
    raise AssertionError("no thread stack size under 1 MiB accepted")


# Each process runs with a main-thread stack of 1 MiB. From 3.12 on the
# interpreter no longer counts native calls against sys.getrecursionlimit(),
# so there only the stack bound stops the first case. Under the default
# limit a walk written in Python converts 480 levels in a 256 KiB thread on
# every interpreter; the smallest thread that threading allows holds none.
@pytest.mark.parametrize("limit, depth, thread_stack, outcome", [
    (400, 4000, 0, [TOO_DEEP]),
    (10 ** 6, 10000, 0, [TOO_DEEP]),
    (10 ** 6, 10000, 512 * 1024, [TOO_DEEP]),
    pytest.param(1000, 480, 256 * 1024, [], marks=pytest.mark.skipif(
        SANITIZED or hasattr(sys, "gettotalrefcount"), reason="unoptimised frames")),
    (1000, 2000, smallest_thread_stack(), [TOO_DEEP]),
], ids=["recursion-limit", "raised-limit", "small-thread", "as-deep-as-python", "tiny-thread"])
def test_network_deeper_than_the_stack_or_recursion_limit_raises_recursion_error(
        package_copy, run_python, limit, depth, thread_stack, outcome):
    script = DEEP_SCRIPT.replace("DEPTH", str(depth)).replace("RECURSION_LIMIT", str(limit))
    script = script.replace("THREAD_STACK", str(thread_stack)).replace("STACK_LIMIT", str(MAIN_STACK))
    *messages, converted = run_python(script, package_copy, stack_limit=MAIN_STACK)
    assert messages == outcome
    assert converted is True


SHUTDOWN_SCRIPT = """
import json, threading
import torch.nn as nn
import vantorix.blockwise_vantorix as bv

blocks = []
for _ in range(200):
    block = nn.Module()
    block.add_module("a", nn.Linear(1, 1))
    block.add_module("b", nn.Sequential(nn.ReLU()))
    blocks.append(block)
net = nn.Sequential(*blocks)
walked = threading.Event()

def walk_forever():
    while True:
        bv.blockwise_network(net)
        walked.set()

for _ in range(2):
    threading.Thread(target=walk_forever, daemon=True).start()
walked.wait()
print(json.dumps("main thread done"), flush=True)
"""

# The walk drops its read of a member whose finaliser never ends: the
# program ends while the thread sleeps inside that finaliser.
FINALISER_SHUTDOWN_SCRIPT = """
import json, threading, time
import torch.nn as nn
import vantorix.blockwise_vantorix as bv

finalising = threading.Event()

class Sleeper:
    def __del__(self):
        finalising.set()
        while True:
            time.sleep(0.001)

class Net(nn.Module):
    @property
    def sleeper(self):
        return Sleeper()

threading.Thread(target=bv.blockwise_network, args=(Net(),), daemon=True).start()
finalising.wait()
print(json.dumps("main thread done"), flush=True)
"""


# Up to 3.13 the interpreter ends each daemon thread that asks for the lock
# once the program is ending with pthread_exit, whose unwinding passes the
# walk's frames, from wherever the thread stands, a finaliser that one of
# the walk's reference drops runs included; the program must end as it
# would with a walk in Python. Before 3.10.8 the interpreter itself can
# deadlock here now and then (CPython gh-96387: the main thread waits for a
# daemon thread that asked it for the lock and has ended since); seen under
# emulation on 3.9.
# Under AddressSanitizer the unwinding leaves the skipped frames' redzones
# poisoned, and the sanitizer's own stack reset (sigaltstack in
# __asan_handle_no_return) then reports an overflow.
@pytest.mark.skipif(SANITIZED, reason="sanitizer's stack reset after a forced unwind")
@pytest.mark.parametrize("script", [SHUTDOWN_SCRIPT, FINALISER_SHUTDOWN_SCRIPT],
                         ids=["walking", "in-a-finaliser"])
def test_daemon_threads_walking_while_the_program_ends(package_copy, run_python, script):
    assert run_python(script, package_copy) == "main thread done"


def test_reads_that_hand_out_fresh_objects_or_shrink_the_member_list(bv, stub, config):
    net = Net({"child": lambda: Net({"leaf": 1}), "found": neuron, "last": 1})
    assert bv.optimize_module(net, 0, "", []) is net
    assert net.reads == {"child": 5, "found": 3, "last": 3}
    assert net.vals["child"].reads == {"leaf": 3}
    assert type(net.vals["found"]) is Converted and type(stub[0]) is VT.VTXNeuronModule
    names = ["a", "b"]
    net = Net({"a": lambda: names.clear() or 1, "b": 2}, names=names)
    assert bv.optimize_module(net, 0, "", []) is net
    assert net.reads == {"a": 3}


def test_comparison_that_drops_the_child_and_clears_the_list(bv, stub, config):
    done = [".elsewhere"]

    class Meddler(Net):
        def __ne__(self, other):
            self.vals["child"] = Script(AttributeError("child was dropped"))
            done.clear()
            return True
    net = Meddler({"child": lambda: Net({"leaf": 1})})
    with pytest.raises(AttributeError) as caught:
        bv.optimize_module(net, 0, "", done)
    assert str(caught.value) == "child was dropped"
    assert done == [".child"]


def test_container_whose_children_vanish_during_the_walk(bv, stub, config):
    items = [("".join(["k", str(i)]), None) for i in range(2)]
    box = scripted(nn.Sequential)(items, {"k0": lambda: Net({"leaf": 1}), "k1": neuron},
                                  hook=items.clear)
    assert bv.optimize_module(box, 0, "", []) is box
    assert box.lookups == {"k0": 3} and box.stored == ["k0"] and stub == []
    assert box.kids["k0"].reads == {"leaf": 3}


def plain_optimize_module(net, depth, name_so_far, converted_list):
    """The walk in plain Python, statement for statement: what the module's
    walk must match, down to the moments at which it drops each value."""
    all_members = net.__dir__()
    if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
        for submodule_id, layer in net.named_children():
            if type(net.get_submodule(submodule_id)) is VT.VTXNeuronModule:
                if GVT.pc.get_extra_verbose():
                    print(SEQ % name_so_far + "[" + str(submodule_id) + "]")
                setattr(net, submodule_id, blockwise.convert_to_vtx_layer_block(net.get_submodule(submodule_id)))
            elif net != net.get_submodule(submodule_id):
                converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
                setattr(net, submodule_id, plain_optimize_module(
                    net.get_submodule(submodule_id), depth + 1,
                    name_so_far + "[" + str(submodule_id) + "]", converted_list))
            elif GVT.pc.get_extra_verbose():
                print(SELF % (name_so_far + "[" + str(submodule_id) + "]"))
        return net
    for member in all_members:
        try:
            getattr(net, member, None)
        except BaseException:
            continue
        sub_name = name_so_far + "." + member
        if sub_name in GVT.pc.get_module_names_to_not_save() or sub_name in converted_list:
            if GVT.pc.get_extra_verbose():
                print(SKIP % sub_name)
            continue
        if type(getattr(net, member, None)) is VT.VTXNeuronModule:
            if GVT.pc.get_extra_verbose():
                print(SUB % name_so_far + "." + member)
            setattr(net, member, blockwise.convert_to_vtx_layer_block(getattr(net, member)))
        elif issubclass(type(getattr(net, member, None)), nn.Module):
            if net != getattr(net, member):
                converted_list += [sub_name]
                setattr(net, member, plain_optimize_module(getattr(net, member), depth + 1, sub_name,
                                                           converted_list))
            elif GVT.pc.get_extra_verbose():
                print(SELF % sub_name)
    return net


class Alive:
    """True, and holding every name, while the object that made it lives."""

    def __init__(self, maker):
        self.maker = weakref.ref(maker)

    def __bool__(self):
        return self.maker() is not None

    def __contains__(self, name):
        return bool(self)


class FreshConfig:
    """A configuration object read afresh at each GVT.pc, whose answers tell
    whether it is still alive when they are used."""

    def get_extra_verbose(self):
        return Alive(self)

    get_module_names_to_not_save = get_vtx_forward_function = get_extra_verbose


class Dropping(nn.Module):
    """Module that calls `action` when its last reference goes."""

    def __init__(self, action):
        super().__init__()
        self.action = action

    def __del__(self):
        self.action()


class DroppingList(list):
    """List that calls `action` when its last reference goes."""

    def __init__(self, items, action):
        super().__init__(items)
        self.action = action

    __del__ = Dropping.__del__


class Logged(nn.Module):
    """Records in `events` when each assignment to it begins and ends."""

    def __setattr__(self, name, value):
        self.__dict__.setdefault("events", []).append(f"set {name}")
        super().__setattr__(name, value)
        self.events.append("done")


def walk_of(bv, native):
    return bv.optimize_module if native else plain_optimize_module


def serve_fresh_config(monkeypatch):
    def fresh(name):
        if name != "pc":
            raise AttributeError(name)
        return FreshConfig()
    monkeypatch.delattr(GVT, "pc")
    monkeypatch.setattr(GVT, "__getattr__", fresh, raising=False)


def config_object(bv, monkeypatch, native):
    # GVT.pc is gone before its answers are tested: nothing is listed and
    # verbosity is off, so the self reference is skipped without a message.
    serve_fresh_config(monkeypatch)
    net = Net({"me": None})
    net.vals["me"] = net
    walk_of(bv, native)(net, 0, "", [])


def constructor_config(bv, monkeypatch, native):
    # The layer's GVT.pc is gone when the nonlinearity it answered is stored.
    serve_fresh_config(monkeypatch)
    stored = []

    class Recording(bv.VTXLayer if native else object):
        def __setattr__(self, name, value):
            if name == "internal_nonlinearity":
                stored.append(bool(value))
            super().__setattr__(name, value)
    if native:
        Recording(nn.Sequential(), [None], [], None, 1, None, [1])
    else:
        self = Recording()
        self.internal_nonlinearity = GVT.pc.get_vtx_forward_function()
    return stored


def rebinding_neuron_class(monkeypatch):
    """A fresh child whose drop makes its own class the neuron class."""
    armed = [True]
    monkeypatch.setattr(VT, "VTXNeuronModule", VT.VTXNeuronModule)
    return armed, lambda: Dropping(lambda: armed and setattr(VT, "VTXNeuronModule", Dropping))


def member_read(bv, monkeypatch, native):
    # The value read for the type test is dropped before VT.VTXNeuronModule
    # is read: the member is converted, not descended into.
    armed, child = rebinding_neuron_class(monkeypatch)
    net, done = Net({"x": Script(1, child)}), []
    walk_of(bv, native)(net, 0, "", done)
    armed.clear()
    return done, net.reads, [type(v).__name__ for v in net.vals.values()]


def container_child(bv, monkeypatch, native):
    # Likewise for the child that get_submodule hands to the type test.
    armed, child = rebinding_neuron_class(monkeypatch)
    box, done = scripted(nn.Sequential)([("a", None)], {"a": child}), []
    walk_of(bv, native)(box, 0, "", done)
    armed.clear()
    return done, box.lookups, [type(v).__name__ for v in box.kids.values()]


def replaced_child(bv, monkeypatch, native):
    # The converted neuron module dies inside the setattr that replaces it.
    monkeypatch.setattr(bv, "convert_to_vtx_layer_block", lambda pretrained_dendrite: Converted())
    net = Logged()
    net.x = neuron()
    events = net.events
    events.clear()
    weakref.finalize(net.x, events.append, "dropped")
    walk_of(bv, native)(net, 0, "", [])
    return events


CONVERT = blockwise.convert_to_vtx_layer_block  # the stub fixture replaces the global


def view_shape(pretrained_dendrite):
    view_tuple = []
    for dim in range(len(pretrained_dendrite.dendrite_module.dendrite_values[0].this_output_dimensions)):
        if dim == pretrained_dendrite.dendrite_module.dendrite_values[0].this_node_index:
            view_tuple.append(-1)
        else:
            view_tuple.append(1)
    return view_tuple


def dendrite_values(bv, monkeypatch, native):
    # The dendrite values, read afresh, are dropped once indexed, before the
    # entry is read; dropping them moves on the entry's node index.
    entry = SimpleNamespace(this_output_dimensions=[0, 0], this_node_index=-1)

    def values(_):
        return DroppingList([entry], lambda: setattr(entry, "this_node_index", entry.this_node_index + 1))
    module = type("DendriteModule", (), {"layers": [], "dendrite_values": property(values),
                                         "dendrites_to_dendrites": None, "num_cycles": None})()
    pd = SimpleNamespace(parameters=list, dendrite_module=module, main_module=None, processor=None,
                         dendrites_to_top=None, this_node_index=None)
    if native:
        monkeypatch.setattr(bv, "VTXLayer", lambda *args: args[-1])
        monkeypatch.setattr(bv, "nn", SimpleNamespace(Sequential=lambda *layers: layers))
        return CONVERT(pd)
    return view_shape(pd)


class Parameter:
    """Records when its listing is dropped, its marker deleted and itself dropped."""

    def __init__(self, events):
        self.events = events

    def __dir__(self):
        return DroppingList(["wrapped"], lambda: self.events.append("listing dropped"))

    def __delattr__(self, name):
        self.events.append(f"del {name}")

    def __del__(self):
        self.events.append("p dropped")


def plain_unwrap_params(model):
    for p in model.parameters():
        if "wrapped" in p.__dir__():
            del p.wrapped


def loop_variable(bv, monkeypatch, native):
    # The listing is dropped by `in`, before the deletion; the loop variable
    # outlives the loop's iterator, until the call returns.
    events = []

    def parameters():
        iterator = (Parameter(events) for _ in range(1))
        weakref.finalize(iterator, events.append, "iterator dropped")
        return iterator
    (bv.unWrap_params if native else plain_unwrap_params)(SimpleNamespace(parameters=parameters))
    return events


@pytest.mark.parametrize("case", [config_object, constructor_config, member_read, container_child,
                                  replaced_child, dendrite_values, loop_variable])
def test_temporaries_are_dropped_where_python_drops_them(bv, stub, config, capsys, monkeypatch, case):
    outcomes = []
    for native in [False, True]:
        with monkeypatch.context() as patch:
            outcomes.append((case(bv, patch, native), lines(capsys), len(stub)))
        stub.clear()
    assert outcomes[1] == outcomes[0]
