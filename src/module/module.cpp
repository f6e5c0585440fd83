// Module definition and its two slots. One module object per process, one
// interpreter per process; a failed import leaves nothing recorded, so the
// next attempt starts again from the beginning.
#include "vantorix/blockwise.hpp"
#include "vantorix/version.hpp"

namespace vtx {

namespace {

const char* const init_entry_name = "init vantorix.blockwise_vantorix";

// ---------------------------------------------------------- create slot

// Copies spec.<attribute> into the new module's namespace as <name>; a
// missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* attribute,
                        const char* name, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.is(Py_None)) return 0;
    return PyObject_SetAttrString(module, name, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    std::int64_t current = compat::current_interpreter_id();
    if (state.interpreter_id == -1) {
        if (current == -1) return nullptr;
        state.interpreter_id = current;
    } else if (current != state.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Ref::newref(state.module.get()).release();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__",
                            true) < 0)
        return nullptr;
    return module.release();
}

// ------------------------------------------------------------ exec slot

int bind_global(PyObject* globals, Handle name, Handle value) {
    return PyDict_SetItem(globals, name.get(), value.get());
}

int check_version() {
    std::uint32_t running = parse_version_hex(Py_GetVersion());
    if (same_major_minor(running, PY_MAJOR_VERSION, PY_MINOR_VERSION)) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "vantorix.blockwise_vantorix",
                  "does not match", packed_major(running), packed_minor(running));
    return PyErr_WarnEx(nullptr, message, 1);
}

int capture_builtin(Handle name, Ref& slot) {
    slot = lookup_builtin(name);
    return slot ? 0 : -1;
}

// The steps of the exec slot up to the constants add no traceback entry.
int exec_prelude(PyObject* module, PyObject*& globals) {
    // record this module and take its namespace
    state.module = Ref::newref(module);
    globals = module_namespace(module, "the module object");
    if (!globals) return -1;

    // __builtins__ = sys.modules['builtins']
    Ref builtins_name = Ref::steal(PyUnicode_FromString("builtins"));
    if (!builtins_name) return -1;
    state.builtins = Ref::steal(PyImport_GetModule(builtins_name.get()));
    if (!state.builtins) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "No module named 'builtins'");
        return -1;
    }
    // Anything else there (a dict copy, a proxy) would be used as a module.
    if (!module_namespace(state.builtins, builtins_entry)) return -1;
    if (PyDict_SetItemString(globals, "__builtins__", state.builtins.get()) < 0) return -1;

    if (check_version() < 0) return -1;
    if (create_empty_constants() < 0) return -1;
    if (ready_function_type() < 0) return -1;
    if (find_lazy_import_type() < 0) return -1;
    if (create_str_and_int_constants() < 0) return -1;
    return 0;
}

// From here on every failure carries the "init" traceback entry.
int exec_statements(Frame& frame, bool& entered_registry) {
    PyObject* globals = frame.globals;

    // sys.modules.setdefault('vantorix.blockwise_vantorix', module)
    PyObject* registry = PyImport_GetModuleDict();
    int registered = PyDict_Contains(registry, S.module_name.get());
    if (registered < 0) return frame.fail();
    if (!registered) {
        if (PyDict_SetItem(registry, S.module_name.get(), state.module.get()) < 0)
            return frame.fail();
        entered_registry = true;
    }

    // super and print, captured once
    if (capture_builtin(S.super_, state.super_) < 0) return frame.fail();
    if (capture_builtin(S.print, state.print) < 0) return frame.fail();

    // (1, 1, 1), ("torch", "nn") and the code objects
    S.shape_1_1_1 = Ref::steal(PyTuple_Pack(3, S.int_1.get(), S.int_1.get(), S.int_1.get()));
    if (!S.shape_1_1_1) return frame.fail();
    S.torch_nn_parts = Ref::steal(PyTuple_Pack(2, S.torch.get(), S.nn.get()));
    if (!S.torch_nn_parts) return frame.fail();
    if (create_code_objects() < 0) return frame.fail();

    // from vantorix import globals_vantorix as GVT
    if (import_from_package(globals, S.globals_vantorix, S.GVT) < 0) return frame.fail();
    // from vantorix import modules_vantorix as VT
    if (import_from_package(globals, S.modules_vantorix, S.VT) < 0) return frame.fail();
    // from vantorix import utils_vantorix as UVT
    if (import_from_package(globals, S.utils_vantorix, S.UVT) < 0) return frame.fail();
    // import torch.nn as nn
    if (import_module(globals, S.torch_nn, S.nn) < 0) return frame.fail();
    // import torch
    if (import_module(globals, S.torch, S.torch) < 0) return frame.fail();
    // import pdb
    if (import_module(globals, S.pdb, S.pdb) < 0) return frame.fail();
    // import numpy as np
    if (import_module(globals, S.numpy, S.np) < 0) return frame.fail();
    // import string
    if (import_module(globals, S.string, S.string) < 0) return frame.fail();
    // import copy
    if (import_module(globals, S.copy, S.copy) < 0) return frame.fail();

    // class VTXLayer(nn.Module): ...
    if (create_vtx_layer_class(frame) < 0) return -1;

    // def unWrap_params(model): ... and the other five, in this order
    const Fn functions[] = {Fn::unWrap_params, Fn::convert_to_vtx_layer_block,
                            Fn::get_pretrained_vtx_attr, Fn::get_pretrained_vtx_var,
                            Fn::optimize_module, Fn::blockwise_network};
    for (Fn id : functions) {
        const FunctionDef& def = function_def(id);
        Ref function = new_function(def, globals, state.codes[static_cast<int>(id)].get());
        if (!function) return frame.fail();
        if (bind_global(globals, S.*def.name_slot, function) < 0) return frame.fail();
    }

    // __test__ = {}
    Ref test = Ref::steal(PyDict_New());
    if (!test) return frame.fail();
    if (bind_global(globals, S.dunder_test, test) < 0) return frame.fail();
    return 0;
}

// A failed module that this slot entered in sys.modules under the fixed
// name is taken out again: left there, it would answer the next import in
// place of a fresh attempt.
void forget_registry_entry(PyObject* module) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* registry = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(registry, S.module_name.get());
    if (entry == module) PyDict_DelItem(registry, S.module_name.get());
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

int exec_steps(PyObject* module) {
    if (state.module) {
        if (state.module.is(module)) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'blockwise_vantorix' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    PyObject* globals = nullptr;
    bool entered_registry = false;
    int result = exec_prelude(module, globals);
    if (result == 0) {
        Frame frame{globals, 0};
        result = exec_statements(frame, entered_registry);
        if (result < 0) add_traceback_entry(init_entry_name, frame.line);
    }
    if (result < 0) {
        state.module = Ref();
        if (entered_registry) forget_registry_entry(module);
    }
    return result;
}

int module_exec(PyObject* module) {
    int result = exec_steps(module);
    if (result < 0) state.module = Ref();
    return result;
}

// No Py_mod_gil slot: the module does not claim to run without the GIL, so a
// free-threaded interpreter turns the GIL on when it is imported. Its state
// and its walks rely on the interpreter lock.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "blockwise_vantorix",
    nullptr,  // no docstring
    0,        // no per-module state: all state is process-wide
    nullptr,  // the functions are made by the exec slot
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vtx

PyMODINIT_FUNC PyInit_blockwise_vantorix() {
    return PyModuleDef_Init(&vtx::module_def);
}
