#include "agent/wagent/services.h"

#include <ace/DLL.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>

#include <cstring>
#include <filesystem>

#include "agent/wagent/settings.h"

namespace wagent {

namespace {
typedef Service_Object* (*Factory)(Object_Deleter*);

const char* const kind_names[] = {
    "a JSON-RPC handler (a 'jsonrpc' line)",
    "a params-handler creator (a 'params' line)",
    "a REST handler creator (a 'rest' line)",
    "an HTTP handler creator (an 'http' line)"};

// The kind of object a factory made, from its type: a factory bound under
// the wrong keyword must be refused, never called through the wrong type.
int kind_of(Service_Object* object) {
  if (dynamic_cast<JSON_RPC_Handler*>(object)) return SERVICE_JSONRPC;
  if (dynamic_cast<JSON_RPC_Params_Handler_Creator*>(object))
    return SERVICE_PARAMS;
  if (dynamic_cast<Object_Creator_T<JSON_RESTful_Handler>*>(object))
    return SERVICE_REST;
  if (dynamic_cast<HTTP_Handler_Creator*>(object)) return SERVICE_HTTP;
  return -1;
}
}  // namespace

namespace {

// Libraries stay loaded for the life of the process: detached workers may
// still be running their code after stop.
std::map<std::string, ACE_DLL*>& loaded_libraries() {
  static std::map<std::string, ACE_DLL*>* libraries =
      new std::map<std::string, ACE_DLL*>;
  return *libraries;
}

// A configuration names a module as on Linux (libwcommon.so); on Windows the
// same module is libwcommon.dll, so one configuration serves both.
std::string native_library_name(std::string name) {
#ifdef _WIN32
  const std::string so = ".so";
  if (name.size() > so.size() && name.compare(name.size() - so.size(), so.size(), so) == 0)
    name.replace(name.size() - so.size(), so.size(), ".dll");
#endif
  return name;
}

template <class T>
int call_fini(Service_Object* object) {
  return dynamic_cast<T*>(object)->fini();
}

}  // namespace

Services::Services(std::vector<std::string> module_dirs)
    : module_dirs_(std::move(module_dirs)) {}

Services::~Services() { stop(); }

std::string Services::library_path(const Service_Line& line) const {
  const std::string library = native_library_name(line.library);
  const std::filesystem::path path(library);
  if (path.has_parent_path()) {
    if (is_rooted(library) || config_dir_.empty()) return library;
    return config_dir_ + "/" + library;
  }
  for (const std::string& dir : module_dirs_) {
    std::string candidate = dir + "/" + library;
    if (ACE_OS::access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return library;  // left to the loader's own search
}

void* Services::resolve(const Service_Line& line) {
  const std::string path = library_path(line);
  ACE_DLL*& dll = loaded_libraries()[path];
  if (!dll) {
    std::unique_ptr<ACE_DLL> opened(new ACE_DLL(false));
    if (opened->open(path.c_str(), RTLD_NOW | RTLD_GLOBAL, false) != 0) {
      loaded_libraries().erase(path);
      const char* why = opened->error();
      throw Config_Error(line.where + ": cannot load library '" + path +
                         "': " + (why ? why : "unknown error"));
    }
    dll = opened.release();
  }
  // Only a factory may be called; any other symbol would be called blind.
  if (line.factory.compare(0, 6, "_make_") != 0)
    throw Config_Error(line.where + ": '" + line.factory +
                       "' is not a factory name (_make_<Class>)");
  void* symbol = dll->symbol(line.factory.c_str(), 1);
  if (!symbol)
    throw Config_Error(line.where + ": library '" + path +
                       "' has no factory '" + line.factory + "'");
  return symbol;
}

void Services::load(const Config& config) {
  const std::filesystem::path parent = std::filesystem::path(config.path).parent_path();
  config_dir_ = parent.empty() ? "." : parent.string();
  try {
    for (const Service_Line& line : config.services) load_line(line);
  } catch (...) {
    stop();
    throw;
  }
}

void Services::load_line(const Service_Line& line) {
  Factory factory = reinterpret_cast<Factory>(resolve(line));
  Object_Deleter deleter = nullptr;
  Service_Object* object = factory(&deleter);
  if (!object)
    throw Config_Error(line.where + ": factory '" + line.factory +
                       "' returned no object");
  int kind = kind_of(object);
  if (kind != line.kind) {
    if (deleter) deleter(object);
    throw Config_Error(line.where + ": factory '" + line.factory +
                       "' makes " +
                       (kind < 0 ? std::string("no service object this host knows")
                                 : kind_names[kind]) +
                       ", not " + kind_names[line.kind]);
  }

  Args args(line.args);
  int rc = 0;
  Loaded loaded{object, deleter, nullptr, line.where};
  bool bound = true;
  switch (line.kind) {
    case SERVICE_JSONRPC: {
      JSON_RPC_Handler* h = dynamic_cast<JSON_RPC_Handler*>(object);
      loaded.fini = &call_fini<JSON_RPC_Handler>;
      rc = h->init(args.argc(), args.argv());
      if (rc == 0)
        for (const std::string& m : line.names)
          bound = bound && dispatcher_.bind(m, h);
      break;
    }
    case SERVICE_PARAMS: {
      auto* c = dynamic_cast<JSON_RPC_Params_Handler_Creator*>(object);
      loaded.fini = &call_fini<JSON_RPC_Params_Handler_Creator>;
      rc = c->init(args.argc(), args.argv());
      if (rc == 0) bound = dispatcher_.bind_params(line.names[0], c);
      break;
    }
    case SERVICE_REST:
      loaded.fini = &call_fini<Object_Creator_T<JSON_RESTful_Handler>>;
      rc = bind_path(rest_, line, args, object, bound);
      break;
    case SERVICE_HTTP:
      loaded.fini = &call_fini<HTTP_Handler_Creator>;
      rc = bind_path(http_, line, args, object, bound);
      break;
  }
  // From here on the object is ours to stop, whatever follows.
  loaded_.push_back(loaded);
  if (rc != 0)
    throw Config_Error(line.where + ": init of '" + line.factory +
                       "' failed (" + std::to_string(rc) + ")");
  if (!bound)
    throw Config_Error(line.where + ": a method or path of this line is "
                       "already bound");
  ACE_DEBUG((LM_DEBUG, "%N:%l: loaded %C from %C\n", line.factory.c_str(),
             line.where.c_str()));
}

namespace {

// A REST service's handlers tell their bound; one is made to ask.
unsigned concurrency_of(Object_Creator_T<JSON_RESTful_Handler>* creator) {
  JSON_RESTful_Handler* handler = creator->create();
  if (!handler) return 0;
  int limit = handler->concurrency();
  creator->destroy(handler);
  return limit > 0 ? static_cast<unsigned>(limit) : 0;
}
unsigned concurrency_of(HTTP_Handler_Creator*) { return 0; }

}  // namespace

template <class Handler>
int Services::bind_path(
    std::map<std::string, Creator_Service<Handler>>& routes,
    const Service_Line& line, Args& args, Service_Object* object,
    bool& bound) {
  auto* creator = dynamic_cast<typename Creator_Of<Handler>::type*>(object);
  int rc = creator->init(args.argc(), args.argv());
  if (rc != 0) return rc;
  bound = !has_path(line.names[0]);
  if (bound) {
    unsigned limit = concurrency_of(creator);
    routes[line.names[0]] = Creator_Service<Handler>{
        creator, line.args,
        limit ? std::make_shared<Concurrency_Gate>(limit) : nullptr};
  }
  return 0;
}

void Services::stop() {
  while (!loaded_.empty()) {
    Loaded l = loaded_.back();
    loaded_.pop_back();
    l.fini(l.object);
    if (l.deleter) l.deleter(l.object);
  }
  dispatcher_ = JSON_RPC_Dispatcher();
  rest_.clear();
  http_.clear();
}

const Creator_Service<JSON_RESTful_Handler>* Services::rest(
    const std::string& path) const {
  auto it = rest_.find(path);
  return it == rest_.end() ? nullptr : &it->second;
}

const Creator_Service<HTTP_Handler>* Services::http(
    const std::string& path) const {
  auto it = http_.find(path);
  return it == http_.end() ? nullptr : &it->second;
}

}  // namespace wagent
