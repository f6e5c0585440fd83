// Where C++ exceptions stop: no C++ exception may travel into the
// interpreter's C frames, so each place where the interpreter enters this
// module's C++ code turns one into a Python exception.
//
// One unwinding must pass those places untouched. From 3.7 to 3.13 the
// interpreter ends a daemon thread that asks for the interpreter lock after
// shutdown has begun with pthread_exit, and glibc unwinds that thread's
// frames, ours included, with a forced unwind. Both C++ runtimes show it to
// a catch-all, and held there without being passed on it aborts the process
// ("FATAL: exception not rethrown"):
//  - libstdc++ shows it as abi::__forced_unwind, an exception without an
//    object and so without an exception_ptr; the catch-all rethrows what has
//    none. (A handler for abi::__forced_unwind& itself would bind a
//    reference to that missing object, which UBSan rejects.)
//  - libc++abi sees an exception of a foreign kind, which it can catch but
//    not rethrow (a rethrow ends in "terminating due to uncaught foreign
//    exception"); there only C++'s own exception types are caught, which a
//    forced unwind never matches.
// For the same reason no function on that path is noexcept: a forced unwind
// reaching a noexcept frame ends in std::terminate.
#pragma once

#include "vantorix/compat.hpp"

#include <exception>
#include <new>

namespace vtx {

inline void set_unexpected_cxx_exception() {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
}

// Runs `body` and returns its result. A C++ exception escaping it sets
// MemoryError (std::bad_alloc) or SystemError, and `failed` is returned.
// Inlined, so that the walk's descent pays no frame of its own for it.
template <class Result, class Body>
[[gnu::always_inline]] inline Result python_error_on_throw(Result failed, Body&& body) {
    try {
        return body();
    }
#if defined(__GLIBCXX__)
    catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        if (!std::current_exception()) throw;  // abi::__forced_unwind
        set_unexpected_cxx_exception();
    }
#else
    catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception&) {
        set_unexpected_cxx_exception();
    }
#endif
    return failed;
}

}  // namespace vtx
