#include "agent/json_rpc/json_rpc_batch.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

// The channel one member is served on. It stands for the batch's channel
// (same session, address and share), and what it sends goes into the
// batch's array.
class JSON_RPC_Batch::Member : public JSON_RPC_Channel {
 public:
  explicit Member(std::shared_ptr<JSON_RPC_Batch> batch)
      : batch_(std::move(batch)) {}
  // Its delivery and every piece of work it started are over.
  std::atomic<bool> done{false};

 protected:
  bool begin_message() override { return batch_->begin_member(); }
  bool write_piece(const char* data, std::size_t length) override {
    return batch_->piece(data, length, parking());
  }
  bool end_message(bool ok) override { return batch_->end_member(ok); }
  bool backlogged() override { return batch_->outer_backlogged(); }
  bool call_when_drained(std::function<void()> resume) override {
    return batch_->outer_call_when_drained(std::move(resume));
  }
  bool call_soon(std::function<void()> resume) override {
    return batch_->outer_call_soon(std::move(resume));
  }
  void on_idle() override { batch_->member_done(*this); }

 private:
  std::shared_ptr<JSON_RPC_Batch> batch_;
};

JSON_RPC_Batch::JSON_RPC_Batch(const JSON_RPC_Channel_Ptr& channel,
                               Deliver deliver, const char* refusal)
    : outer_(channel), deliver_(std::move(deliver)), refusal_(refusal) {}

JSON_RPC_Batch::~JSON_RPC_Batch() {}

void JSON_RPC_Batch::start(const JSON_RPC_Channel_Ptr& channel, const char* text,
                           std::size_t length, std::shared_ptr<const void> keep,
                           std::vector<Span> members, Deliver deliver,
                           const char* refusal) {
  auto batch = std::make_shared<JSON_RPC_Batch>(channel, std::move(deliver), refusal);
  if (keep) {
    batch->keep_ = std::move(keep);
    batch->text_ = text;
  } else {
    auto copy = std::make_shared<const std::string>(text, length);
    batch->text_ = copy->data();
    batch->keep_ = std::move(copy);
  }
  batch->members_ = std::move(members);
  // Only a transport that parks can take the array's pieces from members
  // that park and members that do not alike.
  batch->parks_ = JSON_RPC_Channel_Ptr(channel->self_).get() != nullptr;
  channel->begin_work();
  channel->on_batch(true);
  batch->run(refusal);
}

void JSON_RPC_Batch::run(const char* refusal) {
  auto self = shared_from_this();
  JSON_RPC_Channel& out = *outer_;
  for (;;) {
    // A requester that has gone gets nothing more run for it.
    if (next_ == members_.size() || failed_ || !out.is_open()) return finish();
    const Span span = members_[next_++];
    Member* raw = new (std::nothrow) Member(self);
    if (!raw) {
      failed_ = true;
      return finish();
    }
    JSON_RPC_Channel_Ptr member(raw);
    raw->set_session(out.session_id());
    raw->set_session_required(out.session_required());
    ACE_INET_Addr address;
    if (out.original_remote_addr(address) == 0) raw->set_remote_addr(address);
    if (parks_) raw->enable_parking(member);
    {
      std::lock_guard<std::mutex> guard(out.batch_lock_);
      out.batch_member_ = member;
      out.has_batch_member_ = true;
    }
    // Closed meanwhile: the member's work sees its requester gone.
    if (!out.is_open()) raw->close();
    current_ = member;
    state_ = RUNNING;
    try {
      deliver_(member, text_ + span.offset, span.length, refusal);
    } catch (const std::exception&) {
      // The member is answered as a message whose delivery failed is; the
      // batch's message, held here, could not be.
      member->send_error(-32603, json_spirit::Value::null, nullptr,
                         json_spirit::Value::null);
    }
    // Still at work: its end runs the next member.
    if (state_.exchange(WAITING) != DONE) return;
  }
}

