// Service objects that fail or hold on purpose, loaded by wagent through
// its configuration like any module: one whose init fails, handlers of each
// kind that throw, handlers that hold their io thread until a file appears
// (to fill the host's handler cap or a WebSocket's messages in flight), and
// one with a large reply (for clients that do not read).
#include <unistd.h>

#include <ace/Log_Msg.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "agent/httpd/http_handler.h"
#include "agent/httpd/http_io.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/restful/restful_handler.h"

#define FAULTY_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Gives up after 30 s, so a test that fails cannot hold the host for ever.
void wait_for(const std::string& file) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (::access(file.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

class Failing_Init : public JSON_RPC_Handler {
 public:
  int init(int, char*[]) override { return -7; }
  int handle_object(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override { return 0; }
};

// Throws on the thread that delivers the message.
class Throwing_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override {
    throw std::runtime_error("faulty handler");
  }
};

// Throws on a worker of the framework's pool.
class Throwing_Pool_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
 public:
  int handle_request(JSON_RPC_Channel*, JSON_RPC_Request&) override {
    throw std::runtime_error("faulty pool handler");
  }
};

// Waits until the file of its argument exists, if given, its start logged;
// then answers with a string of the size of its second argument, if given.
class Reply_Handler : public JSON_RPC_Handler {
 public:
  int init(int argc, char* argv[]) override {
    if (argc > 0 && argv[0] != std::string("-")) release_ = argv[0];
    if (argc > 1) size_ = std::stoul(argv[1]);
    return 0;
  }
  int handle_object(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override {
    auto* request = dynamic_cast<JSON_RPC_Request*>(object.get());
    if (!request) return -1;
    if (!release_.empty()) {
      ACE_DEBUG((LM_INFO, "faulty.hold begins\n"));
      wait_for(release_);
    }
    JSON_RPC_Channel_Ptr strong(channel);
    if (!strong.get()) return -1;
    auto* response = new JSON_RPC_Response(request);
    response->result = std::string(size_, 'r');
    return strong->send_object(JSON_RPC_Object_Ptr(response));
  }

 private:
  std::string release_;
  std::size_t size_ = 1;
};

class Throwing_Rest : public JSON_RESTful_Handler {
 public:
  int handle_request(JSON_RESTful_Channel&, Parsed_Request&) override {
    throw std::runtime_error("faulty REST handler");
  }
};

// With an argument: waits until that file exists, then answers 200;
// without: throws.
class Plain_Handler : public HTTP_Handler {
 public:
  int init(int argc, char* argv[]) override {
    if (argc > 0) release_ = argv[0];
    return 0;
  }
  int handle_request(HTTP_IO* io) override {
    if (release_.empty()) throw std::runtime_error("faulty HTTP handler");
    ACE_DEBUG((LM_INFO, "faulty http hold begins\n"));
    wait_for(release_);
    return io->write_body("released\n", 9, true);
  }

 private:
  std::string release_;
};

class Rest_Creator : public Object_Creator_T<JSON_RESTful_Handler> {
 public:
  JSON_RESTful_Handler* create() override { return new Throwing_Rest; }
  void destroy(JSON_RESTful_Handler* h) override { delete h; }
};

class Plain_Creator : public HTTP_Handler_Creator {
 public:
  int init(int, char**) override { return 0; }
  int fini() override { return 0; }
  HTTP_Handler* create() override { return new Plain_Handler; }
  void destroy(HTTP_Handler* h) override { delete h; }
};

template <class Base>
void delete_object(void* object) {
  delete static_cast<Base*>(object);
}

template <class Base, class Class>
Service_Object* make(Object_Deleter* slot) {
  if (slot) *slot = &delete_object<Base>;
  return new Class;
}

}  // namespace

FAULTY_EXPORT Service_Object* _make_Failing_Init(Object_Deleter* slot) {
  return make<JSON_RPC_Handler, Failing_Init>(slot);
}
FAULTY_EXPORT Service_Object* _make_Throwing_Handler(Object_Deleter* slot) {
  return make<JSON_RPC_Handler, Throwing_Handler>(slot);
}
FAULTY_EXPORT Service_Object* _make_Throwing_Pool_Handler(Object_Deleter* slot) {
  return make<JSON_RPC_Handler, Throwing_Pool_Handler>(slot);
}
FAULTY_EXPORT Service_Object* _make_Reply_Handler(Object_Deleter* slot) {
  return make<JSON_RPC_Handler, Reply_Handler>(slot);
}
FAULTY_EXPORT Service_Object* _make_Throwing_Rest(Object_Deleter* slot) {
  return make<Object_Creator_T<JSON_RESTful_Handler>, Rest_Creator>(slot);
}
FAULTY_EXPORT Service_Object* _make_Plain_Handler(Object_Deleter* slot) {
  return make<HTTP_Handler_Creator, Plain_Creator>(slot);
}
