#include "agent/queue/queue_manager.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

#include "agent/metrics/metrics.h"
#include "agent/paths/app_data.h"
#include "agent/platform/directory_reader.h"
#include "agent/platform/file.h"

Queue_Manager::~Queue_Manager() {}

std::vector<std::pair<std::string, std::size_t>> Queue_Manager::sizes() { return {}; }

template <>
Queue_Manager* default_service<Queue_Manager>() {
  static Queue_Manager* manager = new File_Queue_Manager(
      app_data(App_Data::QUEUES, nullptr, true).path(),
      File_Queue_Manager::default_capacity);
  return manager;
}
template class Service_Instance_T<Queue_Manager>;

Queue_Block::Queue_Block(const char* data, std::uint64_t length)
    : data_(data, length) {}

Queue_Block::~Queue_Block() {
  // Iteratively, so a long chain cannot exhaust the stack.
  Queue_Block* rest = next_;
  while (rest) {
    Queue_Block* after = rest->next_;
    rest->next_ = nullptr;
    delete rest;
    rest = after;
  }
}

Queue_Block* Queue_Block::new_next(const char* data, std::uint64_t length) {
  Queue_Block* block = nullptr;
  try {
    block = new Queue_Block(data, length);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  block->next_ = next_;
  next_ = block;
  return block;
}

void Queue_Block::group(const std::string& name) {
  group_ = name;
  has_group_ = true;
}

void Queue_Block::control(const json_spirit::Object& object) {
  control_ = object.empty() ? nullptr : std::make_shared<const json_spirit::Object>(object);
}

void Queue_Block::control(std::shared_ptr<const json_spirit::Object> object) {
  control_ = object && !object->empty() ? std::move(object) : nullptr;
}

const json_spirit::Object& Queue_Block::control() const {
  static const json_spirit::Object none;
  return control_ ? *control_ : none;
}

std::string Queue_Block::to_line() const {
  json_spirit::Object line;
  line["message"] = data_;
  if (has_group_) line["group"] = group_;
  if (control_) line["control"] = *control_;
  return json_spirit::JSON_Dump(line, false);
}

bool Queue_Block::from_line(const char* line, std::size_t length) {
  json_spirit::Value v;
  if (!json_spirit::read(line, length, v) || v.type() != json_spirit::obj_type)
    return false;
  const std::string* message = json_spirit::object_get_str(v, "message");
  if (!message) return false;
  data_ = *message;
  const std::string* group = json_spirit::object_get_str(v, "group");
  has_group_ = group != nullptr;
  group_ = group ? *group : std::string();
  const json_spirit::Object* control = json_spirit::object_get_object(v, "control");
  control_ = control && !control->empty() ? std::make_shared<const json_spirit::Object>(*control)
                                          : nullptr;
  return true;
}

namespace {

// The spool is written into room made ahead, zeros up to a multiple of
// this: a flush that does not change the file's length has no metadata to
// commit, which makes it a third cheaper on ext4.
const std::uint64_t SPOOL_ROOM = 1 << 20;
// Once everything is taken, a spool this long starts over.
const std::uint64_t SPOOL_RESTART = 1 << 20;

bool valid_name(const std::string& name) {
  return !name.empty() && name[0] != '.' &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Appends the spool lines of the chain from `first` on, each with its '\n',
// to `text`, and the offset just past each line to `ends`. Blocks sharing a
// control object have it serialised once; the line is what to_line() makes,
// without building a JSON object per block.
void chain_lines(const Queue_Block& first, std::string& text, std::vector<std::size_t>& ends) {
  struct Control_Text : json_spirit::Text_Out {
    Control_Text() { drain_at = static_cast<std::size_t>(-1); }
    bool drain() override { return true; }
  } control;
  const json_spirit::Object* control_of = nullptr;  // what `control` holds
  bool control_ok = true;
  // Room for the whole text at once: grown line by line, a large batch
  // was copied over and over into fresh pages.
  std::size_t blocks = 0, payload = 0;
  for (const Queue_Block* b = &first; b; b = b->next(), ++blocks)
    payload += b->data().size() + b->group().size();
  ends.reserve(ends.size() + blocks);
  for (const Queue_Block* b = &first; b; b = b->next()) {
    const json_spirit::Object& c = b->control();
    if (&c != control_of) {
      control_of = &c;
      control.text.clear();
      control_ok = c.empty() || json_spirit::write_compact(json_spirit::Value(c), control);
      if (b == &first) {
        // Names, quotes and separators of one line; an eighth more for escapes.
        const std::size_t framing = sizeof "{\"control\":,\"group\":\"\",\"message\":\"\"}\n";
        text.reserve(text.size() + payload + payload / 8 +
                     blocks * (control.text.size() + framing));
      }
    }
    const std::size_t start = text.size();
    bool ok = control_ok;
    if (ok) {
      // Members in the order a JSON object keeps them: control, group, message.
      text += '{';
      if (!control.text.empty()) {
        text.append("\"control\":", 10);
        text += control.text;
        text += ',';
      }
      if (b->has_group()) {
        text.append("\"group\":", 8);
        ok = json_spirit::append_string(b->group().data(), b->group().size(), text);
        text += ',';
      }
      text.append("\"message\":", 10);
      ok = ok && json_spirit::append_string(b->data().data(), b->data().size(), text);
      text += '}';
    }
    if (!ok) {
      // Bytes that are not UTF-8 are kept as they came, as to_line does.
      text.resize(start);
      text += b->to_line();
    }
    text += '\n';
    ends.push_back(text.size());
  }
}

}  // namespace

struct File_Queue_Manager::Queue {
  // A block waiting: its line is text[start, start + length) of a group's
  // text, shared by the blocks written with it.
  struct Entry {
    std::shared_ptr<const std::string> text;
    std::size_t start, length;
    std::uint64_t end;  // spool offset just past the line
  };
  // Chains written to the spool together and made durable by one flush.
  struct Group {
    // Their lines, in the order they came; shared with the entries once
    // flushed (made up front, so the flush allocates nothing).
    std::shared_ptr<std::string> text = std::make_shared<std::string>();
    std::vector<std::size_t> ends;  // offset in `text` just past each line
    bool done = false, ok = false;
    // Its callers wait here, so the end of a flush wakes only those it
    // answers, and one caller of the group filling meanwhile to write it.
    std::condition_variable ended;
  };
  std::string name;
  std::string spool_path, taken_path;
  platform::File spool, taken_file;
  std::uint64_t size = 0;   // bytes of lines in the spool, all of them flushed
  std::uint64_t room = 0;   // the spool's length: its lines, then zeros
  std::uint64_t taken = 0;  // offset of the first block waiting
  std::deque<Entry> waiting;
  // Chains handed over while a flush is under way, for the next one.
  std::shared_ptr<Group> filling;
  bool flushing = false;      // a caller is writing and flushing a group
  std::size_t unflushed = 0;  // blocks in `filling` and the group in flush
  std::mutex lock;
  std::condition_variable changed;  // blocks came or went

  // Writes and flushes `filling` as the group it is, with `guard` released
  // meanwhile; `flushing` keeps every other writer out, and the truncation
  // of dequeue too.
  void flush(std::unique_lock<std::mutex>& guard);
  // Writes `text` at `size`, making room past it first when it ends beyond
  // `room`; not flushed.
  bool write_lines(const std::string& text);
  // Empties the spool once every block is taken, durably before the next
  // line is written into it.
  void start_over();

  bool open(const std::string& folder);
  void load();
  // Takes the complete line spool[at, end) into `waiting` when it holds a
  // block.
  void reload_line(const std::string& line, std::uint64_t at, std::uint64_t end);
  void save_taken() {
    char text[24];
    const int n = std::snprintf(text, sizeof text, "%020llu\n",
                                static_cast<unsigned long long>(taken));
    if (n <= 0 || !taken_file.write_at(text, static_cast<std::size_t>(n), 0))
      ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot record what was taken, %m\n",
                 name.c_str()));
  }
  // Waits (relative `timeout`, none: not at all) until `ready` holds.
  template <class Ready>
  bool wait(std::unique_lock<std::mutex>& guard, const ACE_Time_Value* timeout,
            Ready ready) {
    if (ready()) return true;
    if (!timeout) return false;
    return changed.wait_for(guard, std::chrono::microseconds(timeout->usec() +
                                                             timeout->sec() * 1000000LL),
                            ready);
  }
};

