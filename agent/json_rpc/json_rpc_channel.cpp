#include "agent/json_rpc/json_rpc_channel.h"

#include <yajl/yajl_gen.h>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "agent/json_io/yajl_gen.h"
#include "agent/json_rpc/request_meter.h"
#include "agent/modsess/session.h"

// Gathers what is written (a token at a time from a generator) into blocks
// of `drain_at` bytes and passes each block on to the transport: a reply is
// never held whole in memory, and the transport sees a few calls per reply
// rather than one per token.
class JSON_RPC_Channel::Piece_Printer : public YAJL_Printer,
                                       public json_spirit::Text_Out {
 public:
  // Each thread keeps its block between replies, so the text of a reply
  // costs no allocation (a nested send on the thread makes its own).
  explicit Piece_Printer(JSON_RPC_Channel& channel) : channel_(channel) {
    text.swap(spare());
    if (text.capacity() < drain_at) text.reserve(drain_at);
  }
  ~Piece_Printer() override {
    text.clear();
    if (text.capacity() <= 4 * drain_at) spare().swap(text);
  }
  void print(const char* data, std::size_t length) override {
    if (text.size() + length > drain_at) {
      drain();
      if (length >= drain_at) {
        if (ok) pass(data, length);
        return;
      }
    }
    text.append(data, length);
  }
  void write(const char* data, std::size_t length) override {
    print(data, length);
  }
  bool drain() override {
    if (ok && !text.empty()) pass(text.data(), text.size());
    text.clear();
    return ok;
  }
  bool ok = true;
  // Set, for a parking message, when the transport says it holds enough or
  // when this much has gone out since the send last let others go first.
  bool backlogged = false;
  std::size_t since_yield = 0;
  static const std::size_t yield_after = 128 * 1024;

 private:
  void pass(const char* data, std::size_t length) {
    ok = channel_.write_piece(data, length);
    if (!ok || !channel_.parking_) return;
    since_yield += length;
    if (!backlogged)
      backlogged = since_yield >= yield_after || channel_.backlogged();
  }
  static std::string& spare() {
    thread_local std::string block;
    return block;
  }
  JSON_RPC_Channel& channel_;
};

namespace {

class Object_Generator : public JSON_Generator {
 public:
  explicit Object_Generator(const JSON_RPC_Object& object) : object_(object) {}
  bool generate(yajl_gen_t* g) override { return object_.generate(g); }

 private:
  const JSON_RPC_Object& object_;
};

}  // namespace

// A send in steps, with what must last from one step to the next.
struct JSON_RPC_Channel::Step_Send {
  explicit Step_Send(std::unique_ptr<JSON_Step_Generator> g)
      : generator(std::move(g)) {}
  // A send dropped by its transport without being resumed (a host tearing
  // down its io) must not keep the slot: later senders would wait for good.
  ~Step_Send() {
    if (keep.get() && !finished) keep->abandon_send(*this);
  }

  std::unique_ptr<JSON_Step_Generator> generator;
  unsigned long ticket = 0;
  bool holds_slot = false;  // its turn has come
  bool begun = false;       // begin_message answered true
  bool finished = false;
  // Set while it runs or waits for its transport, so the channel outlives
  // a wait nobody else holds it through.
  JSON_RPC_Channel_Ptr keep;
  std::unique_ptr<Piece_Printer> printer;
  YAJL_Gen gen;  // prints into `printer`, so it goes first
};

JSON_RPC_Channel::JSON_RPC_Channel() {}

JSON_RPC_Channel::~JSON_RPC_Channel() {}

bool JSON_RPC_Channel::take_slot() {
  std::unique_lock<std::mutex> guard(slot_lock_);
  if (!open_) return false;
  const unsigned long ticket = next_ticket_++;
  slot_free_.wait(guard, [&] { return serving_ == ticket || !open_; });
  // A sender that gave up on a closed channel leaves its turn unclaimed;
  // nothing waits behind it then (see release_slot).
  return serving_ == ticket;
}

std::deque<JSON_RPC_Channel::Step_Send_Ptr> JSON_RPC_Channel::release_slot() {
  std::deque<Step_Send_Ptr> ready;
  std::lock_guard<std::mutex> guard(slot_lock_);
  ++serving_;
  if (!open_) {
    ready.swap(queued_);
  } else if (!queued_.empty() && queued_.front()->ticket == serving_) {
    ready.push_back(std::move(queued_.front()));
    queued_.pop_front();
    ready.front()->holds_slot = true;
    return ready;
  }
  slot_free_.notify_all();
  return ready;
}

