// Named work queues. A producer hands over a chain of blocks in one call; a
// consumer takes them back one by one, in order. What a queue accepts is on
// disk before the producer hears yes, so nothing accepted is lost across a
// restart or a crash.
#ifndef QUEUE_QUEUE_MANAGER_H
#define QUEUE_QUEUE_MANAGER_H

#include <ace/Time_Value.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "agent/platform/service_instance.h"

// One message of a queue: its bytes, an optional group and an optional
// control object. Blocks form a chain through next(); a block owns the rest
// of the chain after it.
class Queue_Block {
 public:
  Queue_Block() = default;
  Queue_Block(const char* data, std::uint64_t length);
  ~Queue_Block();
  Queue_Block(const Queue_Block&) = delete;
  Queue_Block& operator=(const Queue_Block&) = delete;

  // Appends a block holding a copy of `data` right after this one (a chain
  // already there moves behind it); null when it cannot be allocated.
  Queue_Block* new_next(const char* data, std::uint64_t length);
  Queue_Block* next() const { return next_; }

  const std::string& data() const { return data_; }
  void group(const std::string& name);
  const std::string& group() const { return group_; }
  bool has_group() const { return has_group_; }
  void control(const json_spirit::Object& object);
  // Shares one control object among the blocks of a chain, which then
  // costs one copy, and one serialisation, for the whole chain.
  void control(std::shared_ptr<const json_spirit::Object> object);
  const json_spirit::Object& control() const;

  // The spool line of the block: {"control", "group", "message"}, the first
  // two only when set. `read` does the reverse; false for a malformed line.
  std::string to_line() const;
  bool from_line(const std::string& line) { return from_line(line.data(), line.size()); }
  bool from_line(const char* line, std::size_t length);

 private:
  std::string data_;
  std::string group_;
  bool has_group_ = false;
  std::shared_ptr<const json_spirit::Object> control_;  // null: none
  Queue_Block* next_ = nullptr;
};

class Queue_Manager : public Service_Instance_T<Queue_Manager> {
 public:
  virtual ~Queue_Manager();

  // Appends the chain that starts at `first` to queue `name`, all of it or
  // nothing. With a timeout, waits that long for room; with none, answers at
  // once. False when the queue has no room, the name cannot be a file name,
  // or the spool cannot be written.
  virtual bool enqueue(const std::string& name, const Queue_Block& first,
                       const ACE_Time_Value* timeout) = 0;

  // The consumer side: moves the oldest block of `name` into `out` (its
  // next() stays null). With a timeout (relative), waits that long for one;
  // with none, answers at once. False when there is none.
  virtual bool dequeue(const std::string& name, Queue_Block& out,
                       const ACE_Time_Value* timeout) = 0;

  // Blocks accepted and not yet taken.
  virtual std::size_t size(const std::string& name) = 0;
  // The same for every queue opened so far, by name; none by default.
  virtual std::vector<std::pair<std::string, std::size_t>> sizes();
};

extern template class Service_Instance_T<Queue_Manager>;

// Queues spooled under a folder: `<name>.jsonl` holds one line per accepted
// block, appended and flushed to disk before enqueue answers; chains that
// callers hand over while a flush is under way are written together and
// share the next flush (group commit), each caller answered once the flush
// holding its chain is done, and all of them refused when it fails;
// `<name>.taken`
// the byte offset of the first block not yet taken, so a restart serves
// exactly the blocks still waiting (a block taken just before a crash may
// come once more: taking is not flushed, accepting is). A queue holds at
// most `capacity` blocks waiting; once all are taken the spool starts over.
class File_Queue_Manager : public Queue_Manager {
 public:
  // Reloads every spool found in `folder`.
  File_Queue_Manager(std::string folder, std::size_t capacity);
  ~File_Queue_Manager() override;

  bool enqueue(const std::string& name, const Queue_Block& first,
               const ACE_Time_Value* timeout) override;
  bool dequeue(const std::string& name, Queue_Block& out,
               const ACE_Time_Value* timeout) override;
  std::size_t size(const std::string& name) override;
  std::vector<std::pair<std::string, std::size_t>> sizes() override;

  static const std::size_t default_capacity = 100000;

 private:
  struct Queue;
  // The queue of `name`, opened (and its spool read) on first use; null when
  // the name cannot be a file name or the spool cannot be opened.
  Queue* queue(const std::string& name);

  std::string folder_;
  std::size_t capacity_;
  std::mutex lock_;
  std::map<std::string, std::unique_ptr<Queue>> queues_;
};

#endif
