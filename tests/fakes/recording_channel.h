// A JSON-RPC channel that keeps every message sent through it, as text and
// parsed back, so tests check exactly what a requester would receive.
#ifndef TESTS_FAKES_RECORDING_CHANNEL_H
#define TESTS_FAKES_RECORDING_CHANNEL_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_spirit/json_spirit.h"
#include "tests/fakes/json_print.h"

class Recording_Channel : public JSON_RPC_Channel {
 public:
  // A fresh channel held by a strong reference, as transports hold theirs.
  static JSON_RPC_Channel_Ptr make(Recording_Channel** raw);

  std::size_t count_sent() const;
  // The oldest message not yet popped; null when there is none.
  json_spirit::Value pop();
  std::vector<std::string> texts() const;
  // Pieces written for the last message.
  std::size_t last_piece_count() const;
  // Waits until `n` messages have been sent in all.
  bool wait_for_sent(std::size_t n, std::chrono::milliseconds timeout);
  // Waits until the framework reports no work left for the channel.
  bool wait_idle(std::chrono::milliseconds timeout);
  int idle_count() const;

  // Pieces beyond the first `n` fail, as on a socket the peer closed.
  void fail_writes_after(std::size_t n) { fail_after_ = n; }
  std::size_t write_attempts() const;

  void set_session_key(const std::string& key) { set_session(key); }
  void set_original_addr(const ACE_INET_Addr& a) { set_remote_addr(a); }

 protected:
  bool begin_message() override;
  bool write_piece(const char* data, std::size_t length) override;
  bool end_message(bool ok) override;
  void on_idle() override;

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::string current_;
  std::size_t pieces_ = 0;
  std::size_t last_pieces_ = 0;
  std::vector<std::string> texts_;
  std::size_t popped_ = 0;
  std::size_t fail_after_ = static_cast<std::size_t>(-1);
  std::size_t attempts_ = 0;
  int idle_ = 0;
};

#endif
