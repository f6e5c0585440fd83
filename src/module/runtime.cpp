// Thin helpers, one per Python-level operation, and traceback entries.
#include "vantorix/blockwise.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstring>

namespace vtx {

// ------------------------------------------------------------ globals

PyObject* module_namespace(Handle module, const char* what) {
    if (!PyModule_Check(module.get())) {
        PyErr_Format(PyExc_TypeError, "%s must be a module, not '%.200s'", what,
                     Py_TYPE(module.get())->tp_name);
        return nullptr;
    }
    return PyModule_GetDict(module.get());
}

int find_lazy_import_type() {
    if constexpr (!compat::has_lazy_imports) return 0;
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types) return -1;
    state.lazy_import_type = Ref::steal(PyObject_GetAttrString(types.get(), "LazyImportType"));
    if (state.lazy_import_type || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return state.lazy_import_type ? 0 : -1;
    }
    PyErr_Clear();  // an interpreter without lazy imports after all
    return 0;
}

namespace {

// Whether a namespace entry is a lazy import object; never, and at no cost,
// on interpreters that have none.
bool is_lazy_import(PyObject* value) {
    if constexpr (!compat::has_lazy_imports) return false;
    return state.lazy_import_type &&
           Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(state.lazy_import_type.get());
}

// What a global load finds under `name` in `namespace_dict`: the entry
// itself, or, for a lazy import object, what it imports now, which then
// replaces it there. Import errors propagate.
Ref global_entry(PyObject* namespace_dict, Handle name, PyObject* value) {
    // Take a strong reference at once: the next call may rebind the name.
    Ref entry = Ref::newref(value);
    if (!is_lazy_import(entry.get())) return entry;
    Ref resolved = Ref::steal(PyObject_CallMethod(entry.get(), "resolve", nullptr));
    if (!resolved) return nullptr;
    // Unless the import itself rebound the name.
    PyObject* now = PyDict_GetItemWithError(namespace_dict, name.get());
    if (now == entry.get() && PyDict_SetItem(namespace_dict, name.get(), resolved.get()) < 0)
        return nullptr;
    if (PyErr_Occurred()) return nullptr;
    return resolved;
}

}  // namespace

