// Steps every JSON-RPC handler of the module shares. The log lines go
// through macros so that %N:%l names the handler's own file and line.
#ifndef WCOMMON_FRAME_JSONRPC_REPLY_H
#define WCOMMON_FRAME_JSONRPC_REPLY_H

#include <ace/Log_Msg.h>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_object.h"
#include "agent/json_spirit/json_spirit.h"

// The shared log line; it names the file and line it is written from.
#define WCOMMON_LOG_REQUESTER_GONE() \
  wcommon::log_at(__FILE__, __LINE__, LM_ERROR, wcommon::REQUESTER_GONE)

// The usual start of a request handler: the object must be a request and
// its requester still there. Otherwise the matching line is logged (naming
// the caller's file and line) and the handler returns -1.
#define WCOMMON_ACCEPT_REQUEST(object, channel, request, requester)          \
  wcommon::accept_request(object, channel, request, requester, __FILE__, \
                          __LINE__)

// The other orders handlers open in, logging the same way. A notify, then
// its requester:
#define WCOMMON_ACCEPT_NOTIFY(object, channel, notify, requester)            \
  wcommon::accept_in_order(object, channel, wcommon::NOTIFY_KIND, false, notify, \
                           requester, __FILE__, __LINE__)
// A request or a notify, then its requester:
#define WCOMMON_ACCEPT_REQUEST_OR_NOTIFY(object, channel, request, requester) \
  wcommon::accept_in_order(object, channel, wcommon::REQUEST_OR_NOTIFY_KIND, \
                           false, request, requester, __FILE__, __LINE__)
// The requester first, then the object's kind (a wcommon::Kind):
#define WCOMMON_ACCEPT_CHANNEL_FIRST(object, channel, kind, request, requester) \
  wcommon::accept_in_order(object, channel, kind, true, request, requester,    \
                           __FILE__, __LINE__)
// Only the requester, whatever the object:
#define WCOMMON_ACCEPT_REQUESTER(channel, requester) \
  wcommon::accept_requester(channel, requester, wcommon::REQUESTER_GONE, \
                            __FILE__, __LINE__)
// Only the object's kind; the requester is looked at later:
#define WCOMMON_ACCEPT_KIND(object, kind, request) \
  wcommon::accept_kind(object, kind, request, __FILE__, __LINE__)
// The job listing's start: a non-request is dropped without a line, and a
// requester gone is logged in that handler's older wording.
#define WCOMMON_ACCEPT_REQUEST_QUIETLY(object, channel, request, requester) \
  wcommon::accept_request_quietly(object, channel, request, requester,     \
                                  __FILE__, __LINE__)
// A reply made after parsing on another thread: the channel (held strongly)
// must still be open, the object parsed (else -32700 is sent) and a request
// or notify. False with `sent` holding what the handler returns.
#define WCOMMON_ACCEPT_PARSED(channel, object, request, sent) \
  wcommon::accept_parsed(channel, object, request, sent, __FILE__, __LINE__)

// The two entries of a thread-pool handler: a request's reply, made by
// `make` (null when out of memory), is sent; a notify's is only logged.
// `name` ("Job Control Handler") goes into the log lines.
#define WCOMMON_POOL_REQUEST(channel, request, name, make) \
  wcommon::pool_request(channel, request, name, make)
#define WCOMMON_POOL_NOTIFY(reply, name) \
  wcommon::pool_notify(reply, name, __FILE__, __LINE__)