template <class Write>
int JSON_RPC_Channel::send_message(Write write) {
  if (!take_slot()) return -1;
  int result = -1;
  if (open_ && begin_message()) {
    Piece_Printer printer(*this);
    bool ok = false;
    try {
      ok = write(printer) && printer.drain();
    } catch (...) {
      ok = false;
    }
    ok = ok && printer.ok;
    if (end_message(ok) && ok) {
      ++sent_;
      result = 0;
    }
  }
  std::deque<Step_Send_Ptr> ready = release_slot();
  if (!ready.empty()) run_steps(std::move(ready), JSON_RPC_Channel_Ptr(self_));
  return result;
}

int JSON_RPC_Channel::send_with(JSON_Generator& generator) {
  return send_message([&generator](Piece_Printer& printer) {
    YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
    if (!g.get()) {
      errno = ENOMEM;
      return false;
    }
    // The generator may throw; it must not keep watching a gone printer.
    struct Watch {
      JSON_Generator& g;
      ~Watch() { g.watch_output(nullptr); }
    } watch{generator};
    generator.watch_output(&printer.ok);
    return generator.generate(g);
  });
}

int JSON_RPC_Channel::send_object(JSON_RPC_Object_Ptr object) {
  if (!object.get()) return -1;
  if (object->type() >= JSON_RPC_Object::JSON_RPC_RESPONSE)
    json_rpc::note_answer(object->type() == JSON_RPC_Object::JSON_RPC_RESPONSE
                              ? json_rpc::RPC_OK
                              : json_rpc::RPC_ERROR);
  if (object->has_text()) {
    const JSON_RPC_Object& o = *object;
    return send_message(
        [&o](Piece_Printer& printer) { return o.write_text(printer); });
  }
  Object_Generator generator(*object);
  return send_with(generator);
}

int JSON_RPC_Channel::send_generator(JSON_Generator& generator) {
  json_rpc::note_answer(json_rpc::RPC_OK);
  return send_with(generator);
}