bool File_Queue_Manager::Queue::open(const std::string& folder) {
  spool_path = folder + "/" + name + ".jsonl";
  taken_path = folder + "/" + name + ".taken";
  using platform::File;
  if (!spool.open(spool_path, File::READ | File::WRITE | File::CREATE, 0640) ||
      !taken_file.open(taken_path, File::READ | File::WRITE | File::CREATE, 0640)) {
    ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot open its spool in %C, %m\n",
               name.c_str(), folder.c_str()));
    return false;
  }
  load();
  return true;
}

void File_Queue_Manager::Queue::load() {
  char text[24] = {0};
  const long n = taken_file.read_at(text, sizeof text - 1, 0);
  taken = n > 0 ? std::strtoull(text, nullptr, 10) : 0;
  std::uint64_t file_size = 0;
  if (!spool.size(file_size)) return;
  // Past the end: the spool was started over and the crash came before the
  // offset followed.
  if (taken > file_size) taken = 0;
  std::uint64_t at = taken;  // where the line in `pending` starts
  std::string pending;       // read, and not yet a whole line
  std::vector<char> buffer(1 << 16);
  bool read_error = false, lines_end = false;
  for (std::uint64_t next = taken; !lines_end;) {
    long got = spool.read_at(buffer.data(), buffer.size(), next);
    if (got <= 0) {
      read_error = got < 0;
      break;
    }
    // No line holds a zero byte (the JSON escapes it): the first one ends
    // the lines, and the room made ahead starts there.
    if (const void* zero = std::memchr(buffer.data(), 0, static_cast<std::size_t>(got))) {
      got = static_cast<const char*>(zero) - buffer.data();
      lines_end = true;
    }
    next += static_cast<std::uint64_t>(got);
    pending.append(buffer.data(), static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t eol; (eol = pending.find('\n', start)) != std::string::npos;
         start = eol + 1) {
      const std::uint64_t end = at + (eol + 1 - start);
      reload_line(pending.substr(start, eol - start), at, end);
      at = end;
    }
    pending.erase(0, start);
  }
  if (read_error) {
    ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot read its spool past offset %Q, %m\n",
               name.c_str(), at));
    at = file_size;  // nothing is written over what could not be read
  } else if (!pending.empty()) {
    // A crash mid-write: the block was never accepted. Cut it off, so the
    // next block starts a line of its own.
    ACE_ERROR((LM_ERROR, "%N:%l: queue %C: torn last line at offset %Q (%d "
                         "bytes) dropped\n",
               name.c_str(), at, int(pending.size())));
  }
  // The room made ahead goes too: a crash may have left bytes of a flush
  // never acknowledged past the first zero.
  room = file_size;
  if (at < file_size) {
    if (spool.truncate(at))
      room = at;
    else
      ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot cut its spool at offset %Q, %m\n",
                 name.c_str(), at));
  }
  size = at;
  if (!waiting.empty())
    ACE_DEBUG((LM_INFO, "%N:%l: queue %C: %d blocks reloaded\n", name.c_str(),
               int(waiting.size())));
}

