// A JSON-RPC channel that keeps every message sent through it, parsed back,
// so tests check exactly what a requester would receive.
#ifndef TESTS_FAKES_RECORDING_CHANNEL_H
#define TESTS_FAKES_RECORDING_CHANNEL_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/json_rpc/json_rpc_object.h"
#include "agent/json_spirit/json_spirit.h"
#include "tests/fakes/installed.h"
#include "tests/fakes/json_print.h"
#include "tests/fakes/recording_log.h"

class Recording_Channel : public JSON_RPC_Channel {
 public:
  // A fresh channel held by a strong reference, as transports hold theirs.
  static JSON_RPC_Channel_Ptr make(Recording_Channel** raw) {
    Recording_Channel* c = new Recording_Channel;
    if (raw) *raw = c;
    return JSON_RPC_Channel_Ptr(c);
  }

  template <class F>
  auto locked(F f) const -> decltype(f()) {
    std::lock_guard<std::mutex> guard(lock_);
    return f();
  }

  std::size_t count_sent() const { return locked([&] { return texts_.size(); }); }
  // Every message as sent, for checks of the text itself (ids, escapes).
  std::vector<std::string> texts() const { return locked([&] { return texts_; }); }
  // The oldest message not yet popped; null when there is none.
  json_spirit::Value pop() {
    json_spirit::Value v;
    std::lock_guard<std::mutex> guard(lock_);
    if (popped_ < texts_.size()) json_spirit::read(texts_[popped_++], v);
    return v;
  }
  // Waits until the framework reports no work left for the channel.
  bool wait_idle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return idle_ > 0; });
  }
  int idle_count() const { return locked([&] { return idle_; }); }

  // The requester's session key, as a transport sets it.
  void set_session_key(const std::string& key) { set_session(key); }
  void set_remote_address(const ACE_INET_Addr& address) { set_remote_addr(address); }

  // Pieces beyond the first `n` fail, as on a socket the peer closed.
  void fail_writes_after(std::size_t n) { fail_after_ = n; }
  std::size_t write_attempts() const { return locked([&] { return attempts_; }); }

 protected:
  bool begin_message() override {
    std::lock_guard<std::mutex> guard(lock_);
    current_.clear();
    return true;
  }
  bool write_piece(const char* data, std::size_t length) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (++attempts_ > fail_after_) return false;
    current_.append(data, length);
    return true;
  }
  bool end_message(bool ok) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (ok) texts_.push_back(current_);
    return true;
  }
  void on_idle() override {
    std::lock_guard<std::mutex> guard(lock_);
    ++idle_;
    changed_.notify_all();
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::string current_;
  std::size_t popped_ = 0, attempts_ = 0;
  std::size_t fail_after_ = static_cast<std::size_t>(-1);
  std::vector<std::string> texts_;
  int idle_ = 0;
};

// A request (or notify) for `method` with `params` as JSON text, "" for none.
inline JSON_RPC_Object_Ptr rpc_message(std::int64_t id, const std::string& method,
                                       const std::string& params = "",
                                       int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
  JSON_RPC_Request* r = new JSON_RPC_Request(type);
  r->id = id;
  r->method = method;
  EXPECT_TRUE(params.empty() || json_spirit::read(params, r->params)) << params;
  return JSON_RPC_Object_Ptr(r);
}

// A handler of type H fed messages over a recording channel, with the
// process's log lines recorded.
template <class H>
class Handler_Test : public ::testing::Test {
 protected:
  // Hands `method` with `params` to the handler on this thread, as
  // rpc_message makes it; the handler's result.
  int send(std::int64_t id, const std::string& method, const std::string& params = "",
           int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    JSON_RPC_Object_Ptr object = rpc_message(id, method, params, type);
    if constexpr (std::is_base_of_v<JSON_RPC_Thread_Handler, H> ||
                  std::is_base_of_v<JSON_RPC_Thread_Pool_Handler, H>)
      return handler.handle_object_i(JSON_RPC_Channel_WPtr(channel), object);
    else
      return handler.handle_object(JSON_RPC_Channel_WPtr(channel), object);
  }
  // The oldest reply not yet read, as JSON text; "null" when there is none.
  std::string reply() { return json_spirit::JSON_Dump(rec->pop(), false); }

  Recording_Log log;
  H handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
};

#endif
