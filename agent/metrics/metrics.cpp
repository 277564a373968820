#include "agent/metrics/metrics.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "agent/platform/process_stats.h"

namespace metrics {

const std::uint64_t Histogram::bounds_ns[BUCKETS] = {
    500000ULL,      1000000ULL,     2500000ULL,     5000000ULL,     10000000ULL,
    25000000ULL,    50000000ULL,    100000000ULL,   250000000ULL,   500000000ULL,
    1000000000ULL,  2500000000ULL,  5000000000ULL,  10000000000ULL, 30000000000ULL};
const char* const Histogram::bounds_text[BUCKETS] = {
    "0.0005", "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1",
    "0.25",   "0.5",   "1",      "2.5",   "5",    "10",   "30"};

const char TEXT_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

const char* const kind_text[] = {"counter", "gauge", "histogram"};

std::string escaped(const std::string& value, bool quote) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '"' && quote) out += "\\\"";
    else out += c;
  }
  return out;
}

void append_uint(std::string& out, std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, v);
  out += text;
}

void append_int(std::string& out, std::int64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRId64, v);
  out += text;
}

void append_double(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "+Inf" : "-Inf";
  } else if (v == std::floor(v) && std::fabs(v) < 9007199254740992.0) {
    append_int(out, static_cast<std::int64_t>(v));
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    out += text;
  }
}

// Nanoseconds as seconds, exactly.
void append_seconds(std::string& out, std::uint64_t ns) {
  char text[40];
  const std::uint64_t billion = 1000000000;
  std::snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, std::uint64_t(ns / billion),
                std::uint64_t(ns % billion));
  out += text;
}

// {a="x",b="y"} with `extra` (already escaped, e.g. le="0.5") last; nothing
// when there are no labels at all.
void append_labels(std::string& out, const std::vector<std::string>& names,
                   const std::vector<std::string>& values, const std::string& extra = "") {
  if (names.empty() && extra.empty()) return;
  out += '{';
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ',';
    out += names[i];
    out += "=\"";
    out += escaped(i < values.size() ? values[i] : std::string(), true);
    out += '"';
  }
  if (!extra.empty()) {
    if (!names.empty()) out += ',';
    out += extra;
  }
  out += '}';
}

void append_head(std::string& out, const std::string& name, const std::string& help,
                 const char* kind) {
  out += "# HELP " + name + " " + escaped(help, false) + "\n";
  out += "# TYPE " + name + " " + kind + "\n";
}

}  // namespace

std::string escape_label_value(const std::string& value) { return escaped(value, true); }
std::string escape_help(const std::string& text) { return escaped(text, false); }

Family::Family(std::string name, std::string help, Kind kind, std::vector<std::string> labels)
    : name_(std::move(name)), help_(std::move(help)), kind_(kind), labels_(std::move(labels)) {}

std::size_t thread_slot() {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t slot = next.fetch_add(1, std::memory_order_relaxed) % SLOTS;
  return slot;
}

std::uint64_t Counter::value() const {
  std::uint64_t total = 0;
  for (const Slot& s : slots_) total += s.value.load(std::memory_order_relaxed);
  return total;
}

void Gauge::set(std::int64_t v) {
  slots_[0].value.store(v, std::memory_order_relaxed);
  for (std::size_t i = 1; i < SLOTS; ++i) slots_[i].value.store(0, std::memory_order_relaxed);
}

std::int64_t Gauge::value() const {
  std::int64_t total = 0;
  for (const Slot& s : slots_) total += s.value.load(std::memory_order_relaxed);
  return total;
}

std::uint64_t Histogram::bucket(std::size_t i) const {
  std::uint64_t total = 0;
  for (const Slot& s : slots_) total += s.counts[i].load(std::memory_order_relaxed);
  return total;
}

std::uint64_t Histogram::sum_ns() const {
  std::uint64_t total = 0;
  for (const Slot& s : slots_) total += s.sum_ns.load(std::memory_order_relaxed);
  return total;
}

Family::Series& Family::series(const std::vector<std::string>& values) {
  std::unique_ptr<Series>& s = series_[values];
  if (!s) {
    s.reset(new Series);
    // Every series of a family is of its kind: the exposition reads that one.
    switch (kind_) {
      case COUNTER: s->counter.reset(new Counter); break;
      case GAUGE: s->gauge.reset(new Gauge); break;
      case HISTOGRAM: s->histogram.reset(new Histogram); break;
    }
  }
  return *s;
}

// A family is asked for series of its own kind; one asked for another
// kind gets it made beside, counted but never written.
Counter& Family::counter(const std::vector<std::string>& values) {
  std::lock_guard<std::mutex> guard(lock_);
  Series& s = series(values);
  if (!s.counter) s.counter.reset(new Counter);
  return *s.counter;
}
Gauge& Family::gauge(const std::vector<std::string>& values) {
  std::lock_guard<std::mutex> guard(lock_);
  Series& s = series(values);
  if (!s.gauge) s.gauge.reset(new Gauge);
  return *s.gauge;
}
Histogram& Family::histogram(const std::vector<std::string>& values) {
  std::lock_guard<std::mutex> guard(lock_);
  Series& s = series(values);
  if (!s.histogram) s.histogram.reset(new Histogram);
  return *s.histogram;
}