int JSON_RPC_Channel::send_generator(
    std::unique_ptr<JSON_Step_Generator> generator) {
  if (!generator) return -1;
  json_rpc::note_answer(json_rpc::RPC_OK);
  JSON_RPC_Channel_Ptr self(self_);
  if (!self.get()) return send_with(*generator);
  Step_Send_Ptr send;
  try {
    send = std::make_shared<Step_Send>(std::move(generator));
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
  // Counted before it can be queued: another thread may run it and end it
  // as soon as it is.
  begin_work();
  on_parking_send(true);
  {
    std::lock_guard<std::mutex> guard(slot_lock_);
    if (open_) {
      send->ticket = next_ticket_++;
      if (serving_ != send->ticket) {
        queued_.push_back(send);
        return 0;  // its turn comes when the send before it ends
      }
      send->holds_slot = true;
    }
  }
  if (!send->holds_slot) {
    on_parking_send(false);
    end_work();
    return -1;
  }
  return run_steps({std::move(send)}, self);
}

int JSON_RPC_Channel::run_steps(std::deque<Step_Send_Ptr> ready,
                                JSON_RPC_Channel_Ptr hold) {
  // Without a strong reference a send could not wait: fail them all.
  if (!hold.get()) close();
  int result = 0;
  bool first = true;
  while (!ready.empty()) {
    Step_Send_Ptr send = std::move(ready.front());
    ready.pop_front();
    send->keep = hold;
    const Steps outcome = step(send);
    // A closed channel never parks, so nothing is left in `ready` then.
    if (outcome == Steps::PARKED) break;
    const bool delivered = finish_send(*send, outcome == Steps::DONE, ready);
    if (first) result = delivered ? 0 : -1;
    first = false;
  }
  return result;
}

JSON_RPC_Channel::Steps JSON_RPC_Channel::step(const Step_Send_Ptr& send) {
  Step_Send& s = *send;
  if (!s.begun) {
    if (!open_) return Steps::FAILED;
    parking_ = true;
    if (!begin_message()) return Steps::FAILED;
    s.begun = true;
    try {
      s.printer.reset(new Piece_Printer(*this));
      s.gen.reset(yajl_gen_alloc_printer(s.printer.get(), nullptr, false, nullptr));
    } catch (const std::bad_alloc&) {
    }
    if (!s.gen.get()) {
      errno = ENOMEM;
      return Steps::FAILED;
    }
    s.generator->watch_output(&s.printer->ok);
    s.generator->watch_backlog(&s.printer->backlogged);
  }
  Piece_Printer& printer = *s.printer;
  try {
    for (;;) {
      const JSON_Step_Generator::Step done = s.generator->generate_step(s.gen);
      if (done == JSON_Step_Generator::DONE)
        return printer.drain() ? Steps::DONE : Steps::FAILED;
      if (done == JSON_Step_Generator::FAILED || !printer.ok) return Steps::FAILED;
      if (!printer.backlogged) continue;
      if (!open_) return Steps::FAILED;
      const auto resume = [send] {
        // Once only, whatever the transport does.
        if (send->finished || !send->keep.get()) return;
        JSON_RPC_Channel_Ptr channel(send->keep);
        channel->run_steps({send}, channel);
      };
      printer.backlogged = false;
      if (call_when_drained(resume)) return Steps::PARKED;
      // A long reply to a client that keeps up lets the other work on its
      // thread go first now and then, instead of holding the thread (and
      // making the host replace it) for the whole of it.
      if (printer.since_yield >= Piece_Printer::yield_after) {
        printer.since_yield = 0;
        if (call_soon(resume)) return Steps::PARKED;
      }
    }
  } catch (...) {
    return Steps::FAILED;
  }
}

bool JSON_RPC_Channel::finish_send(Step_Send& send, bool ok,
                                   std::deque<Step_Send_Ptr>& ready) {
  bool delivered = false;
  if (send.begun) {
    try {
      delivered = end_message(ok) && ok;
    } catch (...) {
      delivered = false;
    }
    if (delivered) ++sent_;
  }
  parking_ = false;
  send.finished = true;
  send.generator->watch_output(nullptr);
  send.generator->watch_backlog(nullptr);
  if (send.holds_slot)
    for (Step_Send_Ptr& next : release_slot()) ready.push_back(std::move(next));
  on_parking_send(false);
  end_work();
  return delivered;
}

void JSON_RPC_Channel::abandon_send(Step_Send& send) {
  send.finished = true;
  parking_ = false;
  close();
  // Sends queued behind it are dropped with it; the channel is going.
  if (send.holds_slot) release_slot();
}

void JSON_RPC_Channel::enable_parking(const JSON_RPC_Channel_Ptr& self) {
  self_ = self;
}

bool JSON_RPC_Channel::call_when_drained(std::function<void()>) {
  return false;
}

bool JSON_RPC_Channel::call_soon(std::function<void()>) { return false; }

void JSON_RPC_Channel::on_parking_send(bool) {}

bool JSON_RPC_Channel::deliver_later(std::function<void(const char*)>) {
  return false;
}

void JSON_RPC_Channel::on_batch(bool) {}

int JSON_RPC_Channel::send_error(int code, const json_spirit::Value& id,
                                 const char* message,
                                 const json_spirit::Value& data) {
  json_rpc::note_answer(json_rpc::RPC_ERROR);
  JSON_RPC_Response_Error* error = new (std::nothrow) JSON_RPC_Response_Error;
  if (!error) {
    errno = ENOMEM;
    return -1;
  }
  JSON_RPC_Object_Ptr holder(error);
  error->id = id;
  error->code = code;
  error->message = message ? message : json_rpc_error_text(code);
  error->data = data;
  return send_object(holder);
}

std::string JSON_RPC_Channel::session_id() const { return session_; }

bool JSON_RPC_Channel::anonymous() const {
  return session_required_ &&
         (session_.empty() || !Session_Manager::instance()->load_session(session_).get());
}

int JSON_RPC_Channel::original_remote_addr(ACE_INET_Addr& addr) const {
  if (!has_remote_) return -1;
  addr = remote_;
  return 0;
}

void JSON_RPC_Channel::close() {
  if (!open_.exchange(false)) return;
  {
    // Blocking senders waiting for their turn give up.
    std::lock_guard<std::mutex> guard(slot_lock_);
  }
  slot_free_.notify_all();
  // A batch's member being served learns with it that the requester left.
  if (has_batch_member_) {
    JSON_RPC_Channel_Ptr member;
    {
      std::lock_guard<std::mutex> guard(batch_lock_);
      member = JSON_RPC_Channel_Ptr(batch_member_);
    }
    if (member.get()) member->close();
  }
  on_close();
}

void JSON_RPC_Channel::begin_work() { ++work_; }

void JSON_RPC_Channel::end_work() {
  if (--work_ == 0) on_idle();
}

void JSON_RPC_Channel::on_idle() {}

void JSON_RPC_Channel::on_close() {}
