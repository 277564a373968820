#include <malloc.h>

#include "agent/platform/memory.h"

namespace platform {

// The C runtime's heap grows and shrinks by itself; it has no settings that
// matter here.
void tune_heap(unsigned) {}

void release_free_heap() { ::_heapmin(); }

bool can_release_free_heap() { return true; }

}  // namespace platform
