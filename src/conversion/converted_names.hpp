// Fast `name in converted_list` for the walk.
//
// The walk tests every member's path name against converted_list, which
// grows by one name per module descended into, so a plain scan makes the
// walk quadratic in the size of the network. For the usual case (an exact
// list holding only exact str objects, asked about an exact str) the answer
// is the same as a lookup in a hash set of the names' texts, since comparing
// two exact str objects runs no Python code. The set is kept in step with
// the list by a snapshot of its item pointers: the snapshot holds a strong
// reference to each item, so an address that still matches is still the
// same immutable string, and any change to the list shows as a mismatch.
// Anything else falls back to the interpreter's own `in`.
#pragma once

#include "vantorix/blockwise.hpp"

namespace vtx {

// Marks the extent of one walk: the index holds references to the caller's
// list and its names only while some call of the walk is running.
class WalkScope {
public:
    WalkScope() noexcept;
    ~WalkScope();
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;
};

// `name in converted_list`: 1, 0, or -1 with an exception set.
int converted_list_contains(Handle converted_list, Handle name);

}  // namespace vtx
