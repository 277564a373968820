// JSON-RPC 2.0 messages as the framework and the handlers see them.
#ifndef JSON_RPC_JSON_RPC_OBJECT_H
#define JSON_RPC_JSON_RPC_OBJECT_H

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Refcounted_Auto_Ptr.h>

#include <string>

#include "agent/json_spirit/json_spirit.h"

struct yajl_gen_t;

class JSON_RPC_Object {
 public:
  // Kind codes; they appear in logs and tests, so they are fixed.
  enum Type {
    JSON_RPC_INVALID = 0,
    JSON_RPC_NOTIFY = 1,
    JSON_RPC_REQUEST = 2,
    JSON_RPC_RESPONSE = 3,
    JSON_RPC_RESPONSE_ERROR = 4
  };

  virtual ~JSON_RPC_Object();

  int type() const { return type_; }

  // Writes the whole message, "jsonrpc" member included.
  virtual bool generate(yajl_gen_t* g) const = 0;

  // The kinds with a text form write the same bytes as compact text, far
  // cheaper than through a generator. False when it could not be written.
  virtual bool has_text() const { return false; }
  virtual bool write_text(json_spirit::Text_Out& out) const;

  json_spirit::Value id;

 protected:
  explicit JSON_RPC_Object(int type) : type_(type) {}
  int type_;
};

// A request, or a notify when it carries no id. Absent params are null.
class JSON_RPC_Request : public JSON_RPC_Object {
 public:
  explicit JSON_RPC_Request(int type = JSON_RPC_REQUEST)
      : JSON_RPC_Object(type) {}

  // The kind is only known once the whole message has been read, and a
  // message found malformed is marked JSON_RPC_INVALID.
  void set_type(int type) { type_ = type; }

  bool generate(yajl_gen_t* g) const override;
  bool has_text() const override { return true; }
  bool write_text(json_spirit::Text_Out& out) const override;

  std::string method;
  json_spirit::Value params;
};

class JSON_RPC_Response : public JSON_RPC_Object {
 public:
  // Takes over the request's id.
  explicit JSON_RPC_Response(const JSON_RPC_Request* request);
  JSON_RPC_Response() : JSON_RPC_Object(JSON_RPC_RESPONSE) {}

  bool generate(yajl_gen_t* g) const override;
  bool has_text() const override { return true; }
  bool write_text(json_spirit::Text_Out& out) const override;

  json_spirit::Value result;
};

class JSON_RPC_Response_Error : public JSON_RPC_Object {
 public:
  JSON_RPC_Response_Error() : JSON_RPC_Object(JSON_RPC_RESPONSE_ERROR) {}

  bool generate(yajl_gen_t* g) const override;
  bool has_text() const override { return true; }
  bool write_text(json_spirit::Text_Out& out) const override;

  int code = 0;
  std::string message;
  json_spirit::Value data;
};

typedef ACE_Refcounted_Auto_Ptr<JSON_RPC_Object, ACE_Recursive_Thread_Mutex>
    JSON_RPC_Object_Ptr;

// The standard JSON-RPC text for an error code ("Parse error", ...).
const char* json_rpc_error_text(int code);

#endif
