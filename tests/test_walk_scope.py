"""Each walk's converted_list index belongs to that walk alone: nested walks,
finalisers and other threads cannot make it crash, answer wrongly or keep
references, and the list of blockwise_network is seen by Python code only
as an ordinary tracked list."""
import gc
import json
import os
import subprocess
import sys
import textwrap
import threading

import torch.nn as nn

from vantorix import globals_vantorix as GVT
from vtx_support import Holder, timeout

# A nested walk in a configuration query, on a list whose last item's
# finaliser either empties the outer list or runs a third walk. The outer
# walk must print and record what it does with a list subclass, which the
# walk searches with the interpreter's own `in`.
NESTED = """
import contextlib, io, json, sys
import torch.nn as nn
import vantorix.blockwise_vantorix as bv
from vantorix import globals_vantorix as GVT

class Holder(nn.Module):
    def __init__(self, **children):
        super().__init__()
        for name, child in children.items():
            setattr(self, name, child)

class Scanned(list):
    pass

def names(prefix, count):
    return ["%s%d" % (prefix, index) for index in range(count)]

class Finalised:
    def __del__(self):
        if ACTION == "clear":
            outer.clear()
        else:
            bv.optimize_module(Holder(), 0, "", names(".third", 40) + [".child"])

class Config:
    def __init__(self):
        self.calls, self.refcounts = 0, []
    def get_extra_verbose(self):
        return True
    def get_module_names_to_not_save(self):
        self.calls += 1
        if self.calls == 3:
            inner = names(".inner", 40) + [Finalised()]
            before = sys.getrefcount(inner)
            bv.optimize_module(nn.ReLU(), 0, "", inner)
            self.refcounts.append(sys.getrefcount(inner) - before)
            del inner
        return []

results = []
for ACTION in sys.argv[1:]:
    for kind in (list, Scanned):
        GVT.pc = Config()
        outer = kind(names(".outer", 1000))
        with contextlib.redirect_stdout(io.StringIO()) as out:
            bv.optimize_module(Holder(child=nn.ReLU(), other=nn.ReLU()), 0, "", outer)
        results.append([out.getvalue().splitlines(), list(outer), GVT.pc.refcounts])
print(json.dumps(results))
"""


def test_finalisers_and_nested_walks_change_nothing(tmp_path, package_copy):
    env = dict(os.environ, PYTHONPATH=str(package_copy), PYTHONMALLOC="debug")
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(NESTED), "clear", "third"],
                          cwd=str(tmp_path), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=timeout(600))
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout.splitlines()[-1])
    for indexed, scanned in (results[0:2], results[2:4]):
        assert indexed == scanned
        lines, outer, refcounts = indexed
        assert refcounts == [0]
        assert "Skipping .child during save" not in lines
        assert ".child" in outer



def test_threads_walk_their_own_lists(bv):
    lists = {"with": [".x%d" % i for i in range(40)] + [".child"],
             "without": [".y%d" % i for i in range(41)]}
    starts = {key: len(names) for key, names in lists.items()}

    def walk(key):
        for _ in range(20):
            bv.optimize_module(Holder(child=nn.ReLU(), other=nn.ReLU()), 0, "", lists[key])

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=walk, args=(key,)) for key in lists]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    # Skipped throughout in one list; descended into once, then skipped, in the other.
    assert lists["with"][starts["with"]:] == [".other"]
    assert lists["without"][starts["without"]:] == [".child", ".other"]


class Name(str):
    """A member name whose path names keep its type."""

    def __radd__(self, other):
        name = Name(str(other) + str(self))
        self.made.append(name)
        return name


class Odd(nn.Module):
    def __dir__(self):
        return [Name("child"), "training"]


class Config(type(GVT.pc)):
    def __init__(self, query):
        super().__init__()
        self.query = query

    def get_module_names_to_not_save(self):
        self.query()
        return []


def test_list_is_tracked_when_handed_to_a_rebound_optimize_module(bv, monkeypatch):
    native, tracked = bv.optimize_module, []

    def rebound(net, depth, name_so_far, converted_list):
        tracked.append(gc.is_tracked(converted_list))
        return native(net, depth, name_so_far, converted_list)

    # Rebound while the walk runs, after its first query.
    monkeypatch.setattr(GVT, "pc", Config(lambda: monkeypatch.setattr(bv, "optimize_module", rebound)))
    bv.blockwise_network(Holder(child=Holder(leaf=nn.ReLU())))
    assert tracked == [True, True]


def test_list_is_tracked_once_it_holds_another_type(bv, monkeypatch):
    Name.made, found = [], []

    def query():
        for name in Name.made:
            found.append(any(isinstance(r, list) and r is not Name.made and
                             any(item is name for item in r) for r in gc.get_referrers(name)))

    monkeypatch.setattr(GVT, "pc", Config(query))
    odd = Odd()
    odd.child = Holder(leaf=nn.ReLU())
    bv.blockwise_network(Holder(odd=odd))
    assert [str(name) for name in Name.made] == [".odd.child"]
    # The first query, for the member itself, comes before its path is recorded.
    assert len(found) > 1 and all(found[1:])
