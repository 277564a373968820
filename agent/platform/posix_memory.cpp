#include "agent/platform/memory.h"

#include <cstdlib>  // first: it says whether this is glibc

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {

void tune_heap(unsigned threads) {
#ifdef __GLIBC__
  // A fixed threshold keeps large blocks (message texts, big arrays) in
  // mappings of their own that go back to the system when freed; left
  // dynamic, glibc raises it after the first large free and keeps them.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Free memory stays at the top of a heap up to this much before it goes
  // back to the system. At glibc's 128 KiB, each request that freed its
  // buffers (a listing's read-ahead, a long reply's chunks) gave its pages
  // back, with a shootdown of the other cores' TLBs, and the next request
  // faulted them in again. The host's idle trim still returns all of it
  // once requests stop.
  ::mallopt(M_TRIM_THRESHOLD, 2 << 20);
  // Threads come and go in the host (io threads replacing blocked ones,
  // workers, helper threads for file system calls) and glibc would give them
  // up to eight arenas per core. Each arena keeps the pages it once used, so
  // under a long load resident memory crept up arena by arena while the
  // heap in use stayed flat. One arena per core is as many as can be busy
  // at once; MALLOC_ARENA_MAX, when set, still decides.
  if (!std::getenv("MALLOC_ARENA_MAX")) ::mallopt(M_ARENA_MAX, static_cast<int>(threads));
#else
  (void)threads;
#endif
}

void release_free_heap() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

bool can_release_free_heap() {
#ifdef __GLIBC__
  return true;
#else
  return false;
#endif
}

}  // namespace platform
