// Stack headroom for nested native calls.
//
// The interpreter's recursion guard counts calls against
// sys.setrecursionlimit(), which training code often raises far beyond what
// the C stack holds (before 3.12 nothing else bounds native nesting), and a
// thread started after threading.stack_size() has less stack still. So
// every native call also compares its own frame with the low end of the
// thread's stack and stops while enough is left for the Python and torch
// code that one level runs (attribute hooks, __dir__, module registration)
// and for raising the error.
//
// From 3.14 the interpreter's own guard measures the stack as well, with a
// limit further from the end than this one. Code of its own that meets that
// limit in the middle of a level is not always ready to fail there (the
// debug build's check of a sort's comparisons aborts the process), so there
// a level also goes in only while the interpreter's guard would still admit
// calls as deep as the level's code may reach.
#include "vantorix/stack_guard.hpp"

#include "vantorix/compat.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace vtx {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define VTX_STACK_HUNGRY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VTX_STACK_HUNGRY 1
#endif
#endif

// Headroom kept free below the deepest native level: what may run below a
// level that the bound has let in. Measured by painting the stack
// (benchmarks/stack_usage.py) on CPython 3.7 to 3.13 in release builds:
//  - the way out of a level the bound refuses (the RecursionError, the first
//    traceback entry with its code object, the unwinding): 5.2 KiB;
//  - the Python and torch code of one level (__dir__, attribute reads and
//    assignments): about 5 KiB, and with the conversion of a neuron module
//    up to 8.2 KiB (3.7).
// The release reserve is three times the largest. Under AddressSanitizer
// every native frame is several times larger (3.3 KiB per level of the walk
// instead of 0.4) and its interceptors add their own frames: the same paths
// took up to 8.8 KiB there, and the reserve is seven times that.
#if defined(VTX_STACK_HUNGRY)
constexpr std::uintptr_t headroom = 64 * 1024;
#else
constexpr std::uintptr_t headroom = 24 * 1024;
#endif

// How far below a native level's frame its Python and torch code may reach
// before the interpreter's guard is asked again, asked of an interpreter
// whose guard measures the stack. The deepest such path measured on 3.14
// and 3.15, the sort inside __dir__, fits in 8 KiB even in the unoptimised
// build under a debug interpreter (4 KiB lets it abort there). Release
// interpreters do not abort when refused within a level, so 8 KiB only
// makes the walk's refusal come first; the unoptimised build for a debug
// interpreter, and AddressSanitizer's larger frames, keep a wider margin.
#if defined(VTX_STACK_HUNGRY) || defined(Py_DEBUG)
constexpr std::uintptr_t level_reach = 28 * 1024;
#else
constexpr std::uintptr_t level_reach = 8 * 1024;
#endif
// Below its soft limit the interpreter's guard refuses a call, and below a
// hard limit one margin (16 KiB or more) further down it ends the process:
// asked at most one margin below the caller, or below the last depth it
// admitted, it is never asked beneath the hard limit. One question then
// settles a release build's reach.
constexpr std::uintptr_t probe_step = 16 * 1024;
// Room kept below the deepest probe for the guard's own frames.
constexpr std::uintptr_t probe_frames = 4 * 1024;

struct StackBounds {
    bool read = false;          // looked up already (successfully or not)
    std::uintptr_t low = 0;     // lowest usable address; 0 when unknown
    std::uintptr_t high = 0;
};

StackBounds read_bounds() {
    StackBounds bounds;
    bounds.read = true;
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
    void* base = nullptr;
    std::size_t size = 0;
    int failed = pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    if (failed || !base || size == 0) return bounds;
    bounds.low = reinterpret_cast<std::uintptr_t>(base);
    bounds.high = bounds.low + size;
#endif
    return bounds;
}

// Each thread's bounds, owned by that thread and read once: a thread's
// stack never moves while it lives.
thread_local StackBounds thread_stack;

// Whether the interpreter's guard admits a call `depth` bytes below the
// caller's frame. Never inlined, so that the allocation lies between the
// caller's frame and the guard's.
[[gnu::noinline]] bool guard_admits_below(std::uintptr_t depth) {
    auto* gap = static_cast<volatile char*>(__builtin_alloca(depth));
    gap[0] = 0;
    if (Py_EnterRecursiveCall("")) {
        PyErr_Clear();
        return false;
    }
    Py_LeaveRecursiveCall();
    return true;
}

// Whether the interpreter's own guard, where it measures the stack, still
// admits calls as deep as one level's code reaches; `room` is what is left
// of the thread's stack below the caller.
bool interpreter_admits_level(std::uintptr_t room) {
    if constexpr (!compat::guard_measures_stack) return true;
    // room is at least the headroom, which exceeds probe_frames.
    std::uintptr_t deepest = std::min(level_reach, room - probe_frames);
    for (std::uintptr_t depth = 0; depth < deepest;) {
        depth = std::min(depth + probe_step, deepest);
        if (!guard_admits_below(depth)) return false;
    }
    return true;
}

}  // namespace

int check_stack_headroom() {
    if (!thread_stack.read) thread_stack = read_bounds();
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Code running on a stack of its own (a coroutine library's, say) is
    // outside the known bounds and left to the interpreter's guard.
    if (here <= thread_stack.low || here >= thread_stack.high) return 0;
    // A stack smaller than the headroom refuses every level.
    std::uintptr_t room = here - thread_stack.low;
    if (room >= headroom && interpreter_admits_level(room)) return 0;
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return -1;
}

}  // namespace vtx