void JSON_RPC_Batch::member_done(Member& member) {
  if (member.done.exchange(true)) return;
  // Nothing sent for this member after its work is over belongs here.
  member.close();
  if (state_.exchange(DONE) != WAITING) return;  // run() goes on by itself
  auto self = shared_from_this();
  if (!outer_->deliver_later([self](const char* refusal) { self->run(refusal); }))
    run(refusal_);
}

void JSON_RPC_Batch::finish() {
  if (finished_) return;
  finished_ = true;
  JSON_RPC_Channel& out = *outer_;
  {
    std::lock_guard<std::mutex> guard(out.batch_lock_);
    out.batch_member_ = JSON_RPC_Channel_WPtr();
    out.has_batch_member_ = false;
  }
  if (begun_) {
    const bool ok = !failed_ && out.is_open() && out.write_piece("]", 1);
    bool delivered = false;
    try {
      delivered = out.end_message(ok) && ok;
    } catch (...) {
      delivered = false;
    }
    if (delivered) ++out.sent_;
  }
  out.parking_ = false;
  if (holds_slot_) {
    holds_slot_ = false;
    std::deque<JSON_RPC_Channel::Step_Send_Ptr> ready = out.release_slot();
    if (!ready.empty()) out.run_steps(std::move(ready), outer_);
  }
  current_ = JSON_RPC_Channel_Ptr();
  out.on_batch(false);
  out.end_work();
}

bool JSON_RPC_Batch::begin_member() {
  if (failed_) return false;
  if (begun_) return write(",", 1);
  JSON_RPC_Channel& out = *outer_;
  // Other messages on the channel go out before the array or after it,
  // never inside.
  if (!out.take_slot()) return false;
  holds_slot_ = true;
  out.parking_ = parks_;
  if (!out.is_open() || !out.begin_message()) {
    failed_ = true;
    return false;
  }
  begun_ = true;
  return write("[", 1);
}

bool JSON_RPC_Batch::write(const char* data, std::size_t length) {
  if (!outer_->write_piece(data, length)) failed_ = true;
  return !failed_;
}

bool JSON_RPC_Batch::piece(const char* data, std::size_t length,
                           bool member_parks) {
  if (failed_ || !begun_ || !write(data, length)) return false;
  // On a transport that parks every piece is queued without waiting: a
  // member's reply that does not park itself waits here for the queue to
  // drain, as it would wait for the socket on its own.
  if (parks_ && !member_parks && outer_->backlogged()) return wait_drained();
  return true;
}

bool JSON_RPC_Batch::end_member(bool ok) {
  // A member's reply cut short leaves the array unfinishable; finish()
  // cuts the whole message.
  if (!ok) failed_ = true;
  return !failed_;
}

bool JSON_RPC_Batch::wait_drained() {
  struct Drain {
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
  };
  auto drain = std::make_shared<Drain>();
  if (!outer_->call_when_drained([drain] {
        {
          std::lock_guard<std::mutex> guard(drain->lock);
          drain->done = true;
        }
        drain->done_cv.notify_all();
      }))
    return true;
  // The transport runs the function once its queue drains or fails (a
  // client that reads nothing is cut after its write timeout); a channel
  // closed meanwhile (a host stopping) is not waited for.
  std::unique_lock<std::mutex> guard(drain->lock);
  while (!drain->done_cv.wait_for(guard, std::chrono::milliseconds(100),
                                  [&] { return drain->done; })) {
    if (!outer_->is_open()) {
      failed_ = true;
      return false;
    }
  }
  return outer_->is_open() || (failed_ = true, false);
}

bool JSON_RPC_Batch::outer_backlogged() { return outer_->backlogged(); }

bool JSON_RPC_Batch::outer_call_when_drained(std::function<void()> resume) {
  return outer_->call_when_drained(std::move(resume));
}

bool JSON_RPC_Batch::outer_call_soon(std::function<void()> resume) {
  return outer_->call_soon(std::move(resume));
}
