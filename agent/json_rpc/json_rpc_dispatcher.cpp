#include "agent/json_rpc/json_rpc_dispatcher.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <new>

#include "agent/json_rpc/json_rpc_batch.h"
#include "agent/json_rpc/yajl_event_buffer.h"
#include "agent/json_spirit/value_builder.h"
#include "agent/platform/memory.h"
#include "agent/platform/utf.h"
#include "agent/json_io/yajl_handler.h"
#include "agent/modsess/session.h"

namespace {

using json_spirit::Memory_Budget;
using json_spirit::Value;
using json_rpc::Rpc_Outcome;

// After a message whose values took at least this much, freed memory is
// handed back to the system: glibc keeps freed small blocks for reuse, and
// one large message would otherwise pin its peak for the life of the host.
const std::size_t trim_after = 1 << 20;

void give_back_memory() { platform::release_free_heap(); }

// Passes events on to a params handler, charging the budget with what the
// handler would take to hold them as values, since it builds them itself.
class Charged_Sink : public YAJL_Handler {
 public:
  explicit Charged_Sink(Memory_Budget& budget) : budget_(budget) {}
  void set_target(YAJL_Handler* target) { target_ = target; }

  int handle_null_i() override { return value(0) && target_->handle_null_i(); }
  int handle_boolean_i(bool b) override {
    return value(0) && target_->handle_boolean_i(b);
  }
  int handle_number_i(const char* t, unsigned long long l) override {
    return value(0) && target_->handle_number_i(t, l);
  }
  int handle_string_i(const char* t, unsigned long long l) override {
    return value(Memory_Budget::string(static_cast<std::size_t>(l))) &&
           target_->handle_string_i(t, l);
  }
  int handle_start_map_i() override {
    return value(0) && target_->handle_start_map_i();
  }
  int handle_map_key_i(const char* t, unsigned long long l) override {
    return budget_.charge(Memory_Budget::member(static_cast<std::size_t>(l))) &&
           target_->handle_map_key_i(t, l);
  }
  int handle_end_map_i() override { return target_->handle_end_map_i(); }
  int handle_start_array_i() override {
    return value(0) && target_->handle_start_array_i();
  }
  int handle_end_array_i() override { return target_->handle_end_array_i(); }

 private:
  bool value(std::size_t heap) {
    return budget_.charge(sizeof(Value) + heap);
  }
  Memory_Budget& budget_;
  YAJL_Handler* target_ = nullptr;
};

// Whether `id` is written back with exactly the text it came with: an
// integer beyond 64 bits, -0, 1e3 or 0.1 would come back as another text,
// and a requester matching replies by id would never see its answer.
bool echoes_exactly(const Value& id, const std::string& text) {
  if (id.type() == json_spirit::int_type)
    return (id.is_uint64() ? std::to_string(id.get_uint64())
                           : std::to_string(id.get_int64())) == text;
  return json_spirit::JSON_Dump(id, false) == text;
}

// Reads the members of one JSON-RPC message as the parser delivers them.
// Each top-level member's value goes to a sink: a Value_Builder for the
// small members, the params handler of a creator-bound method, a buffer
// while the method is not yet known, or a skipping sink for the rest.
class Message_Reader : public YAJL_Handler {
 public:
  Message_Reader(const JSON_RPC_Dispatcher& dispatcher,
                 const JSON_RPC_Channel& requester,
                 const JSON_RPC_Channel_WPtr& channel, Memory_Budget& budget,
                 const char* refusal, json_rpc::Meter_Clock::time_point arrived)
      : dispatcher_(dispatcher),
        requester_(requester),
        channel_(channel),
        budget_(budget),
        refusal_(refusal),
        arrived_(arrived),
        buffer_(&budget),
        params_sink_(budget) {}

  ~Message_Reader() override { delete params_handler_; }

