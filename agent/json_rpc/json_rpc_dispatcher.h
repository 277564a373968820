// Reads JSON-RPC 2.0 messages and delivers them to the handlers bound to
// their methods. Bad input is answered here: text that is not JSON or not
// UTF-8 -32700, JSON that is not a JSON-RPC message -32600 (so is an id that
// could not be sent back with the digits it came with, and a message whose
// values would take more memory than its budget), an unbound method -32601,
// a method closed to a requester without a session -32603 "Unauthenticated.",
// an acting method called without the admin bits -32603 "Forbidden.".
#ifndef JSON_RPC_JSON_RPC_DISPATCHER_H
#define JSON_RPC_JSON_RPC_DISPATCHER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/json_rpc/request_meter.h"

class JSON_RPC_Dispatcher {
 public:
  JSON_RPC_Dispatcher();

  // Bindings are made while configuring, before messages flow; the
  // dispatcher does not own the handlers. False when the method is bound.
  bool bind(const std::string& method, JSON_RPC_Handler* handler);
  // The message's params are streamed into a handler made by `creator`.
  bool bind_params(const std::string& method,
                   JSON_RPC_Params_Handler_Creator* creator);

  // Reads one whole message and delivers it. Returns what the handler
  // returned, the result of the error answer, or 0 for a message that needs
  // nothing (a response, a notify of an unbound method). With a `refusal`
  // nothing is delivered: a request is answered -32603 with that message
  // and its own id, a notify is dropped and logged (a host that cannot
  // serve now).
  //
  // A top-level array is a batch: its members are served one after
  // another, each as a message of its own on a channel standing for
  // `channel`, and their replies go out as one array message (nothing at
  // all when none has a reply). An empty array, or one longer than
  // batch_max(), is answered with one -32600 and nothing in it runs. The
  // members after the first may run once this returns: `keep` holds
  // `text` until then (without it the text is copied).
  int dispatch(const JSON_RPC_Channel_Ptr& channel, const char* text,
               std::size_t length, const char* refusal = nullptr,
               std::shared_ptr<const void> keep = nullptr) const;

  // Members a batch may hold; set while configuring.
  void set_batch_max(std::size_t members) { batch_max_ = members ? members : 1; }
  std::size_t batch_max() const { return batch_max_; }
  static constexpr std::size_t DEFAULT_BATCH_MAX = 100;

  JSON_RPC_Handler* handler(const std::string& method) const;
  // The handler and the method's series, found at once.
  JSON_RPC_Handler* handler(const std::string& method,
                            const json_rpc::Method_Meter*& meter) const;
  JSON_RPC_Params_Handler_Creator* creator(const std::string& method) const;
  // The series `method` is counted in: its own when bound, else that of
  // messages reaching no bound method.
  const json_rpc::Method_Meter* meter(const std::string& method) const;

  // Methods callable without a session on a channel that requires one; "*"
  // opens them all. None are open until this is called; call it while
  // configuring.
  void set_open_methods(const std::vector<std::string>& methods);
  // Methods that act on the machine or the agent's identity: on a channel
  // that requires a session they also need one holding ADMIN_PERMS, whether
  // open or not. Until this is called they are DEFAULT_ADMIN_METHODS.
  void set_admin_methods(const std::vector<std::string>& methods);
  static const char DEFAULT_ADMIN_METHODS[];
  static constexpr std::uint64_t ADMIN_PERMS = 0xC000000000000000ULL;

  // Why a message from `channel` may not reach `method`: null when it may
  // (the channel needs no session, or the method is open, or the session
  // is known and, for an acting method, holds ADMIN_PERMS), otherwise the
  // message of the -32603 answer, "Unauthenticated." or "Forbidden.".
  const char* refusal(const JSON_RPC_Channel& channel, const std::string& method) const;

  // One message, its text and the values read from it together, may take
  // this many times its length in memory, and never less than the floor,
  // so that no small message is refused however dense its values.
  static constexpr std::size_t MESSAGE_BUDGET_FACTOR = 8;
  static constexpr std::size_t MESSAGE_BUDGET_FLOOR = 4 << 20;
  // What serving a large message costs beside its text and values, which
  // no charge sees (the thread that parses it, its stack and heap arena,
  // the transport's buffers): about 1 MiB measured (message_rss_bench),
  // kept back from the scaled budget with room to spare.
  static constexpr std::size_t MESSAGE_SERVING_RESERVE = 2 << 20;

 private:
  int dispatch_one(const JSON_RPC_Channel_Ptr& channel, const char* text,
                   std::size_t length, const char* refusal) const;
  int dispatch_batch(const JSON_RPC_Channel_Ptr& channel, const char* text,
                     std::size_t length, const char* refusal,
                     std::shared_ptr<const void> keep) const;

  // Each binding keeps its method's series, made once when bound.
  template <class T>
  using Bindings = std::map<std::string, std::pair<T*, const json_rpc::Method_Meter*>>;
  Bindings<JSON_RPC_Handler> handlers_;
  Bindings<JSON_RPC_Params_Handler_Creator> creators_;
  std::set<std::string> open_;
  bool all_open_ = false;
  std::set<std::string> admin_;
  std::size_t batch_max_ = DEFAULT_BATCH_MAX;
};

#endif
