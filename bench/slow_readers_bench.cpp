// Keyed clients that ask for a large fs.list and never read, beside callers
// that go on asking for host.info and a small fs.list. Prints the callers'
// latency percentiles while the readers stall, wagent's peak thread count
// and resident memory then, and how long it takes, once the readers close,
// for its descriptors to come back.
//
//   slow_readers_bench [--readers N] [--entries E] [--seconds S]
//                      [--callers C] [--transport http|websocket|mixed]
//                      [--rcvbuf BYTES] [--dir PARENT] [--keep]
//                      [--wagent PATH] [--config PATH]
//
// Defaults: 300 readers (half WebSocket, half HTTP POST), 100,000 entries in
// PARENT/slow-readers-E (PARENT /tmp; reused when it holds E entries, kept
// with --keep), 10 s of 4 callers, a 16 KiB receive buffer on each reader.
// wagent is the one of this build with etc/wagent.conf; callers use the
// local session key it writes under its state folder.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/entry_dirs.h"
#include "bench/proc_figures.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;
std::string key;  // the agent's local session key, read once it runs

struct Options {
  unsigned readers = 300;
  long entries = 100000;
  double seconds = 10;
  unsigned callers = 4;
  std::string transport = "mixed";
  int rcvbuf = 16384;
  std::string parent = "/tmp";
  bool keep = false;
  std::string wagent = SLOW_READERS_BENCH_WAGENT, config = SLOW_READERS_BENCH_CONFIG;
};

std::string call(unsigned long id, const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
         "\"" + (params.empty() ? "" : ",\"params\":\"" + params + "\"") + "}";
}

std::string read_text(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

bool parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--keep") {
      o.keep = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--readers") o.readers = static_cast<unsigned>(std::atoi(v.c_str()));
    else if (a == "--entries") o.entries = std::atol(v.c_str());
    else if (a == "--seconds") o.seconds = std::atof(v.c_str());
    else if (a == "--callers") o.callers = static_cast<unsigned>(std::atoi(v.c_str()));
    else if (a == "--transport") o.transport = v;
    else if (a == "--rcvbuf") o.rcvbuf = std::atoi(v.c_str());
    else if (a == "--dir") o.parent = v;
    else if (a == "--wagent") o.wagent = v;
    else if (a == "--config") o.config = v;
    else return false;
  }
  return o.callers > 0 && o.seconds > 0 && o.entries > 0 &&
         (o.transport == "http" || o.transport == "websocket" || o.transport == "mixed");
}

// A few calls first, so the figures at start include the threads and
// buffers any load makes.
void warm_up(wire::Wagent_Process& wagent, const std::string& small) {
  wire::Wire_Client c(wagent.host(), wagent.port());
  for (int i = 0; i < 20; ++i)
    c.request("POST", "/jsonrpc", call(i, i % 2 ? "host.info" : "fs.list", i % 2 ? "" : small),
              {{"X-Session-Key", key}});
}

// wagent sampled every 100 ms: the peaks while the readers ask (phase 0)
// and while they stall (1), and the threads each second of phase 1.
struct Sampler {
  std::atomic<int> phase{0};
  Proc_Figures peaks[2];
  std::vector<long> threads_each_second;
  std::thread thread;

