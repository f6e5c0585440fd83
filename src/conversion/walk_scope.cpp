#include "walk_scope.hpp"

#include <cstring>
#include <utility>

namespace vtx {

namespace {

static_assert(sizeof(Ref) == sizeof(PyObject*), "Ref must be a bare pointer");

// Below this size a scan is as fast as keeping the index.
constexpr Py_ssize_t index_threshold = 32;

// The smallest tables; each doubles when it would be more than half full.
constexpr std::size_t first_table_size = 64;

bool same_text(PyObject* a, PyObject* b) noexcept {
    return a == b ||
           (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// Whether `object` is an exact str whose code points can be read: before
// 3.12 a str made through the legacy API must be readied first, which
// allocates no object and runs no Python code. A failure is forgotten: the
// caller then leaves the question to the interpreter.
bool readable_text(PyObject* object) noexcept {
    if (!PyUnicode_CheckExact(object)) return false;
    if (PyUnicode_READY(object) == 0) return true;
    PyErr_Clear();
    return false;
}

// Whether the readable str `text` begins with the text of the readable str
// `prefix`: unit by unit where both are stored alike, code point by code
// point where the prefix is stored narrower.
bool begins_with(PyObject* text, PyObject* prefix) noexcept {
    Py_ssize_t length = PyUnicode_GET_LENGTH(prefix);
    int kind = PyUnicode_KIND(prefix);
    if (PyUnicode_GET_LENGTH(text) < length || PyUnicode_KIND(text) < kind) return false;
    if (PyUnicode_KIND(text) == kind)
        return std::memcmp(PyUnicode_DATA(text), PyUnicode_DATA(prefix),
                           static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
    return PyUnicode_Tailmatch(text, prefix, 0, length, -1) == 1;
}

// visit(units, count) over the code units of `text` from `begin`, in the
// width they are stored in.
template <class Visit>
auto with_units(PyObject* text, Py_ssize_t begin, Visit visit) {
    const void* data = PyUnicode_DATA(text);
    auto count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text) - begin);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return visit(static_cast<const Py_UCS1*>(data) + begin, count);
    case PyUnicode_2BYTE_KIND: return visit(static_cast<const Py_UCS2*>(data) + begin, count);
    default: return visit(static_cast<const Py_UCS4*>(data) + begin, count);
    }
}

// The hashes of `known` followed by the code points of `text` from `begin`.
NameHashes extended(NameHashes known, PyObject* text, Py_ssize_t begin) noexcept {
    return with_units(text, begin, [&](auto units, std::size_t count) {
        return text_hash::extended(known, units, count);
    });
}

// The whole-text hash of `full`'s text followed by `text` from `begin`.
std::uint64_t full_extended(std::uint64_t full, PyObject* text, Py_ssize_t begin) noexcept {
    return with_units(text, begin, [&](auto units, std::size_t count) {
        return text_hash::full_extended(full, units, count);
    });
}

// The tail hash of `text` from `begin`, false if a "." follows there.
bool undotted_tail(PyObject* text, Py_ssize_t begin, std::uint64_t& tail) noexcept {
    return with_units(text, begin, [&](auto units, std::size_t count) {
        return text_hash::undotted_tail(units, count, tail);
    });
}

// Spreads the bits of a hash or an address.
std::uint64_t mixed(std::uint64_t value) noexcept { return value * 0x9E3779B97F4A7C15ull; }

std::size_t address_slot(const PyObject* object, std::size_t mask) noexcept {
    return static_cast<std::size_t>(mixed(reinterpret_cast<std::uintptr_t>(object)) >> 20) & mask;
}

std::size_t text_slot(const NameHashes& hashes, std::size_t mask) noexcept {
    return static_cast<std::size_t>(mixed(hashes.full) >> 20) & mask;
}

// A name sets bits_per_name bits of a line of line_words words: the line
// picked by the hash of its head, each bit by nine bits of its tail's.
constexpr int bits_per_name = 3;
constexpr std::size_t line_words = 8;

unsigned name_bit(std::uint64_t tail, int which) noexcept {
    return static_cast<unsigned>(mixed(tail) >> (55 - 9 * which)) & 511;
}

std::size_t filter_line(std::uint64_t head, std::size_t words) noexcept {
    std::size_t lines = words / line_words;
    return (static_cast<std::size_t>(mixed(head) >> 20) & (lines - 1)) * line_words;
}

}  // namespace

// ------------------------------------------------------------ name index

bool NameIndex::leads(PyObject* list) const noexcept {
    std::size_t known = size();
    if (static_cast<std::size_t>(PyList_GET_SIZE(list)) < known) return false;
    // A name still at its place is still the same immutable string: the
    // index holds it, so its address cannot have been reused.
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    return known == 0 ||
           std::memcmp(items, reinterpret_cast<PyListObject*>(names_.get())->ob_item,
                       known * sizeof(PyObject*)) == 0;
}

const NameIndex::Known* NameIndex::known(PyObject* object) const noexcept {
    if (known_.size() == 0) return nullptr;
    std::size_t mask = known_.size() - 1;
    for (std::size_t i = address_slot(object, mask);; i = (i + 1) & mask) {
        const Known& entry = known_[i];
        if (!entry.object) return nullptr;
        if (entry.object == object) return &entry;
    }
}

NameHashes NameIndex::hashes_of(PyObject* text) {
    complete_asked();
    const Recent* recents[] = {&last_asked_, &last_added_, &last_head_, &last_learned_};
    for (const Recent* recent : recents) {
        if (recent->object.is(text)) return recent->hashes;
    }
    if (const Known* entry = known(text)) return entry->hashes;
    // Extend the longest recent name that the text begins with.
    const Recent* longest = nullptr;
    for (const Recent* recent : recents) {
        if (recent->object && begins_with(text, recent->object.get()) &&
            (!longest || PyUnicode_GET_LENGTH(recent->object.get()) >
                             PyUnicode_GET_LENGTH(longest->object.get())))
            longest = recent;
    }
    if (longest) return extended(longest->hashes, text, PyUnicode_GET_LENGTH(longest->object.get()));
    return extended(NameHashes{}, text, 0);
}

// Moves the entries of `old` into the larger `grown`, each to the first
// free place from `place(entry, mask)`: re-filed from what they keep, no
// name is read again.
template <class Entry, class Place>
void refile(const Table<Entry>& old, Table<Entry>& grown, PyObject* Entry::*key, Place place) {
    std::size_t mask = grown.size() - 1;
    for (std::size_t from = 0; from < old.size(); ++from) {
        const Entry& entry = old[from];
        if (!(entry.*key)) continue;
        std::size_t i = place(entry, mask);
        while (grown[i].*key) i = (i + 1) & mask;
        grown[i] = entry;
    }
}

// Doubles the tables that one more name or object would fill past half.
bool NameIndex::make_room() {
    if (2 * (known_count_ + 1) > known_.size()) {
        Table<Known> grown;
        if (!grown.allocate(known_.size() ? 2 * known_.size() : first_table_size)) return false;
        refile(known_, grown, &Known::object,
               [](const Known& entry, std::size_t mask) { return address_slot(entry.object, mask); });
        known_ = std::move(grown);
    }
    if (2 * (texts_ + 1) > slots_.size()) {
        Table<Slot> grown;
        Table<std::uint64_t> filter;
        std::size_t size = slots_.size() ? 2 * slots_.size() : first_table_size;
        // Eight filter bits per slot; at most half the slots hold a name.
        if (!grown.allocate(size) || !filter.allocate(size / 8)) return false;
        refile(slots_, grown, &Slot::name,
               [](const Slot& slot, std::size_t mask) { return text_slot(slot.hashes, mask); });
        slots_ = std::move(grown);
        filter_ = std::move(filter);
        for (const Slot& slot : slots_) {
            if (slot.name) mark(slot.hashes);
        }
    }
    return true;
}

bool NameIndex::remember(PyObject* object, const NameHashes& hashes) {
    std::size_t mask = known_.size() - 1;
    for (std::size_t i = address_slot(object, mask);; i = (i + 1) & mask) {
        Known& entry = known_[i];
        if (entry.object == object) return true;
        if (!entry.object) {
            entry = Known{object, hashes};
            ++known_count_;
            return true;
        }
    }
}

bool NameIndex::prepare() {
    for (Ref* list : {&names_, &held_}) {
        if (*list) continue;
        *list = new_list();
        if (!*list) return false;
        // Only this index may change them, and exact str objects make no
        // cycles: out of the collector's sight, no Python code reaches them.
        PyObject_GC_UnTrack(list->get());
    }
    return true;
}

bool NameIndex::add(PyObject* name) {
    NameHashes hashes = hashes_of(name);
    if (!make_room() || list_append(names_, name) < 0) return false;
    // Nothing below allocates, so the name is either indexed fully or not at all.
    remember(name, hashes);
    last_added_ = Recent{Ref::newref(name), hashes};
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = text_slot(hashes, mask);; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (!slot.name) {
            slot = Slot{name, hashes};
            mark(hashes);
            ++texts_;
            return true;
        }
        if (slot.hashes.full == hashes.full && same_text(slot.name, name)) return true;
    }
}

