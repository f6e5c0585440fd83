// The module's import statements. Both forms call the interpreter's import
// function directly, so a replaced builtins.__import__ is not consulted.
#include "vantorix/blockwise.hpp"

#include <utility>

namespace vtx {

namespace {

Ref import_level0(Handle name, Handle globals, Handle fromlist) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), globals.get(), locals.get(),
                                                       fromlist.get(), 0));
}

// The registry's entry for `name`, or null (with no error) when absent.
Ref registry_module(Handle name, bool& failed) {
    Ref module = Ref::steal(PyImport_GetModule(name.get()));
    failed = !module && PyErr_Occurred();
    return module;
}

// A module whose __spec__ marks it as still initialising must go through the
// import function, which waits for it. A missing __spec__ or _initializing
// means it is not initialising; any other error propagates.
int is_initialising(Handle module) {
    Ref spec = getattr(module, S.dunder_spec);
    if (!spec) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref initializing = getattr(spec, S.initializing);
    if (!initializing) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return truth(initializing);
}

int bind(Handle globals, Handle name, Handle value) {
    return PyDict_SetItem(globals.get(), name.get(), value.get());
}

}  // namespace

int import_from_package(Handle globals, Handle companion, Handle alias) {
    Ref fromlist = list_of(companion);
    if (!fromlist) return -1;
    Ref package = import_level0(S.vantorix, globals, fromlist);
    if (!package) return -1;
    Ref value = getattr(package, companion);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        // A submodule that is imported but not (yet) an attribute of its
        // package is found in the registry under its full name.
        Ref package_name = getattr(package, S.dunder_name);
        if (package_name) {
            Ref full_name = Ref::steal(PyUnicode_FromFormat("%S.%S", package_name.get(),
                                                            companion.get()));
            if (full_name) {
                bool failed = false;
                value = registry_module(full_name, failed);
            }
        }
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", companion.get());
        return -1;
    }
    return bind(globals, alias, value);
}

int import_module(Handle globals, Handle full_name, Handle alias) {
    const bool dotted = PyUnicode_FindChar(full_name.get(), '.', 0,
                                           PyUnicode_GET_LENGTH(full_name.get()), 1) >= 0;
    bool failed = false;
    Ref module = registry_module(full_name, failed);
    if (failed) return -1;
    if (module) {
        int initialising = is_initialising(module);
        if (initialising < 0) return -1;
        if (initialising) module = Ref();
    }
    if (!module) {
        Ref top = import_level0(full_name, globals, nullptr);
        if (!top) return -1;
        if (!dotted) {
            module = std::move(top);
        } else {
            // The import function hands back the top-level package: take the
            // leaf from the registry, or walk down to it by attribute.
            module = registry_module(full_name, failed);
            if (failed) return -1;
            if (!module) {
                module = std::move(top);
                PyObject* parts = S.torch_nn_parts.get();
                for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(parts); ++i) {
                    module = getattr(module, PyTuple_GET_ITEM(parts, i));
                    if (!module) {
                        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                        PyErr_Clear();
                        Ref reached = Ref::steal(PyTuple_GetSlice(parts, 0, i + 1));
                        if (!reached) return -1;
                        Ref joined = Ref::steal(PyUnicode_Join(S.dot.get(), reached.get()));
                        if (!joined) return -1;
                        PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%U'",
                                     joined.get());
                        return -1;
                    }
                }
            }
        }
    }
    return bind(globals, alias, module);
}

}  // namespace vtx
