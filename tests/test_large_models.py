"""Routes for networks too large to build with real weights: built on the
meta device, converted, materialised, loaded from a checkpoint, sharded.
Converted networks have no forward of their own, so nothing here runs one."""

import os
import socket
import time

import pytest
import torch
import torch.multiprocessing as mp
import torch.nn as nn

import vantorix.blockwise_vantorix as bv
from vantorix import modules_vantorix as VT
from vtx_support import Holder, timeout

needs_device_context = pytest.mark.skipif(
    not hasattr(torch.device, "__enter__"),
    reason="building under `with torch.device('meta')` needs torch 2.0 or later")

try:
    from torch.distributed.fsdp import fully_shard
except ImportError:
    fully_shard = None

# The sharded routes start two processes; a hang fails the test instead.
SHARDED_TIMEOUT = timeout(120)


def network():
    """Blocks in a module list, a neuron module with two dendrites in each,
    and a neuron module as the head: the layout of a mixture of experts."""
    return Holder(
        embed=nn.Embedding(10, 4),
        blocks=nn.ModuleList([
            Holder(expert=VT.VTXNeuronModule(nn.Linear(4, 4), num_dendrites=2),
                   norm=nn.LayerNorm(4))
            for _ in range(3)]),
        head=VT.VTXNeuronModule(nn.Linear(4, 3)))


def converted():
    torch.manual_seed(0)
    return bv.blockwise_network(network())


def converted_on_meta():
    with torch.device("meta"):
        return bv.blockwise_network(network())


def assert_same_state(state, reference):
    assert list(state) == list(reference)
    for key, value in reference.items():
        assert state[key].dtype == value.dtype and torch.equal(state[key], value), key


def load_state_dict(net, reference, tmp_path):
    net.load_state_dict(reference.state_dict(), strict=True)


def load_safetensors(net, reference, tmp_path):
    safetensors_torch = pytest.importorskip("safetensors.torch")
    safetensors_torch.save_model(reference, str(tmp_path / "model.safetensors"))
    missing, unexpected = safetensors_torch.load_model(net, str(tmp_path / "model.safetensors"))
    assert not missing and not unexpected


@needs_device_context
@pytest.mark.parametrize("load", [load_state_dict, load_safetensors])
def test_meta_built_network_takes_a_converted_checkpoint(load, tmp_path):
    reference = converted()
    net = converted_on_meta()
    assert sum(type(m) is bv.VTXLayer for m in net.modules()) == 4
    assert {value.device.type for value in net.state_dict().values()} == {"meta"}
    assert [(k, v.shape, v.dtype) for k, v in net.state_dict().items()] == [
        (k, v.shape, v.dtype) for k, v in reference.state_dict().items()]
    net.to_empty(device="cpu")
    load(net, reference, tmp_path)
    assert_same_state(net.state_dict(), reference.state_dict())


# ------------------------------------------------------------ sharded

def shard(net):
    for block in net.blocks:
        fully_shard(block)
    return fully_shard(net)


def sharded_worker(rank, port, route, directory):
    import torch.distributed as dist
    import torch.distributed.checkpoint as dcp
    from torch.distributed.checkpoint.state_dict import StateDictOptions, get_model_state_dict
    from torch.distributed.tensor import DTensor

    os.environ.update(MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port))
    dist.init_process_group("gloo", rank=rank, world_size=2)
    try:
        net = converted()
        reference = {key: value.clone() for key, value in net.state_dict().items()}
        shard(net)
        assert all(isinstance(parameter, DTensor) for parameter in net.parameters())
        if route == "checkpoint":
            dcp.save(net.state_dict(), checkpoint_id=directory)
            net = shard(converted_on_meta())
            net.to_empty(device="cpu")
            state = net.state_dict()
            dcp.load(state, checkpoint_id=directory)
            net.load_state_dict(state)
        full = get_model_state_dict(
            net, options=StateDictOptions(full_state_dict=True, cpu_offload=True))
        if rank == 0:
            assert_same_state(full, reference)
        # Neither process leaves while the other still talks to it.
        dist.barrier()
    finally:
        dist.destroy_process_group()
    # On 3.13 torch's own teardown at exit aborts now and then ("terminate
    # called without an active exception"), with or without this module;
    # a worker whose work is done skips it.
    os._exit(0)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.skipif(fully_shard is None,
                    reason="FSDP2 (torch.distributed.fsdp.fully_shard) needs torch 2.6 or later")
@pytest.mark.parametrize("route", ["gather", "checkpoint"])
def test_sharded_network_gathers_to_the_unsharded_state(route, tmp_path):
    context = mp.spawn(sharded_worker, args=(free_port(), route, str(tmp_path)),
                       nprocs=2, join=False)
    deadline = time.monotonic() + SHARDED_TIMEOUT
    try:
        while not context.join(timeout=max(1.0, deadline - time.monotonic())):
            if time.monotonic() > deadline:
                pytest.fail(f"the two processes did not finish within {SHARDED_TIMEOUT} s")
    finally:
        for process in context.processes:
            if process.is_alive():
                process.kill()
