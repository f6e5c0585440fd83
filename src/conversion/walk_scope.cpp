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
            mark(name);
            ++texts_;
            return true;
        }
        if (slot.hash == hash && same_text(slot.name, name)) return true;
    }
}

bool NameIndex::may_hold(std::uint64_t head, std::uint64_t tail) const noexcept {
    return !filter_.empty() && line_holds(filter_line(head), tail);
}

bool NameIndex::holds(PyObject* name, Py_hash_t hash) const noexcept {
    if (slots_.empty()) return false;
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
        if (slot.name) mark(slot.name);
    }
}

namespace {

// Spreads the bits of a hash.
std::uint64_t mixed(std::uint64_t hash) noexcept { return hash * 0x9E3779B97F4A7C15ull; }

// FNV-1a over code points: the hash of a text up to any position is at hand
// while the text is read.
constexpr std::uint64_t text_seed = 0xCBF29CE484222325ull;

std::uint64_t text_step(std::uint64_t hash, Py_UCS4 code_point) noexcept {
    return (hash ^ code_point) * 0x100000001B3ull;
}

// A tail sets bits_per_name bits of a line of line_words words, each picked
// by nine bits of its spread hash.
constexpr int bits_per_name = 3;
constexpr std::size_t line_words = 8;

unsigned name_bit(std::uint64_t tail, int which) noexcept {
    return static_cast<unsigned>(mixed(tail) >> (55 - 9 * which)) & 511;
}

template <class Unit>
std::uint64_t units_hash(const void* data, Py_ssize_t begin, Py_ssize_t end) noexcept {
    const Unit* units = static_cast<const Unit*>(data);
    std::uint64_t hash = text_seed;
    for (Py_ssize_t i = begin; i < end; ++i) hash = text_step(hash, units[i]);
    return hash;
}

}  // namespace

std::uint64_t NameIndex::code_point_hash(PyObject* text, Py_ssize_t begin, Py_ssize_t end) noexcept {
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return units_hash<Py_UCS1>(data, begin, end);
    case PyUnicode_2BYTE_KIND: return units_hash<Py_UCS2>(data, begin, end);
    default: return units_hash<Py_UCS4>(data, begin, end);
    }
}

void NameIndex::mark(PyObject* name) noexcept {
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    std::uint64_t head = text_seed;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 code_point = PyUnicode_READ(kind, data, i);
        if (code_point == '.') {
            std::uint64_t tail = code_point_hash(name, i + 1, length);
            std::uint64_t* line = filter_.data() + filter_line(head);
            for (int which = 0; which < bits_per_name; ++which) {
                unsigned bit = name_bit(tail, which);
                line[bit / 64] |= std::uint64_t{1} << (bit % 64);
            }
        }
        head = text_step(head, code_point);
    }
}

std::size_t NameIndex::filter_line(std::uint64_t head) const noexcept {
    std::size_t lines = filter_.size() / line_words;
    return (static_cast<std::size_t>(mixed(head) >> 20) & (lines - 1)) * line_words;
}

bool NameIndex::line_holds(std::size_t line, std::uint64_t tail) const noexcept {
    for (int which = 0; which < bits_per_name; ++which) {
        unsigned bit = name_bit(tail, which);
        if (!(filter_[line + bit / 64] & (std::uint64_t{1} << (bit % 64)))) return false;
    }
    return true;
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

bool WalkScope::ruled_out(PyObject* name, PyObject* head) noexcept {
    if (!PyUnicode_CheckExact(head)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(head);
    int kind = PyUnicode_KIND(head);
    if (PyUnicode_GET_LENGTH(name) <= length || PyUnicode_KIND(name) != kind ||
        PyUnicode_READ(kind, PyUnicode_DATA(name), length) != '.' ||
        std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(head), length * kind) != 0)
        return false;
    if (!head_.is(head)) {
        head_ = Ref::newref(head);
        head_hash_ = NameIndex::code_point_hash(head, 0, length);
    }
    std::uint64_t tail = NameIndex::code_point_hash(name, length + 1, PyUnicode_GET_LENGTH(name));
    return !index_.may_hold(head_hash_, tail);
}

int WalkScope::lookup(PyObject* list, PyObject* name, PyObject* head) {
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
    if (ruled_out(name, head)) return 0;
    Py_hash_t hash = text_hash(name);
    if (hash == -1) {
        PyErr_Clear();
        return -2;
    }
    return index_.holds(name, hash) ? 1 : 0;
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