  int handle_null_i() override {
    return scalar([](YAJL_Handler& s) { return s.handle_null_i(); });
  }
  int handle_boolean_i(bool b) override {
    return scalar([b](YAJL_Handler& s) { return s.handle_boolean_i(b); });
  }
  int handle_number_i(const char* t, unsigned long long l) override {
    if (depth_ == 1 && key_ == "id") {
      id_text_.assign(t, static_cast<std::size_t>(l));
      // An id beyond what a double holds is an id that cannot come back as
      // sent, like any shorter one too large: -32600, not a parse error.
      if (!std::isfinite(std::strtod(id_text_.c_str(), nullptr))) {
        id_out_of_range_ = true;
        return scalar([](YAJL_Handler& s) { return s.handle_null_i(); });
      }
    }
    return scalar([t, l](YAJL_Handler& s) { return s.handle_number_i(t, l); });
  }
  // Text that is not UTF-8 stops the parse: it could not be passed on in a
  // reply or a file as JSON. YAJL's own check lets overlong forms,
  // surrogates and code points above U+10FFFF through, and decodes a lone
  // \uDC00 escape into one.
  int handle_string_i(const char* t, unsigned long long l) override {
    if (!is_valid_utf8(t, static_cast<std::size_t>(l))) return 0;
    return scalar([t, l](YAJL_Handler& s) { return s.handle_string_i(t, l); });
  }
  int handle_start_map_i() override {
    if (depth_ == 0 && !seen_top_) {
      seen_top_ = true;
      top_is_object_ = true;
      depth_ = 1;
      return 1;
    }
    return open([](YAJL_Handler& s) { return s.handle_start_map_i(); });
  }
  int handle_start_array_i() override {
    return open([](YAJL_Handler& s) { return s.handle_start_array_i(); });
  }
  int handle_map_key_i(const char* t, unsigned long long l) override {
    if (!is_valid_utf8(t, static_cast<std::size_t>(l))) return 0;
    if (depth_ == 1 && top_is_object_) {
      begin_member(std::string(t, static_cast<std::size_t>(l)));
      return 1;
    }
    return sink_->handle_map_key_i(t, l) ? 1 : cancel();
  }
  int handle_end_map_i() override {
    if (depth_ == 1 && top_is_object_) {
      depth_ = 0;
      return 1;
    }
    return close([](YAJL_Handler& s) { return s.handle_end_map_i(); });
  }
  int handle_end_array_i() override {
    return close([](YAJL_Handler& s) { return s.handle_end_array_i(); });
  }

  // Answers or delivers once the whole text has been read.
  int finish(bool parsed, const JSON_RPC_Channel_Ptr& channel);

 private:
  // Tells the params handler what the message turned out to be, and lets
  // it act.
  void close_params_handler(bool well_formed, const Value& id);
  // True when the message is answered (or dropped) as malformed or not
  // admitted; `rc` then holds the result.
  bool refuse(bool parsed, bool too_large, bool well_formed, const Value& id,
              const JSON_RPC_Channel_Ptr& channel, int& rc);
  // Hands a well-formed, admitted message to its method's handler.
  int deliver(const Value& id, const JSON_RPC_Channel_Ptr& channel);
  template <class F>
  int scalar(F event) {
    if (depth_ == 0) {  // the message itself is not an object
      seen_top_ = true;
      return 1;
    }
    if (!event(*sink_)) return cancel();
    if (depth_ == 1) end_member();
    return 1;
  }
  template <class F>
  int open(F event) {
    if (depth_ == 0) seen_top_ = true;
    if (static_cast<std::size_t>(depth_) >= json_spirit::Value_Builder::MAX_DEPTH)
      return 0;
    ++depth_;
    if (!top_is_object_) return 1;
    return event(*sink_) ? 1 : cancel();
  }
  template <class F>
  int close(F event) {
    --depth_;
    if (!top_is_object_) return 1;
    if (!event(*sink_)) return cancel();
    if (depth_ == 1) end_member();
    return 1;
  }
  // A params handler that stops reading refuses the params; a spent
  // budget refuses the whole message.
  int cancel() {
    params_refused_ = sink_ == &params_sink_ && !budget_.exceeded();
    return 0;
  }

  void begin_member(std::string key);
  void end_member();
  void route_params();
  void make_params_handler(JSON_RPC_Params_Handler_Creator* creator);
  // A message that is not delivered to a handler: counted here, or by the
  // params handler's request when it has one. Before any answer is sent.
  void count(Rpc_Outcome outcome);

