"""Helpers shared by the behaviour tests of vantorix.blockwise_vantorix."""

import collections
import os

import torch.nn as nn

NATIVE_PREFIX = "vantorix.blockwise_vantorix."
NATIVE_FILE = "vantorix\\\\blockwise_vantorix"

# Time limits of child processes stretch by VTX_TEST_TIMEOUT_FACTOR, for
# interpreters that run many times slower than usual (under emulation).
TIMEOUT_FACTOR = float(os.environ.get("VTX_TEST_TIMEOUT_FACTOR", "1"))


def timeout(seconds):
    """A child process's time limit of ``seconds``, stretched as above."""
    return seconds * TIMEOUT_FACTOR


def native_entries(excinfo):
    """Function names of the traceback entries that the native module added,
    outermost first; each must carry the module's file name."""
    names = []
    tb = excinfo.value.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name.startswith(NATIVE_PREFIX):
            assert code.co_filename == NATIVE_FILE
            names.append(code.co_name)
        tb = tb.tb_next
    return names


class Queried(list):
    """List that records the `in` tests and the in-place additions made on it."""

    def __init__(self, items=()):
        super().__init__(items)
        self.queries = []
        self.added = []

    def __contains__(self, item):
        self.queries.append(item)
        return super().__contains__(item)

    def __iadd__(self, other):
        self.added.append(other)
        return super().__iadd__(other)


class RecordingConfig:
    """Configuration object that counts how often each question is put to it."""

    def __init__(self, verbose=True):
        self.calls = collections.Counter()
        self.verbose = verbose
        self.not_to_save = Queried()

    def get_extra_verbose(self):
        self.calls["get_extra_verbose"] += 1
        return self.verbose

    def get_module_names_to_not_save(self):
        self.calls["get_module_names_to_not_save"] += 1
        return self.not_to_save


class Holder(nn.Module):
    """A module holding each keyword argument as an attribute child."""

    def __init__(self, **children):
        super().__init__()
        for name, child in children.items():
            setattr(self, name, child)
