// The native function type: what the six exported functions and
// VTXLayer.__init__ are made of. It looks like a Python function to
// introspection, binds as a method through instances, and runs its body
// inside the interpreter's recursion guard and within the thread's stack.
#include "vantorix/blockwise.hpp"
#include "vantorix/stack_guard.hpp"

#include <new>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif

namespace vtx {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    Ref name, qualname, module, doc, globals, code, annotations, dict;
    PyObject* weakreflist;  // owned by the weak-reference machinery
};

NativeFunction* as_function(PyObject* object) {
    return reinterpret_cast<NativeFunction*>(object);
}

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ------------------------------------------------------------- calling

// Inlined into both callers: on the walk's descent each frame is paid once per
// level.
[[gnu::always_inline]] inline PyObject* run_body(NativeFunction* function,
                                                 PyObject* const* bound, WalkScope* walk) {
    const FunctionDef& def = *function->def;
    // Keep the globals alive for the call even if the function object is
    // dropped by the code it runs.
    Ref globals = Ref::newref(function->globals.get());
    if (!globals) {
        // Only a function already torn down by the garbage collector (and
        // reached again from a finaliser) has no globals.
        PyErr_SetString(PyExc_SystemError, "function called after it was cleared");
        return nullptr;
    }
    Frame frame{globals.get(), def.first_line, walk};
    if (check_stack_headroom() < 0 || Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback_entry(def.traceback_name, def.first_line);
        return nullptr;
    }
    Ref result = def.body(frame, bound);
    Py_LeaveRecursiveCall();
    if (!result) add_traceback_entry(def.traceback_name, frame.line);
    return result.release();
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    NativeFunction* function = as_function(callable);
    PyObject* bound[max_params];
    if (bind_arguments(*function->def, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) {
        add_traceback_entry(function->def->traceback_name, function->def->first_line);
        return nullptr;
    }
    return run_body(function, bound, nullptr);
}

// The tuple form: positional items followed by the keyword values, with a
// tuple of the keyword names, all held strongly for the length of the call.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0),
                                   static_cast<size_t>(nargs), nullptr);
    }
    Py_ssize_t nkwargs = PyDict_GET_SIZE(kwargs);
    PyObject** array = PyMem_New(PyObject*, nargs + nkwargs);
    if (!array) return PyErr_NoMemory();
    Ref keep_args = Ref::newref(args);
    Ref values = Ref::steal(PyTuple_New(nkwargs));
    Ref kwnames = Ref::steal(PyTuple_New(nkwargs));
    PyObject* result = nullptr;
    if (values && kwnames) {
        Py_ssize_t position = 0, index = 0;
        PyObject *key, *value;
        bool keys_are_str = true;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) keys_are_str = false;
            PyTuple_SET_ITEM(kwnames.get(), index, Ref::newref(key).release());
            PyTuple_SET_ITEM(values.get(), index, Ref::newref(value).release());
            ++index;
        }
        if (!keys_are_str) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        } else {
            for (Py_ssize_t i = 0; i < nargs; ++i) array[i] = PyTuple_GET_ITEM(args, i);
            for (Py_ssize_t i = 0; i < nkwargs; ++i)
                array[nargs + i] = PyTuple_GET_ITEM(values.get(), i);
            result = function_vectorcall(callable, array, static_cast<size_t>(nargs),
                                         kwnames.get());
        }
    }
    PyMem_Free(array);
    return result;
}

// ---------------------------------------------------------- attributes

PyObject* get_name(PyObject* self, void*) { return Ref::newref(as_function(self)->name.get()).release(); }
PyObject* get_qualname(PyObject* self, void*) { return Ref::newref(as_function(self)->qualname.get()).release(); }
PyObject* get_module(PyObject* self, void*) { return Ref::newref(as_function(self)->module.get()).release(); }
PyObject* get_doc(PyObject* self, void*) { return Ref::newref(as_function(self)->doc.get()).release(); }
PyObject* get_globals(PyObject* self, void*) { return Ref::newref(as_function(self)->globals.get()).release(); }
PyObject* get_code(PyObject* self, void*) { return Ref::newref(as_function(self)->code.get()).release(); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* function = as_function(self);
    if (!function->annotations) {
        function->annotations = Ref::steal(PyDict_New());
        if (!function->annotations) return nullptr;
    }
    return Ref::newref(function->annotations.get()).release();
}

