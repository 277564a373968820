// The way back to a requester. Handlers receive a weak reference and lock it
// for the duration of a request; an empty lock means the requester has gone.
#ifndef JSON_RPC_JSON_RPC_CHANNEL_H
#define JSON_RPC_JSON_RPC_CHANNEL_H

#include <ace/Bound_Ptr.h>
#include <ace/INET_Addr.h>
#include <ace/Thread_Mutex.h>

#include <atomic>
#include <mutex>
#include <string>

#include "agent/json_rpc/json_rpc_object.h"
#include "agent/mdrt/json_generator.h"

class JSON_RPC_Channel {
 public:
  JSON_RPC_Channel();
  virtual ~JSON_RPC_Channel();
  JSON_RPC_Channel(const JSON_RPC_Channel&) = delete;
  JSON_RPC_Channel& operator=(const JSON_RPC_Channel&) = delete;

  // Each send writes one whole message and returns 0, or -1 when nothing
  // could be delivered (the transport is closed, the reply was incomplete).
  virtual int send_object(JSON_RPC_Object_Ptr object);
  // Sends as the whole reply what `generator` writes.
  virtual int send_generator(JSON_Generator& generator);
  // An error response; a null `message` gets the standard text of `code`.
  virtual int send_error(int code, const json_spirit::Value& id,
                         const char* message, const json_spirit::Value& data);

  // Session key of the requester ("" when it has none).
  virtual std::string session_id() const;
  // 0 when `addr` was set to the requester's original address.
  virtual int original_remote_addr(ACE_INET_Addr& addr) const;

  // Set by a transport any local process can reach: a message arriving on
  // it without a known session may only call the dispatcher's open methods.
  void set_session_required(bool required) { session_required_ = required; }
  bool session_required() const { return session_required_; }
  // On such a transport, a requester without a known session: its work
  // draws on a share of its own.
  bool anonymous() const;

  // False once the transport under the channel has closed.
  bool is_open() const { return open_; }
  // Called by the transport when the requester disconnects.
  void close();

  // Number of whole messages sent so far.
  unsigned long sent_count() const { return sent_; }

  // The framework counts work still to be done for this channel (objects
  // being delivered, queued or running on workers). When the count drops to
  // zero `on_idle` runs, so a transport can finish an exchange that got no
  // reply.
  void begin_work();
  void end_work();

 protected:
  // One message goes out as begin_message, any number of pieces, then
  // end_message(ok); ok is false when the message was cut short and the
  // transport must not pass it on as complete. Calls are serialised.
  virtual bool begin_message() = 0;
  virtual bool write_piece(const char* data, std::size_t length) = 0;
  virtual bool end_message(bool ok) = 0;
  virtual void on_idle();
  virtual void on_close();

  void set_session(const std::string& key) { session_ = key; }
  void set_remote_addr(const ACE_INET_Addr& addr) {
    remote_ = addr;
    has_remote_ = true;
  }

 private:
  class Piece_Printer;
  template <class Write>
  int send_message(Write write);
  int send_with(JSON_Generator& generator);

  std::mutex send_lock_;
  std::atomic<bool> open_{true};
  std::atomic<unsigned long> sent_{0};
  std::atomic<long> work_{0};
  std::string session_;
  ACE_INET_Addr remote_;
  bool has_remote_ = false;
  bool session_required_ = false;
};

typedef ACE_Strong_Bound_Ptr<JSON_RPC_Channel, ACE_Thread_Mutex>
    JSON_RPC_Channel_Ptr;
typedef ACE_Weak_Bound_Ptr<JSON_RPC_Channel, ACE_Thread_Mutex>
    JSON_RPC_Channel_WPtr;

#endif
