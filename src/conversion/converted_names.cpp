#include "converted_names.hpp"

#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

namespace vtx {

namespace {

static_assert(sizeof(Ref) == sizeof(PyObject*), "Ref must be a bare pointer");

// Below this size a scan is as fast as keeping the index.
constexpr Py_ssize_t index_threshold = 32;

struct TextHash {
    std::size_t operator()(PyObject* text) const noexcept {
        // Exact str objects cache their hash, so this never fails or allocates.
        return static_cast<std::size_t>(PyObject_Hash(text));
    }
};

struct TextEqual {
    bool operator()(PyObject* a, PyObject* b) const noexcept {
        return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                          PyUnicode_Compare(a, b) == 0);
    }
};

class NameIndex {
public:
    // 1 or 0 when the index can answer, -2 when the list must be scanned.
    int lookup(PyObject* list, PyObject* name) {
        try {
            if (!catch_up(list)) return -2;
        } catch (const std::bad_alloc&) {
            // Out of memory while growing: forget everything and scan.
            clear();
            return -2;
        }
        return texts_.count(name) ? 1 : 0;
    }

    void clear() {
        texts_.clear();
        // Release the items before the list, newest first; neither runs
        // Python code, both being exact builtins.
        std::vector<Ref> items;
        items.swap(snapshot_);
        items.clear();
        list_ = Ref();
    }

private:
    // Brings the snapshot in line with the list; false when the list holds
    // an item the index cannot speak for.
    bool catch_up(PyObject* list) {
        Py_ssize_t size = PyList_GET_SIZE(list);
        PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
        std::size_t known = snapshot_.size();
        if (!list_.is(list) || static_cast<std::size_t>(size) < known ||
            (known && std::memcmp(items, snapshot_.data(), known * sizeof(PyObject*)) != 0)) {
            clear();
            list_ = Ref::newref(list);
            known = 0;
        }
        for (Py_ssize_t i = static_cast<Py_ssize_t>(known); i < size; ++i) {
            PyObject* item = items[i];
            if (!PyUnicode_CheckExact(item)) return false;
            // The set only ever names strings the snapshot holds.
            snapshot_.push_back(Ref::newref(item));
            texts_.insert(item);
        }
        return true;
    }

    Ref list_;
    std::vector<Ref> snapshot_;
    std::unordered_set<PyObject*, TextHash, TextEqual> texts_;
};

NameIndex& index = *new NameIndex;
int active_walks = 0;

}  // namespace

WalkScope::WalkScope() noexcept { ++active_walks; }

WalkScope::~WalkScope() {
    if (--active_walks == 0) index.clear();
}

int converted_list_contains(Handle converted_list, Handle name) {
    PyObject* list = converted_list.get();
    if (PyList_CheckExact(list) && PyUnicode_CheckExact(name.get()) &&
        PyList_GET_SIZE(list) >= index_threshold) {
        int found = index.lookup(list, name.get());
        if (found >= 0) return found;
    }
    return contains(converted_list, name);
}

}  // namespace vtx
