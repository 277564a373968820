// The thread and thread-pool handler kinds: where work runs, what a handler
// sees of a requester that has gone, and the channel's work accounting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "agent/json_rpc/json_rpc_handler.h"
#include "tests/fakes/recording_channel.h"

using namespace std::chrono_literals;

namespace {

JSON_RPC_Object_Ptr request(int id, int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
  JSON_RPC_Request* r = new JSON_RPC_Request(type);
  r->id = id;
  r->method = "m";
  return JSON_RPC_Object_Ptr(r);
}

// A gate the test opens; workers wait at it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> g(m_);
    open_ = true;
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock<std::mutex> g(m_);
    cv_.wait(g, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

class Waiting_Thread_Handler : public JSON_RPC_Thread_Handler {
 public:
  int handle_object_i(JSON_RPC_Channel_WPtr channel,
                      JSON_RPC_Object_Ptr object) override {
    thread = std::this_thread::get_id();
    JSON_RPC_Channel_Ptr c(channel);
    had_channel = c.get() != nullptr;
    ++started;
    gate.pass();
    if (c.get()) {
      JSON_RPC_Response* r =
          new JSON_RPC_Response(static_cast<JSON_RPC_Request*>(object.get()));
      r->result = "done";
      c->send_object(JSON_RPC_Object_Ptr(r));
    }
    return 0;
  }
  Gate gate;
  std::atomic<int> started{0};
  std::atomic<bool> had_channel{false};
  std::thread::id thread;
};

class Pool_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
 public:
  int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& r) override {
    record("request", channel, r);
    return 0;
  }
  int handle_notify(JSON_RPC_Channel* channel, JSON_RPC_Request& r) override {
    record("notify", channel, r);
    return 0;
  }
  std::future<std::string> next() { return promise_.get_future(); }

 private:
  void record(const char* kind, JSON_RPC_Channel* channel, JSON_RPC_Request& r) {
    promise_.set_value(std::string(kind) + (channel ? " with channel " : " without channel ") +
                       json_spirit::JSON_Dump(r.id, false));
  }
  std::promise<std::string> promise_;
};

class Default_Pool_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {};

}  // namespace

TEST(ThreadHandler, RunsOnAWorkerAndDeliveryReturnsAtOnce) {
  Waiting_Thread_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  channel->begin_work();  // as the dispatcher does around delivery
  EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel), request(1)));
  channel->end_work();
  EXPECT_EQ(0, rec->idle_count());  // the worker's part is still pending
  handler.gate.open();
  ASSERT_TRUE(rec->wait_for_sent(1, 5s));
  ASSERT_TRUE(rec->wait_idle(5s));
  EXPECT_NE(std::this_thread::get_id(), handler.thread);
  EXPECT_TRUE(handler.had_channel);
}

TEST(ThreadHandler, LongWaitsRunSideBySide) {
  Waiting_Thread_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  for (int i = 0; i < 6; ++i)
    handler.handle_object(JSON_RPC_Channel_WPtr(channel), request(i));
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (handler.started < 6 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(6, handler.started.load());
  handler.gate.open();
  EXPECT_TRUE(rec->wait_for_sent(6, 5s));
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
}

TEST(ThreadHandler, RequesterGoneBeforeTheWorkRunsIsSeen) {
  Waiting_Thread_Handler handler;
  handler.gate.open();
  JSON_RPC_Channel_WPtr weak;
  {
    JSON_RPC_Channel_Ptr channel = Recording_Channel::make(nullptr);
    weak = channel;
  }
  EXPECT_EQ(0, handler.handle_object(weak, request(1)));
  ACE_Time_Value limit(5);
  ASSERT_TRUE(json_rpc::drain_workers(&limit));
  EXPECT_EQ(1, handler.started.load());
  EXPECT_FALSE(handler.had_channel);
}

TEST(ThreadPoolHandler, SplitsRequestsAndNotifies) {
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(nullptr);
  {
    Pool_Handler handler;
    auto seen = handler.next();
    handler.handle_object(JSON_RPC_Channel_WPtr(channel), request(3));
    ASSERT_EQ(std::future_status::ready, seen.wait_for(5s));
    EXPECT_EQ("request with channel 3", seen.get());
  }
  {
    Pool_Handler handler;
    auto seen = handler.next();
    handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                          request(4, JSON_RPC_Object::JSON_RPC_NOTIFY));
    ASSERT_EQ(std::future_status::ready, seen.wait_for(5s));
    EXPECT_EQ("notify with channel 4", seen.get());
  }
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
}

TEST(ThreadPoolHandler, GoneRequesterArrivesAsNullChannel) {
  Pool_Handler handler;
  auto seen = handler.next();
  JSON_RPC_Channel_WPtr weak;
  {
    JSON_RPC_Channel_Ptr channel = Recording_Channel::make(nullptr);
    weak = channel;
  }
  handler.handle_object(weak, request(5));
  ASSERT_EQ(std::future_status::ready, seen.wait_for(5s));
  EXPECT_EQ("request without channel 5", seen.get());
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
}

TEST(ThreadPoolHandler, DefaultRequestAnswerIsMethodNotFound) {
  Default_Pool_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  handler.handle_object(JSON_RPC_Channel_WPtr(channel), request(6));
  ASSERT_TRUE(rec->wait_for_sent(1, 5s));
  json_spirit::Value reply = rec->pop();
  EXPECT_EQ(json_spirit::Value(-32601),
            reply.get_obj().at("error").get_obj().at("code"));
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
}

TEST(Channel, SendErrorWithoutMessageUsesTheStandardText) {
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  channel->send_error(-32602, 1, nullptr, json_spirit::Value::null);
  channel->send_error(-32603, "x", "Internal error, out of memory.",
                      json_spirit::Value::null);
  json_spirit::Value a = rec->pop(), b = rec->pop();
  EXPECT_EQ(json_spirit::Value("Invalid params"),
            a.get_obj().at("error").get_obj().at("message"));
  EXPECT_EQ(json_spirit::Value("Internal error, out of memory."),
            b.get_obj().at("error").get_obj().at("message"));
  EXPECT_EQ(0u, b.get_obj().at("error").get_obj().count("data"));
}

TEST(Channel, ClosedChannelSendsNothing) {
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  channel->close();
  EXPECT_EQ(-1, channel->send_error(-32603, 1, "x", json_spirit::Value::null));
  EXPECT_EQ(0u, rec->count_sent());
}
