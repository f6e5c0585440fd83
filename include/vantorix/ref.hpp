// Reference handles for the whole module.
//
// Rules of use:
//  1. Every strong reference lives in a `Ref`. A `Ref` is move-only and
//     releases its object when it goes out of scope, so error paths are plain
//     early returns with nothing to decref by hand.
//  2. A new reference returned by the C API is taken over with `Ref::steal`;
//     a borrowed pointer that must outlive a call into Python code is first
//     turned into a strong one with `Ref::newref`.
//  3. `Handle` is a borrowed view, used for parameters. It never owns and
//     never outlives the call that received it.
//  4. A reference is dropped by a thread that holds the interpreter, as
//     every body runs. A daemon thread that the interpreter ends at exit
//     unwinds its frames without it, and runs none of their destructors:
//     the module is built without C++ exceptions (CMakeLists.txt), so its
//     references are left alone then, as the interpreter's own C frames
//     leave theirs.
//  5. There is no implicit conversion from `Ref` to `PyObject*`, so a `Ref`
//     cannot be handed to a stealing API by accident: use `.release()` where
//     an API steals, `.get()` where it borrows.
#pragma once

#include "vantorix/compat.hpp"

#include <cstddef>

namespace vtx {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { drop(object_); }

    Ref& operator=(Ref&& other) {
        // Take the new value first: the old object's destructor may run
        // Python code that reads this very slot.
        PyObject* old = object_;
        object_ = other.object_;
        other.object_ = nullptr;
        drop(old);
        return *this;
    }

    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Makes a new strong reference to a borrowed object.
    static Ref newref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    // Gives up ownership, for APIs that steal a reference.
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    bool is(PyObject* other) const noexcept { return object_ == other; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    static void drop(PyObject* object) { Py_XDECREF(object); }
    PyObject* object_ = nullptr;
};

class Handle {
public:
    Handle(PyObject* object) noexcept : object_(object) {}
    Handle(const Ref& ref) noexcept : object_(ref.get()) {}
    PyObject* get() const noexcept { return object_; }
    bool is(PyObject* other) const noexcept { return object_ == other; }

private:
    PyObject* object_;
};

}  // namespace vtx
