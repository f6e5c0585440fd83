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

private:
    struct Slot {
        PyObject* name;  // borrowed from names_; null for an empty slot
        Py_hash_t hash;
    };
    void grow();
    // The word of the filter for `hash`, and the two bits set in it.
    std::size_t filter_word(Py_hash_t hash) const noexcept;
    static std::uint64_t filter_bits(Py_hash_t hash) noexcept;

    std::vector<Ref> names_;
    std::vector<Slot> slots_;  // open addressing; a power of two, at most half full
    // Most names asked about are not in the list, and in a large table each
    // probe misses the cache; this filter of about 16 bits per name stays in
    // it and rules most of them out first.
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

    // `name in converted_list`: 1, 0, or -1 with an exception set.
    int contains(Handle converted_list, Handle name);

private:
    // 1 or 0 when the index answers, -2 when the list must be scanned.
    int lookup(PyObject* list, PyObject* name);

    Ref list_;
    bool walk_only_;
    NameIndex index_;
};

}  // namespace vtx