  const JSON_RPC_Dispatcher& dispatcher_;
  const JSON_RPC_Channel& requester_;
  JSON_RPC_Channel_WPtr channel_;
  Memory_Budget& budget_;

  int depth_ = 0;
  bool seen_top_ = false;
  bool top_is_object_ = false;

  std::string key_;
  YAJL_Handler skip_;
  YAJL_Handler* sink_ = &skip_;
  // In place: one is made for every member read.
  std::optional<json_spirit::Value_Builder> builder_;

  bool jsonrpc_ok_ = false;
  bool has_method_ = false;
  bool has_id_ = false;
  bool has_params_ = false;
  bool is_response_ = false;
  bool invalid_ = false;
  // False once the method is known to be closed to this requester: then
  // nothing of the message is built or handed to a handler.
  bool admitted_ = true;
  // Set when no message may be served now, whatever its method.
  const char* refusal_;
  // Set when this requester may not call the method.
  const char* access_refusal_ = nullptr;
  const json_rpc::Meter_Clock::time_point arrived_;
  bool replay_refused_ = false;
  std::string method_;
  Value id_;
  std::string id_text_;
  bool id_out_of_range_ = false;
  Value params_;

  YAJL_Event_Buffer buffer_;
  bool buffering_ = false;
  // The message object shared with the params handler of a creator.
  JSON_RPC_Object_Ptr params_object_;
  YAJL_Handler* params_handler_ = nullptr;
  Charged_Sink params_sink_;
  bool params_handler_failed_ = false;
  bool params_refused_ = false;
};

void Message_Reader::begin_member(std::string key) {
  key_ = std::move(key);
  sink_ = &skip_;
  if (key_ == "params") {
    if (has_params_) {  // a second params member makes the message ambiguous
      invalid_ = true;
      return;
    }
    has_params_ = true;
    if (!has_method_) {
      buffering_ = true;
      sink_ = &buffer_;
      return;
    }
    if (!admitted_) return;
    if (JSON_RPC_Params_Handler_Creator* c = dispatcher_.creator(method_)) {
      make_params_handler(c);
      if (params_handler_) sink_ = &params_sink_;
      return;
    }
  } else if (key_ == "result" || key_ == "error") {
    is_response_ = true;
    return;
  } else if (key_ != "jsonrpc" && key_ != "method" && key_ != "id") {
    return;  // members JSON-RPC does not define are ignored
  }
  builder_.emplace(&budget_);
  sink_ = &*builder_;
}

void Message_Reader::end_member() {
  sink_ = &skip_;
  if (!builder_) return;
  Value v = std::move(builder_->value());
  builder_.reset();
  if (key_ == "jsonrpc") {
    jsonrpc_ok_ = v.type() == json_spirit::str_type && v.get_str() == "2.0";
  } else if (key_ == "id") {
    json_spirit::Value_type t = v.type();
    bool number = t == json_spirit::int_type || t == json_spirit::real_type;
    if (id_out_of_range_) {
      invalid_ = true;
    } else if (t == json_spirit::str_type || t == json_spirit::null_type ||
        (number && echoes_exactly(v, id_text_))) {
      id_ = std::move(v);
      has_id_ = true;
      if (params_object_.get()) params_object_->id = id_;
    } else {
      invalid_ = true;
    }
  } else if (key_ == "method") {
    if (has_method_ || v.type() != json_spirit::str_type) {
      invalid_ = true;
      return;
    }
    method_ = v.get_str();
    has_method_ = true;
    access_refusal_ = dispatcher_.refusal(requester_, method_);
    admitted_ = !refusal_ && !access_refusal_;
    if (buffering_) route_params();
  } else if (key_ == "params") {
    params_ = std::move(v);
  }
}

// The method has just become known after its params were read.
void Message_Reader::route_params() {
  buffering_ = false;
  JSON_RPC_Params_Handler_Creator* c =
      admitted_ ? dispatcher_.creator(method_) : nullptr;
  if (c) {
    make_params_handler(c);
    if (params_handler_ && !buffer_.replay(params_sink_))
      params_refused_ = !budget_.exceeded();
  } else if (admitted_) {
    json_spirit::Value_Builder builder(&budget_);
    // Refused as it would have been while parsing (a number out of range).
    replay_refused_ = !buffer_.replay(builder);
    params_ = std::move(builder.value());
  }
  buffer_.clear();
}

void Message_Reader::make_params_handler(
    JSON_RPC_Params_Handler_Creator* creator) {
  JSON_RPC_Request* object = new (std::nothrow) json_rpc::Served_Request(
      JSON_RPC_Object::JSON_RPC_REQUEST, dispatcher_.meter(method_), arrived_, false);
  if (!object) {
    params_handler_failed_ = true;
    return;
  }
  params_object_ = JSON_RPC_Object_Ptr(object);
  object->method = method_;
  object->id = id_;
  params_handler_ = creator->create(channel_, params_object_);
  if (!params_handler_) params_handler_failed_ = true;
  params_sink_.set_target(params_handler_);
}

int Message_Reader::finish(bool parsed, const JSON_RPC_Channel_Ptr& channel) {
  const Value& id = has_id_ ? id_ : Value::null;
  const bool too_large = budget_.exceeded();
  parsed = parsed && !replay_refused_;
  bool well_formed = parsed && !too_large && top_is_object_ && !invalid_ &&
                     jsonrpc_ok_ && has_method_ && !params_refused_;

  JSON_RPC_Params_Handler_Creator* creator =
      well_formed && admitted_ ? dispatcher_.creator(method_) : nullptr;
  if (creator && !has_params_) make_params_handler(creator);
  // What is sent on this thread from here answers the params handler's
  // request, when there is one.
  json_rpc::Answer_Scope answering(params_object_.get());
  if (params_object_.get()) close_params_handler(well_formed, id);

  int rc = 0;
  if (refuse(parsed, too_large, well_formed, id, channel, rc)) return rc;
  if (creator) {
    if (params_handler_failed_) {
      errno = ENOMEM;
      return channel->send_error(-32603, id, "Internal error, out of memory.",
                                 Value::null);
    }
    // Its handler took the message; an answer it sends from another
    // thread is not told apart.
    json_rpc::note_answer(json_rpc::RPC_OK);
    return 0;
  }
  return deliver(id, channel);
}

void Message_Reader::count(Rpc_Outcome outcome) {
  if (params_object_.get())
    static_cast<json_rpc::Served_Request*>(params_object_.get())->answered(outcome);
  else
    dispatcher_.meter(has_method_ ? method_ : std::string())->outcomes[outcome]->add();
}

void Message_Reader::close_params_handler(bool well_formed, const Value& id) {
  // The handler acts when it is deleted; by then its object must tell
  // what the message turned out to be.
  JSON_RPC_Request* object =
      static_cast<JSON_RPC_Request*>(params_object_.get());
  object->id = id;
  object->set_type(!well_formed ? JSON_RPC_Object::JSON_RPC_INVALID
                   : has_id_    ? JSON_RPC_Object::JSON_RPC_REQUEST
                                : JSON_RPC_Object::JSON_RPC_NOTIFY);
  delete params_handler_;
  params_handler_ = nullptr;
}

bool Message_Reader::refuse(bool parsed, bool too_large, bool well_formed,
                            const Value& id,
                            const JSON_RPC_Channel_Ptr& channel, int& rc) {
  rc = 0;
  // The message is refused for what it is, as any other that could never
  // be served: sending it again does not help, so not -32603.
  if (too_large) {
    count(json_rpc::RPC_INVALID);
    rc = channel->send_error(-32600, id,
                             "Invalid Request, too large to hold in memory.",
                             Value::null);
  } else if (params_refused_) {  // the params handler stopped reading them
    count(json_rpc::RPC_INVALID);
    rc = channel->send_error(-32602, id, nullptr, Value::null);
  } else if (!parsed) {
    count(json_rpc::RPC_INVALID);
    rc = channel->send_error(-32700, Value::null, nullptr, Value::null);
  } else if (!top_is_object_) {
    count(json_rpc::RPC_INVALID);
    rc = channel->send_error(-32600, Value::null, nullptr, Value::null);
  } else if (is_response_ && !has_method_) {
    // Replies to requests this agent sent; nothing here waits for them.
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("%N:%l: JSON-RPC response ignored\n")));
  } else if (!well_formed) {
    count(json_rpc::RPC_INVALID);
    rc = channel->send_error(-32600, id, nullptr, Value::null);
  } else if (admitted_) {
    return false;
  } else if (!refusal_) {
    count(json_rpc::RPC_REFUSED);
    rc = channel->send_error(-32603, id, access_refusal_, Value::null);
  } else {
    count(json_rpc::RPC_BUSY);
    metrics::count_busy(metrics::BUSY_HANDLERS);
    if (has_id_)
      rc = channel->send_error(-32603, id, refusal_, Value::null);
    else
      ACE_DEBUG((LM_WARNING, ACE_TEXT("%N:%l: JSON-RPC notify of %C dropped: %C\n"),
                 method_.c_str(), refusal_));
  }
  return true;
}

