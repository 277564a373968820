// What the end-to-end tests share: configuration text that binds the built
// module, JSON-RPC call text, and reading the replies.
#ifndef TESTS_E2E_E2E_H
#define TESTS_E2E_E2E_H

#include <gtest/gtest.h>

#include <string>

#include "agent/json_spirit/json_spirit.h"
#include "tests/support/files.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace e2e {

using json_spirit::Value;

// A configuration line binding `name` to a factory of the built module.
inline std::string bind(const std::string& kind, const std::string& name,
                        const std::string& factory) {
  return kind + " " + name + " " + WCOMMON_PATH + ":" + factory + "\n";
}

// A listener on an ephemeral loopback port, its data below `dir`.
inline std::string listener(const std::string& dir) {
  return "set listen 127.0.0.1:0\nset appdata " + dir + "/var\n";
}

inline std::string call(std::int64_t id, const std::string& method,
                        const std::string& params = "") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
         "\"" + (params.empty() ? "" : ",\"params\":" + params) + "}";
}

inline std::string notify(const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\",\"params\":" + params + "}";
}

inline Value parse(const std::string& text) {
  Value v;
  EXPECT_TRUE(json_spirit::read(text, v)) << text;
  return v;
}

// The error code of a reply, 0 when it carries a result.
inline int code_of(const std::string& reply) {
  const Value v = parse(reply);
  if (v.type() != json_spirit::obj_type) return -1;
  const json_spirit::Object& o = v.get_obj();
  return o.count("result") ? 0 : o.at("error").get_obj().at("code").get_int();
}

}  // namespace e2e

#endif
