from typing import Any, Dict, List, Optional, Sequence

import torch

__test__: Dict[Any, Any]

def unWrap_params(model: torch.nn.Module) -> None: ...
def convert_to_vtx_layer_block(pretrained_dendrite: torch.nn.Module) -> VTXLayer: ...
def get_pretrained_vtx_attr(pretrained_dendrite: Optional[Any], member: str) -> Any: ...
def get_pretrained_vtx_var(pretrained_dendrite: Optional[Any], submodule_id: Any) -> Any: ...
def optimize_module(
    net: torch.nn.Module, depth: int, name_so_far: str, converted_list: List[str]
) -> torch.nn.Module: ...
def blockwise_network(net: torch.nn.Module) -> torch.nn.Module: ...

class VTXLayer(torch.nn.Module):
    layer_array: torch.nn.Sequential
    processor_array: List[Any]
    skip_weights: torch.nn.ParameterList
    node_index: Any
    num_cycles: torch.Tensor
    view_tuple: torch.Tensor
    internal_nonlinearity: Any
    def __init__(
        self,
        layer_array: torch.nn.Sequential,
        processor_array: List[Any],
        dendrites_to_top: Sequence[Any],
        dendrites_to_dendrites: Any,
        node_index: Any,
        num_cycles: Optional[torch.Tensor],
        view_tuple: Sequence[int],
    ) -> None: ...
