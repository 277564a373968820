// Captures every ACE log line of the process (all threads) for the scope's
// duration, so a test can check which lines a handler wrote. With `journal`
// set, each line is also appended there as "log TEXT", in order with the
// other calls a test records.
#ifndef TESTS_FAKES_RECORDING_LOG_H
#define TESTS_FAKES_RECORDING_LOG_H

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>

#include <mutex>
#include <string>
#include <vector>

class Recording_Log : public ACE_Log_Msg_Backend {
 public:
  Recording_Log()
      : previous_(ACE_Log_Msg::msg_backend(this)), previous_flags_(ACE_LOG_MSG->flags()) {
    ACE_LOG_MSG->open(ACE_TEXT("test"), ACE_Log_Msg::CUSTOM);
  }
  ~Recording_Log() override {
    ACE_LOG_MSG->open(ACE_TEXT("test"), previous_flags_);
    ACE_Log_Msg::msg_backend(previous_);
  }

  // Lines of this priority whose text contains `fragment`.
  std::size_t count(ACE_Log_Priority priority, const std::string& fragment) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t n = 0;
    for (const Line& l : lines_)
      n += l.priority == priority && l.text.find(fragment) != std::string::npos;
    return n;
  }
  // Whether a line of this priority has exactly this text.
  bool has(ACE_Log_Priority priority, const std::string& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Line& l : lines_)
      if (l.priority == priority && l.text == text) return true;
    return false;
  }

  std::vector<std::string>* journal = nullptr;

  int open(const ACE_TCHAR*) override { return 0; }
  int reset() override { return 0; }
  int close() override { return 0; }
  ssize_t log(ACE_Log_Record& record) override {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(Line{static_cast<ACE_Log_Priority>(record.type()), record.msg_data()});
    if (journal) journal->push_back("log " + lines_.back().text);
    return 0;
  }

 private:
  struct Line {
    ACE_Log_Priority priority;
    std::string text;
  };
  mutable std::mutex lock_;
  std::vector<Line> lines_;
  ACE_Log_Msg_Backend* previous_;
  unsigned long previous_flags_;
};

#endif
