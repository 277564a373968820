// A JSON-RPC batch: the members of a top-level array, served one after
// another, each exactly as a message of its own, their replies written as
// one array message in member order.
#ifndef JSON_RPC_JSON_RPC_BATCH_H
#define JSON_RPC_JSON_RPC_BATCH_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "agent/json_rpc/json_rpc_channel.h"

class JSON_RPC_Batch : public std::enable_shared_from_this<JSON_RPC_Batch> {
 public:
  // Serves one member as a single message (the dispatcher's own path, so a
  // member meets every check a message meets).
  typedef std::function<int(const JSON_RPC_Channel_Ptr& channel, const char* text,
                            std::size_t length, const char* refusal)>
      Deliver;
  struct Span {
    std::size_t offset;
    std::size_t length;
  };

  // Serves the members of `text` (spans into it) for `channel`. The first
  // members run here; once one goes on after its delivery (a worker, a
  // reply still to come) the rest follow when it is done, through the
  // channel's deliver_later. `keep` holds the text until then; without one
  // the text is copied.
  static void start(const JSON_RPC_Channel_Ptr& channel, const char* text,
                    std::size_t length, std::shared_ptr<const void> keep,
                    std::vector<Span> members, Deliver deliver,
                    const char* refusal);

  class Member;

  JSON_RPC_Batch(const JSON_RPC_Channel_Ptr& channel, Deliver deliver,
                 const char* refusal);
  ~JSON_RPC_Batch();

 private:
  enum State { RUNNING, WAITING, DONE };

  void run(const char* refusal);
  void member_done(Member& member);
  void finish();

  // What a member's channel does with its messages: the first opens the
  // array, the others follow a comma; the array closes in finish().
  bool begin_member();
  bool piece(const char* data, std::size_t length, bool member_parks);
  bool end_member(bool ok);
  bool write(const char* data, std::size_t length);
  bool wait_drained();
  bool outer_backlogged();
  bool outer_call_when_drained(std::function<void()> resume);
  bool outer_call_soon(std::function<void()> resume);

  JSON_RPC_Channel_Ptr outer_;
  Deliver deliver_;
  const char* refusal_;
  std::shared_ptr<const void> keep_;
  const char* text_ = nullptr;
  std::vector<Span> members_;
  std::size_t next_ = 0;
  JSON_RPC_Channel_Ptr current_;
  std::atomic<int> state_{RUNNING};
  // The transport takes the array's pieces without waiting for its socket.
  bool parks_ = false;
  bool holds_slot_ = false;
  bool begun_ = false;
  bool failed_ = false;
  bool finished_ = false;
};

#endif
