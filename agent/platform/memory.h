// The process's heap: settings made once at the start, and freed pages
// handed back to the system.
#ifndef PLATFORM_MEMORY_H
#define PLATFORM_MEMORY_H

namespace platform {

// Before the first thread starts; `threads`: as many as may allocate at once.
void tune_heap(unsigned threads);

// Hands freed heap pages back to the system, where the allocator can.
void release_free_heap();
// Whether release_free_heap does anything here (glibc's malloc, the
// Windows C runtime's heap); a caller that schedules it asks first.
bool can_release_free_heap();

}  // namespace platform

#endif
