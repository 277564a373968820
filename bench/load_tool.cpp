// A load of K concurrent connections against wagent: HTTP keep-alive POST
// and WebSocket clients sending a mix of host.info, host.test (no wait),
// fs.list of a small folder, fs.statfs and, over HTTP, the REST date with
// the agent's local session. Prints requests/s, latency percentiles, replies lost or
// mismatched (ids checked), and wagent's resident memory, open descriptors
// and threads before and after the load, each once the connections have
// closed and a settle time has passed. "Before" follows a warm-up of a few
// hundred requests of each kind, so thread pools and per-thread buffers
// exist at both. With --rounds R the load runs R times, each followed by
// the settle, and the last round is checked against the first: what a
// load leaves pinned in the heap (its high-water mark) shows after round
// one and stays; a leak grows with every round.
//
//   load_tool [--connections K] [--seconds S | --requests N] [--ws-share F]
//             [--settle S] [--rss-tolerance KIB] [--rounds R]
//             [--url http://HOST:PORT --pid PID]
//             [--wagent PATH] [--config PATH] [--key-file PATH]
//
// Without --url it starts the wagent of this build on 127.0.0.1:0 with
// etc/wagent.conf and reads the session key the agent made; with --url,
// --key-file names the running agent's (APPDATA/chost/session_key). Exit status 1 when a reply was lost or mismatched, the
// descriptors differ, or the RSS after exceeds the RSS before by more than
// the tolerance (1 MiB).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/proc_figures.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;
// The key of the agent's local session, read from its file.
std::string session;

struct Options {
  unsigned connections = 64;
  double seconds = 10;
  unsigned long requests = 0;  // when set, the run ends after this many
  double ws_share = 0.5;
  // Idle workers leave after 30 s: the figures after the load wait past that.
  double settle = 35;
  // Requests of the warm-up round: about 400 of each of the five kinds.
  unsigned long warm_up = 2000;
  long rss_tolerance_kib = 1024;
  unsigned rounds = 1;
  std::string url, wagent = LOAD_TOOL_WAGENT, config = LOAD_TOOL_CONFIG, key_file;
  long pid = 0;
};

struct Tally {
  unsigned long done = 0, lost = 0, mismatched = 0;
  std::vector<std::uint32_t> micros;

  void add(Tally&& other) {
    done += other.done;
    lost += other.lost;
    mismatched += other.mismatched;
    micros.insert(micros.end(), other.micros.begin(), other.micros.end());
  }
};

// The JSON-RPC text of request `id` of kind `kind` (0-3).
std::string rpc_text(unsigned kind, unsigned long long id, const std::string& folder) {
  static const char* const methods[] = {"host.info", "host.test", "fs.list", "fs.statfs"};
  std::string text = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
                     ",\"method\":\"" + methods[kind] + "\"";
  if (kind == 1) text += ",\"params\":0";
  if (kind == 2) text += ",\"params\":\"" + folder + "\"";
  if (kind == 3) text += ",\"params\":\"/\"";
  return text + "}";
}

// The id a reply carries, or ~0 when it has none or is not a result.
unsigned long long result_id(const std::string& reply) {
  std::size_t at = reply.find("\"id\":");
  if (at == std::string::npos || reply.find("\"result\"") == std::string::npos)
    return ~0ULL;
  return std::strtoull(reply.c_str() + at + 5, nullptr, 10);
}

class Load {
 public:
  Load(const Options& o, std::string host, unsigned short port, std::string folder)
      : o_(o), host_(std::move(host)), port_(port), folder_(std::move(folder)) {}

