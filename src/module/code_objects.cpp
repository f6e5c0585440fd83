// Code objects of the native functions. They exist for introspection
// (signatures, names); the native functions never run them. Where the
// interpreter cannot run empty bytecode safely they carry the least body
// that raises, so that a Python function built from one fails cleanly.
#include "vantorix/blockwise.hpp"

#include <utility>

namespace vtx {

namespace {

constexpr int code_flags = CO_OPTIMIZED | CO_NEWLOCALS;

Ref varnames_tuple(const FunctionDef& def) {
    Py_ssize_t count = 0;
    while (count < 10 && def.varnames[count]) ++count;
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Ref::newref((S.*def.varnames[i]).get()).release());
    }
    return varnames;
}

// The version's never-run bytes, or the empty bytes where none are needed.
Ref never_run_bytes(PyObject* (*make)()) {
    Ref bytes = Ref::steal(make());
    if (bytes || PyErr_Occurred()) return bytes;
    return Ref::newref(S.empty_bytes.get());
}

Ref create_code(const FunctionDef& def) {
    Ref varnames = varnames_tuple(def);
    if (!varnames) return nullptr;
    // One backslash here; traceback entries use two.
    Ref filename = Ref::steal(PyUnicode_FromString("vantorix\\blockwise_vantorix"));
    if (!filename) return nullptr;
    Ref bytecode = never_run_bytes(compat::never_run_bytecode);
    if (!bytecode) return nullptr;
    Ref line_table = never_run_bytes(compat::never_run_line_table);
    if (!line_table) return nullptr;
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
    PyCodeObject* code = compat::new_code(
        def.nparams, nlocals, code_flags, bytecode.get(), S.empty_tuple.get(), varnames.get(),
        filename.get(), (S.*def.name_slot).get(), (S.*def.qualname_slot).get(), def.first_line,
        line_table.get(), S.empty_bytes.get());
    if (!code) return nullptr;
    compat::drop_implied_flags(code);
    return Ref::steal(reinterpret_cast<PyObject*>(code));
}

}  // namespace

const FunctionDef& function_def(Fn id) {
    switch (id) {
        case Fn::init: return vtx_layer_init_def;
        case Fn::unWrap_params: return unWrap_params_def;
        case Fn::convert_to_vtx_layer_block: return convert_to_vtx_layer_block_def;
        case Fn::get_pretrained_vtx_attr: return get_pretrained_vtx_attr_def;
        case Fn::get_pretrained_vtx_var: return get_pretrained_vtx_var_def;
        case Fn::optimize_module: return optimize_module_def;
        case Fn::blockwise_network: break;
        case Fn::count: break;
    }
    return blockwise_network_def;
}

int create_code_objects() {
    for (int i = 0; i < function_count; ++i) {
        Ref code = create_code(function_def(static_cast<Fn>(i)));
        if (!code) return -1;
        state.codes[i] = std::move(code);
    }
    return 0;
}

}  // namespace vtx
