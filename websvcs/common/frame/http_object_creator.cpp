#include "websvcs/common/frame/http_object_creator.h"

#include <cstdlib>
#include <cstring>

// init is the class's one virtual function defined out of line, so its type
// information and vtable are made here only.
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

