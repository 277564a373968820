// The process's counters, gauges and latency histograms, and their text in
// the Prometheus exposition format. Counting is a relaxed atomic add on a
// series the caller found once (at configuration, or in a function-local
// static) and keeps, into the calling thread's own slot of it: the request
// path never takes a lock, looks a name up or shares a cache line.
// Values that are cheaper to read than to keep (queue depths, resident
// memory) are read by collectors when the text is written.
#ifndef METRICS_METRICS_H
#define METRICS_METRICS_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace metrics {

// Each thread counts into a slot of its own (threads beyond SLOTS share
// them), on a cache line of its own, and a scrape sums the slots: io
// threads counting every request never pass a line between their cores.
constexpr std::size_t SLOTS = 8;
// The calling thread's slot, fixed when it first counts.
std::size_t thread_slot();

class Counter {
 public:
  void add(std::uint64_t n = 1) {
    slots_[thread_slot()].value.fetch_add(n, std::memory_order_relaxed);
  }
  std::uint64_t value() const;

 private:
  struct alignas(64) Slot {
    std::atomic<std::uint64_t> value{0};
  };
  Slot slots_[SLOTS];
};

// A level: moved up and down by adds from any thread, or set outright by
// one that owns it (never both on one gauge).
class Gauge {
 public:
  void add(std::int64_t n) {
    slots_[thread_slot()].value.fetch_add(n, std::memory_order_relaxed);
  }
  void set(std::int64_t v);
  std::int64_t value() const;

 private:
  struct alignas(64) Slot {
    std::atomic<std::int64_t> value{0};
  };
  Slot slots_[SLOTS];
};

// Durations in fixed buckets, from half a millisecond to half a minute.
class Histogram {
 public:
  static constexpr std::size_t BUCKETS = 15;
  // Upper bounds in nanoseconds, and as the exposition writes them.
  static const std::uint64_t bounds_ns[BUCKETS];
  static const char* const bounds_text[BUCKETS];

  void observe(std::chrono::nanoseconds d) {
    const std::uint64_t ns = d.count() > 0 ? static_cast<std::uint64_t>(d.count()) : 0;
    std::size_t i = 0;
    while (i < BUCKETS && ns > bounds_ns[i]) ++i;
    Slot& slot = slots_[thread_slot()];
    slot.counts[i].fetch_add(1, std::memory_order_relaxed);
    slot.sum_ns.fetch_add(ns, std::memory_order_relaxed);
  }
  // Observations in bucket `i` alone (BUCKETS: above every bound).
  std::uint64_t bucket(std::size_t i) const;
  std::uint64_t sum_ns() const;

 private:
  struct alignas(64) Slot {
    std::atomic<std::uint64_t> counts[BUCKETS + 1] = {};
    std::atomic<std::uint64_t> sum_ns{0};
  };
  Slot slots_[SLOTS];
};

// One sample a collector reports: its label values and its value.
struct Sample {
  std::vector<std::string> labels;
  double value;
};
typedef std::function<void(std::vector<Sample>&)> Collect;

class Registry;

// A named metric and its series, one per set of label values. Series are
// made on first request and kept for the life of the registry, so a
// pointer to one stays good.
class Family {
 public:
  enum Kind { COUNTER, GAUGE, HISTOGRAM };
  Family(std::string name, std::string help, Kind kind, std::vector<std::string> labels);

  // The series of `values` (as many as the family has labels), made when
  // new. Takes the family's lock: call once and keep the result.
  Counter& counter(const std::vector<std::string>& values = {});
  Gauge& gauge(const std::vector<std::string>& values = {});
  Histogram& histogram(const std::vector<std::string>& values = {});

  const std::string& name() const { return name_; }

 private:
  friend class Registry;
  // Only the kind the family counts is made.
  struct Series {
    std::unique_ptr<Counter> counter;
    std::unique_ptr<Gauge> gauge;
    std::unique_ptr<Histogram> histogram;
  };
  Series& series(const std::vector<std::string>& values);  // under lock_
  void write(std::string& out);

  const std::string name_, help_;
  const Kind kind_;
  const std::vector<std::string> labels_;
  std::mutex lock_;
  std::map<std::vector<std::string>, std::unique_ptr<Series>> series_;
};

class Registry {
 public:
  Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The family of `name`, made on first request; a later request with the
  // same name gets the same family whatever else it says.
  Family& family(const std::string& name, const std::string& help, Family::Kind kind,
                 const std::vector<std::string>& labels = {});
  // A gauge family whose samples `collect` reports when the text is
  // written; a second collector of the same name replaces the first.
  void collector(const std::string& name, const std::string& help,
                 const std::vector<std::string>& labels, Collect collect);

  // The text exposition format (version 0.0.4), families in name order.
  std::string text();

 private:
  struct Collected {
    std::string help;
    std::vector<std::string> labels;
    Collect collect;
  };
  std::mutex lock_;
  std::map<std::string, std::unique_ptr<Family>> families_;
  std::map<std::string, Collected> collected_;
};

// The process's registry: made on first use and never destroyed, so that
// detached threads may count until the process leaves.
Registry& registry();

// The content type of Registry::text().
extern const char TEXT_CONTENT_TYPE[];

// A label value or help text as the format escapes it.
std::string escape_label_value(const std::string& value);
std::string escape_help(const std::string& text);

// Process-wide series that several libraries count into.
enum Busy_Reason { BUSY_HANDLERS, BUSY_WORKERS, BUSY_CONNECTIONS, BUSY_REASONS };
// A request refused because the agent was busy.
void count_busy(Busy_Reason reason);
// Listener connections open now (HTTP and WebSocket).
Gauge& open_connections();

// Uploads. The bytes a body source hands out on a thread belong to the file
// that thread is sending; when that file ends its bytes are counted with
// it, under its outcome.
void upload_bytes_sent(long bytes);
void upload_file_ended(bool ok);

}  // namespace metrics

#endif
