// How the host keeps its resident memory close to what it uses: a heap trim
// after each busy spell (the allocator's settings are platform::tune_heap).
#ifndef WAGENT_MEMORY_POLICY_H
#define WAGENT_MEMORY_POLICY_H

#include "agent/wagent/server.h"

namespace wagent {

// Hands freed heap pages back to the system once no request has been
// admitted for a whole second, once per quiet spell. The allocator returns
// only the top of a heap by itself; free pages between blocks still in use
// stay resident, so what a busy spell scattered would otherwise stay
// counted against the agent while it waits for the next one. The entries
// of closed connections go first, since each pins its connection's block.
// The timer runs only after activity: an idle agent is not woken for it.
// Where the heap cannot be trimmed it does nothing.
class Idle_Trim {
 public:
  explicit Idle_Trim(Host_Context& ctx);
  // Any thread: work has started after a quiet spell.
  void wake();

 private:
  void arm();

  Host_Context& ctx_;
  net::steady_timer timer_;
  unsigned long long served_ = 0;
  bool armed_ = false;  // on the first lane only
};

}  // namespace wagent

#endif
