// Sends the agent's log lines to a file: one line per record, with the
// time and priority in front. ACE's backend is process-wide, so every
// thread's lines arrive here.
#ifndef WAGENT_LOG_BACKEND_H
#define WAGENT_LOG_BACKEND_H

#include <ace/Log_Msg_Backend.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace wagent {

class File_Log_Backend : public ACE_Log_Msg_Backend {
 public:
  ~File_Log_Backend() override;
  // False with errno set when the file cannot be opened for appending.
  bool open_file(const std::string& path);

  int open(const ACE_TCHAR*) override { return 0; }
  int reset() override { return 0; }
  int close() override;
  ssize_t log(ACE_Log_Record& record) override;

 private:
  std::mutex lock_;
  std::FILE* file_ = nullptr;
};

}  // namespace wagent

#endif
