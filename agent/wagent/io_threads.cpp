#include "agent/wagent/io_threads.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <exception>
#include <system_error>

namespace wagent {

namespace {

// A handler running longer than this is taken to block, and its thread is
// replaced for the io_context.
const std::chrono::milliseconds tick(5);
// A thread beyond the base leaves, while enough other threads are free,
// once it has found no work for `idle_exit`, or after any handler once it
// has run for `extra_life`: long enough not to be made again for every
// message that blocks, short enough not to share a lane's steady traffic
// with its base thread, which would wake them both for every message.
const std::chrono::milliseconds idle_exit(100);
const std::chrono::seconds extra_life(1);
// The monitor ticks while handlers run and for this long after the last.
// Shorter than the host's one quiet second before it trims the heap: once
// that trim has run the monitor sleeps, so the next handler wakes it and
// the trim is armed again.
const std::chrono::milliseconds linger(500);

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

thread_local Io_Threads* Io_Threads::current_pool_ = nullptr;
thread_local Io_Threads::Slot* Io_Threads::current_slot_ = nullptr;

Io_Threads::Io_Threads(boost::asio::io_context& ioc, unsigned base,
                       unsigned thread_limit, unsigned handler_limit,
                       std::atomic<std::size_t>* handlers,
                       std::atomic<std::size_t>* anonymous)
    : ioc_(ioc),
      base_(base ? base : 1),
      thread_limit_(thread_limit > base_ ? thread_limit : base_),
      handler_limit_(handler_limit ? handler_limit : 1),
      anonymous_limit_(std::max<std::size_t>(handler_limit_ / 4, 1)),
      handlers_(handlers ? handlers : &own_handlers_),
      anonymous_(anonymous ? anonymous : &own_anonymous_) {}

Io_Threads::~Io_Threads() { stop(std::chrono::seconds(1)); }

void Io_Threads::limit_handlers(unsigned limit) {
  handler_limit_ = limit ? limit : 1;
  anonymous_limit_ = std::max<std::size_t>(handler_limit_ / 4, 1);
}

void Io_Threads::start() {
  std::lock_guard<std::mutex> guard(lock_);
  while (threads_ < base_) add_thread();
  if (!monitor_.joinable()) monitor_ = std::thread(&Io_Threads::monitor, this);
}

bool Io_Threads::stop(std::chrono::milliseconds limit) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (monitor_.joinable()) monitor_.join();
  ioc_.stop();
  std::unique_lock<std::mutex> guard(lock_);
  bool ended = changed_.wait_for(guard, limit, [this] { return threads_ == 0; });
  reap();
  // Threads still inside a handler are left to the end of the process;
  // nobody will join them.
  if (!ended)
    for (Slot& s : slots_)
      if (s.thread.joinable()) s.thread.detach();
  return ended;
}

void Io_Threads::reap() {
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (!it->finished) {
      ++it;
      continue;
    }
    if (it->thread.joinable()) it->thread.join();
    it = slots_.erase(it);
  }
}

unsigned Io_Threads::threads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return threads_;
}

void Io_Threads::add_thread() {
  reap();
  if (threads_ >= thread_limit_ || stopping_) return;
  slots_.emplace_back();
  Slot_Ref slot = std::prev(slots_.end());
  try {
    slot->thread = std::thread(&Io_Threads::run, this, slot);
    ++threads_;
  } catch (const std::system_error& e) {
    slots_.erase(slot);
    ACE_ERROR((LM_ERROR, "%N:%l: cannot start an io thread: %C\n", e.what()));
  }
}

