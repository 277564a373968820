// The thread and thread-pool handler kinds: where work runs, what a handler
// sees of a requester that has gone, the channel's work accounting, and the
// channel's own error answers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "agent/json_rpc/json_rpc_handler.h"
#include "tests/fakes/recording_channel.h"

using namespace std::chrono_literals;
using json_spirit::Value;

namespace {

JSON_RPC_Object_Ptr message(int id, int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
  return rpc_message(id, "m", "", type);
}

JSON_RPC_Channel_WPtr gone_channel() {
  return JSON_RPC_Channel_WPtr(Recording_Channel::make(nullptr));  // its last owner goes
}

// Waits at a gate the test opens, then answers "done" when it can.
class Waiting_Thread_Handler : public JSON_RPC_Thread_Handler {
 public:
  int handle_object_i(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override {
    JSON_RPC_Channel_Ptr c(channel);
    std::unique_lock<std::mutex> g(lock);
    worker = std::this_thread::get_id();
    had_channel = c.get() != nullptr;
    ++started;
    opened.wait(g, [&] { return open; });
    if (!c.get()) return -1;
    JSON_RPC_Response* r = new JSON_RPC_Response(static_cast<JSON_RPC_Request*>(object.get()));
    r->result = "done";
    return c->send_object(JSON_RPC_Object_Ptr(r));
  }
  void release() {
    std::lock_guard<std::mutex> g(lock);
    open = true;
    opened.notify_all();
  }
  int started_count() {
    std::lock_guard<std::mutex> g(lock);
    return started;
  }

  std::mutex lock;
  std::condition_variable opened;
  bool open = false, had_channel = false;
  int started = 0;
  std::thread::id worker;
};

// Records "<kind> <id> <with|without>" per call.
class Pool_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
 public:
  int handle_request(JSON_RPC_Channel* c, JSON_RPC_Request& r) override {
    return record("request", c, r);
  }
  int handle_notify(JSON_RPC_Channel* c, JSON_RPC_Request& r) override {
    return record("notify", c, r);
  }
  std::vector<std::string> seen;

 private:
  int record(const char* kind, JSON_RPC_Channel* c, JSON_RPC_Request& r) {
    std::lock_guard<std::mutex> g(lock_);
    seen.push_back(std::string(kind) + " " + json_spirit::JSON_Dump(r.id, false) +
                   (c ? " with" : " without"));
    return 0;
  }
  std::mutex lock_;
};

void drain() {
  ACE_Time_Value limit(5);
  ASSERT_TRUE(json_rpc::drain_workers(&limit));
}

}  // namespace

TEST(ThreadHandler, RunsLongWaitsSideBySideAndKeepsTheChannelBusyUntilDone) {
  Waiting_Thread_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  channel->begin_work();  // as the dispatcher does around delivery
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel), message(i)));
  channel->end_work();
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (handler.started_count() < 6 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(6, handler.started_count());
  EXPECT_EQ(0, rec->idle_count());  // the workers' part is still pending
  handler.release();
  ASSERT_TRUE(rec->wait_idle(5s));
  EXPECT_EQ(6u, rec->count_sent());
  EXPECT_NE(std::this_thread::get_id(), handler.worker);
  drain();
}

TEST(ThreadPoolHandler, SplitsKindsAndSeesAGoneRequesterAsNull) {
  Pool_Handler handler;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(nullptr);
  handler.handle_object(JSON_RPC_Channel_WPtr(channel), message(3));
  drain();
  handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                        message(4, JSON_RPC_Object::JSON_RPC_NOTIFY));
  drain();
  handler.handle_object(gone_channel(), message(5));
  drain();
  EXPECT_EQ((std::vector<std::string>{"request 3 with", "notify 4 with", "request 5 without"}),
            handler.seen);

  Waiting_Thread_Handler thread_handler;  // the thread kind sees it too
  thread_handler.release();
  thread_handler.handle_object(gone_channel(), message(6));
  drain();
  EXPECT_EQ(1, thread_handler.started_count());
  EXPECT_FALSE(thread_handler.had_channel);
}

// Custom messages without data are seen whole in the handler tests.
TEST(Channel, ErrorsGetTheStandardTextAndAClosedChannelSendsNothing) {
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  channel->send_error(-32602, 1, nullptr, Value::null);
  EXPECT_EQ(Value("Invalid params"), rec->pop().get_obj().at("error").get_obj().at("message"));
  channel->close();
  EXPECT_EQ(-1, channel->send_error(-32603, 1, "x", Value::null));
  EXPECT_EQ(1u, rec->count_sent());
}
