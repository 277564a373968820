// Environment expansion, through ACE's portable call.
#include <ace/OS_NS_stdlib.h>

#include <cstdlib>
#include <string>

#include "agent/platform/platform.h"

namespace platform {

std::string expand_environment(const std::string& text) {
  std::string out;
  for (std::string::size_type start = 0; start < text.size();) {
    std::string::size_type next = text.find('$', start + 1);
    if (next == std::string::npos) next = text.size();
    const std::string piece = text.substr(start, next - start);
    char* expanded = ACE_OS::strenvdup(piece.c_str());
    out += expanded ? expanded : piece.c_str();
    std::free(expanded);
    start = next;
  }
  return native_separators(out);
}

}  // namespace platform