int Message_Reader::deliver(const Value& id, const JSON_RPC_Channel_Ptr& channel) {
  const json_rpc::Method_Meter* meter = nullptr;
  JSON_RPC_Handler* handler = dispatcher_.handler(method_, meter);
  if (!handler) {
    count(has_id_ ? json_rpc::RPC_ERROR : json_rpc::RPC_NO_REPLY);
    if (!has_id_) {
      ACE_DEBUG((LM_WARNING,
                 ACE_TEXT("%N:%l: JSON-RPC notify of unbound method %C dropped\n"),
                 method_.c_str()));
      return 0;
    }
    return channel->send_error(-32601, id, nullptr, Value::null);
  }

  const int type = has_id_ ? JSON_RPC_Object::JSON_RPC_REQUEST
                           : JSON_RPC_Object::JSON_RPC_NOTIFY;
  JSON_RPC_Request* request = new (std::nothrow)
      json_rpc::Served_Request(type, meter, arrived_, budget_.used() >= trim_after);
  if (!request) {
    meter->outcomes[json_rpc::RPC_ERROR]->add();
    errno = ENOMEM;
    return channel->send_error(-32603, id, "Internal error, out of memory.",
                               Value::null);
  }
  JSON_RPC_Object_Ptr object(request);
  request->id = id;
  request->method = method_;
  request->params = std::move(params_);
  json_rpc::Answer_Scope answering(request);
  try {
    return handler->handle_object(channel_, object);
  } catch (const std::exception& e) {
    // Thrown on the delivering thread, inside the parser's callbacks: the
    // caller gets an internal error under its own id, not silence.
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: JSON-RPC handler of %C failed: %C\n"),
               method_.c_str(), e.what()));
    if (!has_id_) return 0;
    return channel->send_error(-32603, id, nullptr, Value::null);
  }
}

