// Interpreter differences of the C API, each behind one name, so that the
// bodies read the same on CPython 3.7 to 3.15.
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

// Whether the interpreter's own recursion guard (Py_EnterRecursiveCall)
// compares the stack pointer with limits near the end of the thread's stack,
// as from 3.14, rather than counting calls. Such a guard refuses from its
// soft limit on, and stops the process outright below a hard limit one
// margin further down; the margin is the interpreter's (16 KiB or more).
inline constexpr bool guard_measures_stack = PY_VERSION_HEX >= 0x030E0000;

// Whether a function whose code object has empty bytecode fails cleanly when
// called: up to 3.10 the interpreter meets no valid instruction there and
// raises SystemError ("unknown opcode"); from 3.11 on it runs past the end.
inline constexpr bool empty_code_body_is_safe = PY_VERSION_HEX < 0x030B0000;

// Whether a namespace may hold lazy import objects (PEP 810, 3.15 on), which
// a global load or a module attribute read resolves in place.
inline constexpr bool has_lazy_imports = PY_VERSION_HEX >= 0x030F0000;

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

// ===================================================================
// Code objects of the native functions
// ===================================================================
//
// The constructor's name and argument list changed in 3.8, 3.11 and 3.12.

namespace vtx {
namespace compat {

inline PyCodeObject* new_code(int argcount, int nlocals, int stacksize, int flags,
                              PyObject* bytecode, PyObject* empty_tuple, PyObject* varnames,
                              PyObject* filename, PyObject* name, PyObject* qualname,
                              int first_line, PyObject* line_table, PyObject* exception_table) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, stacksize, flags, bytecode, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, qualname, first_line, line_table,
        exception_table);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, stacksize, flags, bytecode,
                                     empty_tuple, empty_tuple, varnames, empty_tuple,
                                     empty_tuple, filename, name, qualname, first_line,
                                     line_table, exception_table);
#elif PY_VERSION_HEX >= 0x03080000
    (void)qualname;
    (void)exception_table;
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, stacksize, flags, bytecode,
                                     empty_tuple, empty_tuple, varnames, empty_tuple,
                                     empty_tuple, filename, name, first_line, line_table);
#else
    (void)qualname;
    (void)exception_table;
    return PyCode_New(argcount, 0, nlocals, stacksize, flags, bytecode, empty_tuple,
                      empty_tuple, varnames, empty_tuple, empty_tuple, filename, name,
                      first_line, line_table);
#endif
}

// Until 3.10 the constructor adds CO_NOFREE by itself; the flags must read
// the same on every version.
inline void drop_implied_flags(PyCodeObject* code) {
#if PY_VERSION_HEX < 0x030B0000
    code->co_flags &= ~CO_NOFREE;
#else
    (void)code;
#endif
}

}  // namespace compat
}  // namespace vtx

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
