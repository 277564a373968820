// A queue service that records each enqueue: the queue name and the blocks
// of the chain in order, each as "DATA[:GROUP]" with its control object.
#ifndef TESTS_FAKES_RECORDING_QUEUE_MANAGER_H
#define TESTS_FAKES_RECORDING_QUEUE_MANAGER_H

#include <string>
#include <utility>
#include <vector>

#include "agent/queue/queue_manager.h"

class Recording_Queue_Manager : public Queue_Manager {
 public:
  struct Call {
    std::string name;
    std::vector<std::pair<std::string, json_spirit::Object>> blocks;
  };

  bool enqueue(const std::string& name, const Queue_Block& first,
               const ACE_Time_Value*) override {
    calls.push_back(Call{name, {}});
    for (const Queue_Block* b = &first; b; b = b->next())
      calls.back().blocks.emplace_back(b->has_group() ? b->data() + ":" + b->group() : b->data(),
                                       b->control());
    return answer;
  }
  bool dequeue(const std::string&, Queue_Block&, const ACE_Time_Value*) override { return false; }
  std::size_t size(const std::string&) override { return 0; }

  std::vector<Call> calls;
  bool answer = true;
};

#endif