// Reads a top-level array for the spans of its members, without building
// anything: each member is read again, as a message of its own, when its
// turn comes. Text that is not JSON (strings and keys not UTF-8 included)
// fails here, so a batch is refused whole before any member runs.
class Batch_Scanner : public YAJL_Handler {
 public:
  Batch_Scanner(const char* text, std::size_t max) : text_(text), max_(max) {}
  void set_parser(const YAJL_Parser* parser) { parser_ = parser; }

  int handle_null_i() override { return value(); }
  int handle_boolean_i(bool) override { return value(); }
  int handle_number_i(const char*, unsigned long long) override { return value(); }
  int handle_string_i(const char* t, unsigned long long l) override {
    return is_valid_utf8(t, static_cast<std::size_t>(l)) && value();
  }
  int handle_map_key_i(const char* t, unsigned long long l) override {
    return is_valid_utf8(t, static_cast<std::size_t>(l));
  }
  int handle_start_map_i() override { return open(); }
  int handle_start_array_i() override { return open(); }
  int handle_end_map_i() override { return close(); }
  int handle_end_array_i() override { return close(); }

  std::size_t count() const { return count_; }
  std::vector<JSON_RPC_Batch::Span>& spans() { return spans_; }

 private:
  int open() {
    // One level more than a message may nest: the array itself.
    if (static_cast<std::size_t>(depth_) > json_spirit::Value_Builder::MAX_DEPTH)
      return 0;
    if (depth_++ == 0) last_end_ = parser_->consumed();
    return 1;
  }
  int close() {
    --depth_;
    return value();
  }
  int value() {
    if (depth_ != 1) return 1;
    const std::size_t end = parser_->consumed();
    std::size_t start = last_end_;
    while (start < end && (text_[start] == ',' || text_[start] == ' ' ||
                           text_[start] == '\t' || text_[start] == '\n' ||
                           text_[start] == '\r'))
      ++start;
    last_end_ = end;
    if (++count_ <= max_) spans_.push_back({start, end - start});
    return 1;
  }

