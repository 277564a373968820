// Sends in steps over a transport that parks: a reply to a requester that
// does not read waits without its thread and goes on as the transport
// drains; sends on one channel go out whole and in order; a transport that
// breaks, or drops a waiting send, ends it as a cut reply without leaving
// anyone waiting; the channel lives as long as a send waits on it.
#include <gtest/gtest.h>

#include <yajl/yajl_gen.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_io/yajl_gen.h"
#include "tests/fakes/recording_channel.h"

using namespace std::chrono_literals;
using json_spirit::Value;

namespace {

// The far side of the fake transport: bytes queue here until the test reads
// them, as a client reads a socket. A parked send is resumed on the reading
// thread once reading brings the queue down to the low mark.
struct Wire {
  static const std::size_t high = 64 * 1024, low = 16 * 1024;

  // Reads up to `n` queued bytes; how many there were.
  std::size_t read(std::size_t n) {
    std::function<void()> resume;
    std::size_t got;
    {
      std::lock_guard<std::mutex> guard(lock);
      got = std::min(n, queued);
      queued -= got;
      if (resume_ && queued <= low) resume.swap(resume_);
    }
    if (resume) resume();
    return got;
  }
  // Reads until nothing is queued or parked.
  void read_all() {
    while (read(8 * 1024) || parked()) {
    }
  }
  // The connection breaks: what is queued is lost, and a parked send
  // resumes to find it so.
  void fail() {
    std::function<void()> resume;
    {
      std::lock_guard<std::mutex> guard(lock);
      failed = true;
      queued = 0;
      resume.swap(resume_);
    }
    if (resume) resume();
  }
  // A parked send is dropped without being resumed (a host tearing down).
  void drop_parked() {
    std::function<void()> resume;
    std::lock_guard<std::mutex> guard(lock);
    resume.swap(resume_);
    // destroyed after the lock is released: it ends the send
  }
  bool parked() {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<bool>(resume_);
  }
  template <class F>
  auto locked(F f) -> decltype(f()) {
    std::lock_guard<std::mutex> guard(lock);
    return f();
  }

  std::mutex lock;
  std::size_t queued = 0;
  bool failed = false;
  std::function<void()> resume_;
  std::vector<std::string> events;    // "begin", "end" or "cut", in order
  std::vector<std::string> messages;  // whole messages, in order
  std::string current;
  int parking_sends = 0;  // started and not yet ended
  int idle = 0;
};

class Parking_Channel : public JSON_RPC_Channel {
 public:
  static JSON_RPC_Channel_Ptr make(const std::shared_ptr<Wire>& wire,
                                   std::atomic<int>* destroyed = nullptr) {
    Parking_Channel* c = new Parking_Channel(wire, destroyed);
    JSON_RPC_Channel_Ptr channel(c);
    c->enable_parking(channel);
    return channel;
  }
  ~Parking_Channel() override {
    if (destroyed_) ++*destroyed_;
  }

 protected:
  bool begin_message() override {
    return wire_->locked([&] {
      if (wire_->failed) return false;
      wire_->events.push_back("begin");
      wire_->current.clear();
      return true;
    });
  }
  bool write_piece(const char* data, std::size_t length) override {
    return wire_->locked([&] {
      if (wire_->failed) return false;
      wire_->current.append(data, length);
      wire_->queued += length;
      return true;
    });
  }
  bool end_message(bool ok) override {
    return wire_->locked([&] {
      wire_->events.push_back(ok ? "end" : "cut");
      if (ok && !wire_->failed) wire_->messages.push_back(wire_->current);
      return ok && !wire_->failed;
    });
  }
  bool backlogged() override {
    return wire_->locked([&] { return wire_->queued >= Wire::high; });
  }
  bool call_when_drained(std::function<void()> resume) override {
    return wire_->locked([&] {
      if (wire_->failed || wire_->queued <= Wire::low) return false;
      wire_->resume_ = std::move(resume);
      return true;
    });
  }
  void on_parking_send(bool started) override {
    wire_->locked([&] { wire_->parking_sends += started ? 1 : -1; });
  }
  void on_idle() override {
    wire_->locked([&] { ++wire_->idle; });
  }