void File_Queue_Manager::Queue::reload_line(const std::string& line, std::uint64_t at,
                                            std::uint64_t end) {
  Queue_Block check;
  if (check.from_line(line))
    waiting.push_back(Entry{std::make_shared<const std::string>(line), 0, line.size(), end});
  else
    ACE_ERROR((LM_ERROR, "%N:%l: queue %C: malformed line at offset %Q "
                         "skipped\n", name.c_str(), at));
}

File_Queue_Manager::File_Queue_Manager(std::string folder, std::size_t capacity)
    : folder_(std::move(folder)), capacity_(capacity) {
  // Depths are read when metrics are, from whichever manager is in use.
  static const bool collected = [] {
    metrics::registry().collector(
        "wagent_queue_depth", "Blocks accepted by a queue and not yet taken.", {"queue"},
        [](std::vector<metrics::Sample>& out) {
          for (const auto& q : Queue_Manager::instance()->sizes())
            out.push_back({{q.first}, static_cast<double>(q.second)});
        });
    return true;
  }();
  (void)collected;
  // Every spool is read now, so what a crash left is reported at start.
  const std::string suffix = ".jsonl";
  Directory_Entry_T<char> entry;
  Directory_Reader reader;
  if (!reader.open(folder_.c_str(), true, 0)) return;
  std::vector<std::string> names;
  while (reader.read(entry))
    if (entry.name.size() > suffix.size() &&
        entry.name.compare(entry.name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(entry.name.substr(0, entry.name.size() - suffix.size()));
  reader.close();
  for (const std::string& name : names) queue(name);
}

File_Queue_Manager::~File_Queue_Manager() {}

File_Queue_Manager::Queue* File_Queue_Manager::queue(const std::string& name) {
  if (!valid_name(name)) {
    ACE_ERROR((LM_ERROR, "%N:%l: '%C' cannot name a queue\n", name.c_str()));
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(lock_);
  auto it = queues_.find(name);
  if (it != queues_.end()) return it->second.get();
  std::unique_ptr<Queue> q(new (std::nothrow) Queue);
  if (!q) return nullptr;
  q->name = name;
  if (!q->open(folder_)) return nullptr;
  return (queues_[name] = std::move(q)).get();
}

void File_Queue_Manager::Queue::flush(std::unique_lock<std::mutex>& guard) {
  std::shared_ptr<Group> group = std::move(filling);
  filling.reset();
  flushing = true;
  guard.unlock();
  const std::string& text = *group->text;
  const bool ok = write_lines(text) && spool.sync_data();
  if (!ok) {
    ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot write its spool, %m\n", name.c_str()));
    // Nothing of the group may stay: every chain of it was refused.
    if (spool.truncate(size))
      room = size;
    else
      ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot cut a failed append, %m\n",
                 name.c_str()));
  }
  guard.lock();
  if (ok) {
    std::size_t start = 0;
    for (std::size_t end : group->ends) {
      waiting.push_back(Entry{group->text, start, end - start - 1, size + end});
      start = end;
    }
    size += text.size();
  }
  unflushed -= group->ends.size();
  group->ok = ok;
  group->done = true;
  flushing = false;
  // Blocks to take, or room freed by a refusal.
  changed.notify_all();
  group->ended.notify_all();
  if (filling) filling->ended.notify_one();
}

bool File_Queue_Manager::Queue::write_lines(const std::string& text) {
  const std::uint64_t end = size + text.size();
  if (!spool.write_at(text.data(), text.size(), size)) return false;
  if (end <= room) return true;
  // Zeros up to the next multiple of the step, written with the lines and
  // flushed with them. A disk too full for that still takes the lines.
  static const std::vector<char> zeros(64 * 1024);
  const std::uint64_t made = (end + SPOOL_ROOM - 1) / SPOOL_ROOM * SPOOL_ROOM;
  for (std::uint64_t at = end; at < made;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), made - at));
    if (!spool.write_at(zeros.data(), n, at)) {
      if (!spool.truncate(end)) return false;
      room = end;
      return true;
    }
    at += n;
  }
  room = made;
  return true;
}

