// A plain HTTP request handler of the agent's HTTP framework: one object per
// request, made and returned by the service's HTTP_Handler_Creator.
#ifndef HTTPD_HTTP_HANDLER_H
#define HTTPD_HTTP_HANDLER_H

#include "agent/plugin/object_creator.h"

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

// What a host holds an HTTP service by. A module's creators derive from it
// (its Object_Creator_T<HTTP_Handler> among them), so a host needs no type
// of the module's own to call them.
class __attribute__((visibility("default"))) HTTP_Handler_Creator
    : public Service_Object {
 public:
  virtual ~HTTP_Handler_Creator();
  // The service's arguments, which the creator may keep for its handlers.
  virtual int init(int argc, char** argv) = 0;
  // Called at stop, and once more by the creator's deleter.
  virtual int fini() = 0;
  // A fresh handler, or null with errno ENOMEM.
  virtual HTTP_Handler* create() = 0;
  virtual void destroy(HTTP_Handler* handler) = 0;
};

#endif
