#include "agent/eventutil/event_trigger.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "agent/json_io/yajl_gen.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"

namespace {

// Compact JSON and a newline. False when the value cannot be written as
// JSON (a NaN, say): half a line would spoil the file for every reader.
bool render_line(const json_spirit::Value& event, std::string& line) {
  YAJL_String_Printer printer;
  YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
  if (!g.get()) return false;
  // As JSON_Dump: bytes that are not UTF-8 are kept rather than the event
  // lost.
  yajl_gen_config(g, yajl_gen_validate_utf8, 0);
  if (json_spirit::yajl_gen_value(g, event) != yajl_gen_status_ok)
    return false;
  line = std::move(printer.text);
  line += '\n';
  return true;
}

}  // namespace

// The process's own log is never destroyed, so a trigger ending during exit
// still finds it.
template <>
Audit_Log* default_service<Audit_Log>() {
  static Audit_Log* process_log = new Audit_Log();
  return process_log;
}
template class Service_Instance_T<Audit_Log>;

Audit_Log::~Audit_Log() {}

void Audit_Log::set_path(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  path_ = path;
}

std::string Audit_Log::path() const {
  std::lock_guard<std::mutex> guard(lock_);
  return path_;
}

bool Audit_Log::append(const json_spirit::Value& event) {
  std::string line;
  if (!render_line(event, line)) {
    ACE_DEBUG((LM_ERROR,
               ACE_TEXT("%N:%l: audit event is not writable as JSON; lost\n")));
    return false;
  }
  const std::string where = path();
  if (where.empty()) {
    ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l: audit event %C"), line.c_str()));
    return true;
  }
  if (!platform::append_line(where, line, 0640)) {
    ACE_DEBUG((LM_ERROR, ACE_TEXT("%N:%l: cannot append to audit log %C, %m\n"),
               where.c_str()));
    return false;
  }
  return true;
}

Event_Trigger::Event_Trigger(std::uint64_t code, const std::string& address,
                             const std::string& user, int count)
    : code_(code),
      address_(address),
      user_(user),
      count_(count),
      time_(static_cast<std::int64_t>(std::time(nullptr))) {}

Event_Trigger::~Event_Trigger() {
  char code[24];
  std::snprintf(code, sizeof code, "0x%" PRIx64, code_);
  try {
    json_spirit::Object event;
    event["code"] = code;
    event["address"] = address_;
    event["user"] = user_;
    event["values"] = std::move(values_);
    event["succeeded"] = succeeded_;
    event["time"] = time_;
    Audit_Log::instance()->append(json_spirit::Value(std::move(event)));
  } catch (...) {
    // Out of memory: the event cannot be built, but a destructor must not
    // pass that on.
    ACE_DEBUG((LM_ERROR, ACE_TEXT("%N:%l: audit event %C lost\n"), code));
  }
}

void Event_Trigger::bind(const std::string& name,
                         const json_spirit::Value& value) {
  values_[name] = value;
}

void Event_Trigger::succeed() { succeeded_ = true; }
