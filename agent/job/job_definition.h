// A job's definition: a JSON object whose "id" names the job. The agent
// reads "command" (a command line to run) and "schedule" {"interval":
// seconds}; every other member is kept as given.
#ifndef JOB_JOB_DEFINITION_H
#define JOB_JOB_DEFINITION_H

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <cstdint>
#include <string>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_spirit/value_builder.h"
#include "agent/json_io/yajl_gen.h"
#include "agent/json_io/yajl_handler.h"

class Job_Definition {
 public:
  explicit Job_Definition(json_spirit::Object members = json_spirit::Object())
      : value_(std::move(members)) {}

  // The "id" member; "" when there is none.
  std::string id() const;
  // The command line to run; "" for a job that only moves through states.
  std::string command() const;
  // Seconds between scheduled runs; 0 for a job that runs only when told.
  std::int64_t interval() const;
  // False when "enabled" is false.
  bool enabled() const;

  const json_spirit::Object& members() const { return value_.get_obj(); }
  json_spirit::Object& members() { return value_.get_obj(); }
  const json_spirit::Value& value() const { return value_; }

 private:
  json_spirit::Value value_;  // always an object
};

typedef ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex> Job_Definition_Ptr;

// Builds a definition from parser events, at any nesting. definition() is
// null until one whole JSON object has been read.
class Job_Definition_Reader : public YAJL_Handler {
 public:
  int handle_null_i() override { return builder_.handle_null_i(); }
  int handle_boolean_i(bool v) override { return builder_.handle_boolean_i(v); }
  int handle_number_i(const char* text, unsigned long long length) override {
    return builder_.handle_number_i(text, length);
  }
  int handle_string_i(const char* text, unsigned long long length) override {
    return builder_.handle_string_i(text, length);
  }
  int handle_start_map_i() override { return builder_.handle_start_map_i(); }
  int handle_map_key_i(const char* text, unsigned long long length) override {
    return builder_.handle_map_key_i(text, length);
  }
  int handle_end_map_i() override { return builder_.handle_end_map_i(); }
  int handle_start_array_i() override { return builder_.handle_start_array_i(); }
  int handle_end_array_i() override { return builder_.handle_end_array_i(); }

  const Job_Definition_Ptr& definition();

 private:
  json_spirit::Value_Builder builder_;
  Job_Definition_Ptr definition_;
};

class Job_Definition_Writer {
 public:
  // Writes the definition as one JSON object, members in key order.
  static bool write(const Job_Definition& definition, YAJL_Printer& printer);
};

// "idle", "running", "paused", "ended"; "unknown" for other codes.
const char* job_state_to_string(int state, int flags);

#endif