int refuse_delete(PyObject* value, const char* attribute) {
    if (value) return 0;
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
}

int set_str(Ref& slot, PyObject* value, const char* attribute) {
    if (refuse_delete(value, attribute) < 0) return -1;
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    slot = Ref::newref(value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str(as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(as_function(self)->qualname, value, "__qualname__");
}
int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->module = Ref::newref(value ? value : Py_None);
    return 0;
}
int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::newref(value ? value : Py_None);
    return 0;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = Ref::newref(value == Py_None ? nullptr : value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------ lifecycle

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* function = as_function(self);
    Py_VISIT(function->name.get());
    Py_VISIT(function->qualname.get());
    Py_VISIT(function->module.get());
    Py_VISIT(function->doc.get());
    Py_VISIT(function->globals.get());
    Py_VISIT(function->code.get());
    Py_VISIT(function->annotations.get());
    Py_VISIT(function->dict.get());
    return 0;
}

int function_clear(PyObject* self) {
    NativeFunction* function = as_function(self);
    function->annotations = Ref();
    function->dict = Ref();
    function->globals = Ref();
    function->doc = Ref();
    function->module = Ref();
    return 0;
}

void function_dealloc(PyObject* self) {
    NativeFunction* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakreflist) PyObject_ClearWeakRefs(self);
    function->~NativeFunction();
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname.get(), self);
}

// Read through an instance, the function becomes a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Ref::newref(self).release();
    return PyMethod_New(self, instance);
}

}  // namespace

bool is_native_function(Handle callable, const FunctionDef& def) {
    return Py_TYPE(callable.get()) == &function_type && as_function(callable.get())->def == &def;
}

Ref call_native(Handle function, PyObject* const* args, WalkScope* walk) {
    // Binding a full list of positional arguments cannot fail. The body
    // enters the recursion guard once, as a call from one Python function to
    // another does (a call through tp_call enters it twice before 3.9), so
    // the walk goes as deep as the same walk written in Python.
    return Ref::steal(run_body(as_function(function.get()), args, walk));
}

int ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return 0;
    function_type.tp_name = "vantorix.blockwise_vantorix.native_function";
    function_type.tp_basicsize = sizeof(NativeFunction);
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_repr = function_repr;
    function_type.tp_call = function_call;
    function_type.tp_getattro = PyObject_GenericGetAttr;
    function_type.tp_setattro = PyObject_GenericSetAttr;
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    compat::allow_unbound_method_calls(function_type);
    compat::enable_vectorcall(function_type, offsetof(NativeFunction, vectorcall));
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
    function_type.tp_getset = function_getset;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_dictoffset = offsetof(NativeFunction, dict);
    return PyType_Ready(&function_type);
}

Ref new_function(const FunctionDef& def, PyObject* globals, PyObject* code) {
    NativeFunction* function = PyObject_GC_New(NativeFunction, &function_type);
    if (!function) return nullptr;
    // The fields are C++ objects: construct them in the memory just obtained.
    new (&function->name) Ref(Ref::newref((S.*def.name_slot).get()));
    new (&function->qualname) Ref(Ref::newref((S.*def.qualname_slot).get()));
    new (&function->module) Ref(Ref::newref(S.module_name.get()));
    new (&function->doc) Ref(Ref::newref(Py_None));
    new (&function->globals) Ref(Ref::newref(globals));
    new (&function->code) Ref(Ref::newref(code));
    new (&function->annotations) Ref();
    new (&function->dict) Ref();
    function->weakreflist = nullptr;
    function->vectorcall = function_vectorcall;
    function->def = &def;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(function));
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace vtx
