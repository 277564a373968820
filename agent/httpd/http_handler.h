// A plain HTTP request handler of the agent's HTTP framework: one object per
// request, made and returned by an Object_Creator_T<HTTP_Handler>.
#ifndef HTTPD_HTTP_HANDLER_H
#define HTTPD_HTTP_HANDLER_H

#include "agent/mdrt/object_creator.h"

class HTTP_IO;

class HTTP_Handler {
 public:
  virtual ~HTTP_Handler();
  virtual int init(int argc, char* argv[]);
  virtual int fini();
  // A piece of the request body as it arrives.
  virtual int handle_body(const void* data, unsigned length);
  // The request is complete; the handler answers through `io`.
  virtual int handle_request(HTTP_IO* io) = 0;
  // The response has been written out.
  virtual int handle_sent();
  virtual int handle_close();
};

// Exported by the module that supplies HTTP handlers; it keeps copies of its
// service arguments, which a host may hand to each created handler.
template <>
class __attribute__((visibility("default"))) Object_Creator_T<HTTP_Handler>
    : public Service_Object {
 public:
  Object_Creator_T();
  virtual ~Object_Creator_T();
  // Replaces the stored copies with copies of the first `argc` strings; -1
  // when memory runs out (what was copied stays for clear()).
  virtual int init(int argc, char** argv);
  // Keeps the copies: a creator's deleter calls fini a second time.
  virtual int fini();
  virtual HTTP_Handler* create() = 0;
  virtual void destroy(HTTP_Handler* handler) = 0;

  // Frees the stored copies.
  void clear();

  int argc() const { return argc_; }
  char* const* argv() const { return argv_; }

 private:
  Object_Creator_T(const Object_Creator_T&) = delete;
  Object_Creator_T& operator=(const Object_Creator_T&) = delete;

  int argc_;
  char** argv_;
};

#endif