 private:
  Parking_Channel(const std::shared_ptr<Wire>& wire, std::atomic<int>* destroyed)
      : wire_(wire), destroyed_(destroyed) {}
  std::shared_ptr<Wire> wire_;
  std::atomic<int>* destroyed_;
};

// {"id": ID, "result": ["item-0 ...", ...]}, one item at a time, stopping
// between items while the output is backlogged. Counts its steps and its
// end where the test can see them after the channel has let it go.
class Items : public JSON_Step_Generator {
 public:
  Items(int id, int count, std::atomic<int>* destroyed = nullptr,
        std::atomic<int>* steps = nullptr)
      : id_(id), count_(count), destroyed_(destroyed), steps_(steps) {}
  ~Items() override {
    if (destroyed_) ++*destroyed_;
  }
  Step generate_step(yajl_gen_t* g) override {
    if (steps_) ++*steps_;
    if (!opened_) {
      opened_ = true;
      yajl_gen_map_open(g);
      yajl_gen_text(g, "id");
      yajl_gen_whole(g, id_);
      yajl_gen_text(g, "result");
      yajl_gen_array_open(g);
    }
    for (; next_ < count_ && !output_failed(); ++next_) {
      if (output_backlogged()) return MORE;
      yajl_gen_text(g, "item-" + std::to_string(next_) + std::string(90, '.'));
    }
    yajl_gen_array_close(g);
    yajl_gen_map_close(g);
    return DONE;
  }

 private:
  int id_, count_, next_ = 0;
  bool opened_ = false;
  std::atomic<int>* destroyed_;
  std::atomic<int>* steps_;
};

JSON_RPC_Object_Ptr response(int id) {
  JSON_RPC_Response* r = new JSON_RPC_Response;
  r->id = id;
  r->result = "small";
  return JSON_RPC_Object_Ptr(r);
}

// On `channel`: a reply of id 1 that parks, a step send of id 2 queued
// behind it, and a blocking send of id 3 started on another thread, which
// waits for its turn. Items 1 and 2 count their ends in `gone` and their
// steps in `steps`.
std::future<int> park_queue_and_block(const JSON_RPC_Channel_Ptr& channel,
                                      std::atomic<int>* gone, std::atomic<int>* steps) {
  EXPECT_EQ(0, channel->send_generator(std::make_unique<Items>(1, 3000, gone)));
  EXPECT_EQ(0, channel->send_generator(std::make_unique<Items>(2, 3000, gone, steps)));
  auto blocking = std::async(std::launch::async, [channel] { return channel->send_object(response(3)); });
  EXPECT_EQ(std::future_status::timeout, blocking.wait_for(50ms));
  return blocking;
}

int id_of(const std::string& text) {
  Value v;
  EXPECT_TRUE(json_spirit::read(text, v)) << text.substr(0, 200);
  return v.type() == json_spirit::obj_type ? v.get_obj().at("id").get_int() : -1;
}

}  // namespace

TEST(Step_Send, AReplyToARequesterThatDoesNotReadWaitsWithoutItsThreadAndArrivesWhole) {
  auto wire = std::make_shared<Wire>();
  JSON_RPC_Channel_Ptr channel = Parking_Channel::make(wire);
  std::atomic<int> steps{0};
  // About 500 KB against a backlog of 64 KiB: the send returns parked.
  EXPECT_EQ(0, channel->send_generator(std::make_unique<Items>(1, 5000, nullptr, &steps)));
  EXPECT_TRUE(wire->parked());
  EXPECT_EQ(1, steps.load());
  EXPECT_EQ(1, wire->locked([&] { return wire->parking_sends; }));
  EXPECT_TRUE(wire->locked([&] { return wire->messages.empty(); }));

  wire->read_all();
  ASSERT_EQ(1u, wire->messages.size());
  EXPECT_GT(steps.load(), 5);  // it went on step by step as the wire drained
  EXPECT_EQ(0, wire->parking_sends);
  EXPECT_EQ(1, wire->idle);
  EXPECT_EQ(1u, channel->sent_count());
  // The same text a send that runs to its end at once writes.
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr plain = Recording_Channel::make(&rec);
  Items whole(1, 5000);
  ASSERT_EQ(0, plain->send_generator(whole));
  EXPECT_EQ(rec->texts().at(0), wire->messages[0]);
  // Without parking the owning send runs to its end there too.
  ASSERT_EQ(0, plain->send_generator(std::make_unique<Items>(1, 5000)));
  EXPECT_EQ(rec->texts().at(0), rec->texts().at(1));
}