void NameIndex::hold(PyObject* object, const NameHashes& hashes) {
    // Out of memory, the object is only not known: forgetting is harmless.
    if (make_room() && list_append(held_, object) == 0) {
        remember(object, hashes);
    } else {
        PyErr_Clear();
    }
}

NameHashes NameIndex::hashes_held(PyObject* text) {
    NameHashes hashes = hashes_of(text);
    // Known by its address from now on, so that a return to this module
    // after a descent costs nothing.
    if (!known(text)) hold(text, hashes);
    return hashes;
}

void NameIndex::complete_asked() noexcept {
    if (asked_full_from_ < 0) return;
    last_asked_.hashes.full =
        full_extended(last_asked_.hashes.head, last_asked_.object.get(), asked_full_from_);
    asked_full_from_ = -1;
}

bool NameIndex::holds_asked(PyObject* name, PyObject* head) {
    // The walk appends a name it asked about to the list before descending,
    // so the name asked about last is kept.
    Py_ssize_t head_length = readable_text(head) ? PyUnicode_GET_LENGTH(head) : -1;
    if (head_length >= 0 && begins_with(name, head) && PyUnicode_GET_LENGTH(name) > head_length &&
        PyUnicode_READ_CHAR(name, head_length) == '.') {
        // One module's members come in a row, all after its path name.
        if (!last_head_.object.is(head)) last_head_ = Recent{Ref::newref(head), hashes_held(head)};
        NameHashes hashes = last_head_.hashes;
        std::uint64_t tail;
        if (undotted_tail(name, head_length + 1, tail)) {
            // The member holds no ".": the filter needs no more than the
            // module's path name and the member, and the whole name's hash
            // waits until something asks for it.
            hashes.head = hashes.full;
            hashes.tail = tail;
            last_asked_ = Recent{Ref::newref(name), hashes};
            asked_full_from_ = head_length;
            if (!may_hold(hashes)) return false;
            complete_asked();
            return holds(name, last_asked_.hashes);
        }
        last_asked_ = Recent{Ref::newref(name), extended(hashes, name, head_length)};
    } else {
        NameHashes hashes = hashes_of(name);
        last_asked_ = Recent{Ref::newref(name), hashes};
    }
    asked_full_from_ = -1;
    return holds(name, last_asked_.hashes);
}