  // One round: every connection works until the time or request budget is
  // spent, then closes.
  Tally run(double seconds, unsigned long requests) {
    limited_ = requests != 0;
    budget_ = static_cast<long long>(requests);
    stop_at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(seconds));
    std::vector<Tally> tallies(o_.connections);
    std::vector<std::thread> threads;
    const unsigned ws = static_cast<unsigned>(o_.connections * o_.ws_share + 0.5);
    for (unsigned c = 0; c < o_.connections; ++c)
      threads.emplace_back([this, c, ws, &tallies] {
        if (c < ws) run_ws(c, tallies[c]);
        else run_http(c, tallies[c]);
      });
    Tally all;
    for (unsigned c = 0; c < o_.connections; ++c) {
      threads[c].join();
      all.done += tallies[c].done;
      all.lost += tallies[c].lost;
      all.mismatched += tallies[c].mismatched;
      all.micros.insert(all.micros.end(), tallies[c].micros.begin(), tallies[c].micros.end());
    }
    return all;
  }

 private:
  bool more() {
    if (Clock::now() >= stop_at_) return false;
    return !limited_ || budget_.fetch_sub(1) > 0;
  }
  static std::uint32_t micros_since(Clock::time_point t) {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t).count());
  }

  void run_http(unsigned c, Tally& t) {
    wire::Wire_Client client(host_, port_);
    const wire::Header_List headers{{"X-Session-Key", session}};
    for (unsigned long long n = 0; more(); ++n) {
      const unsigned kind = static_cast<unsigned>((n + c) % 5);
      const unsigned long long id = (static_cast<unsigned long long>(c) << 32) | n;
      auto began = Clock::now();
      wire::Http_Response r =
          kind == 4 ? client.request("GET", "/api/host/date", {}, headers)
                    : client.request("POST", "/jsonrpc", rpc_text(kind, id, folder_), headers);
      if (!r.ok) {
        ++t.lost;
        client.disconnect();
        continue;
      }
      t.micros.push_back(micros_since(began));
      bool good = r.status == 200 && (kind == 4 ? r.body.find("\"date\"") != std::string::npos
                                                : result_id(r.body) == id);
      ++(good ? t.done : t.mismatched);
    }
  }

  // Keeps a few requests in flight and matches the replies by id.
  void run_ws(unsigned c, Tally& t) {
    const unsigned window = 4;
    wire::Wire_Client client(host_, port_);
    if (!client.ws_connect("/jsonrpc?session=" + session)) {
      ++t.lost;
      return;
    }
    std::map<unsigned long long, Clock::time_point> in_flight;
    unsigned long long n = 0;
    auto send = [&] {
      const unsigned long long id = (static_cast<unsigned long long>(c) << 32) | n;
      in_flight[id] = Clock::now();
      return client.ws_send(rpc_text(static_cast<unsigned>((n++ + c) % 4), id, folder_));
    };
    bool open = true;
    for (unsigned i = 0; i < window && open && more(); ++i) open = send();
    while (open && !in_flight.empty()) {
      auto reply = client.ws_receive(std::chrono::seconds(10));
      if (!reply) break;
      auto it = in_flight.find(result_id(*reply));
      if (it == in_flight.end()) {
        ++t.mismatched;
        continue;
      }
      t.micros.push_back(micros_since(it->second));
      in_flight.erase(it);
      ++t.done;
      if (more()) open = send();
    }
    t.lost += in_flight.size();
    client.ws_close();
  }

  const Options& o_;
  std::string host_;
  unsigned short port_;
  std::string folder_;
  bool limited_ = false;
  std::atomic<long long> budget_{0};
  Clock::time_point stop_at_;
};

bool parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--connections") o.connections = static_cast<unsigned>(std::atoi(v.c_str()));
    else if (a == "--seconds") o.seconds = std::atof(v.c_str());
    else if (a == "--requests") o.requests = std::strtoul(v.c_str(), nullptr, 10), o.seconds = 1e9;
    else if (a == "--ws-share") o.ws_share = std::atof(v.c_str());
    else if (a == "--settle") o.settle = std::atof(v.c_str());
    else if (a == "--rss-tolerance") o.rss_tolerance_kib = std::atol(v.c_str());
    else if (a == "--rounds") o.rounds = static_cast<unsigned>(std::atoi(v.c_str()));
    else if (a == "--url") o.url = v;
    else if (a == "--pid") o.pid = std::atol(v.c_str());
    else if (a == "--wagent") o.wagent = v;
    else if (a == "--config") o.config = v;
    else if (a == "--key-file") o.key_file = v;
    else return false;
  }
  return argc % 2 == 1 && o.connections > 0 && o.seconds > 0 && o.ws_share >= 0 &&
         o.ws_share <= 1 && o.rss_tolerance_kib >= 0 && o.rounds > 0;
}

