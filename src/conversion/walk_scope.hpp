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
// tail). The filter in front of the table files every indexed name under
// the texts before and after its last ".": all the questions about one
// module read the same line of it, which stays in the cache however large
// the index grows.
//
// A path name is another path name with something appended, and can be
// thousands of characters long in a deep network. Its hashes extend as the
// name does (vantorix/text_hash.hpp), so the index hashes only what a name
// adds to one whose hashes it knows: the module's own path name, the name
// asked about last, or the name indexed last. Whatever it learns about an
// object it keeps by the object's address, holding the object so that the
// address cannot be reused. Each name then costs the index time in
// proportion to what it appends, and one that it knows nothing about costs
// one pass over its text.
#pragma once

#include "vantorix/blockwise.hpp"
#include "vantorix/text_hash.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vtx {

// A zeroed array of plain entries, from the raw allocator, which needs no
// interpreter lock. A failed allocation leaves it as it was.
template <class Entry>
class Table {
public:
    Table() = default;
    Table(Table&& other) noexcept : entries_(other.entries_), size_(other.size_) {
        other.entries_ = nullptr;
        other.size_ = 0;
    }
    Table& operator=(Table&& other) noexcept {
        std::swap(entries_, other.entries_);
        std::swap(size_, other.size_);
        return *this;
    }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table() { PyMem_RawFree(entries_); }

    bool allocate(std::size_t size) {
        auto* entries = static_cast<Entry*>(PyMem_RawCalloc(size, sizeof(Entry)));
        if (!entries) return false;
        PyMem_RawFree(entries_);
        entries_ = entries;
        size_ = size;
        return true;
    }
    std::size_t size() const noexcept { return size_; }
    Entry& operator[](std::size_t i) noexcept { return entries_[i]; }
    const Entry& operator[](std::size_t i) const noexcept { return entries_[i]; }
    Entry* begin() noexcept { return entries_; }
    Entry* end() noexcept { return entries_ + size_; }

private:
    Entry* entries_ = nullptr;
    std::size_t size_ = 0;
};

using text_hash::NameHashes;

// Exact str objects, in the order they were added, each held strongly, a
// hash table of their texts, and what the index knows of other objects.
class NameIndex {
public:
    std::size_t size() const noexcept {
        return names_ ? static_cast<std::size_t>(PyList_GET_SIZE(names_.get())) : 0;
    }
    // Whether the names indexed are, in order, the first items of `list`.
    bool leads(PyObject* list) const noexcept;
    // Makes the lists that the index keeps; false, with an error set, if it
    // cannot. Needed before add() and holds_asked().
    bool prepare();
    // Adds an exact str; false, with MemoryError or nothing set, if memory
    // runs out. The name is then not indexed at all.
    bool add(PyObject* name);
    // Whether an indexed name has the text of the readable str `name`, asked
    // about with `head`, the path name of the module whose member it names.
    bool holds_asked(PyObject* name, PyObject* head);
    // Learns the hashes of `path`, a name that the walk records or passes
    // down and whose text begins with that of `head`, the path name of the
    // module it belongs to; nothing before the index is prepared.
    void learn(PyObject* path, PyObject* head);
private:
    // Whether an indexed name has the text of the readable str `name`, whose
    // hashes are `hashes`.
    bool holds(PyObject* name, const NameHashes& hashes) const noexcept;
    // Computes the whole-text hash of the name asked about last, where it
    // was left until needed.
    void complete_asked() noexcept;
    struct Slot {
        PyObject* name;  // borrowed from names_; null for an empty slot
        NameHashes hashes;
    };
    struct Known {
        PyObject* object;  // held by names_ or held_; null for an empty entry
        NameHashes hashes;
    };
    // An object whose hashes came last in one of four ways, held.
    struct Recent {
        Ref object;
        NameHashes hashes;
    };

    // The hashes of an exact str: known by its address, extended from a
    // recent name that its text begins with, or from nothing.
    NameHashes hashes_of(PyObject* text);
    // The same, and the object known by its address from now on.
    NameHashes hashes_held(PyObject* text);
    // Holds an object that no list of the walk's holds, known by address.
    void hold(PyObject* object, const NameHashes& hashes);
    const Known* known(PyObject* object) const noexcept;
    bool remember(PyObject* object, const NameHashes& hashes);
    bool make_room();
    bool may_hold(const NameHashes& hashes) const noexcept;
    void mark(const NameHashes& hashes) noexcept;

    Ref names_;  // a list, so that leads() compares item arrays
    Ref held_;   // a list of the heads known by address and not indexed
    Table<Slot> slots_;  // open addressing by text; a power of two, at most half full
    Table<Known> known_;  // open addressing by address; likewise
    // Most names asked about are not in the list, and in a large table each
    // probe misses the cache; this filter rules most of them out first.
    Table<std::uint64_t> filter_;
    std::size_t texts_ = 0, known_count_ = 0;
    Recent last_asked_, last_added_, last_head_, last_learned_;
    // Where the whole-text hash of last_asked_ is still to be extended
    // from (its head's hash); -1 when it is complete.
    Py_ssize_t asked_full_from_ = -1;
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
    // when it is an exact str and `name` begins with its text, lets the
    // index hash only the rest of `name`.
    int contains(Handle converted_list, Handle name, Handle head);

    // A container's children are recorded without a question: what the
    // index learns of their names as they are made spares it a pass over
    // each of them later.
    void learn(Handle path, Handle name_so_far);

private:
    // 1 or 0 when the index answers, -2 when the list must be scanned.
    int lookup(PyObject* list, PyObject* name, PyObject* head);

    Ref list_;
    bool walk_only_;
    NameIndex index_;
};

}  // namespace vtx
