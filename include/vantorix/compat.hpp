// The few C-API names that older interpreters lack.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03080000
// 3.7 has no vector call protocol; the tuple form serves every call there.
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames);
inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) { return static_cast<Py_ssize_t>(nargsf); }
#endif

#if PY_VERSION_HEX < 0x03090000
// The method-call forms that skip the bound method came with 3.9; before, the
// call by name does the same.
inline PyObject* PyObject_CallMethodNoArgs(PyObject* object, PyObject* name) {
    return PyObject_CallMethodObjArgs(object, name, nullptr);
}
inline PyObject* PyObject_CallMethodOneArg(PyObject* object, PyObject* name, PyObject* arg) {
    return PyObject_CallMethodObjArgs(object, name, arg, nullptr);
}
#endif

// Whether the garbage collector tracks `object`; the public query came
// with 3.9, older interpreters have only the macro behind it.
inline bool gc_is_tracked(PyObject* object) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(object) != 0;
#else
    return _PyObject_GC_IS_TRACKED(object);
#endif
}

// Before 3.9 the native functions are called through tp_call, and a call
// through Python enters the recursion guard once more on the way there.
#if PY_VERSION_HEX >= 0x03090000
constexpr bool calls_enter_recursion_guard = false;
#else
constexpr bool calls_enter_recursion_guard = true;
#endif