TEST(Step_Send, SendsOnOneChannelGoOutWholeInTheOrderTheyCame) {
  auto wire = std::make_shared<Wire>();
  JSON_RPC_Channel_Ptr channel = Parking_Channel::make(wire);
  // Behind the parked one: a step send waits without a thread, a blocking
  // send waits on its own.
  std::atomic<int> steps{0};
  auto third = park_queue_and_block(channel, nullptr, &steps);
  EXPECT_TRUE(wire->parked());
  EXPECT_EQ(0, steps.load());
  EXPECT_EQ(1u, wire->locked([&] { return wire->events.size(); }));  // only the first begun

  while (third.wait_for(0ms) != std::future_status::ready) wire->read_all();
  EXPECT_EQ(0, third.get());
  wire->read_all();
  const std::vector<std::string> sequence{"begin", "end", "begin", "end", "begin", "end"};
  EXPECT_EQ(sequence, wire->events);
  ASSERT_EQ(3u, wire->messages.size());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(i + 1, id_of(wire->messages[i]));
  EXPECT_EQ(0, wire->parking_sends);
  EXPECT_EQ(1, wire->idle);  // once, when the last waiting send ended
}

TEST(Step_Send, ABrokenConnectionCutsTheWaitingReplyAndFailsTheSendsBehindIt) {
  auto wire = std::make_shared<Wire>();
  std::atomic<int> generators_gone{0};
  JSON_RPC_Channel_Ptr channel = Parking_Channel::make(wire);
  auto blocking = park_queue_and_block(channel, &generators_gone, nullptr);
  wire->fail();
  EXPECT_EQ(-1, blocking.get());
  EXPECT_EQ(std::vector<std::string>({"begin", "cut"}), wire->events);
  EXPECT_TRUE(wire->messages.empty());
  EXPECT_EQ(2, generators_gone.load());  // the directory, or whatever, is let go
  EXPECT_EQ(0, wire->parking_sends);
  EXPECT_EQ(1, wire->idle);
  EXPECT_EQ(0u, channel->sent_count());
}

TEST(Step_Send, TheChannelLivesWhileASendWaitsOnItAndADroppedSendFreesIt) {
  auto wire = std::make_shared<Wire>();
  std::atomic<int> channels_gone{0};
  {
    JSON_RPC_Channel_Ptr channel = Parking_Channel::make(wire, &channels_gone);
    ASSERT_EQ(0, channel->send_generator(std::make_unique<Items>(1, 3000)));
  }
  // Nobody but the parked send holds the channel now.
  EXPECT_EQ(0, channels_gone.load());
  wire->read_all();
  EXPECT_EQ(1u, wire->messages.size());
  EXPECT_EQ(1, channels_gone.load());

  // A transport that drops a parked send unresumed: the channel closes, and
  // senders waiting behind it are let go instead of waiting for good.
  auto dropped = std::make_shared<Wire>();
  std::atomic<int> generators_gone{0};
  JSON_RPC_Channel_Ptr channel = Parking_Channel::make(dropped);
  auto blocking = park_queue_and_block(channel, &generators_gone, nullptr);
  dropped->drop_parked();
  EXPECT_EQ(-1, blocking.get());
  EXPECT_FALSE(channel->is_open());
  EXPECT_EQ(2, generators_gone.load());
  EXPECT_EQ(-1, channel->send_generator(std::make_unique<Items>(4, 10)));
}
