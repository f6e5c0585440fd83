"""The `in converted_list` test of the member walk on long lists: the answer
must follow the list as it is at that moment, however it was changed."""
import pytest
import torch.nn as nn

from vantorix import globals_vantorix as GVT
from vtx_support import Holder

FILLER = [f".filler{index}" for index in range(40)]



class MutatingConfig:
    """Runs `change` on the walk's list at the n-th not-to-save query."""

    def __init__(self, converted_list, change, at_call):
        self.converted_list, self.change, self.at_call, self.calls = converted_list, change, at_call, 0

    def get_extra_verbose(self):
        return True

    def get_module_names_to_not_save(self):
        self.calls += 1
        if self.calls == self.at_call:
            self.change(self.converted_list)
        return []


def walked(bv, net, converted_list, monkeypatch, capsys, change=None, at_call=1, name_so_far=""):
    if change:
        monkeypatch.setattr(GVT, "pc", MutatingConfig(converted_list, change, at_call))
    else:
        GVT.pc.set_extra_verbose(True)
    bv.optimize_module(net, 0, name_so_far, converted_list)
    return capsys.readouterr().out.splitlines()


def member_index(net, name):
    return net.__dir__().index(name) + 1


# Path names of one, two and four bytes per character, a member name with a
# dot in it, and the long path names of deep networks.
@pytest.mark.parametrize("head, member", [
    ("", "child"), (".wide\u20ac", "child"), (".astral\U0001d11e", "child"),
    ("", "kind\u20ac"), ("", "dotted.name"), (".deep" * 3000, "child"),
    (".seq[0][1]" * 500, "child"), (".deep" * 3000, "dotted.name")])
@pytest.mark.parametrize("listed", [True, False])
# A list as long as the longest names take to hash is indexed for them too.
@pytest.mark.parametrize("filler", [1, 20])
def test_long_list_is_searched_by_text(bv, monkeypatch, capsys, head, member, listed, filler):
    path = head + "." + member
    # Names under the same module that only begin like the member's.
    names = FILLER * filler + [path + str(index) for index in range(8)]
    if listed:
        # Equal text, other object: the test is by value.
        names.append("".join([head, ".", member]))
    out = walked(bv, Holder(**{member: nn.ReLU()}), names, monkeypatch, capsys, name_so_far=head)
    assert (f"Skipping {path} during save" in out) is listed
    # A module that is not skipped is descended into and recorded.
    assert names.count(path) == 1


@pytest.mark.parametrize("change, skipped", [
    (lambda names: names.__setitem__(3, ".child"), True),           # same length
    (lambda names: names.__setitem__(slice(None), FILLER), False),  # same items again
    (lambda names: (names.pop(), names.append(".child")), True),
    (lambda names: names.clear(), False),
    (lambda names: names.extend([".child"] * 50), True),
])
def test_list_changed_during_the_walk(bv, monkeypatch, capsys, change, skipped):
    net = Holder(child=nn.ReLU())
    names = list(FILLER)
    # Change the list while the walk runs, before the member is tested.
    out = walked(bv, net, names, monkeypatch, capsys, change, at_call=member_index(net, "child") - 1)
    assert ("Skipping .child during save" in out) is skipped


class TwoMembers(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = 1
        self.q5 = nn.ReLU()

    def __dir__(self):
        return ["a", "q5"]


def test_lists_of_the_index_are_out_of_reach_of_other_code(bv, monkeypatch, capsys):
    import gc

    def clear_and_refill(names):
        # Clears every list that the collector shows holding the walk's
        # names, so that they die and new names may take their addresses.
        first = names[0]
        for other in [o for o in gc.get_objects() if type(o) is list and o is not names]:
            if len(other) == len(names) and other[0] is first:
                other.clear()
        del first
        count = len(names)
        names.clear()
        names.extend(f".q{index}" for index in range(count))

    names = [f".m{index}" for index in range(len(FILLER))]
    out = walked(bv, TwoMembers(), names, monkeypatch, capsys, clear_and_refill, at_call=2)
    assert "Skipping .q5 during save" in out


def test_entry_removed_after_a_first_lookup_is_no_longer_found(bv, monkeypatch, capsys):
    net = Holder(alpha=nn.ReLU(), child=nn.ReLU())
    names = FILLER + [".alpha", ".child"]
    out = walked(bv, net, names, monkeypatch, capsys,
                 lambda names: names.__setitem__(-1, ".other"), at_call=member_index(net, "child") - 1)
    assert "Skipping .alpha during save" in out
    assert "Skipping .child during save" not in out
    assert names[-2:] == [".other", ".child"]


def test_items_that_compare_themselves_are_asked(bv, monkeypatch, capsys):
    asked = []

    class Named:
        def __eq__(self, other):
            asked.append(other)
            return other == ".child"

    names = FILLER + [Named()]
    out = walked(bv, Holder(child=nn.ReLU()), names, monkeypatch, capsys)
    assert "Skipping .child during save" in out
    assert ".child" in asked


def test_names_are_released_after_the_walk(bv):
    import sys
    name = "".join([".", "unused"])
    names = FILLER + [name]
    before = sys.getrefcount(name), sys.getrefcount(names)
    bv.optimize_module(Holder(child=nn.ReLU()), 0, "", names)
    assert (sys.getrefcount(name), sys.getrefcount(names)) == before