Ref lookup_builtin(Handle name) {
    PyObject* builtins_dict = module_namespace(state.builtins, builtins_entry);
    if (!builtins_dict) return nullptr;
    PyObject* value = PyDict_GetItemWithError(builtins_dict, name.get());
    if (value) return global_entry(builtins_dict, name, value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return nullptr;
}

Ref lookup_global(const Frame& frame, Handle name) {
    PyObject* value = PyDict_GetItemWithError(frame.globals, name.get());
    if (value) return global_entry(frame.globals, name, value);
    if (PyErr_Occurred()) return nullptr;
    if (state.builtins) return lookup_builtin(name);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return nullptr;
}

namespace {

// getattr(module, name) for an object of the exact module type: its type
// and `object` define no attribute whose name lacks a leading "_", so for
// such a name the generic read settles on the namespace's entry, and only a
// name the namespace lacks goes on to the full read (and `__getattr__`).
// A module not yet initialised may have no namespace at all. A lazy import
// object there is left to the full read, which resolves it in place.
Ref module_attr(Handle object, Handle name) {
    PyObject* module = object.get();
    PyObject* text = name.get();
    if (PyModule_CheckExact(module) && PyUnicode_CheckExact(text) &&
        PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) != '_') {
        if (PyObject* namespace_dict = PyModule_GetDict(module)) {
            PyObject* value = PyDict_GetItemWithError(namespace_dict, text);
            if (value && !is_lazy_import(value)) return Ref::newref(value);
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return getattr(object, name);
}

}  // namespace

Ref global_attr(const Frame& frame, Handle global, Handle name) {
    Ref object = lookup_global(frame, global);
    if (!object) return nullptr;
    return module_attr(object, name);
}

// ---------------------------------------------------------- attributes

Ref getattr(Handle object, Handle name) {
    return Ref::steal(PyObject_GetAttr(object.get(), name.get()));
}

Ref getattr_or_none(Handle object, Handle name) {
    Ref value = getattr(object, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Ref::newref(Py_None);
    }
    return value;
}

Ref getattr_path(Handle object, std::initializer_list<Handle> names) {
    Ref current = Ref::newref(object.get());
    for (Handle name : names) {
        current = getattr(current, name);
        if (!current) return nullptr;
    }
    return current;
}

int setattr(Handle object, Handle name, Handle value) {
    return PyObject_SetAttr(object.get(), name.get(), value.get());
}

int delattr(Handle object, Handle name) {
    return PyObject_SetAttr(object.get(), name.get(), nullptr);
}

Ref getitem(Handle object, Handle key) {
    return Ref::steal(PyObject_GetItem(object.get(), key.get()));
}

Ref getitem_index(Handle object, Py_ssize_t index) {
    Ref key = int_of(index);
    if (!key) return nullptr;
    return getitem(object, key);
}

// --------------------------------------------------------------- calls

Ref call(Handle callable) {
    return Ref::steal(compat::call_no_args(callable.get()));
}

Ref call(Handle callable, Handle a) {
    return Ref::steal(PyObject_CallFunctionObjArgs(callable.get(), a.get(), nullptr));
}

Ref call(Handle callable, Handle a, Handle b) {
    return Ref::steal(
        PyObject_CallFunctionObjArgs(callable.get(), a.get(), b.get(), nullptr));
}

Ref call(Handle callable, Handle a, Handle b, Handle c, Handle d) {
    return Ref::steal(PyObject_CallFunctionObjArgs(callable.get(), a.get(), b.get(),
                                                   c.get(), d.get(), nullptr));
}

Ref call(Handle callable, std::initializer_list<Handle> args) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return nullptr;
    Py_ssize_t index = 0;
    for (Handle arg : args) {
        PyTuple_SET_ITEM(tuple.get(), index++, Ref::newref(arg.get()).release());
    }
    return call_args(callable, tuple);
}

Ref call_args(Handle callable, Handle args_tuple) {
    return Ref::steal(PyObject_Call(callable.get(), args_tuple.get(), nullptr));
}

// The method is looked up as `object.name` would find it; a plain function
// of the type is called with the object first instead of being bound.
Ref call_method(Handle object, Handle name) {
    return Ref::steal(PyObject_CallMethodNoArgs(object.get(), name.get()));
}

Ref call_method(Handle object, Handle name, Handle a) {
    return Ref::steal(PyObject_CallMethodOneArg(object.get(), name.get(), a.get()));
}

// ------------------------------------------------ tests and operators

int truth(Handle object) { return PyObject_IsTrue(object.get()); }

int contains(Handle container, Handle item) {
    return PySequence_Contains(container.get(), item.get());
}

Ref compare(Handle left, Handle right, int op) {
    return Ref::steal(PyObject_RichCompare(left.get(), right.get(), op));
}

Ref add(Handle left, Handle right) {
    return Ref::steal(PyNumber_Add(left.get(), right.get()));
}

Ref add(Handle left, Handle middle, Handle right) {
    PyObject* parts[] = {left.get(), middle.get(), right.get()};
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    bool plain_texts = true;
    for (PyObject* part : parts) {
        // An empty operand makes `+` hand back the other one itself.
        plain_texts = plain_texts && PyUnicode_CheckExact(part) && PyUnicode_READY(part) == 0 &&
                      PyUnicode_GET_LENGTH(part) > 0;
        if (!plain_texts) break;
        length += PyUnicode_GET_LENGTH(part);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part));
    }
    if (!plain_texts) {
        if (PyErr_Occurred()) return nullptr;
        Ref head = add(left, middle);
        if (!head) return nullptr;
        return add(head, right);
    }
    // Adding exact str objects runs no Python code and yields a new str of
    // the joined texts: build it at once.
    Ref joined = Ref::steal(PyUnicode_New(length, max_char));
    if (!joined) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        Py_ssize_t part_length = PyUnicode_GET_LENGTH(part);
        if (max_char < 128) {
            // ASCII texts, the usual case, are one byte per character alike.
            std::memcpy(PyUnicode_1BYTE_DATA(joined.get()) + at, PyUnicode_DATA(part),
                        static_cast<std::size_t>(part_length));
        } else if (PyUnicode_CopyCharacters(joined.get(), at, part, 0, part_length) < 0) {
            return nullptr;
        }
        at += part_length;
    }
    return joined;
}

