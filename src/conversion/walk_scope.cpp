#include "walk_scope.hpp"

#include "vantorix/text_hash.hpp"

#include <algorithm>
#include <cstring>

namespace vtx {

namespace {

// The costs the scope weighs, in items read by a scan (about 2.4 ns each on
// the x86-64 machine of benchmarks/bench_walk.py --caller-list, where `in`
// takes 6.7 ns an item): filing a short name costs about ten, hashing 32
// bytes of text about one, comparing 64 bytes about one, and comparing
// eight of the index's own items with the list's about one.
constexpr std::size_t file_cost = 10;
constexpr std::size_t hashed_bytes_per_item = 32;
constexpr std::size_t compared_bytes_per_item = 64;
constexpr Py_ssize_t checked_items_per_item = 8;

// The smallest table; it doubles until it is at most two thirds full.
constexpr std::size_t first_capacity = 64;

// Whether `object` is an exact str whose text can be read: before 3.12 a str
// made through the legacy API must be readied first, which allocates no
// object and runs no Python code. A failure is forgotten: the interpreter
// then answers the question.
bool readable_text(PyObject* object) noexcept {
    if (!PyUnicode_CheckExact(object)) return false;
    if (PyUnicode_READY(object) == 0) return true;
    PyErr_Clear();
    return false;
}

std::size_t text_bytes(PyObject* text) noexcept {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) *
           static_cast<std::size_t>(PyUnicode_KIND(text));
}

// Two readable str objects are equal when they store the same text alike.
bool same_text(PyObject* a, PyObject* b) noexcept {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                      PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
                      std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), text_bytes(a)) == 0);
}

std::uint64_t text_hash_of(PyObject* text) noexcept {
    return text_hash::of(PyUnicode_DATA(text), text_bytes(text));
}

std::uint32_t high_half(std::uint64_t hash) noexcept {
    return static_cast<std::uint32_t>(hash >> 32);
}

PyObject** items_of(PyObject* list) noexcept {
    return reinterpret_cast<PyListObject*>(list)->ob_item;
}

}  // namespace

// ------------------------------------------------------------ name index

NameIndex::~NameIndex() { PyMem_RawFree(slots_); }

void NameIndex::clear() noexcept {
    PyMem_RawFree(slots_);
    slots_ = nullptr;
    capacity_ = filed_ = 0;
    names_ = Ref();
    hashed_ = Ref();
}

bool NameIndex::leads(PyObject* list) const noexcept {
    Py_ssize_t known = size();
    // A name still at its place is still the same immutable str: the index
    // holds it, so its address cannot have been reused.
    return PyList_GET_SIZE(list) >= known &&
           (known == 0 || std::memcmp(items_of(list), items_of(names_.get()),
                                      static_cast<std::size_t>(known) * sizeof(PyObject*)) == 0);
}

bool NameIndex::reserve(std::size_t names) noexcept {
    std::size_t capacity = capacity_ ? capacity_ : first_capacity;
    while (3 * names > 2 * capacity) capacity *= 2;
    if (capacity == capacity_) return true;
    // A slot's place is taken from the hash half it keeps.
    if (capacity > (std::size_t{1} << 32)) return false;
    auto* slots = static_cast<Slot*>(PyMem_RawCalloc(capacity, sizeof(Slot)));
    if (!slots) return false;
    std::size_t mask = capacity - 1;
    for (std::size_t from = 0; from < capacity_; ++from) {
        const Slot& slot = slots_[from];
        if (!slot.position) continue;
        std::size_t i = slot.hash & mask;
        while (slots[i].position) i = (i + 1) & mask;
        slots[i] = slot;
    }
    PyMem_RawFree(slots_);
    slots_ = slots;
    capacity_ = capacity;
    return true;
}

bool NameIndex::prepare() {
    if (names_) return true;
    names_ = new_list();
    if (!names_) return false;
    // Only this index changes it, and exact str objects make no cycles:
    // out of the collector's sight, no Python code reaches it.
    PyObject_GC_UnTrack(names_.get());
    return true;
}

int NameIndex::extend(PyObject* list) {
    // Room for all of them at once: growing step by step would file the
    // names again at every step.
    Py_ssize_t count = PyList_GET_SIZE(list);
    if (count >= INT32_MAX || !reserve(filed_ + static_cast<std::size_t>(count - size()))) return -1;
    for (Py_ssize_t at = size(); at < count; ++at) {
        PyObject* name = PyList_GET_ITEM(list, at);
        if (!readable_text(name)) return 0;
        if (list_append(names_, name) < 0) {
            PyErr_Clear();
            return -1;
        }
        // Nothing below can fail: a name is either filed or not kept.
        std::uint32_t hash = high_half(hash_of(name));
        std::size_t mask = capacity_ - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.position) {
                slot = Slot{static_cast<std::uint32_t>(at + 1), hash};
                ++filed_;
                break;
            }
            // A text listed twice is filed once.
            if (slot.hash == hash &&
                same_text(PyList_GET_ITEM(names_.get(), slot.position - 1), name))
                break;
        }
    }
    return 1;
}