  const char* text_;
  const std::size_t max_;
  const YAJL_Parser* parser_ = nullptr;
  int depth_ = 0;
  std::size_t last_end_ = 0;
  std::size_t count_ = 0;
  std::vector<JSON_RPC_Batch::Span> spans_;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Counts the delivery as work on the channel, however it ends.
class Work_Guard {
 public:
  explicit Work_Guard(JSON_RPC_Channel& channel) : channel_(channel) {
    channel_.begin_work();
  }
  ~Work_Guard() { channel_.end_work(); }

 private:
  JSON_RPC_Channel& channel_;
};

}  // namespace

const char JSON_RPC_Dispatcher::DEFAULT_ADMIN_METHODS[] =
    "system.execute,job.create,host.registered,host.unregistered,log.upload";

JSON_RPC_Dispatcher::JSON_RPC_Dispatcher() {
  const std::string list = DEFAULT_ADMIN_METHODS;
  for (std::string::size_type start = 0; start < list.size();) {
    const std::string::size_type comma = std::min(list.find(',', start), list.size());
    admin_.insert(list.substr(start, comma - start));
    start = comma + 1;
  }
}

bool JSON_RPC_Dispatcher::bind(const std::string& method,
                               JSON_RPC_Handler* handler) {
  if (!handler || handlers_.count(method) || creators_.count(method))
    return false;
  handlers_[method] = {handler, json_rpc::method_meter(method)};
  return true;
}

bool JSON_RPC_Dispatcher::bind_params(const std::string& method,
                                      JSON_RPC_Params_Handler_Creator* c) {
  if (!c || handlers_.count(method) || creators_.count(method)) return false;
  creators_[method] = {c, json_rpc::method_meter(method)};
  return true;
}

JSON_RPC_Handler* JSON_RPC_Dispatcher::handler(const std::string& m) const {
  auto it = handlers_.find(m);
  return it == handlers_.end() ? nullptr : it->second.first;
}

JSON_RPC_Handler* JSON_RPC_Dispatcher::handler(
    const std::string& m, const json_rpc::Method_Meter*& meter) const {
  auto it = handlers_.find(m);
  if (it == handlers_.end()) return nullptr;
  meter = it->second.second;
  return it->second.first;
}

JSON_RPC_Params_Handler_Creator* JSON_RPC_Dispatcher::creator(
    const std::string& m) const {
  auto it = creators_.find(m);
  return it == creators_.end() ? nullptr : it->second.first;
}

const json_rpc::Method_Meter* JSON_RPC_Dispatcher::meter(const std::string& m) const {
  auto h = handlers_.find(m);
  if (h != handlers_.end()) return h->second.second;
  auto c = creators_.find(m);
  if (c != creators_.end()) return c->second.second;
  static const json_rpc::Method_Meter* unbound = json_rpc::method_meter(std::string());
  return unbound;
}

void JSON_RPC_Dispatcher::set_open_methods(
    const std::vector<std::string>& methods) {
  open_.clear();
  all_open_ = false;
  for (const std::string& m : methods) {
    if (m == "*")
      all_open_ = true;
    else
      open_.insert(m);
  }
}

void JSON_RPC_Dispatcher::set_admin_methods(
    const std::vector<std::string>& methods) {
  admin_ = std::set<std::string>(methods.begin(), methods.end());
}

