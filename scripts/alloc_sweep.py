"""Allocation-failure sweep over the exported functions.

For each call below, on fresh objects each time, the interpreter's fault
injection (_testcapi.set_nomemory) fails allocation number n, for
n = first, first + step, ..., until the call has succeeded for STREAK
allocation numbers in a row; first is the call's position in the list
modulo the step, so that a sampled sweep covers other numbers per call.

Every run must raise MemoryError or succeed. torch's own answers are
counted apart: its OutOfMemoryError, a SystemError naming one of its
functions, an error raised in its own code (on 3.7 a failed allocation
inside dir() is swallowed by the interpreter, and torch's Tensor.__dir__
then raises ValueError). A crash ends the process, so run this in a
process of its own:

    python scripts/alloc_sweep.py                 # every allocation number
    python scripts/alloc_sweep.py --step 7        # every 7th number only
    python scripts/alloc_sweep.py --fork          # each run in a forked child
    python scripts/alloc_sweep.py --only unWrap_params   # one function only

By default all runs share one process, so damage that a failure leaves
behind shows in a later run too. --fork runs each in a child of its own and
counts a child's death as "crash"; it is for interpreters whose own failure
paths leave such damage (3.12.1 after a failed function creation inside a
generator, with or without this module) or stop the process (debug builds:
3.11.2 when the frame of torch's raising Module.__getattr__ cannot be made
while hasattr clears the error, with or without this module). Such a stop,
where a Python function of torch's returned NULL with no exception set, is
counted as "interpreter", apart from crashes.

Prints one JSON object: per call, the numbers tried and the outcomes, with
the messages of anything that is neither MemoryError nor torch's.
"""
import argparse
import collections
import contextlib
import faulthandler
import io
import json
import os
import re
import sys
import tempfile

CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--step", type=int, default=1, help="sweep every STEP-th number")
    parser.add_argument("--only", default=None, metavar="NAME", help="sweep this call only")
    parser.add_argument("--fork", action="store_true", help="each run in a child of its own")
    return parser.parse_args()


# --help answers before torch and the module load.
OPTIONS = parse_arguments() if __name__ == "__main__" else None

# Run from a checkout, the sweep tests its in-place build, unless PYTHONPATH
# names a copy of the package (scripts/sanitize.sh's, the suite's).
if not os.environ.get("PYTHONPATH"):
    sys.path.insert(0, CHECKOUT)

import _testcapi  # noqa: E402
import torch  # noqa: E402
import torch.nn as nn  # noqa: E402

try:
    import vantorix.blockwise_vantorix as bv
except ImportError as error:
    sys.exit(f"{error}\nNo built vantorix.blockwise_vantorix: in a checkout, "
             "`bash scripts/setup.sh` makes the in-place build in vantorix/.")
import vantorix.globals_vantorix as GVT  # noqa: E402
import vantorix.modules_vantorix as VT  # noqa: E402

STREAK = 500
TORCH_DIR = os.path.dirname(torch.__file__) + os.sep
OWN_FUNCTIONS = {"VTXLayer.__init__", "optimize_module", "blockwise_network",
                 "convert_to_vtx_layer_block", "unWrap_params", "get_pretrained_vtx_attr",
                 "get_pretrained_vtx_var"}


def neuron():
    return VT.VTXNeuronModule(nn.Linear(2, 2))


def network():
    """Neuron modules in attributes, in a container and in a nested module."""
    net = nn.Module()
    net.first = neuron()
    net.body = nn.Sequential(neuron(), nn.ReLU())
    net.inner = nn.Module()
    net.inner.second = neuron()
    net.inner.plain = nn.Linear(2, 2)
    return net


def layer_arguments():
    return (nn.Sequential(nn.Linear(2, 2)), [None], nn.ParameterList([nn.Parameter(torch.ones(1))]),
            None, 1, torch.tensor(1), [1, -1])


def make_calls():
    """name -> function that makes the call on fresh objects"""
    def walk():
        net = network()
        return lambda: bv.blockwise_network(net)

    def walk_by_keywords():
        net, done = network(), []
        return lambda: bv.optimize_module(net=net, depth=0, name_so_far="", converted_list=done)

    def convert():
        found = neuron()
        return lambda: bv.convert_to_vtx_layer_block(found)

    def construct():
        args = layer_arguments()
        return lambda: bv.VTXLayer(*args)

    def unwrap():
        found = neuron()
        return lambda: bv.unWrap_params(found)

    def read_attr():
        found = neuron()
        return lambda: (bv.get_pretrained_vtx_attr(found, "main_module"),
                        bv.get_pretrained_vtx_attr(None, "main_module"))

    def read_var():
        found = nn.Sequential(nn.ReLU())
        return lambda: (bv.get_pretrained_vtx_var(found, 0),
                        bv.get_pretrained_vtx_var(None, 0))

    return collections.OrderedDict([
        ("blockwise_network", walk), ("optimize_module", walk_by_keywords),
        ("convert_to_vtx_layer_block", convert), ("VTXLayer", construct),
        ("unWrap_params", unwrap), ("get_pretrained_vtx_attr", read_attr),
        ("get_pretrained_vtx_var", read_var)])


