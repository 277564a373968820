#include "agent/wagent/log_backend.h"

#include <ace/Log_Record.h>
#include <ace/Time_Value.h>

#include <ctime>

#include "agent/platform/calendar.h"

namespace wagent {

File_Log_Backend::~File_Log_Backend() { close(); }

bool File_Log_Backend::open_file(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) return false;
  if (file_) std::fclose(file_);
  file_ = f;
  return true;
}

int File_Log_Backend::close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
  return 0;
}

ssize_t File_Log_Backend::log(ACE_Log_Record& record) {
  std::tm tm{};
  platform::local_fields(record.time_stamp().sec(), tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  const char* text = record.msg_data();
  std::size_t length = std::char_traits<char>::length(text);
  bool newline = length && text[length - 1] == '\n';
  std::lock_guard<std::mutex> guard(lock_);
  if (!file_) return -1;
  std::fprintf(file_, "%s.%03ld %s %s%s", stamp,
               static_cast<long>(record.time_stamp().usec() / 1000),
               ACE_Log_Record::priority_name(
                   static_cast<ACE_Log_Priority>(record.type())),
               text, newline ? "" : "\n");
  std::fflush(file_);
  return static_cast<ssize_t>(length);
}

}  // namespace wagent
