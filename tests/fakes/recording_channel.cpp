#include "tests/fakes/recording_channel.h"

JSON_RPC_Channel_Ptr Recording_Channel::make(Recording_Channel** raw) {
  Recording_Channel* c = new Recording_Channel;
  if (raw) *raw = c;
  return JSON_RPC_Channel_Ptr(c);
}

bool Recording_Channel::begin_message() {
  std::lock_guard<std::mutex> guard(lock_);
  current_.clear();
  pieces_ = 0;
  return true;
}

bool Recording_Channel::write_piece(const char* data, std::size_t length) {
  std::lock_guard<std::mutex> guard(lock_);
  if (++attempts_ > fail_after_) return false;
  current_.append(data, length);
  ++pieces_;
  return true;
}

std::size_t Recording_Channel::write_attempts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return attempts_;
}

bool Recording_Channel::end_message(bool ok) {
  std::lock_guard<std::mutex> guard(lock_);
  last_pieces_ = pieces_;
  if (ok) texts_.push_back(current_);
  changed_.notify_all();
  return true;
}

void Recording_Channel::on_idle() {
  std::lock_guard<std::mutex> guard(lock_);
  ++idle_;
  changed_.notify_all();
}

std::size_t Recording_Channel::count_sent() const {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_.size();
}

std::vector<std::string> Recording_Channel::texts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_;
}

std::size_t Recording_Channel::last_piece_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_pieces_;
}

json_spirit::Value Recording_Channel::pop() {
  std::lock_guard<std::mutex> guard(lock_);
  json_spirit::Value v;
  if (popped_ < texts_.size()) json_spirit::read(texts_[popped_++], v);
  return v;
}

bool Recording_Channel::wait_for_sent(std::size_t n,
                                      std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return texts_.size() >= n; });
}

bool Recording_Channel::wait_idle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return idle_ > 0; });
}

int Recording_Channel::idle_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return idle_;
}