void File_Queue_Manager::Queue::start_over() {
  if (!spool.truncate(0)) {
    save_taken();  // the lines stay, and new ones go after them
    return;
  }
  size = taken = room = 0;
  // Both on disk before a line goes in again: an offset left behind
  // would skip the new lines, a length left behind would bring the taken
  // ones back.
  const bool cut = spool.sync_data();
  save_taken();
  if (!cut || !taken_file.sync_data())
    ACE_ERROR((LM_ERROR, "%N:%l: queue %C: cannot flush the start over of its spool, %m\n",
               name.c_str()));
}

bool File_Queue_Manager::enqueue(const std::string& name, const Queue_Block& first,
                                 const ACE_Time_Value* timeout) {
  Queue* q = queue(name);
  if (!q) return false;
  std::string text;
  std::vector<std::size_t> ends;
  chain_lines(first, text, ends);
  std::unique_lock<std::mutex> guard(q->lock);
  // Chains not yet flushed hold their room, so a refused group cannot let
  // the queue go past its bound.
  if (!q->wait(guard, timeout,
               [&] { return q->waiting.size() + q->unflushed + ends.size() <= capacity_; }))
    return false;
  const std::size_t blocks = ends.size();
  if (!q->filling) {
    auto group = std::make_shared<Queue::Group>();
    group->text->swap(text);
    group->ends.swap(ends);
    q->filling = std::move(group);
  } else {
    // All or nothing: a chain that cannot be added leaves the group as it was.
    Queue::Group& g = *q->filling;
    const std::size_t base = g.text->size(), count = g.ends.size();
    try {
      g.text->append(text);
      for (std::size_t end : ends) g.ends.push_back(base + end);
    } catch (...) {
      g.text->resize(base);
      g.ends.resize(count);
      throw;
    }
  }
  const std::shared_ptr<Queue::Group> mine = q->filling;
  q->unflushed += blocks;
  // A group not done while nobody flushes is the one filling: this caller
  // writes it, for every chain in it.
  while (!mine->done) {
    if (q->flushing)
      mine->ended.wait(guard);
    else
      q->flush(guard);
  }
  return mine->ok;
}

bool File_Queue_Manager::dequeue(const std::string& name, Queue_Block& out,
                                 const ACE_Time_Value* timeout) {
  Queue* q = queue(name);
  if (!q) return false;
  std::unique_lock<std::mutex> guard(q->lock);
  if (!q->wait(guard, timeout, [&] { return !q->waiting.empty(); })) return false;
  Queue::Entry& entry = q->waiting.front();
  out.from_line(entry.text->data() + entry.start, entry.length);
  q->taken = entry.end;
  q->waiting.pop_front();
  // Not while a group is being written: its lines go after `size`.
  if (q->waiting.empty() && q->taken == q->size && !q->flushing && q->size >= SPOOL_RESTART)
    q->start_over();
  else
    q->save_taken();
  q->changed.notify_all();
  return true;
}

std::size_t File_Queue_Manager::size(const std::string& name) {
  Queue* q = queue(name);
  if (!q) return 0;
  std::lock_guard<std::mutex> guard(q->lock);
  return q->waiting.size();
}

std::vector<std::pair<std::string, std::size_t>> File_Queue_Manager::sizes() {
  std::vector<std::pair<std::string, Queue*>> open;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& q : queues_) open.emplace_back(q.first, q.second.get());
  }
  std::vector<std::pair<std::string, std::size_t>> out;
  for (const auto& q : open) {
    std::lock_guard<std::mutex> guard(q.second->lock);
    out.emplace_back(q.first, q.second->waiting.size());
  }
  return out;
}