  explicit Sampler(long pid) {
    thread = std::thread([this, pid] {
      for (int tick = 0; phase < 2; ++tick) {
        const Proc_Figures f = proc_figures(pid);
        Proc_Figures& peak = peaks[phase == 0 ? 0 : 1];
        peak.threads = std::max(peak.threads, f.threads);
        peak.rss_kib = std::max(peak.rss_kib, f.rss_kib);
        peak.fds = std::max(peak.fds, f.fds);
        if (phase == 1 && tick % 10 == 0) threads_each_second.push_back(f.threads);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  void stop() {
    phase = 2;
    thread.join();
  }
};

// The readers: each asks once and never reads.
std::vector<std::unique_ptr<wire::Wire_Client>> open_readers(wire::Wagent_Process& wagent,
                                                             const Options& o,
                                                             const std::string& big) {
  const auto opening = Clock::now();
  std::vector<std::unique_ptr<wire::Wire_Client>> readers;
  unsigned opened = 0;
  for (unsigned i = 0; i < o.readers; ++i) {
    auto c = std::make_unique<wire::Wire_Client>(wagent.host(), wagent.port());
    c->set_slow_link(o.rcvbuf);
    const bool ws = o.transport == "websocket" || (o.transport == "mixed" && i % 2);
    const std::string text = call(1000 + i, "fs.list", big);
    const bool ok = ws ? c->ws_connect("/jsonrpc?session=" + key) && c->ws_send(text)
                       : c->send_request("POST", "/jsonrpc", text, {{"X-Session-Key", key}});
    opened += ok;
    readers.push_back(std::move(c));
  }
  const double open_s = std::chrono::duration<double>(Clock::now() - opening).count();
  std::printf("%u of %u readers asked (%s, receive buffer %d) in %.2f s\n", opened, o.readers,
              o.transport.c_str(), o.rcvbuf, open_s);
  return readers;
}

// The callers, for o.seconds: the latency of each reply, sorted, and the
// count of calls that failed.
std::vector<double> run_callers(wire::Wagent_Process& wagent, const Options& o,
                                const std::string& small, unsigned long& failed) {
  std::mutex lock;
  std::vector<double> ms;
  failed = 0;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(o.seconds));
  std::vector<std::thread> callers;
  for (unsigned c = 0; c < o.callers; ++c)
    callers.emplace_back([&] {
      wire::Wire_Client client(wagent.host(), wagent.port(), std::chrono::seconds(60));
      for (unsigned long n = 0; Clock::now() < end; ++n) {
        const bool list = n % 4 == 3;
        const auto began = Clock::now();
        wire::Http_Response r =
            client.request("POST", "/jsonrpc",
                           call(n, list ? "fs.list" : "host.info", list ? small : ""),
                           {{"X-Session-Key", key}});
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
        std::lock_guard<std::mutex> guard(lock);
        if (!r.ok || r.status != 200 || r.body.find("\"result\"") == std::string::npos) {
          ++failed;
          client.disconnect();
        } else {
          ms.push_back(took);
        }
      }
    });
  for (auto& t : callers) t.join();
  std::sort(ms.begin(), ms.end());
  return ms;
}

void print_stall(const Options& o, const std::vector<double>& ms, unsigned long failed,
                 const Sampler& sampler, const Proc_Figures& during) {
  auto pct = [&](double q) {
    return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))];
  };
  std::printf("callers: %zu replies, %lu failed in %.0f s; latency ms p50 %.2f  p90 %.2f  "
              "p99 %.2f  max %.2f\n",
              ms.size(), failed, o.seconds, pct(0.5), pct(0.9), pct(0.99),
              ms.empty() ? 0.0 : ms.back());
  const Proc_Figures* peaks = sampler.peaks;
  std::printf("wagent while the readers asked: peak %ld threads, peak RSS %ld KiB\n",
              peaks[0].threads, peaks[0].rss_kib);
  std::printf("wagent while they stalled: peak %ld threads, peak RSS %ld KiB, peak %ld "
              "descriptors; at the end %ld threads, RSS %ld KiB\n",
              peaks[1].threads, peaks[1].rss_kib, peaks[1].fds, during.threads, during.rss_kib);
  std::printf("threads each second while they stalled:");
  for (long t : sampler.threads_each_second) std::printf(" %ld", t);
  std::printf("\n");
}

// The readers leave; everything held for them should be given back.
void close_readers(std::vector<std::unique_ptr<wire::Wire_Client>>& readers, long pid,
                   const Proc_Figures& start) {
  const auto closing = Clock::now();
  readers.clear();
  Proc_Figures after = proc_figures(pid);
  while (after.fds > start.fds && Clock::now() - closing < std::chrono::seconds(60)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = proc_figures(pid);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  after = proc_figures(pid);
  std::printf("readers closed: descriptors %ld (start %ld) after %.1f s; %ld threads, RSS %ld KiB "
              "2 s later\n",
              after.fds, start.fds,
              std::chrono::duration<double>(Clock::now() - closing).count() - 2, after.threads,
              after.rss_kib);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--readers N] [--entries E] [--seconds S] [--callers C] "
                 "[--transport http|websocket|mixed] [--rcvbuf BYTES] [--dir PARENT] "
                 "[--keep] [--wagent PATH] [--config PATH]\n",
                 argv[0]);
    return 2;
  }
  const std::string big = o.parent + "/slow-readers-" + std::to_string(o.entries);
  if (!make_files(big, o.entries)) return std::perror("creating entries"), 1;

  wire::Wagent_Process wagent(o.wagent);
  const std::string small = wagent.dir() + "/listed";
  ::mkdir(small.c_str(), 0700);
  for (int i = 0; i < 12; ++i) std::ofstream(small + "/file" + std::to_string(i)) << i;
  if (!wagent.start(read_text(o.config),
                    {"-s", "listen=127.0.0.1:0", "-s", "appdata=" + wagent.dir() + "/var",
                     "-s", "log=" + wagent.dir() + "/wagent.log"})) {
    std::fprintf(stderr, "wagent did not start:\n%s\n", wagent.stderr_text().c_str());
    return 1;
  }
  std::istringstream(read_text(wagent.dir() + "/var/chost/session_key")) >> key;
  if (key.empty()) {
    std::fprintf(stderr, "no session key under %s/var/chost\n", wagent.dir().c_str());
    return 1;
  }
  const long pid = wagent.pid();
  warm_up(wagent, small);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Proc_Figures start = proc_figures(pid);
  std::printf("wagent at start:     RSS %7ld KiB, %4ld descriptors, %3ld threads\n",
              start.rss_kib, start.fds, start.threads);

  Sampler sampler(pid);
  auto readers = open_readers(wagent, o, big);
  sampler.phase = 1;
  unsigned long failed = 0;
  const std::vector<double> ms = run_callers(wagent, o, small, failed);
  const Proc_Figures during = proc_figures(pid);
  sampler.stop();
  print_stall(o, ms, failed, sampler, during);
  close_readers(readers, pid, start);

  const int status = wagent.stop();
  if (!o.keep) remove_tree(big);
  if (status != 0) {
    std::fprintf(stderr, "wagent did not stop cleanly (%d)\n%s\n", status,
                 wagent.stderr_text().c_str());
    return 1;
  }
  return 0;
}
