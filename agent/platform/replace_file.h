// Writing a file so that a crash never leaves half of it: the text goes to
// a temporary file beside it, reaches the disk, and is renamed over it.
#ifndef PLATFORM_REPLACE_FILE_H
#define PLATFORM_REPLACE_FILE_H

#include <string>

namespace platform {

// False (errno) when the file could not be written; the old one stays.
bool replace_file(const std::string& path, const std::string& content, int mode);

}  // namespace platform

#endif
