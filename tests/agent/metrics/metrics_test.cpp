// The registry's text, exactly as a scraper reads it, and counting from many
// threads while it is written.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "agent/metrics/metrics.h"

namespace {

using metrics::Family;

TEST(Metrics_Registry, TextEscapesLabelsAndWritesCumulativeBuckets) {
  metrics::Registry r;
  r.family("b_total", "Two\nlines \\ here.", Family::COUNTER, {"method", "outcome"})
      .counter({"a\"b\\c\nd", "ok"})
      .add(3);
  metrics::Histogram& h =
      r.family("a_seconds", "Durations.", Family::HISTOGRAM, {"method"}).histogram({"x"});
  h.observe(std::chrono::microseconds(500));  // on a bound: counted in its bucket
  h.observe(std::chrono::seconds(31));        // above every bound
  r.family("c", "A gauge.", Family::GAUGE).gauge().set(-2);
  r.collector("d", "Read when written.", {"queue"}, [](std::vector<metrics::Sample>& out) {
    out.push_back({{"q1"}, 2});
    out.push_back({{"q2"}, 0.25});
  });

  std::string buckets;
  for (std::size_t i = 0; i < metrics::Histogram::BUCKETS; ++i)
    buckets += std::string("a_seconds_bucket{method=\"x\",le=\"") +
               metrics::Histogram::bounds_text[i] + "\"} 1\n";
  EXPECT_EQ("# HELP a_seconds Durations.\n"
            "# TYPE a_seconds histogram\n" +
                buckets +
                "a_seconds_bucket{method=\"x\",le=\"+Inf\"} 2\n"
                "a_seconds_sum{method=\"x\"} 31.000500000\n"
                "a_seconds_count{method=\"x\"} 2\n"
                "# HELP b_total Two\\nlines \\\\ here.\n"
                "# TYPE b_total counter\n"
                "b_total{method=\"a\\\"b\\\\c\\nd\",outcome=\"ok\"} 3\n"
                "# HELP c A gauge.\n"
                "# TYPE c gauge\n"
                "c -2\n"
                "# HELP d Read when written.\n"
                "# TYPE d gauge\n"
                "d{queue=\"q1\"} 2\n"
                "d{queue=\"q2\"} 0.25\n",
            r.text());
}

// More threads than a series has slots, so some share one.
TEST(Metrics_Registry, CountsFromManyThreadsWhileWrittenAreAllKept) {
  metrics::Registry r;
  Family& f = r.family("n_total", "N.", Family::COUNTER, {"k"});
  metrics::Histogram& h = r.family("t", "T.", Family::HISTOGRAM).histogram();
  metrics::Gauge& g = r.family("g", "G.", Family::GAUGE).gauge();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) r.text();
  });
  std::vector<std::thread> writers;
  const int threads = int(metrics::SLOTS) + 4;
  for (int t = 0; t < threads; ++t)
    writers.emplace_back([&, t] {
      metrics::Counter& c = f.counter({t % 2 ? "odd" : "even"});
      for (int i = 0; i < 10000; ++i) {
        c.add();
        g.add(1);
        h.observe(std::chrono::milliseconds(i % 3));
        g.add(-1);
      }
    });
  for (std::thread& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(threads / 2 * 10000u, f.counter({"odd"}).value());
  EXPECT_EQ(threads / 2 * 10000u, f.counter({"even"}).value());
  const std::string text = r.text();
  EXPECT_NE(std::string::npos, text.find("t_count " + std::to_string(threads * 10000) + "\n"));
  EXPECT_NE(std::string::npos, text.find("\ng 0\n")) << text;
  g.set(7);
  EXPECT_EQ(7, g.value());
}

}  // namespace
