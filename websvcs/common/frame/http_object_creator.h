// The module's exported HTTP creator class. It keeps copies of its service
// arguments, which a host may hand to each created handler. Only its type
// information, vtable and init are visible outside the module: a host holds
// it as the agent's HTTP_Handler_Creator.
#ifndef WCOMMON_FRAME_HTTP_OBJECT_CREATOR_H
#define WCOMMON_FRAME_HTTP_OBJECT_CREATOR_H

#include <cstdlib>

#include "agent/httpd/http_handler.h"
#include "agent/plugin/object_creator.h"
#include "websvcs/common/frame/export.h"

template <>
class WCOMMON_EXPORT Object_Creator_T<HTTP_Handler>
    : public HTTP_Handler_Creator {
 public:
  Object_Creator_T() : argc_(0), argv_(nullptr) {}
  ~Object_Creator_T() override { clear(); }
  // Replaces the stored copies with copies of the first `argc` strings; -1
  // when memory runs out (what was copied stays for clear()).
  int init(int argc, char** argv) override;
  // Keeps the copies: a creator's deleter calls fini a second time.
  int fini() override { return 0; }

  // Frees the stored copies.
  void clear() {
    if (argv_) {
      for (int i = 0; i < argc_; ++i) std::free(argv_[i]);
      std::free(argv_);
      argv_ = nullptr;
    }
    argc_ = 0;
  }

  int argc() const { return argc_; }
  char* const* argv() const { return argv_; }

 private:
  Object_Creator_T(const Object_Creator_T&) = delete;
  Object_Creator_T& operator=(const Object_Creator_T&) = delete;

  int argc_;
  char** argv_;
};

#endif