void Family::write(std::string& out) {
  std::lock_guard<std::mutex> guard(lock_);
  append_head(out, name_, help_, kind_text[kind_]);
  for (const auto& entry : series_) {
    const std::vector<std::string>& values = entry.first;
    const Series& s = *entry.second;
    if (kind_ != HISTOGRAM) {
      out += name_;
      append_labels(out, labels_, values);
      out += ' ';
      if (kind_ == COUNTER) append_uint(out, s.counter->value());
      else append_int(out, s.gauge->value());
      out += '\n';
      continue;
    }
    // Buckets are kept apart and written cumulative; the count is the
    // last of them, so the three lines always agree.
    std::uint64_t total = 0;
    for (std::size_t i = 0; i <= Histogram::BUCKETS; ++i) {
      total += s.histogram->bucket(i);
      out += name_ + "_bucket";
      append_labels(out, labels_, values,
                    std::string("le=\"") +
                        (i < Histogram::BUCKETS ? Histogram::bounds_text[i] : "+Inf") + "\"");
      out += ' ';
      append_uint(out, total);
      out += '\n';
    }
    out += name_ + "_sum";
    append_labels(out, labels_, values);
    out += ' ';
    append_seconds(out, s.histogram->sum_ns());
    out += '\n';
    out += name_ + "_count";
    append_labels(out, labels_, values);
    out += ' ';
    append_uint(out, total);
    out += '\n';
  }
}

Registry::Registry() {}

Family& Registry::family(const std::string& name, const std::string& help, Family::Kind kind,
                         const std::vector<std::string>& labels) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Family>& f = families_[name];
  if (!f) f.reset(new Family(name, help, kind, labels));
  return *f;
}

void Registry::collector(const std::string& name, const std::string& help,
                         const std::vector<std::string>& labels, Collect collect) {
  std::lock_guard<std::mutex> guard(lock_);
  collected_[name] = Collected{help, labels, std::move(collect)};
}

std::string Registry::text() {
  // Collectors run outside the registry's lock: they may take locks of
  // their own services, which may be counting meanwhile.
  std::vector<Family*> families;
  std::map<std::string, Collected> collected;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& f : families_) families.push_back(f.second.get());
    collected = collected_;
  }
  std::string out;
  auto f = families.begin();
  auto c = collected.begin();
  while (f != families.end() || c != collected.end()) {
    if (c == collected.end() || (f != families.end() && (*f)->name() < c->first)) {
      (*f++)->write(out);
      continue;
    }
    std::vector<Sample> samples;
    if (c->second.collect) c->second.collect(samples);
    append_head(out, c->first, c->second.help, "gauge");
    for (const Sample& s : samples) {
      out += c->first;
      append_labels(out, c->second.labels, s.labels);
      out += ' ';
      append_double(out, s.value);
      out += '\n';
    }
    ++c;
  }
  return out;
}

Registry& registry() {
  static Registry* made = [] {
    Registry* r = new Registry;
    r->collector("process_resident_memory_bytes", "Resident memory of the agent process.", {},
                 [](std::vector<Sample>& out) {
                   std::uint64_t bytes = 0;
                   if (platform::resident_memory(bytes))
                     out.push_back({{}, static_cast<double>(bytes)});
                 });
    r->collector("process_open_fds", "Descriptors (handles on Windows) the agent holds open.",
                 {}, [](std::vector<Sample>& out) {
                   std::uint64_t n = 0;
                   if (platform::open_descriptors(n)) out.push_back({{}, static_cast<double>(n)});
                 });
    return r;
  }();
  return *made;
}

namespace {

const char* const busy_reasons[BUSY_REASONS] = {"handlers", "workers", "connections"};

Family& busy_family() {
  static Family& f = registry().family(
      "wagent_busy_refusals_total",
      "Requests and connections refused because the agent was busy: every io handler "
      "taken, a worker pool full, or the share of connections without a session used up.",
      Family::COUNTER, {"reason"});
  return f;
}

struct Upload_Series {
  Counter* files[2];
  Counter* bytes[2];
};

const Upload_Series& upload_series() {
  static const Upload_Series s = [] {
    Family& files = registry().family("wagent_upload_files_total",
                                      "Files the log upload finished sending, by outcome.",
                                      Family::COUNTER, {"outcome"});
    Family& bytes = registry().family(
        "wagent_upload_bytes_total",
        "Body bytes the log upload sent (compressed, retries included), by the outcome of "
        "their file.",
        Family::COUNTER, {"outcome"});
    return Upload_Series{{&files.counter({"failed"}), &files.counter({"succeeded"})},
                         {&bytes.counter({"failed"}), &bytes.counter({"succeeded"})}};
  }();
  return s;
}

thread_local std::uint64_t upload_pending = 0;

}  // namespace

void count_busy(Busy_Reason reason) {
  static Counter* counters[BUSY_REASONS] = {
      &busy_family().counter({busy_reasons[0]}), &busy_family().counter({busy_reasons[1]}),
      &busy_family().counter({busy_reasons[2]})};
  if (reason >= 0 && reason < BUSY_REASONS) counters[reason]->add();
}

Gauge& open_connections() {
  static Gauge& g = registry()
                        .family("wagent_open_connections",
                                "Listener connections open now, HTTP and WebSocket.",
                                Family::GAUGE)
                        .gauge();
  return g;
}

void upload_bytes_sent(long bytes) {
  if (bytes > 0) upload_pending += static_cast<std::uint64_t>(bytes);
}

void upload_file_ended(bool ok) {
  const Upload_Series& s = upload_series();
  s.files[ok]->add();
  s.bytes[ok]->add(upload_pending);
  upload_pending = 0;
}

// Series that exist from the start, so that a scrape shows them at zero
// before the first event rather than not at all.
namespace {
struct Made_At_Load {
  Made_At_Load() {
    count_busy(BUSY_REASONS);
    open_connections();
    upload_series();
  }
} made_at_load;
}  // namespace

}  // namespace metrics
