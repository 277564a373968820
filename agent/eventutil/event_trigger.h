// Audit events. A handler makes an Event_Trigger before an action that must
// be accounted for, binds the values that describe it, and calls succeed()
// once the action has been done. Whatever the outcome, the event is written
// to the audit log when the trigger ends.
#ifndef EVENTUTIL_EVENT_TRIGGER_H
#define EVENTUTIL_EVENT_TRIGGER_H

#include <cstdint>
#include <mutex>
#include <string>

#include "agent/json_spirit/json_spirit.h"
#include "agent/platform/service_instance.h"

// Where events go: one JSON object per line,
// {"code": "0x...", "address", "user", "values", "succeeded", "time"}.
class Audit_Log : public Service_Instance_T<Audit_Log> {
 public:
  virtual ~Audit_Log();

  // The file events are appended to; until it is set, events are only
  // logged (LM_INFO).
  void set_path(const std::string& path);
  std::string path() const;

  // Appends one event as a line. False (and LM_ERROR) when it could not be
  // written.
  virtual bool append(const json_spirit::Value& event);

 private:
  mutable std::mutex lock_;
  std::string path_;
};

extern template class Service_Instance_T<Audit_Log>;

class Event_Trigger {
 public:
  // `count` is how many values the caller means to bind (a sizing hint).
  // The event's time is taken here, before the action changes anything
  // (the clock included).
  Event_Trigger(std::uint64_t code, const std::string& address,
                const std::string& user, int count);
  ~Event_Trigger();
  Event_Trigger(const Event_Trigger&) = delete;
  Event_Trigger& operator=(const Event_Trigger&) = delete;

  // Sets (or replaces) a value of the event.
  void bind(const std::string& name, const json_spirit::Value& value);
  // The action was done.
  void succeed();

 private:
  std::uint64_t code_;
  std::string address_;
  std::string user_;
  int count_;
  json_spirit::Object values_;
  bool succeeded_ = false;
  std::int64_t time_;
};

#endif
