#include "tests/fakes/recording_log.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>

Recording_Log::Recording_Log() {
  previous_ = ACE_Log_Msg::msg_backend(this);
  previous_flags_ = ACE_LOG_MSG->flags();
  ACE_LOG_MSG->open(ACE_TEXT("test"), ACE_Log_Msg::CUSTOM);
}

Recording_Log::~Recording_Log() {
  ACE_LOG_MSG->open(ACE_TEXT("test"), previous_flags_);
  ACE_Log_Msg::msg_backend(previous_);
}

ssize_t Recording_Log::log(ACE_Log_Record& record) {
  std::lock_guard<std::mutex> guard(lock_);
  lines_.push_back(Line{static_cast<ACE_Log_Priority>(record.type()),
                        record.msg_data()});
  return 0;
}

std::vector<Recording_Log::Line> Recording_Log::lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

std::size_t Recording_Log::count(ACE_Log_Priority priority,
                                 const std::string& fragment) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::size_t n = 0;
  for (const Line& l : lines_)
    if (l.priority == priority && l.text.find(fragment) != std::string::npos) ++n;
  return n;
}

bool Recording_Log::has(ACE_Log_Priority priority,
                        const std::string& text) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const Line& l : lines_)
    if (l.priority == priority && l.text == text) return true;
  return false;
}

void Recording_Log::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  lines_.clear();
}
