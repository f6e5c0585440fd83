// The constant table: every name and literal the module uses.
#include "vantorix/blockwise.hpp"

#include <utility>

namespace vtx {

namespace {

struct Entry {
    Ref Constants::*slot;
    const char* text;
};

const Entry names[] = {
    {&Constants::dunder_builtins, "__builtins__"},
    {&Constants::dunder_dir, "__dir__"},
    {&Constants::dunder_init, "__init__"},
    {&Constants::dunder_module, "__module__"},
    {&Constants::dunder_qualname, "__qualname__"},
    {&Constants::dunder_orig_bases, "__orig_bases__"},
    {&Constants::dunder_prepare, "__prepare__"},
    {&Constants::dunder_mro_entries, "__mro_entries__"},
    {&Constants::dunder_spec, "__spec__"},
    {&Constants::dunder_name, "__name__"},
    {&Constants::dunder_test, "__test__"},
    {&Constants::initializing, "_initializing"},
    {&Constants::builtins, "builtins"},
    {&Constants::super_, "super"},
    {&Constants::print, "print"},
    {&Constants::GVT, "GVT"},
    {&Constants::VT, "VT"},
    {&Constants::UVT, "UVT"},
    {&Constants::nn, "nn"},
    {&Constants::torch, "torch"},
    {&Constants::pdb, "pdb"},
    {&Constants::np, "np"},
    {&Constants::string, "string"},
    {&Constants::copy, "copy"},
    {&Constants::numpy, "numpy"},
    {&Constants::vantorix, "vantorix"},
    {&Constants::globals_vantorix, "globals_vantorix"},
    {&Constants::modules_vantorix, "modules_vantorix"},
    {&Constants::utils_vantorix, "utils_vantorix"},
    {&Constants::torch_nn, "torch.nn"},
    {&Constants::VTXLayer, "VTXLayer"},
    {&Constants::unWrap_params, "unWrap_params"},
    {&Constants::convert_to_vtx_layer_block, "convert_to_vtx_layer_block"},
    {&Constants::get_pretrained_vtx_attr, "get_pretrained_vtx_attr"},
    {&Constants::get_pretrained_vtx_var, "get_pretrained_vtx_var"},
    {&Constants::optimize_module, "optimize_module"},
    {&Constants::blockwise_network, "blockwise_network"},
    {&Constants::Module, "Module"},
    {&Constants::Sequential, "Sequential"},
    {&Constants::ModuleList, "ModuleList"},
    {&Constants::ParameterList, "ParameterList"},
    {&Constants::named_children, "named_children"},
    {&Constants::get_submodule, "get_submodule"},
    {&Constants::pc, "pc"},
    {&Constants::get_extra_verbose, "get_extra_verbose"},
    {&Constants::get_module_names_to_not_save, "get_module_names_to_not_save"},
    {&Constants::get_vtx_forward_function, "get_vtx_forward_function"},
    {&Constants::VTXNeuronModule, "VTXNeuronModule"},
    {&Constants::dendrite_module, "dendrite_module"},
    {&Constants::layers, "layers"},
    {&Constants::processors, "processors"},
    {&Constants::dendrite_values, "dendrite_values"},
    {&Constants::this_output_dimensions, "this_output_dimensions"},
    {&Constants::this_node_index, "this_node_index"},
    {&Constants::dendrites_to_dendrites, "dendrites_to_dendrites"},
    {&Constants::num_cycles, "num_cycles"},
    {&Constants::main_module, "main_module"},
    {&Constants::processor, "processor"},
    {&Constants::dendrites_to_top, "dendrites_to_top"},
    {&Constants::pre_d, "pre_d"},
    {&Constants::post_d, "post_d"},
    {&Constants::post_n1, "post_n1"},
    {&Constants::post_n2, "post_n2"},
    {&Constants::pre, "pre"},
    {&Constants::post, "post"},
    {&Constants::layer_array, "layer_array"},
    {&Constants::processor_array, "processor_array"},
    {&Constants::node_index, "node_index"},
    {&Constants::view_tuple, "view_tuple"},
    {&Constants::skip_weights, "skip_weights"},
    {&Constants::internal_nonlinearity, "internal_nonlinearity"},
    {&Constants::register_buffer, "register_buffer"},
    {&Constants::tensor, "tensor"},
    {&Constants::zeros, "zeros"},
    {&Constants::append, "append"},
    {&Constants::parameters, "parameters"},
    {&Constants::wrapped, "wrapped"},
    {&Constants::self, "self"},
    {&Constants::net, "net"},
    {&Constants::depth, "depth"},
    {&Constants::name_so_far, "name_so_far"},
    {&Constants::converted_list, "converted_list"},
    {&Constants::pretrained_dendrite, "pretrained_dendrite"},
    {&Constants::member, "member"},
    {&Constants::submodule_id, "submodule_id"},
    {&Constants::model, "model"},
    {&Constants::p, "p"},
    {&Constants::layer_id, "layer_id"},
    {&Constants::dim, "dim"},
    {&Constants::all_members, "all_members"},
    {&Constants::layer, "layer"},
    {&Constants::sub_name, "sub_name"},
};

const Entry literals[] = {
    {&Constants::msg_seq_sub_is_vtx, "Seq sub is VTX so optimizing: %s"},
    {&Constants::msg_self_pointer, "%s is a self pointer so skipping"},
    {&Constants::msg_skipping_during_save, "Skipping %s during save"},
    {&Constants::msg_sub_in_conversion_list,
     "Sub is in conversion list so initiating optimization for: %s"},
    {&Constants::module_name, "vantorix.blockwise_vantorix"},
    {&Constants::class_qualname, "VTXLayer"},
    {&Constants::init_qualname, "VTXLayer.__init__"},
    {&Constants::empty, ""},
    {&Constants::dot, "."},
    {&Constants::lbracket, "["},
    {&Constants::rbracket, "]"},
    {&Constants::star, "*"},
    {&Constants::question, "?"},
};

// Fills one slot and computes the hash up front, so that no later dict
// operation on it has to.
int create_str(Ref Constants::*slot, const char* text, bool interned) {
    Ref value = Ref::steal(interned ? PyUnicode_InternFromString(text)
                                    : PyUnicode_FromString(text));
    if (!value || PyObject_Hash(value.get()) == -1) return -1;
    S.*slot = std::move(value);
    return 0;
}

}  // namespace

int create_empty_constants() {
    S.empty_tuple = Ref::steal(PyTuple_New(0));
    if (!S.empty_tuple) return -1;
    S.empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!S.empty_bytes) return -1;
    S.empty_str = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    if (!S.empty_str) return -1;
    return 0;
}

int create_str_and_int_constants() {
    for (const Entry& entry : names) {
        if (create_str(entry.slot, entry.text, true) < 0) return -1;
    }
    for (const Entry& entry : literals) {
        if (create_str(entry.slot, entry.text, false) < 0) return -1;
    }
    S.int_0 = Ref::steal(PyLong_FromLong(0));
    if (!S.int_0) return -1;
    S.int_1 = Ref::steal(PyLong_FromLong(1));
    if (!S.int_1) return -1;
    S.int_minus_1 = Ref::steal(PyLong_FromLong(-1));
    if (!S.int_minus_1) return -1;
    return 0;
}

}  // namespace vtx
