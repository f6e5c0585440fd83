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
