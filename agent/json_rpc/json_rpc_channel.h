// The way back to a requester. Handlers receive a weak reference and lock it
// for the duration of a request; an empty lock means the requester has gone.
#ifndef JSON_RPC_JSON_RPC_CHANNEL_H
#define JSON_RPC_JSON_RPC_CHANNEL_H

#include <ace/Bound_Ptr.h>
#include <ace/INET_Addr.h>
#include <ace/Thread_Mutex.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "agent/json_rpc/json_rpc_object.h"
#include "agent/json_io/json_generator.h"

class JSON_RPC_Channel;

typedef ACE_Strong_Bound_Ptr<JSON_RPC_Channel, ACE_Thread_Mutex>
    JSON_RPC_Channel_Ptr;
typedef ACE_Weak_Bound_Ptr<JSON_RPC_Channel, ACE_Thread_Mutex>
    JSON_RPC_Channel_WPtr;

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
  // Sends as the whole reply what `generator` writes, taking it over. On a
  // transport that parks (enable_parking), a requester that does not read
  // makes the send wait between steps without holding a thread, and it
  // goes on later on the transport's thread; 0 then means under way or
  // done, and a reply cut later ends as a cut reply does. Elsewhere it runs
  // to its end here, as the borrowing overload does.
  int send_generator(std::unique_ptr<JSON_Step_Generator> generator);
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
  // being delivered, queued or running on workers, sends that wait for the
  // requester to read). When the count drops to zero `on_idle` runs, so a
  // transport can finish an exchange that got no reply.
  void begin_work();
  void end_work();

 protected:
  // Batches. Their members are served one after another, each once the one
  // before has no work left, which often ends on a worker thread. A
  // transport that serves messages on threads of its own runs `next` there
  // as a delivery of its own, with the refusal to answer by when it cannot
  // serve now (null when it can), and answers true; false runs it at once
  // on the calling thread.
  virtual bool deliver_later(std::function<void(const char* refusal)> next);
  // A batch starts (true) and ends on the channel; from its first reply to
  // its end the batch's one message holds the channel's output.
  virtual void on_batch(bool started);

  // One message goes out as begin_message, any number of pieces, then
  // end_message(ok); ok is false when the message was cut short and the
  // transport must not pass it on as complete. Calls are serialised.
  virtual bool begin_message() = 0;
  virtual bool write_piece(const char* data, std::size_t length) = 0;
  virtual bool end_message(bool ok) = 0;
  virtual void on_idle();
  virtual void on_close();

  // Parking. A transport that can take a message's pieces without waiting
  // for its socket turns it on with the strong reference it holds the
  // channel by (a weak one is kept, so that a waiting send can keep the
  // channel alive). While parking() is true the current message may wait:
  // write_piece and end_message must queue and never block; backlogged
  // says when the queue holds enough, and call_when_drained arranges for
  // the send to go on.
  void enable_parking(const JSON_RPC_Channel_Ptr& self);
  bool parking() const { return parking_; }
  // Asked after each piece of a parking message.
  virtual bool backlogged() { return false; }
  // A parking message stops at a backlog: the transport keeps `resume` and
  // runs it once, on a thread that may work for the requester, when its
  // queue has drained below its low mark or can take nothing more, and
  // answers true; false when it has drained already (the send goes on at
  // once, and `resume` is dropped).
  virtual bool call_when_drained(std::function<void()> resume);
  // A parking message that has written a good deal in one go offers its
  // thread to other work: the transport runs `resume` once, soon, as
  // call_when_drained would, and answers true; false to go on at once.
  virtual bool call_soon(std::function<void()> resume);
  // A send that may park counts, from its start to its end, with the
  // requester's work in flight: `started` true, then false.
  virtual void on_parking_send(bool started);

  void set_session(const std::string& key) { session_ = key; }
  void set_remote_addr(const ACE_INET_Addr& addr) {
    remote_ = addr;
    has_remote_ = true;
  }

 private:
  friend class JSON_RPC_Batch;
  class Piece_Printer;
  struct Step_Send;
  typedef std::shared_ptr<Step_Send> Step_Send_Ptr;
  enum class Steps { PARKED, DONE, FAILED };

  template <class Write>
  int send_message(Write write);
  int send_with(JSON_Generator& generator);

  // The slot: one message at a time, in the order the sends came. A
  // blocking send waits for its turn; a step send whose turn has not come
  // waits in `queued_` without a thread.
  bool take_slot();
  // Passes the slot on; answers the queued sends to run now (the next one,
  // or all of them once the channel is closed: they fail at once).
  std::deque<Step_Send_Ptr> release_slot();
  // Runs the `ready` sends, holding the channel through `hold`, and those
  // the slot passes to after them, until one parks or none is left; 0 or
  // -1 for the first one.
  int run_steps(std::deque<Step_Send_Ptr> ready, JSON_RPC_Channel_Ptr hold);
  Steps step(const Step_Send_Ptr& send);
  // Ends the message and passes the slot on (the sends to run next go to
  // `ready`); true when the whole message went out.
  bool finish_send(Step_Send& send, bool ok, std::deque<Step_Send_Ptr>& ready);
  void abandon_send(Step_Send& send);

  std::mutex slot_lock_;
  std::condition_variable slot_free_;
  unsigned long next_ticket_ = 0;  // under slot_lock_
  unsigned long serving_ = 0;      // under slot_lock_
  std::deque<Step_Send_Ptr> queued_;  // under slot_lock_, in ticket order
  bool parking_ = false;  // the slot holder's
  JSON_RPC_Channel_WPtr self_;
  std::atomic<bool> open_{true};
  std::atomic<unsigned long> sent_{0};
  std::atomic<long> work_{0};
  std::string session_;
  ACE_INET_Addr remote_;
  bool has_remote_ = false;
  bool session_required_ = false;
  // The channel of a batch member being served, closed with this one.
  std::mutex batch_lock_;
  JSON_RPC_Channel_WPtr batch_member_;  // under batch_lock_
  std::atomic<bool> has_batch_member_{false};
};

#endif
