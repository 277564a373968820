// A queue service that records each enqueue (the queue name and the blocks
// of the chain, in order) and answers as told.
#ifndef TESTS_FAKES_RECORDING_QUEUE_MANAGER_H
#define TESTS_FAKES_RECORDING_QUEUE_MANAGER_H

#include <mutex>
#include <string>
#include <vector>

#include "agent/queue/queue_manager.h"

class Recording_Queue_Manager : public Queue_Manager {
 public:
  struct Block {
    std::string data;
    bool has_group;
    std::string group;
    json_spirit::Object control;
  };
  struct Call {
    std::string name;
    std::vector<Block> blocks;
    bool timeout_given;
  };

  bool enqueue(const std::string& name, const Queue_Block& first,
               const ACE_Time_Value* timeout) override {
    Call call{name, {}, timeout != nullptr};
    for (const Queue_Block* b = &first; b; b = b->next())
      call.blocks.push_back(Block{b->data(), b->has_group(), b->group(), b->control()});
    std::lock_guard<std::mutex> guard(lock_);
    calls.push_back(call);
    return answer;
  }
  bool dequeue(const std::string&, Queue_Block&, const ACE_Time_Value*) override {
    return false;
  }
  std::size_t size(const std::string&) override { return 0; }

  std::vector<Call> calls;
  bool answer = true;

 private:
  std::mutex lock_;
};

#endif