namespace wcommon {

extern const char NOT_REQUEST[];
extern const char NOT_NOTIFY[];
extern const char NOT_REQUEST_OR_NOTIFY[];
extern const char REQUESTER_GONE[];

enum Kind { REQUEST_KIND, NOTIFY_KIND, REQUEST_OR_NOTIFY_KIND };

// Logs `format` as if from `file`:`line`, so %N:%l name that place.
void log_at(const char* file, int line, ACE_Log_Priority priority,
            const char* format);

bool accept_request(const JSON_RPC_Object_Ptr& object,
                    const JSON_RPC_Channel_WPtr& channel,
                    JSON_RPC_Request*& request, JSON_RPC_Channel_Ptr& requester,
                    const char* file, int line);
bool accept_kind(const JSON_RPC_Object_Ptr& object, Kind kind,
                 JSON_RPC_Request*& request, const char* file, int line);
bool accept_requester(const JSON_RPC_Channel_WPtr& channel,
                      JSON_RPC_Channel_Ptr& requester, const char* gone,
                      const char* file, int line);
// The kind, then the requester; or, with `channel_first`, the other way.
bool accept_in_order(const JSON_RPC_Object_Ptr& object,
                     const JSON_RPC_Channel_WPtr& channel, Kind kind,
                     bool channel_first, JSON_RPC_Request*& request,
                     JSON_RPC_Channel_Ptr& requester, const char* file,
                     int line);
bool accept_request_quietly(const JSON_RPC_Object_Ptr& object,
                            const JSON_RPC_Channel_WPtr& channel,
                            JSON_RPC_Request*& request,
                            JSON_RPC_Channel_Ptr& requester, const char* file,
                            int line);
bool accept_parsed(const JSON_RPC_Channel_Ptr& channel,
                   const JSON_RPC_Object_Ptr& object,
                   JSON_RPC_Request*& request, int& sent, const char* file,
                   int line);

// The object as a request (kind 2), or null for any other kind.
JSON_RPC_Request* as_request(const JSON_RPC_Object_Ptr& object);
// The object as a notify (kind 1), or null.
JSON_RPC_Request* as_notify(const JSON_RPC_Object_Ptr& object);
// The object as a request or a notify, or null.
JSON_RPC_Request* as_request_or_notify(const JSON_RPC_Object_Ptr& object);

// A strong reference for the duration of a request; empty when the
// requester has gone.
inline JSON_RPC_Channel_Ptr lock_channel(const JSON_RPC_Channel_WPtr& weak) {
  return JSON_RPC_Channel_Ptr(weak);
}

// errno ENOMEM and -32603 "Internal error, out of memory.".
int send_out_of_memory(JSON_RPC_Channel& channel, const json_spirit::Value& id);

// An error reply with null data; returns the send's result.
int send_error(JSON_RPC_Channel& channel, int code,
               const json_spirit::Value& id, const char* message);

// A response for `request` with its id; null (errno ENOMEM) when it cannot
// be allocated.
JSON_RPC_Object_Ptr new_response(const JSON_RPC_Request& request,
                                  json_spirit::Value result);

// An error reply object; null (errno ENOMEM) when it cannot be allocated.
JSON_RPC_Object_Ptr new_error(const json_spirit::Value& id, int code,
                              const char* message);

// Allocates the response carrying `result` and sends it; when allocation
// fails, answers with the out-of-memory error instead.
int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                json_spirit::Value result);

// A params member that counts seconds: a JSON integer from 0 to ten years
// (beyond that a deadline would only overflow). False for anything else.
bool whole_seconds(const json_spirit::Value& value, std::int64_t& seconds);

// A thread-pool request whose channel is gone (null) is logged and dropped
// (-1); otherwise the reply `make()` builds is sent, and a null one logged
// as an internal error (-1).
bool pool_requester_present(JSON_RPC_Channel* channel,
                            const JSON_RPC_Request& request, const char* name);
int pool_send(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
              const JSON_RPC_Object_Ptr& reply, const char* name);
template <class Make>
int pool_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request,
                 const char* name, Make make) {
  if (!pool_requester_present(channel, request, name)) return -1;
  return pool_send(*channel, request, make(), name);
}

// The outcome of a notify's reply: 0 unless the reply is missing (-1,
// logged as an internal error) or an error object of the wrong class; an
// error reply is logged with its code and message.
int pool_notify(const JSON_RPC_Object_Ptr& reply, const char* name,
                const char* file, int line);

}  // namespace wcommon

#endif
