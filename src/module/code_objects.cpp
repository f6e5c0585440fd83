// Code objects of the native functions. They carry no bytecode: they exist
// for introspection (signatures, names) and never run.
#include "vantorix/blockwise.hpp"

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

Ref create_code(const FunctionDef& def) {
    Ref varnames = varnames_tuple(def);
    if (!varnames) return nullptr;
    // One backslash here; traceback entries use two.
    Ref filename = Ref::steal(PyUnicode_FromString("vantorix\\blockwise_vantorix"));
    if (!filename) return nullptr;
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
    PyObject* empty_tuple = S.empty_tuple.get();
    PyObject* empty_bytes = S.empty_bytes.get();
    PyObject* name = (S.*def.name_slot).get();
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* qualname = (S.*def.qualname_slot).get();
#endif
    PyCodeObject* code =
#if PY_VERSION_HEX >= 0x030C0000
        PyUnstable_Code_NewWithPosOnlyArgs(
            def.nparams, 0, 0, nlocals, 0, code_flags, empty_bytes, empty_tuple, empty_tuple,
            varnames.get(), empty_tuple, empty_tuple, filename.get(), name, qualname,
            def.first_line, empty_bytes, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
        PyCode_NewWithPosOnlyArgs(def.nparams, 0, 0, nlocals, 0, code_flags, empty_bytes,
                                  empty_tuple, empty_tuple, varnames.get(), empty_tuple,
                                  empty_tuple, filename.get(), name, qualname, def.first_line,
                                  empty_bytes, empty_bytes);
#elif PY_VERSION_HEX >= 0x03080000
        PyCode_NewWithPosOnlyArgs(def.nparams, 0, 0, nlocals, 0, code_flags, empty_bytes,
                                  empty_tuple, empty_tuple, varnames.get(), empty_tuple,
                                  empty_tuple, filename.get(), name, def.first_line,
                                  empty_bytes);
#else
        PyCode_New(def.nparams, 0, nlocals, 0, code_flags, empty_bytes, empty_tuple,
                   empty_tuple, varnames.get(), empty_tuple, empty_tuple, filename.get(), name,
                   def.first_line, empty_bytes);
#endif
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
