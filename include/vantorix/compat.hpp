// Interpreter differences of the C API, each behind one name, so that the
// bodies read the same on CPython 3.7 to 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x03080000
// 3.7 has no vector call protocol; the tuple form serves every call there.
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames);
inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) { return static_cast<Py_ssize_t>(nargsf); }
#endif

namespace vtx::compat {

// The id of the interpreter running the calling thread; -1 with an error set
// when it cannot be told.
inline std::int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// callable() with no arguments; a new reference, or null with an error set.
inline PyObject* call_no_args(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallNoArgs(callable);
#else
    return PyObject_CallFunctionObjArgs(callable, nullptr);
#endif
}

// Lets the interpreter call a method-like type unbound with the instance
// prepended (3.8+); earlier interpreters bind it through tp_descr_get.
inline void allow_unbound_method_calls(PyTypeObject& type) {
#if PY_VERSION_HEX >= 0x03080000
    type.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
    (void)type;
#endif
}

// Calls the type's instances through the vectorcall pointer at `offset`, from
// 3.9 on. Before 3.9 a keyword dict with non-str keys reaches the vector form
// unchecked, so older interpreters keep tp_call, which checks them.
inline void enable_vectorcall(PyTypeObject& type, std::size_t offset) {
#if PY_VERSION_HEX >= 0x03090000
    type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_vectorcall_offset = static_cast<Py_ssize_t>(offset);
#else
    (void)type;
    (void)offset;
#endif
}

}  // namespace vtx::compat
