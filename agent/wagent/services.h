// The service objects of the configuration: loaded from their libraries by
// factory name, initialised with the line's arguments, and routed to by
// method or path. Stopping gives every object fini() and its deleter in
// reverse order of loading.
#ifndef WAGENT_SERVICES_H
#define WAGENT_SERVICES_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/httpd/http_handler.h"
#include "agent/json_rpc/json_rpc_dispatcher.h"
#include "agent/plugin/object_creator.h"
#include "agent/restful/restful_handler.h"
#include "agent/wagent/concurrency_gate.h"
#include "agent/wagent/config.h"

namespace wagent {

// Argument vector in the form init() takes (no program name); the strings
// live as long as the object.
struct Args {
  explicit Args(const std::vector<std::string>& args) : copies(args) {
    for (std::string& a : copies) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(copies.size()); }
  char** argv() { return pointers.data(); }

  std::vector<std::string> copies;
  std::vector<char*> pointers;
};

// The type a creator of `Handler`s is held by: HTTP creators through the
// agent's own base, since their class is the module's.
template <class Handler>
struct Creator_Of {
  typedef Object_Creator_T<Handler> type;
};
template <>
struct Creator_Of<HTTP_Handler> {
  typedef HTTP_Handler_Creator type;
};

// A configured REST or HTTP service: the creator and the arguments each
// per-request handler gets in its init.
template <class Handler>
struct Creator_Service {
  typename Creator_Of<Handler>::type* creator;
  std::vector<std::string> args;
  // Set when the service's handlers bound their concurrency.
  std::shared_ptr<Concurrency_Gate> gate;
};

class Services {
 public:
  // `module_dirs` are searched for a library named without a '/'.
  explicit Services(std::vector<std::string> module_dirs);
  ~Services();
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  // Loads every service line; on the first failure throws Config_Error
  // naming the line, after stopping what was loaded.
  void load(const Config& config);
  // fini() and deleter of every object, last loaded first. Idempotent.
  void stop();

  const JSON_RPC_Dispatcher& dispatcher() const { return dispatcher_; }
  JSON_RPC_Dispatcher& dispatcher() { return dispatcher_; }
  const Creator_Service<JSON_RESTful_Handler>* rest(
      const std::string& path) const;
  const Creator_Service<HTTP_Handler>* http(const std::string& path) const;
  bool has_path(const std::string& path) const {
    return rest_.count(path) || http_.count(path);
  }

 private:
  struct Loaded {
    Service_Object* object;
    Object_Deleter deleter;
    int (*fini)(Service_Object*);
    std::string where;
  };

  void load_line(const Service_Line& line);
  template <class Handler>
  int bind_path(std::map<std::string, Creator_Service<Handler>>& routes,
                const Service_Line& line, Args& args, Service_Object* object,
                bool& bound);
  void* resolve(const Service_Line& line);
  std::string library_path(const Service_Line& line) const;

  std::vector<std::string> module_dirs_;
  std::string config_dir_;
  std::vector<Loaded> loaded_;
  JSON_RPC_Dispatcher dispatcher_;
  std::map<std::string, Creator_Service<JSON_RESTful_Handler>> rest_;
  std::map<std::string, Creator_Service<HTTP_Handler>> http_;
};

}  // namespace wagent

#endif
