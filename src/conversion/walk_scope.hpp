// The scope of one walk over a module tree, and its index of converted_list.
//
// The member walk tests every member's path name against converted_list,
// which grows by one name per module descended into, so a plain `in` scan
// makes the walk quadratic in the size of the network. For an exact list
// holding only exact str objects, asked about an exact str, `in` compares
// texts and runs no Python code, so a hash table of the texts gives the same
// answer. Anything else is left to the interpreter's own `in`.
//
// The outermost native call of a walk owns its scope: blockwise_network, or
// optimize_module when Python code calls it. The scope reaches the calls
// that the walk's own descent makes through Frame::walk and dies with the
// call that made it. It indexes one list, the one that call started with,
// and is never shared with another walk or thread.
//
// A list that blockwise_network makes and hands to this module's own
// optimize_module alone is reachable by no other code but the garbage
// collector; the scope keeps it from the collector while the walk runs, and
// then its index needs no check. Any other list may be changed by the code
// that runs between two tests, so each test first checks that the indexed
// items still lead the list.
//
// The member walk asks about every member of one module in turn, each name
// being the module's own path name (the head), ".", and the member (the
// tail). The filter in front of the table therefore files every indexed
// name under each of its heads: all the questions about one module read the
// same line of it, which stays in the cache however large the index grows,
// and the tail's hash that picks the bits costs less than the whole name's.
#pragma once

#include "vantorix/blockwise.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vtx {

// Exact str objects, in the order they were added, each held strongly, and a
// hash table of their texts.
class NameIndex {
public:
    NameIndex() = default;
    NameIndex(NameIndex&&) noexcept = default;
    NameIndex& operator=(NameIndex&&) noexcept = default;

    std::size_t size() const noexcept { return names_.size(); }
    // Whether the names indexed are, in order, the first items of `list`.
    bool leads(PyObject* list) const noexcept;
    // Adds an exact str; false if its hash cannot be had. May throw
    // std::bad_alloc.
    bool add(PyObject* name);
    // Whether an indexed name has the text of the exact str `name`.
    bool holds(PyObject* name, Py_hash_t hash) const noexcept;
    // False if no indexed name is a text with the hash `head`, ".", and a
    // text with the hash `tail` (both of code_point_hash).
    bool may_hold(std::uint64_t head, std::uint64_t tail) const noexcept;

    // The hash of the code points [begin, end) of an exact str, the same
    // for equal texts whatever their storage width.
    static std::uint64_t code_point_hash(PyObject* text, Py_ssize_t begin, Py_ssize_t end) noexcept;

private:
    struct Slot {
        PyObject* name;  // borrowed from names_; null for an empty slot
        Py_hash_t hash;
    };
    void grow();
    // Files `name` under every split into a head, ".", and a tail.
    void mark(PyObject* name) noexcept;
    // Where the filter line of a head begins, and whether a tail's bits are
    // set in a line.
    std::size_t filter_line(std::uint64_t head) const noexcept;
    bool line_holds(std::size_t line, std::uint64_t tail) const noexcept;

    std::vector<Ref> names_;
    std::vector<Slot> slots_;  // open addressing; a power of two, at most half full
    // Most names asked about are not in the list, and in a large table each
    // probe misses the cache; this filter rules most of them out first.
    std::vector<std::uint64_t> filter_;
    std::size_t texts_ = 0;
};

class WalkScope {
public:
    enum class Reach {
        walk_only,  // a new list handed to this module's own optimize_module
        shared,     // any other list: other code may hold and change it
    };

    WalkScope(Handle converted_list, Reach reach);
    ~WalkScope();
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

    // Other code may see the list from now on: the collector tracks it again
    // and every later test checks the index against it.
    void expose() noexcept;

    // `name in converted_list`: 1, 0, or -1 with an exception set. `head`,
    // when it is an exact str and `name` is its text, ".", and more, lets
    // the filter answer most questions.
    int contains(Handle converted_list, Handle name, Handle head);

private:
    // 1 or 0 when the index answers, -2 when the list must be scanned.
    int lookup(PyObject* list, PyObject* name, PyObject* head);
    // Whether the filter rules out `name`, given that it begins with the
    // text of `head` and a ".".
    bool ruled_out(PyObject* name, PyObject* head) noexcept;

    Ref list_;
    bool walk_only_;
    NameIndex index_;
    // The last head asked about, held so that its address names it, and its
    // hash: one module's members come in a row.
    Ref head_;
    std::uint64_t head_hash_ = 0;
};

}  // namespace vtx
