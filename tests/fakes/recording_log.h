// Captures every ACE log line of the process (all threads) for the scope's
// duration, so a test can check which lines a handler wrote.
#ifndef TESTS_FAKES_RECORDING_LOG_H
#define TESTS_FAKES_RECORDING_LOG_H

#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Priority.h>

#include <mutex>
#include <string>
#include <vector>

class Recording_Log : public ACE_Log_Msg_Backend {
 public:
  struct Line {
    ACE_Log_Priority priority;
    std::string text;
  };

  Recording_Log();
  ~Recording_Log() override;

  std::vector<Line> lines() const;
  // Lines of this priority whose text contains `fragment`.
  std::size_t count(ACE_Log_Priority priority, const std::string& fragment) const;
  // Whether a line of this priority has exactly this text.
  bool has(ACE_Log_Priority priority, const std::string& text) const;
  void clear();

  int open(const ACE_TCHAR*) override { return 0; }
  int reset() override { return 0; }
  int close() override { return 0; }
  ssize_t log(ACE_Log_Record& record) override;

 private:
  mutable std::mutex lock_;
  std::vector<Line> lines_;
  ACE_Log_Msg_Backend* previous_;
  unsigned long previous_flags_;
};

#endif
