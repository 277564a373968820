// A REST channel that keeps every reply a handler makes on it.
#ifndef TESTS_FAKES_RECORDING_REST_CHANNEL_H
#define TESTS_FAKES_RECORDING_REST_CHANNEL_H

#include <string>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "agent/restful/restful_handler.h"
#include "tests/fakes/json_print.h"

class Recording_REST_Channel : public JSON_RESTful_Channel {
 public:
  struct Reply {
    bool is_json;               // reply_json rather than reply_status
    json_spirit::Value value;   // reply_json's body
    int status;                 // 200 for reply_json
    int code;
    bool has_message;           // the three-argument reply_status, non-null
    std::string message;
  };

  int reply_json(const json_spirit::Value& value) override {
    replies.push_back(Reply{true, value, 200, 0, false, std::string()});
    return 0;
  }
  int reply_status(int status, int code) override { return reply_status(status, code, nullptr); }
  int reply_status(int status, int code, const char* message) override {
    replies.push_back(Reply{false, json_spirit::Value(), status, code,
                            message != nullptr, message ? message : ""});
    return 0;
  }

  std::vector<Reply> replies;
};

#endif