void NameIndex::learn(PyObject* path, PyObject* head) {
    if (!names_ || last_learned_.object.is(path) || !readable_text(path) || known(path)) return;
    complete_asked();
    NameHashes hashes;
    if (last_asked_.object.is(path)) {
        hashes = last_asked_.hashes;
    } else if (readable_text(head) && begins_with(path, head)) {
        hashes = extended(hashes_held(head), path, PyUnicode_GET_LENGTH(head));
    } else {
        return;
    }
    hold(path, hashes);
    last_learned_ = Recent{Ref::newref(path), hashes};
}

void NameIndex::mark(const NameHashes& hashes) noexcept {
    std::uint64_t* line = &filter_[filter_line(hashes.head, filter_.size())];
    for (int which = 0; which < bits_per_name; ++which) {
        unsigned bit = name_bit(hashes.tail, which);
        line[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
}

bool NameIndex::may_hold(const NameHashes& hashes) const noexcept {
    if (filter_.size() == 0) return false;
    const std::uint64_t* line = &filter_[filter_line(hashes.head, filter_.size())];
    for (int which = 0; which < bits_per_name; ++which) {
        unsigned bit = name_bit(hashes.tail, which);
        if (!(line[bit / 64] & (std::uint64_t{1} << (bit % 64)))) return false;
    }
    return true;
}

bool NameIndex::holds(PyObject* name, const NameHashes& hashes) const noexcept {
    if (!may_hold(hashes)) return false;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = text_slot(hashes, mask);; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (!slot.name) return false;
        if (slot.hashes.full == hashes.full && same_text(slot.name, name)) return true;
    }
}

// ------------------------------------------------------------ walk scope

WalkScope::WalkScope(Handle converted_list, Reach reach)
    : list_(Ref::newref(converted_list.get())), walk_only_(reach == Reach::walk_only) {
    if (walk_only_) PyObject_GC_UnTrack(list_.get());
}

WalkScope::~WalkScope() { expose(); }

void WalkScope::learn(Handle path, Handle name_so_far) { index_.learn(path.get(), name_so_far.get()); }

void WalkScope::expose() noexcept {
    if (!walk_only_) return;
    walk_only_ = false;
    if (!gc_is_tracked(list_.get())) PyObject_GC_Track(list_.get());
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
    // The lists the index keeps are made first: once the list's items are
    // read, nothing allocates an object the collector could run code for.
    if (!index_.prepare()) {
        PyErr_Clear();
        return -2;
    }
    for (Py_ssize_t i = static_cast<Py_ssize_t>(index_.size()); i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!readable_text(item)) return -2;
        if (!index_.add(item)) {
            // Out of memory while growing: forget the index and scan.
            PyErr_Clear();
            stale = std::move(index_);
            index_ = NameIndex();
            return -2;
        }
    }
    return index_.holds_asked(name, head) ? 1 : 0;
}

int WalkScope::contains(Handle converted_list, Handle name, Handle head) {
    PyObject* list = converted_list.get();
    if (list_.is(list) && PyList_CheckExact(list) && readable_text(name.get()) &&
        PyList_GET_SIZE(list) >= index_threshold) {
        int found = lookup(list, name.get(), head.get());
        if (found >= 0) return found;
    }
    return vtx::contains(converted_list, name);
}

}  // namespace vtx
