// A REST channel that keeps every reply a handler makes on it, as text: a
// JSON body as compact JSON, any other reply as "STATUS CODE", followed by
// ' "MESSAGE"' when the handler gave one.
#ifndef TESTS_FAKES_RECORDING_REST_CHANNEL_H
#define TESTS_FAKES_RECORDING_REST_CHANNEL_H

#include <string>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "agent/restful/restful_handler.h"
#include "tests/fakes/installed.h"
#include "tests/fakes/json_print.h"

class Recording_REST_Channel : public JSON_RESTful_Channel {
 public:
  int reply_json(const json_spirit::Value& value) override {
    replies.push_back(json_spirit::JSON_Dump(value, false));
    return 0;
  }
  int reply_status(int status, int code) override { return reply_status(status, code, nullptr); }
  int reply_status(int status, int code, const char* message) override {
    replies.push_back(std::to_string(status) + " " + std::to_string(code) +
                      (message ? std::string(" \"") + message + "\"" : ""));
    return 0;
  }

  std::vector<std::string> replies;
};

// What the channel records for the framework's refusal of a caller without
// a session.
inline std::string unauthenticated_reply() {
  return std::string("401 -1 \"") + REST_NOT_AUTHENTICATED + "\"";
}

#endif