std::string read_file(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

void print_figures(const char* when, const Proc_Figures& f) {
  if (f.rss_kib < 0) return;
  std::printf("wagent %-16s RSS %7ld KiB, %4ld open descriptors, %3ld threads\n", when,
              f.rss_kib, f.fds, f.threads);
}

// The wagent the load goes to: the one at --url, or one started here
// (host, port, pid and, unless given, the key file then set). 0, or the
// exit status when there is none.
int reach_target(Options& o, wire::Wagent_Process& wagent, std::string& host,
                 unsigned short& port, long& pid) {
  if (!o.url.empty()) {
    char h[256];
    unsigned p = 0;
    if (std::sscanf(o.url.c_str(), "http://%255[^:/]:%u", h, &p) != 2) return 2;
    host = h;
    port = static_cast<unsigned short>(p);
    return 0;
  }
  // Logs go to a file: the load measures serving, not a pipe reader.
  if (!wagent.start(read_file(o.config),
                    {"-s", "listen=127.0.0.1:0", "-s", "appdata=" + wagent.dir() + "/var",
                     "-s", "log=" + wagent.dir() + "/wagent.log"})) {
    std::fprintf(stderr, "load_tool: wagent did not start:\n%s\n",
                 wagent.stderr_text().c_str());
    return 1;
  }
  host = wagent.host();
  port = wagent.port();
  pid = wagent.pid();
  if (o.key_file.empty()) o.key_file = wagent.dir() + "/var/chost/session_key";
  return 0;
}

// Prints the load's figures; true when replies were lost or mismatched, or
// wagent kept descriptors or memory.
// `before` is the figure after the warm-up, or after the first round when
// there are more.
bool report(const Options& o, Tally& t, const Tally& warm, double seconds,
            const Proc_Figures& before, const Proc_Figures& after, long pid) {
  std::sort(t.micros.begin(), t.micros.end());
  auto pct = [&](double q) {
    return t.micros.empty() ? 0.0
                            : t.micros[std::min(t.micros.size() - 1,
                                                static_cast<std::size_t>(q * t.micros.size()))] /
                                  1000.0;
  };
  const unsigned ws = static_cast<unsigned>(o.connections * o.ws_share + 0.5);
  std::printf("%u connections (%u WebSocket, %u HTTP), %u round%s, %.1f s: %lu replies, "
              "%.0f requests/s\n",
              o.connections, ws, o.connections - ws, o.rounds, o.rounds > 1 ? "s" : "", seconds,
              t.done, t.done / seconds);
  std::printf("latency ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", pct(0.5), pct(0.9),
              pct(0.99), t.micros.empty() ? 0.0 : t.micros.back() / 1000.0);
  const unsigned long lost = t.lost + warm.lost, mismatched = t.mismatched + warm.mismatched;
  std::printf("lost %lu, mismatched %lu (warm-up included)\n", lost, mismatched);
  print_figures("after the load", after);
  bool failed = lost || mismatched;
  if (before.fds >= 0 && after.fds >= 0) {
    const long rss_change = after.rss_kib - before.rss_kib;
    std::printf("change %s, after %.0f s settle: RSS %+ld KiB (tolerance %ld), "
                "descriptors %+ld, threads %+ld\n",
                o.rounds > 1 ? "from the first round to the last" : "over the warm-up", o.settle,
                rss_change, o.rss_tolerance_kib, after.fds - before.fds,
                after.threads - before.threads);
    if (after.fds != before.fds) failed = true, std::printf("FAIL: descriptors differ\n");
    if (rss_change > o.rss_tolerance_kib) failed = true, std::printf("FAIL: RSS grew\n");
  } else if (pid > 0) {
    failed = true;
    std::printf("FAIL: cannot read /proc/%ld\n", pid);
  }
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--connections K] [--seconds S | --requests N] [--ws-share F] "
                 "[--settle S] [--rss-tolerance KIB] [--rounds R] "
                 "[--url http://HOST:PORT --pid PID] "
                 "[--wagent PATH] [--config PATH] [--key-file PATH]\n",
                 argv[0]);
    return 2;
  }
  wire::Wagent_Process wagent(o.wagent);
  std::string host;
  unsigned short port = 0;
  long pid = o.pid;
  // A small folder for fs.list: a dozen entries.
  const std::string folder = wagent.dir() + "/listed";
  ::mkdir(folder.c_str(), 0700);
  for (int i = 0; i < 12; ++i) std::ofstream(folder + "/file" + std::to_string(i)) << i;
  if (const int rc = reach_target(o, wagent, host, port, pid)) return rc;
  std::istringstream(read_file(o.key_file)) >> session;
  if (session.empty()) {
    std::fprintf(stderr, "load_tool: no session key in '%s'\n", o.key_file.c_str());
    return 1;
  }
  const auto settle = [&] {
    std::this_thread::sleep_for(std::chrono::duration<double>(o.settle));
  };

  Load load(o, host, port, folder);
  print_figures("at start", proc_figures(pid));
  // A warm-up round makes the threads and buffers a steady load keeps.
  const Tally warm = load.run(1e9, o.warm_up);
  settle();
  Proc_Figures before = proc_figures(pid);
  print_figures("after warm-up", before);

  Tally t;
  std::chrono::duration<double> took{0};
  Proc_Figures after;
  for (unsigned round = 1; round <= o.rounds; ++round) {
    const auto began = Clock::now();
    Tally r = load.run(o.seconds, o.requests);
    took += Clock::now() - began;
    t.add(std::move(r));
    settle();
    after = proc_figures(pid);
    if (o.rounds > 1) {
      const std::string when = "after round " + std::to_string(round);
      print_figures(when.c_str(), after);
      if (round == 1) before = after;
    }
  }

  const bool failed = report(o, t, warm, took.count(), before, after, pid);
  if (o.url.empty() && wagent.stop() != 0) {
    std::fprintf(stderr, "load_tool: wagent did not stop cleanly\n%s\n",
                 wagent.stderr_text().c_str());
    return 1;
  }
  return failed ? 1 : 0;
}
