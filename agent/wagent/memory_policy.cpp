#include "agent/wagent/memory_policy.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdlib>

namespace wagent {

void tune_memory(unsigned cores) {
#ifdef __GLIBC__
  // A fixed threshold keeps large blocks (message texts, big arrays) in
  // mappings of their own that go back to the system when freed; left
  // dynamic, glibc raises it after the first large free and keeps them.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Threads come and go here (io threads replacing blocked ones, workers,
  // a probe thread per file system call) and glibc would give them up to
  // eight arenas per core. Each arena keeps the pages it once used, so
  // under a long load resident memory crept up arena by arena while the
  // heap in use stayed flat. One arena per core is as many as can be busy
  // at once; MALLOC_ARENA_MAX, when set, still decides.
  if (!std::getenv("MALLOC_ARENA_MAX")) ::mallopt(M_ARENA_MAX, static_cast<int>(cores));
#else
  (void)cores;
#endif
}

Idle_Trim::Idle_Trim(Host_Context& ctx) : ctx_(ctx), timer_(ctx.ioc) {}

void Idle_Trim::wake() {
#ifdef __GLIBC__
  net::post(ctx_.ioc, [this] {
    if (!armed_) arm();
  });
#endif
}

void Idle_Trim::arm() {
#ifdef __GLIBC__
  armed_ = true;
  served_ = ctx_.lanes.served();
  timer_.expires_after(std::chrono::seconds(1));
  timer_.async_wait([this](beast::error_code ec) {
    if (ec) return;
    if (ctx_.lanes.served() != served_ || ctx_.lanes.handlers() != 0) return arm();
    ctx_.forget_closed();
    ::malloc_trim(0);
    armed_ = false;
  });
#endif
}

}  // namespace wagent
