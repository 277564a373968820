#include "agent/json_rpc/json_rpc_channel.h"

#include <yajl/yajl_gen.h>

#include <cerrno>
#include <new>
#include <string>

#include "agent/mdrt/yajl_gen.h"
#include "agent/modsess/session.h"

// Gathers what is written (a token at a time from a generator) into blocks
// of `drain_at` bytes and passes each block on to the transport: a reply is
// never held whole in memory, and the transport sees a few calls per reply
// rather than one per token.
class JSON_RPC_Channel::Piece_Printer : public YAJL_Printer,
                                       public json_spirit::Text_Out {
 public:
  // Each thread keeps its block between replies, so the text of a reply
  // costs no allocation (a nested send on the thread makes its own).
  explicit Piece_Printer(JSON_RPC_Channel& channel) : channel_(channel) {
    text.swap(spare());
    if (text.capacity() < drain_at) text.reserve(drain_at);
  }
  ~Piece_Printer() override {
    text.clear();
    if (text.capacity() <= 4 * drain_at) spare().swap(text);
  }
  void print(const char* data, std::size_t length) override {
    if (text.size() + length > drain_at) {
      drain();
      if (length >= drain_at) {
        if (ok) ok = channel_.write_piece(data, length);
        return;
      }
    }
    text.append(data, length);
  }
  void write(const char* data, std::size_t length) override {
    print(data, length);
  }
  bool drain() override {
    if (ok && !text.empty()) ok = channel_.write_piece(text.data(), text.size());
    text.clear();
    return ok;
  }
  bool ok = true;

 private:
  static std::string& spare() {
    thread_local std::string block;
    return block;
  }
  JSON_RPC_Channel& channel_;
};

namespace {

class Object_Generator : public JSON_Generator {
 public:
  explicit Object_Generator(const JSON_RPC_Object& object) : object_(object) {}
  bool generate(yajl_gen_t* g) override { return object_.generate(g); }

 private:
  const JSON_RPC_Object& object_;
};

}  // namespace

JSON_RPC_Channel::JSON_RPC_Channel() {}

JSON_RPC_Channel::~JSON_RPC_Channel() {}

template <class Write>
int JSON_RPC_Channel::send_message(Write write) {
  std::lock_guard<std::mutex> guard(send_lock_);
  if (!open_) return -1;
  if (!begin_message()) return -1;
  Piece_Printer printer(*this);
  bool ok = false;
  try {
    ok = write(printer) && printer.drain();
  } catch (...) {
    ok = false;
  }
  ok = ok && printer.ok;
  if (!end_message(ok) || !ok) return -1;
  ++sent_;
  return 0;
}

int JSON_RPC_Channel::send_with(JSON_Generator& generator) {
  return send_message([&generator](Piece_Printer& printer) {
    YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
    if (!g.get()) {
      errno = ENOMEM;
      return false;
    }
    // The generator may throw; it must not keep watching a gone printer.
    struct Watch {
      JSON_Generator& g;
      ~Watch() { g.watch_output(nullptr); }
    } watch{generator};
    generator.watch_output(&printer.ok);
    return generator.generate(g);
  });
}

int JSON_RPC_Channel::send_object(JSON_RPC_Object_Ptr object) {
  if (!object.get()) return -1;
  if (object->has_text()) {
    const JSON_RPC_Object& o = *object;
    return send_message(
        [&o](Piece_Printer& printer) { return o.write_text(printer); });
  }
  Object_Generator generator(*object);
  return send_with(generator);
}

int JSON_RPC_Channel::send_generator(JSON_Generator& generator) {
  return send_with(generator);
}

int JSON_RPC_Channel::send_error(int code, const json_spirit::Value& id,
                                 const char* message,
                                 const json_spirit::Value& data) {
  JSON_RPC_Response_Error* error = new (std::nothrow) JSON_RPC_Response_Error;
  if (!error) {
    errno = ENOMEM;
    return -1;
  }
  JSON_RPC_Object_Ptr holder(error);
  error->id = id;
  error->code = code;
  error->message = message ? message : json_rpc_error_text(code);
  error->data = data;
  return send_object(holder);
}

std::string JSON_RPC_Channel::session_id() const { return session_; }

bool JSON_RPC_Channel::anonymous() const {
  return session_required_ &&
         (session_.empty() || !Session_Manager::instance()->load_session(session_).get());
}

int JSON_RPC_Channel::original_remote_addr(ACE_INET_Addr& addr) const {
  if (!has_remote_) return -1;
  addr = remote_;
  return 0;
}

void JSON_RPC_Channel::close() {
  if (open_.exchange(false)) on_close();
}

void JSON_RPC_Channel::begin_work() { ++work_; }

void JSON_RPC_Channel::end_work() {
  if (--work_ == 0) on_idle();
}

void JSON_RPC_Channel::on_idle() {}

void JSON_RPC_Channel::on_close() {}
