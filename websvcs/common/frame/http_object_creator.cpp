#include <cstdlib>
#include <cstring>

#include "agent/httpd/http_handler.h"

Object_Creator_T<HTTP_Handler>::Object_Creator_T() : argc_(0), argv_(nullptr) {}

Object_Creator_T<HTTP_Handler>::~Object_Creator_T() { clear(); }

int Object_Creator_T<HTTP_Handler>::init(int argc, char** argv) {
  clear();
  argc_ = argc;
  if (!argv || argc <= 0) return 0;
  argv_ = static_cast<char**>(std::calloc(static_cast<std::size_t>(argc),
                                          sizeof(char*)));
  if (!argv_) return -1;
  for (int i = 0; i < argc; ++i) {
    argv_[i] = ::strdup(argv[i] ? argv[i] : "");
    if (!argv_[i]) return -1;
  }
  return 0;
}

int Object_Creator_T<HTTP_Handler>::fini() { return 0; }

void Object_Creator_T<HTTP_Handler>::clear() {
  if (argv_) {
    for (int i = 0; i < argc_; ++i) std::free(argv_[i]);
    std::free(argv_);
    argv_ = nullptr;
  }
  argc_ = 0;
}