def raised_in(exc, directory):
    """Whether the innermost frame of the exception's traceback runs code
    from `directory`."""
    traceback = exc.__traceback__
    while traceback.tb_next is not None:
        traceback = traceback.tb_next
    return traceback.tb_frame.f_code.co_filename.startswith(directory)


def classify(exc):
    text = "%s: %s" % (type(exc).__name__, exc)
    if type(exc) is MemoryError:
        return "MemoryError", text
    # the interpreter's "<function f at 0x...> returned NULL without ..." and the like
    named = re.match(r"<(?:built-in )?(?:function|method) (\S+)", str(exc))
    if "blockwise_vantorix" in text or (named and named.group(1) in OWN_FUNCTIONS):
        return "ours", text
    if (type(exc).__name__ == "OutOfMemoryError" or (isinstance(exc, SystemError) and named)
            or raised_in(exc, TORCH_DIR)):
        return "torch", text
    return "other", text


def run_once(call, number):
    with contextlib.redirect_stdout(io.StringIO()):
        _testcapi.set_nomemory(number, number + 1)
        try:
            call()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            return classify(exc)
        _testcapi.remove_mem_hooks()
    return "ok", None


def run_forked(call, number):
    reader, writer = os.pipe()
    with tempfile.TemporaryFile() as errors:
        pid = os.fork()
        if pid == 0:
            os.close(reader)
            os.dup2(errors.fileno(), 2)
            faulthandler.enable()  # the Python stack of an abort, for classify_death
            os.write(writer, json.dumps(run_once(call, number)).encode())
            os._exit(0)
        os.close(writer)
        with os.fdopen(reader) as pipe:
            answer = pipe.read()
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status) or not answer:
            errors.seek(0)
            return classify_death(errors.read().decode(errors="replace"), status)
    return tuple(json.loads(answer))


def classify_death(errors, status):
    """A child's death is the interpreter's own where its debug build stops
    while it evaluates a Python function of torch's: an assertion of its
    evaluation loop (3.11.2: the cell made on entering a function with a
    closure variable), or a Python function that returned NULL with no
    exception set (3.11.2: the frame of a raising __getattr__ under hasattr).
    The native functions of this module run no evaluation loop, and one that
    returned NULL wrongly would be named itself."""
    innermost = re.search(r"most recent call first\):\n\s+File \"([^\"]+)\", line \S+ in (\S+)",
                          errors)
    loop_assertion = re.search(r"Python/ceval\.c:\d+: _PyEval_EvalFrameDefault: Assertion .*",
                               errors)
    null_result = re.search(r"SystemError: <function (\S+) at 0x[0-9a-f]+> returned NULL "
                            r"without setting an exception", errors)
    if innermost and innermost.group(1).startswith(TORCH_DIR):
        where = " (in torch's %s)" % innermost.group(2)
        if loop_assertion:
            return "interpreter", re.sub(r":\d+:", ":", loop_assertion.group(0)) + where
        if null_result and null_result.group(1) not in OWN_FUNCTIONS:
            return "interpreter", null_result.group(0) + where
    fatal = re.search(r"Fatal Python error: .*|Assertion .*", errors)
    return "crash", "child ended with status %d: %s\n%s" % (
        status, fatal.group(0) if fatal else "", errors[-2000:])


def sweep(make_call, start, step, run=run_once):
    outcomes, findings, torch_answers = collections.Counter(), {}, set()
    number, streak = start, 0
    while streak < STREAK:
        kind, text = run(make_call(), number)
        outcomes[kind] += 1
        if kind in ("ours", "other", "crash"):
            findings.setdefault(text, number)
        elif kind in ("torch", "interpreter"):
            torch_answers.add(re.sub(r"0x[0-9a-f]+", "0x...", text))
        streak = streak + step if kind == "ok" else 0
        number += step
    return {"tried": sum(outcomes.values()), "last": number - step,
            "outcomes": dict(outcomes), "findings": findings,
            "torch_answers": sorted(torch_answers)}


def main(options):
    GVT.pc.set_extra_verbose(True)
    report = {}
    for index, (name, make_call) in enumerate(make_calls().items()):
        if options.only in (None, name):
            print("sweeping", name, file=sys.stderr, flush=True)
            report[name] = sweep(make_call, index % options.step, options.step,
                                 run_forked if options.fork else run_once)
    print(json.dumps(report))


if __name__ == "__main__":
    main(OPTIONS)