void Io_Threads::run(Slot_Ref slot) {
  current_pool_ = this;
  current_slot_ = &*slot;
  const long long retire_at =
      now_ns() + std::chrono::nanoseconds(extra_life).count();
  for (;;) {
    // Only a thread beyond the base needs to wake up to see whether it may
    // leave; the base waits for work alone, so an idle lane sleeps.
    const bool extra = threads_.load(std::memory_order_relaxed) > base_;
    std::size_t ran = 0;
    try {
      ran = extra ? ioc_.run_one_for(idle_exit) : ioc_.run_one();
    } catch (const std::exception& e) {
      // Completion handlers answer their own failures; this is the last line.
      ACE_ERROR((LM_ERROR, "%N:%l: io handler failed: %C\n", e.what()));
      ran = 1;
    }
    if (ioc_.stopped()) break;
    if (threads_.load(std::memory_order_relaxed) > base_) {
      const long long now = now_ns();
      if (ran == 0 || now > retire_at) {
        // Decided and counted under one hold of the lock: two threads that
        // both saw room to leave must not both go, or the lane is left
        // without any.
        std::lock_guard<std::mutex> guard(lock_);
        if (threads_ > base_ && available(now) > base_) {
          // What the last handler handed on to this thread (hand_on, or a
          // continuation of asio's own) sits in the queue with nobody woken
          // for it, since this thread was to run it next; the others may
          // wait in the reactor with no timeout. Posted from outside the
          // loop, this wakes one of them. Before leave(): once counted out,
          // the io_context may be gone.
          if (ran) boost::asio::post(ioc_, [] {});
          leave(slot);
          return;
        }
      }
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  leave(slot);
}

void Io_Threads::leave(Slot_Ref slot) {
  slot->finished = true;
  --threads_;
  current_pool_ = nullptr;
  current_slot_ = nullptr;
  changed_.notify_all();
}

unsigned Io_Threads::available(long long now) const {
  const long long late = now - std::chrono::nanoseconds(tick).count();
  unsigned free = 0;
  for (const Slot& s : slots_) {
    if (s.finished) continue;
    long long since = s.busy_since.load(std::memory_order_relaxed);
    if (!s.blocked.load(std::memory_order_relaxed) && (since == 0 || since > late))
      ++free;
  }
  return free;
}

void Io_Threads::make_available(long long now) {
  for (unsigned free = available(now); free < base_ && threads_ < thread_limit_;
       ++free)
    add_thread();
}

void Io_Threads::monitor() {
  std::unique_lock<std::mutex> guard(lock_);
  unsigned long long seen = served_.load();
  long long quiet_since = now_ns();
  while (!stopping_) {
    const long long now = now_ns();
    if (busy_.load() == 0 &&
        now - quiet_since > std::chrono::nanoseconds(linger).count()) {
      // Nothing has run for a while: sleep until a handler starts, so an
      // idle agent costs no wake-ups. A steady load keeps the tick going
      // and never pays for the wake-up.
      asleep_ = true;
      changed_.wait(guard, [this] { return stopping_ || woken_ || busy_.load() > 0; });
      asleep_ = false;
      woken_ = false;
      if (stopping_) break;
      quiet_since = now_ns();
      if (on_wake_) on_wake_();
    }
    changed_.wait_for(guard, tick);
    const unsigned long long served = served_.load();
    if (served != seen || busy_.load() > 0) {
      seen = served;
      quiet_since = now_ns();
    }
    if (!stopping_ && busy_.load() > 0) make_available(now_ns());
  }
}

void Io_Threads::on_wake(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(lock_);
  on_wake_ = std::move(hook);
}

Io_Threads::Handler_Scope::Handler_Scope(Io_Threads& pool, bool anonymous)
    : pool_(pool),
      admitted_(++*pool.handlers_ <= pool.handler_limit_),
      anonymous_(anonymous) {
  if (admitted_ && anonymous_ &&
      ++*pool_.anonymous_ > pool_.anonymous_limit_) {
    --*pool_.anonymous_;
    admitted_ = false;
  }
  if (!admitted_) {
    --*pool_.handlers_;
    return;
  }
  enter();
}

Io_Threads::Handler_Scope::Handler_Scope(Io_Threads& pool, Resumed)
    : pool_(pool), admitted_(true), anonymous_(false) {
  ++*pool_.handlers_;
  enter();
}

void Io_Threads::Handler_Scope::enter() {
  pool_.served_.fetch_add(1, std::memory_order_relaxed);
  if (current_pool_ != &pool_) return;
  current_slot_->busy_since = now_ns();
  // Sequentially consistent with the monitor's own store of asleep_ and
  // load of busy_: either it sees this handler before it sleeps, or this
  // sees it asleep and wakes it.
  if (pool_.busy_.fetch_add(1) == 0 && pool_.asleep_.load()) {
    // A handler quicker than the monitor's wake-up is over before it looks.
    std::lock_guard<std::mutex> guard(pool_.lock_);
    pool_.woken_ = true;
    pool_.changed_.notify_all();
  }
  counted_ = true;
}

Io_Threads::Handler_Scope::~Handler_Scope() {
  if (!admitted_) return;
  if (counted_) {
    current_slot_->busy_since = 0;
    --pool_.busy_;
  }
  if (anonymous_) --*pool_.anonymous_;
  --*pool_.handlers_;
}

Io_Threads::Blocking_Scope::Blocking_Scope() : pool_(current_pool_) {
  if (!pool_) return;
  was_blocked_ = current_slot_->blocked.exchange(true);
  std::lock_guard<std::mutex> guard(pool_->lock_);
  pool_->make_available(now_ns());
}

Io_Threads::Blocking_Scope::~Blocking_Scope() {
  if (pool_) current_slot_->blocked = was_blocked_;
}

Io_Lanes::Lane::Lane(unsigned thread_limit, unsigned handler_limit,
                     std::atomic<std::size_t>* handlers,
                     std::atomic<std::size_t>* anonymous)
    : work(ioc.get_executor()),
      io(ioc, 1, thread_limit, handler_limit, handlers, anonymous) {}

Io_Lanes::Io_Lanes(unsigned lanes, unsigned thread_limit,
                   unsigned handler_limit) {
  for (unsigned i = 0; i < (lanes ? lanes : 1); ++i)
    lanes_.push_back(
        std::make_unique<Lane>(thread_limit, handler_limit, &handlers_, &anonymous_));
}

Io_Lanes::Lane& Io_Lanes::next() {
  return *lanes_[next_.fetch_add(1, std::memory_order_relaxed) % lanes_.size()];
}

unsigned long long Io_Lanes::served() const {
  unsigned long long total = 0;
  for (const auto& lane : lanes_) total += lane->io.served();
  return total;
}

void Io_Lanes::limit_handlers(unsigned limit) {
  for (auto& lane : lanes_) lane->io.limit_handlers(limit);
}

void Io_Lanes::on_wake(const std::function<void()>& hook) {
  for (auto& lane : lanes_) lane->io.on_wake(hook);
}

void Io_Lanes::start() {
  for (auto& lane : lanes_) lane->io.start();
}

bool Io_Lanes::stop(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool all = true;
  for (auto& lane : lanes_) {
    lane->work.reset();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    all = lane->io.stop(std::max(left, std::chrono::milliseconds(0))) && all;
  }
  return all;
}

}  // namespace wagent
