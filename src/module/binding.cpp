// Argument binding shared by every native function. Every parameter is
// required and may come by position or by keyword; the messages are the
// module's own, not the interpreter's.
//
// Binding never allocates: the bound values are borrowed from the caller's
// argument array, and each keyword search is a linear scan of the keyword
// names, identity first, string equality second.
#include "vantorix/blockwise.hpp"

namespace vtx {

namespace {

int count_error(const FunctionDef& def, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, "exactly", static_cast<Py_ssize_t>(def.nparams),
                 def.nparams == 1 ? "" : "s", given);
    return -1;
}

// Equal as strings, without calling any __eq__: lengths first, then text.
bool same_text(PyObject* a, PyObject* b) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// The index in kwnames of the keyword naming `param`, -1 when there is none,
// -2 when a comparison raised.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* param) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // A str subclass may compare with Python code that drops its own
        // tuple slot, so hold the name across the comparison.
        Ref name = Ref::newref(PyTuple_GET_ITEM(kwnames, k));
        int equal = PyObject_RichCompareBool(name.get(), param, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return k;
    }
    return -1;
}

// Binds the keyword `key` (the k-th of kwnames) after the parameters from
// `nargs` on have been searched: identity, type check, text, then the two
// errors.
int bind_extra_keyword(const FunctionDef& def, PyObject* key, PyObject* value,
                       Py_ssize_t nargs, PyObject** bound) {
    for (int j = static_cast<int>(nargs); j < def.nparams; ++j) {
        if (key == param_name(def, j)) {
            bound[j] = value;
            return 0;
        }
    }
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        return -1;
    }
    for (int j = static_cast<int>(nargs); j < def.nparams; ++j) {
        if (same_text(key, param_name(def, j))) {
            bound[j] = value;
            return 0;
        }
    }
    for (int j = 0; j < nargs; ++j) {
        PyObject* param = param_name(def, j);
        if (key == param || same_text(key, param)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         def.name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
    return -1;
}

}  // namespace

int bind_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nparams = def.nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // 1-2. Positional arguments only: the count must match.
    if (nkw == 0) {
        if (nargs != nparams) return count_error(def, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        return 0;
    }
    if (nargs > nparams) return count_error(def, nargs);

    // 3. The leading parameters by position, the rest searched among the
    // keywords in parameter order; the first missing one ends the binding.
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        Py_ssize_t k = find_keyword(kwnames, param_name(def, static_cast<int>(i)));
        if (k == -2) return -1;
        if (k == -1) return count_error(def, i);
        bound[i] = kwvalues[k];
        ++used;
    }

    // 4. Keywords left over: the first one that names no free parameter
    // decides the error.
    if (used < nkw) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (bind_extra_keyword(def, PyTuple_GET_ITEM(kwnames, k), kwvalues[k], nargs,
                                   bound) < 0)
                return -1;
        }
    }
    return 0;
}

}  // namespace vtx
