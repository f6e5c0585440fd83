#include "walk_scope.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace vtx {

namespace {

static_assert(sizeof(Ref) == sizeof(PyObject*), "Ref must be a bare pointer");

// Below this size a scan is as fast as keeping the index.
constexpr Py_ssize_t index_threshold = 32;

// Exact str objects cache their hash; computing it runs no Python code.
Py_hash_t text_hash(PyObject* text) noexcept { return PyObject_Hash(text); }

bool same_text(PyObject* a, PyObject* b) noexcept {
    return a == b ||
           (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace

// ------------------------------------------------------------ name index

bool NameIndex::leads(PyObject* list) const noexcept {
    std::size_t known = names_.size();
    if (static_cast<std::size_t>(PyList_GET_SIZE(list)) < known) return false;
    // A name still at its place is still the same immutable string: the
    // index holds it, so its address cannot have been reused.
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    return known == 0 || std::memcmp(items, names_.data(), known * sizeof(PyObject*)) == 0;
}

bool NameIndex::add(PyObject* name) {
    Py_hash_t hash = text_hash(name);
    if (hash == -1) {
        PyErr_Clear();
        return false;
    }
    if (names_.size() == names_.capacity()) names_.reserve(names_.empty() ? 64 : 2 * names_.size());
    if (2 * (texts_ + 1) > slots_.size()) grow();
    // Nothing below allocates, so the name is either indexed fully or not at all.
    names_.push_back(Ref::newref(name));
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (!slot.name) {
            slot = Slot{name, hash};
            filter_[filter_word(hash)] |= filter_bits(hash);
            ++texts_;
            return true;
        }
        if (slot.hash == hash && same_text(slot.name, name)) return true;
    }
}

bool NameIndex::holds(PyObject* name, Py_hash_t hash) const noexcept {
    if (slots_.empty()) return false;
    std::uint64_t bits = filter_bits(hash);
    if ((filter_[filter_word(hash)] & bits) != bits) return false;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.name) return false;
        if (slot.hash == hash && same_text(slot.name, name)) return true;
    }
}

void NameIndex::grow() {
    std::vector<Slot> slots(slots_.empty() ? 64 : 2 * slots_.size(), Slot{nullptr, 0});
    // At most half the slots hold a name: 32 bits per slot make at least 16 per name.
    std::vector<std::uint64_t> filter(slots.size() / 8, 0);
    std::size_t mask = slots.size() - 1;
    for (const Slot& old : slots_) {
        if (!old.name) continue;
        std::size_t i = static_cast<std::size_t>(old.hash) & mask;
        while (slots[i].name) i = (i + 1) & mask;
        slots[i] = old;
    }
    slots_.swap(slots);
    filter_.swap(filter);
    for (const Slot& slot : slots_) {
        if (slot.name) filter_[filter_word(slot.hash)] |= filter_bits(slot.hash);
    }
}

namespace {

// Spreads the bits of a str hash, which the table's index already uses the
// low bits of.
std::uint64_t mixed(Py_hash_t hash) noexcept {
    return static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ull;
}

}  // namespace

std::size_t NameIndex::filter_word(Py_hash_t hash) const noexcept {
    return static_cast<std::size_t>(mixed(hash) >> 20) & (filter_.size() - 1);
}

std::uint64_t NameIndex::filter_bits(Py_hash_t hash) noexcept {
    std::uint64_t spread = mixed(hash);
    return (std::uint64_t{1} << (spread >> 58)) | (std::uint64_t{1} << ((spread >> 52) & 63));
}

// ------------------------------------------------------------ walk scope

WalkScope::WalkScope(Handle converted_list, Reach reach)
    : list_(Ref::newref(converted_list.get())), walk_only_(reach == Reach::walk_only) {
    if (walk_only_) PyObject_GC_UnTrack(list_.get());
}

WalkScope::~WalkScope() {
    // A thread ended at exit unwinds without the interpreter: the list stays
    // as it is, like everything else that thread held.
    if (compat::thread_holds_interpreter()) expose();
}

void WalkScope::expose() noexcept {
    if (!walk_only_) return;
    walk_only_ = false;
    if (!gc_is_tracked(list_.get())) PyObject_GC_Track(list_.get());
}

int WalkScope::lookup(PyObject* list, PyObject* name) {
    Py_hash_t hash = text_hash(name);
    if (hash == -1) {
        PyErr_Clear();
        return -2;
    }
    // An index that no longer leads the list is released only once the
    // answer is fixed.
    NameIndex stale;
    if (!(walk_only_ ? index_.size() <= static_cast<std::size_t>(PyList_GET_SIZE(list))
                     : index_.leads(list))) {
        stale = std::move(index_);
        index_ = NameIndex();
    }
    for (Py_ssize_t i = static_cast<Py_ssize_t>(index_.size()); i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyUnicode_CheckExact(item) || !index_.add(item)) return -2;
    }
    return index_.holds(name, hash) ? 1 : 0;
}

int WalkScope::contains(Handle converted_list, Handle name) {
    PyObject* list = converted_list.get();
    if (list_.is(list) && PyList_CheckExact(list) && PyUnicode_CheckExact(name.get()) &&
        PyList_GET_SIZE(list) >= index_threshold) {
        int found;
        try {
            found = lookup(list, name.get());
        } catch (const std::bad_alloc&) {
            // Out of memory while growing: forget the index and scan.
            found = -2;
            NameIndex dropped = std::move(index_);
            index_ = NameIndex();
        }
        if (found >= 0) return found;
    }
    return vtx::contains(converted_list, name);
}

}  // namespace vtx
