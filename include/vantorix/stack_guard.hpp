// Native nesting bounded by the real C stack of the calling thread.
#pragma once

namespace vtx {

// Refuses to go one native level deeper when the calling thread's stack has
// less headroom left than one level may need. Returns 0, or -1 with the
// interpreter's own RecursionError set.
int check_stack_headroom();

}  // namespace vtx
