// What the framework measures of each JSON-RPC message: by bound method, how
// it was answered, and for a request delivered to its handler how long it
// took from arrival to the end of its work (its last holder letting it go,
// on whichever thread that is).
#ifndef JSON_RPC_REQUEST_METER_H
#define JSON_RPC_REQUEST_METER_H

#include <atomic>
#include <chrono>
#include <string>

#include "agent/json_rpc/json_rpc_object.h"
#include "agent/metrics/metrics.h"

namespace json_rpc {

typedef std::chrono::steady_clock Meter_Clock;

// The first answer sent for a request names its outcome; a request that
// got none (a notify, a requester gone) counts as RPC_NO_REPLY.
enum Rpc_Outcome {
  RPC_OK,        // a result (or a reply written by a generator)
  RPC_ERROR,     // an error answer from its handler, or an unbound method
  RPC_NO_REPLY,
  RPC_REFUSED,   // no session, or not the admin bits
  RPC_BUSY,      // every io handler or worker taken
  RPC_INVALID,   // not JSON, not JSON-RPC, too large, params refused
  RPC_OUTCOMES
};

// The series of one method, made when it is bound and kept for the life of
// the process; method "" stands for messages that reach no bound method.
struct Method_Meter {
  metrics::Counter* outcomes[RPC_OUTCOMES];
  metrics::Histogram* latency;
};
const Method_Meter* method_meter(const std::string& method);

// A request on its way through a handler; counted when destroyed.
class Served_Request : public JSON_RPC_Request {
 public:
  // `large`: its params took enough memory to be worth handing back.
  Served_Request(int type, const Method_Meter* meter, Meter_Clock::time_point arrived,
                 bool large);
  ~Served_Request() override;
  // The first call sets the outcome; later ones change nothing.
  void answered(Rpc_Outcome outcome);

 private:
  const Method_Meter* meter_;
  Meter_Clock::time_point arrived_;
  bool large_;
  std::atomic<int> outcome_{RPC_OUTCOMES};
};

// While it lives, what this thread sends on a channel answers `object`
// (when it is a Served_Request).
class Answer_Scope {
 public:
  explicit Answer_Scope(JSON_RPC_Object* object);
  ~Answer_Scope();
  Answer_Scope(const Answer_Scope&) = delete;
  Answer_Scope& operator=(const Answer_Scope&) = delete;

 private:
  Served_Request* previous_;
};

// A send on this thread: the request being answered, if any, learns its
// outcome.
void note_answer(Rpc_Outcome outcome);

}  // namespace json_rpc

#endif
