// The scope of one walk over a module tree, and its index of converted_list.
//
// Design. The member walk asks of every member whether its path name is in
// converted_list, which grows by one name per module descended into, so
// plain `in` scans make a large walk quadratic. While the list and the name
// are exact str objects, `in` compares texts and runs no Python code, and a
// hash table of the texts gives the same answer. The scope answers by
// scanning the list as `in` does until those scans have cost about what
// indexing the list would, and only then indexes it: a table of the items'
// positions, filed by a hash of each stored text (vantorix/text_hash.hpp),
// beside a list of its own that holds the items indexed, in order. A list
// that other code may hold can change between two questions; before the
// index answers such a list, the scope scans as many leading items as
// comparing its own list with the list's items costs, and then compares
// them, so a question costs at most about twice what `in` would. The list
// that blockwise_network makes and hands to this module's own walk alone is
// out of every other code's reach, the collector's included, while the walk
// runs, and the index answers it unchecked. An item that is no exact str, a
// list that is not the one the walk began with, or memory running out leave
// the question to the interpreter's own `in`.
//
// The outermost native call of a walk owns its scope: blockwise_network, or
// optimize_module when Python code calls it. The scope reaches the calls
// that the walk's own descent makes through Frame::walk, dies with the call
// that made it, and is never shared with another walk or thread.
#pragma once

#include "vantorix/blockwise.hpp"

#include <cstddef>
#include <cstdint>

namespace vtx {

// The leading items of a list, each an exact str, held, and filed by text.
class NameIndex {
public:
    NameIndex() = default;
    NameIndex(const NameIndex&) = delete;
    NameIndex& operator=(const NameIndex&) = delete;
    ~NameIndex();

    Py_ssize_t size() const noexcept {
        return names_ ? PyList_GET_SIZE(names_.get()) : 0;
    }
    // Whether the names indexed are, in order, the first items of `list`.
    bool leads(PyObject* list) const noexcept;
    // Makes the list the index keeps; false, with an error set, if it
    // cannot. Needed before extend().
    bool prepare();
    // Indexes the items of `list` from size() on. 1 when all are indexed, 0
    // when it stops at an item that is no readable exact str, -1 when
    // memory runs out (no error is left set; the index is then unusable).
    int extend(PyObject* list);
    // Whether an indexed name has the text of the readable str `name`.
    bool holds(PyObject* name) noexcept;
    // Forgets everything; the names are released once the answer is fixed.
    void clear() noexcept;

private:
    struct Slot {
        std::uint32_t position;  // in names_, plus one; 0 for an empty slot
        std::uint32_t hash;      // the high half of the text's hash
    };
    // Room for `names` distinct texts; false if memory runs out.
    bool reserve(std::size_t names) noexcept;
    // The walk records the name it asked about last: its hash is kept.
    std::uint64_t hash_of(PyObject* name) noexcept;

    Ref names_;  // untracked: exact str objects make no cycles
    Slot* slots_ = nullptr;
    std::size_t capacity_ = 0;  // a power of two, at most two thirds full
    std::size_t filed_ = 0;     // slots in use: names of distinct texts
    Ref hashed_;
    std::uint64_t hashed_value_ = 0;
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
    // and the index is checked against it before it answers.
    void expose() noexcept;

    // `name in converted_list`: 1, 0, or -1 with an exception set.
    int contains(Handle converted_list, Handle name);

private:
    // 1 or 0 when the scope answers, -2 when the interpreter must.
    int answer(PyObject* list, PyObject* name);
    // `name in list[from:to]` as `in` reads it, counted into spent_; 1, 0,
    // or -2 at an item that is no exact str. `text_read` receives the size
    // of the texts it read.
    int scan(PyObject* list, Py_ssize_t from, Py_ssize_t to, PyObject* name,
             std::size_t* text_read = nullptr) noexcept;

    Ref list_;
    bool walk_only_;
    NameIndex index_;
    // What scans have cost since the index was last made, in items read,
    // and what indexing the whole list costs, as measured by the last scan
    // that read all of it (0 until one has).
    std::size_t spent_ = 0, index_cost_ = 0;
};

}  // namespace vtx