Ref inplace_add(Handle left, Handle right) {
    return Ref::steal(PyNumber_InPlaceAdd(left.get(), right.get()));
}

Ref remainder(Handle left, Handle right) {
    return Ref::steal(PyNumber_Remainder(left.get(), right.get()));
}

Ref str_of(Handle object) {
    if (PyUnicode_CheckExact(object.get())) return Ref::newref(object.get());
    return Ref::steal(PyObject_Str(object.get()));
}

Ref int_of(Py_ssize_t value) { return Ref::steal(PyLong_FromSsize_t(value)); }

Py_ssize_t length(Handle object) { return PyObject_Size(object.get()); }

Ref type_of(Ref object) {
    if (!object) return nullptr;
    return Ref::newref(reinterpret_cast<PyObject*>(Py_TYPE(object.get())));
}

int is_subclass(Handle cls, Handle base) { return PyObject_IsSubclass(cls.get(), base.get()); }

// --------------------------------------------------------- containers

Ref new_list() { return Ref::steal(PyList_New(0)); }

Ref list_of(Handle item) {
    Ref list = Ref::steal(PyList_New(1));
    if (!list) return nullptr;
    PyList_SET_ITEM(list.get(), 0, Ref::newref(item.get()).release());
    return list;
}

int list_append(Handle list, Handle item) { return PyList_Append(list.get(), item.get()); }

Ref tuple_of(Handle iterable) { return Ref::steal(PySequence_Tuple(iterable.get())); }

Ref iter(Handle iterable) { return Ref::steal(PyObject_GetIter(iterable.get())); }

int become_iterator(Ref& iterable) {
    iterable = iter(iterable);
    return iterable ? 0 : -1;
}

int next(Handle iterator, Ref& item) {
    PyObject* value = PyIter_Next(iterator.get());
    if (!value) return PyErr_Occurred() ? -1 : 0;
    item = Ref::steal(value);
    return 1;
}

namespace {

int too_few_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return -1;
}

int too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(2));
    return -1;
}

}  // namespace

int unpack_pair(Handle item, Ref& first, Ref& second) {
    PyObject* object = item.get();
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        if (size > 2) return too_many_values();
        if (size < 2) return too_few_values(size);
        first = Ref::newref(PySequence_Fast_GET_ITEM(object, 0));
        second = Ref::newref(PySequence_Fast_GET_ITEM(object, 1));
        return 0;
    }
    // Anything else is iterated for at most one value more than expected.
    Ref iterator = iter(item);
    if (!iterator) return -1;
    int found = next(iterator, first);
    if (found <= 0) return found < 0 ? -1 : too_few_values(0);
    found = next(iterator, second);
    if (found <= 0) return found < 0 ? -1 : too_few_values(1);
    Ref extra;
    found = next(iterator, extra);
    if (found < 0) return -1;
    if (found > 0) return too_many_values();
    return 0;
}

// --------------------------------------------------- traceback entries

namespace {

// One code object per (function, line), kept in state.entry_codes for the
// life of the process: a synthetic frame reports its code's first line as
// its current line.
Ref entry_code(const char* function_name, int line) {
    if (!state.entry_codes) {
        state.entry_codes = Ref::steal(PyDict_New());
        if (!state.entry_codes) return nullptr;
    }
    Ref key = Ref::steal(Py_BuildValue("(si)", function_name, line));
    if (!key) return nullptr;
    if (PyObject* known = PyDict_GetItemWithError(state.entry_codes.get(), key.get()))
        return Ref::newref(known);
    if (PyErr_Occurred()) return nullptr;
    // Two backslash characters, unlike the file name of the function's own
    // code object.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("vantorix\\\\blockwise_vantorix", function_name, line)));
    if (!code || PyDict_SetItem(state.entry_codes.get(), key.get(), code.get()) < 0)
        return nullptr;
    return code;
}

}  // namespace

void add_traceback_entry(const char* function_name, int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref code = entry_code(function_name, line);
    Ref frame;
    if (code) {
        PyObject* module_globals =
            state.module ? module_namespace(state.module, "the recorded module") : nullptr;
        Ref globals = module_globals ? Ref::newref(module_globals) : Ref::steal(PyDict_New());
        if (globals) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            globals.get(), nullptr)));
        }
    }
    // A failure to build the entry must not replace the real exception.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace vtx
