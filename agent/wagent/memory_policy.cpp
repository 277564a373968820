#include "agent/wagent/memory_policy.h"

#include "agent/platform/memory.h"

namespace wagent {

Idle_Trim::Idle_Trim(Host_Context& ctx) : ctx_(ctx), timer_(ctx.ioc) {}

void Idle_Trim::wake() {
  if (!platform::can_release_free_heap()) return;
  net::post(ctx_.ioc, [this] {
    if (!armed_) arm();
  });
}

void Idle_Trim::arm() {
  armed_ = true;
  served_ = ctx_.lanes.served();
  timer_.expires_after(std::chrono::seconds(1));
  timer_.async_wait([this](beast::error_code ec) {
    if (ec) return;
    if (ctx_.lanes.served() != served_ || ctx_.lanes.handlers() != 0) return arm();
    ctx_.forget_closed();
    platform::release_free_heap();
    armed_ = false;
  });
}

}  // namespace wagent
