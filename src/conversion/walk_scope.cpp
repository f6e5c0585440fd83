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
            mark(name, hash);
            ++texts_;
            return true;
        }
        if (slot.hash == hash && same_text(slot.name, name)) return true;
    }
}

bool NameIndex::holds(PyObject* name, Py_hash_t hash, const std::uint64_t* head) const noexcept {
    if (slots_.empty()) return false;
    if (head && !line_holds(filter_line(*head), hash)) return false;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.name) return false;
        if (slot.hash == hash && same_text(slot.name, name)) return true;
    }
}

void NameIndex::grow() {
    std::vector<Slot> slots(slots_.empty() ? 64 : 2 * slots_.size(), Slot{nullptr, 0});
    // Eight bits per slot; at most half the slots hold a name.
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
        if (slot.name) mark(slot.name, slot.hash);
    }
}

namespace {

// Spreads the bits of a hash, of which the table's index already uses the
// low bits.
std::uint64_t mixed(std::uint64_t hash) noexcept { return hash * 0x9E3779B97F4A7C15ull; }

std::uint64_t mixed(Py_hash_t hash) noexcept { return mixed(static_cast<std::uint64_t>(hash)); }

// FNV-1a over code points: the hash of a text up to any position is at hand
// while the text is read.
constexpr std::uint64_t prefix_seed = 0xCBF29CE484222325ull;

std::uint64_t prefix_step(std::uint64_t hash, Py_UCS4 code_point) noexcept {
    return (hash ^ code_point) * 0x100000001B3ull;
}

// A name sets bits_per_name bits of a line of line_words words, each picked
// by nine bits of its spread hash.
constexpr int bits_per_name = 3;
constexpr std::size_t line_words = 8;

unsigned name_bit(Py_hash_t hash, int which) noexcept {
    return static_cast<unsigned>(mixed(hash) >> (55 - 9 * which)) & 511;
}

}  // namespace

std::uint64_t NameIndex::prefix_hash(PyObject* text) noexcept {
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    std::uint64_t hash = prefix_seed;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        hash = prefix_step(hash, PyUnicode_READ(kind, data, i));
    return hash;
}

void NameIndex::mark(PyObject* name, Py_hash_t hash) noexcept {
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    std::uint64_t head = prefix_seed;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(name); i < n; ++i) {
        Py_UCS4 code_point = PyUnicode_READ(kind, data, i);
        if (code_point == '.') {
            std::uint64_t* line = filter_.data() + filter_line(head);
            for (int which = 0; which < bits_per_name; ++which) {
                unsigned bit = name_bit(hash, which);
                line[bit / 64] |= std::uint64_t{1} << (bit % 64);
            }
        }
        head = prefix_step(head, code_point);
    }
}

std::size_t NameIndex::filter_line(std::uint64_t head) const noexcept {
    std::size_t lines = filter_.size() / line_words;
    return (static_cast<std::size_t>(mixed(head) >> 20) & (lines - 1)) * line_words;
}

bool NameIndex::line_holds(std::size_t line, Py_hash_t hash) const noexcept {
    for (int which = 0; which < bits_per_name; ++which) {
        unsigned bit = name_bit(hash, which);
        if (!(filter_[line + bit / 64] & (std::uint64_t{1} << (bit % 64)))) return false;
    }
    return true;
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

const std::uint64_t* WalkScope::head_hash(PyObject* name, PyObject* head) noexcept {
    if (!PyUnicode_CheckExact(head)) return nullptr;
    Py_ssize_t length = PyUnicode_GET_LENGTH(head);
    int kind = PyUnicode_KIND(head);
    if (PyUnicode_GET_LENGTH(name) <= length || PyUnicode_KIND(name) != kind ||
        PyUnicode_READ(kind, PyUnicode_DATA(name), length) != '.' ||
        std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(head), length * kind) != 0)
        return nullptr;
    if (!head_.is(head)) {
        head_ = Ref::newref(head);
        head_hash_ = NameIndex::prefix_hash(head);
    }
    return &head_hash_;
}

int WalkScope::lookup(PyObject* list, PyObject* name, PyObject* head) {
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
    return index_.holds(name, hash, head_hash(name, head)) ? 1 : 0;
}

int WalkScope::contains(Handle converted_list, Handle name, Handle head) {
    PyObject* list = converted_list.get();
    if (list_.is(list) && PyList_CheckExact(list) && PyUnicode_CheckExact(name.get()) &&
        PyList_GET_SIZE(list) >= index_threshold) {
        int found;
        try {
            found = lookup(list, name.get(), head.get());
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
