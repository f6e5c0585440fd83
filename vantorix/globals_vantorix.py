"""Package-wide configuration read by the blockwise conversion at each use."""

import torch


class VantorixConfig:
    """Holds the settings that the conversion queries: verbosity, the module
    path names to leave alone, and the forward nonlinearity of new blocks."""

    def __init__(self):
        self._extra_verbose = False
        self._module_names_to_not_save = []
        self._vtx_forward_function = torch.sigmoid

    def get_extra_verbose(self):
        return self._extra_verbose

    def set_extra_verbose(self, value):
        self._extra_verbose = value

    def get_module_names_to_not_save(self):
        return self._module_names_to_not_save

    def set_module_names_to_not_save(self, names):
        self._module_names_to_not_save = names

    def get_vtx_forward_function(self):
        return self._vtx_forward_function

    def set_vtx_forward_function(self, function):
        self._vtx_forward_function = function


pc = VantorixConfig()