std::uint64_t NameIndex::hash_of(PyObject* name) noexcept {
    if (!hashed_.is(name)) {
        hashed_ = Ref::newref(name);
        hashed_value_ = text_hash_of(name);
    }
    return hashed_value_;
}

bool NameIndex::holds(PyObject* name) noexcept {
    if (!capacity_) return false;
    std::uint32_t hash = high_half(hash_of(name));
    std::size_t mask = capacity_ - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.position) return false;
        if (slot.hash == hash && same_text(PyList_GET_ITEM(names_.get(), slot.position - 1), name))
            return true;
    }
}

// ------------------------------------------------------------ walk scope

WalkScope::WalkScope(Handle converted_list, Reach reach)
    : list_(Ref::newref(converted_list.get())), walk_only_(reach == Reach::walk_only) {
    if (walk_only_) PyObject_GC_UnTrack(list_.get());
}

WalkScope::~WalkScope() { expose(); }

void WalkScope::expose() noexcept {
    if (!walk_only_) return;
    walk_only_ = false;
    if (!gc_is_tracked(list_.get())) PyObject_GC_Track(list_.get());
}

int WalkScope::scan(PyObject* list, Py_ssize_t from, Py_ssize_t to, PyObject* name,
                    std::size_t* text_read) noexcept {
    std::size_t compared = 0, texts = 0;
    int found = 0;
    Py_ssize_t at = from;
    for (; at < to; ++at) {
        PyObject* item = PyList_GET_ITEM(list, at);
        if (item == name) {
            found = 1;
            break;
        }
        // Anything else may run code when compared: the interpreter asks it.
        if (!readable_text(item)) {
            found = -2;
            break;
        }
        texts += text_bytes(item);
        if (PyUnicode_GET_LENGTH(item) == PyUnicode_GET_LENGTH(name)) compared += text_bytes(item);
        if (same_text(item, name)) {
            found = 1;
            break;
        }
    }
    spent_ += static_cast<std::size_t>(at - from) + compared / compared_bytes_per_item;
    if (text_read) *text_read = texts;
    return found;
}

int WalkScope::answer(PyObject* list, PyObject* name) {
    // Made before the list is read: once it is, nothing may allocate an
    // object for which the collector could run code that changes the list.
    if (!index_.prepare()) {
        PyErr_Clear();
        return -2;
    }
    Py_ssize_t count = PyList_GET_SIZE(list);
    Py_ssize_t from = 0;
    if (!walk_only_ && index_.size()) {
        // First as far as checking the index against the list costs: a name
        // near the front is found as cheaply as `in` finds it.
        Py_ssize_t lead = std::min(count, index_.size() / checked_items_per_item);
        int found = scan(list, 0, lead, name);
        if (found) return found;
        from = lead;
        if (!index_.leads(list)) {
            // Other code changed the list: what the index knew is gone.
            index_.clear();
            spent_ = index_cost_ = 0;
        }
    }
    // Until scans have cost what indexing the list would, and for a name
    // that takes longer to hash than the list to scan, a scan answers.
    bool indexed = index_.size() > 0 || (index_cost_ && spent_ >= index_cost_);
    if (!indexed || text_bytes(name) / hashed_bytes_per_item > static_cast<std::size_t>(count)) {
        std::size_t text_read = 0;
        int found = scan(list, from, count, name, &text_read);
        // A scan that read the whole list tells what indexing it costs.
        if (!found && from == 0)
            index_cost_ = file_cost * static_cast<std::size_t>(count) +
                          text_read / hashed_bytes_per_item;
        return found;
    }
    int extended = index_.extend(list);
    if (extended < 0) {
        index_.clear();
        return scan(list, from, count, name);
    }
    if (index_.holds(name)) return 1;
    // An item the index could not take is for the interpreter to compare.
    return extended ? 0 : -2;
}

int WalkScope::contains(Handle converted_list, Handle name) {
    PyObject* list = converted_list.get();
    if (list_.is(list) && PyList_CheckExact(list) && readable_text(name.get())) {
        int found = answer(list, name.get());
        if (found >= 0) return found;
    }
    return vtx::contains(converted_list, name);
}

}  // namespace vtx