const char* JSON_RPC_Dispatcher::refusal(const JSON_RPC_Channel& channel,
                                         const std::string& method) const {
  if (!channel.session_required()) return nullptr;
  const bool acting = admin_.count(method) != 0;
  if (!acting && (all_open_ || open_.count(method))) return nullptr;
  const std::string key = channel.session_id();
  const Session_Ptr session =
      key.empty() ? Session_Ptr() : Session_Manager::instance()->load_session(key);
  if (!session.get()) return "Unauthenticated.";
  if (acting && !session->check_perms(ADMIN_PERMS, false)) return "Forbidden.";
  return nullptr;
}

int JSON_RPC_Dispatcher::dispatch(const JSON_RPC_Channel_Ptr& channel,
                                  const char* text, std::size_t length,
                                  const char* refusal,
                                  std::shared_ptr<const void> keep) const {
  if (!channel.get()) return -1;
  std::size_t first = 0;
  while (first < length && is_blank(text[first])) ++first;
  if (first < length && text[first] == '[')
    return dispatch_batch(channel, text, length, refusal, std::move(keep));
  return dispatch_one(channel, text, length, refusal);
}

int JSON_RPC_Dispatcher::dispatch_batch(const JSON_RPC_Channel_Ptr& channel,
                                        const char* text, std::size_t length,
                                        const char* refusal,
                                        std::shared_ptr<const void> keep) const {
  Work_Guard work(*channel);
  Batch_Scanner scanner(text, batch_max_);
  bool parsed;
  {
    YAJL_Parser parser(scanner, false);  // the scanner checks more strictly
    scanner.set_parser(&parser);
    parsed = parser.feed(text, length) && parser.complete();
  }
  if (!parsed) return channel->send_error(-32700, Value::null, nullptr, Value::null);
  if (scanner.count() == 0)
    return channel->send_error(-32600, Value::null, nullptr, Value::null);
  if (scanner.count() > batch_max_) {
    const std::string message =
        "Invalid Request, the batch holds " + std::to_string(scanner.count()) +
        " messages, more than jsonrpc.batch_max allows (" +
        std::to_string(batch_max_) + ").";
    ACE_DEBUG((LM_WARNING, ACE_TEXT("%N:%l: JSON-RPC batch of %B messages "
                                    "refused, more than %B\n"),
               scanner.count(), batch_max_));
    return channel->send_error(-32600, Value::null, message.c_str(), Value::null);
  }
  JSON_RPC_Batch::start(
      channel, text, length, std::move(keep), std::move(scanner.spans()),
      [this](const JSON_RPC_Channel_Ptr& member, const char* t, std::size_t l,
             const char* r) { return dispatch_one(member, t, l, r); },
      refusal);
  return 0;
}

int JSON_RPC_Dispatcher::dispatch_one(const JSON_RPC_Channel_Ptr& channel,
                                      const char* text, std::size_t length,
                                      const char* refusal) const {
  const json_rpc::Meter_Clock::time_point arrived = json_rpc::Meter_Clock::now();
  // Answers sent here belong to this message, not to a request this
  // thread may be serving around it.
  json_rpc::Answer_Scope answering(nullptr);
  Work_Guard work(*channel);
  JSON_RPC_Channel_WPtr weak(channel);
  const std::size_t scaled = MESSAGE_BUDGET_FACTOR * length;
  Memory_Budget budget(std::max(
      MESSAGE_BUDGET_FLOOR,
      scaled > MESSAGE_SERVING_RESERVE ? scaled - MESSAGE_SERVING_RESERVE : 0));
  // The text is held while its values are built: it counts against the
  // same budget, so that the message as a whole stays within it.
  budget.charge(length);
  int result;
  {
    Message_Reader reader(*this, *channel, weak, budget, refusal, arrived);
    bool parsed;
    {
      YAJL_Parser parser(reader, false);  // the reader checks more strictly
      parsed = parser.feed(text, length) && parser.complete();
    }
    result = reader.finish(parsed, channel);
  }
  if (budget.used() >= trim_after) give_back_memory();
  return result;
}
