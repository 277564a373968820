// How often an idle wagent wakes up: with no client and no upstream, its
// threads' context switches (voluntary and not) over a quiet spell, read
// from /proc/PID/task/*/status, and the CPU time it used meanwhile. The
// baseline is the same count for a `sleep` process over the same spell,
// which a machine's own noise cannot push above zero.
//
//   idle_bench [--seconds S] [--wagent PATH] [--module PATH]
//
// The agent is first given some work (a listing, a few calls) and a few
// seconds to settle, so the figure is that of an agent that has been used
// and gone quiet, not of one that has never served anything.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

// Context switches of each thread of `pid` so far, by thread id.
std::map<std::string, unsigned long long> switches(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::map<std::string, unsigned long long> counts;
  DIR* dir = ::opendir(tasks.c_str());
  if (!dir) return counts;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.find("ctxt_switches:") != std::string::npos)
        counts[e->d_name] += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
  }
  ::closedir(dir);
  return counts;
}

// Switches between two readings; a thread that came meanwhile counts whole,
// one that left counts nothing (its last switches are lost with it).
unsigned long long since(const std::map<std::string, unsigned long long>& before,
                         const std::map<std::string, unsigned long long>& after) {
  unsigned long long total = 0;
  for (const auto& [tid, count] : after) {
    auto it = before.find(tid);
    total += it == before.end() ? count : count - std::min(count, it->second);
  }
  return total;
}

// CPU seconds `pid` has used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unsigned long user = 0, system = 0;
  std::sscanf(text.c_str() + text.rfind(')') + 2,
              "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int threads(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
  int seconds = 30;
  std::string binary = IDLE_BENCH_WAGENT;
  std::string module = IDLE_BENCH_MODULE;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--seconds") seconds = std::atoi(value.c_str());
    else if (key == "--wagent") binary = value;
    else if (key == "--module") module = value;
    else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--wagent PATH] [--module PATH]\n",
                   argv[0]);
      return 2;
    }
  }

  wire::Wagent_Process wagent(binary);
  const std::string config = "set listen 127.0.0.1:0\n"
                             "set appdata " + wagent.dir() + "/var\n"
                             "set log " + wagent.dir() + "/wagent.log\n"
                             "jsonrpc host.info " + module +
                             ":_make_JSON_RPC_Host_Info_Handler\n"
                             "jsonrpc fs.list " + module +
                             ":_make_JSON_RPC_FS_List_Handler\n";
  if (!wagent.start(config)) {
    std::fprintf(stderr, "idle_bench: wagent did not start:\n%s\n", wagent.stderr_text().c_str());
    return 1;
  }
  {
    wire::Wire_Client c(wagent.host(), wagent.port());
    for (int i = 0; i < 20; ++i)
      c.request("POST", "/jsonrpc", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"host.info\"}");
    c.request("POST", "/jsonrpc",
              "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"fs.list\",\"params\":\"/usr/lib\"}");
  }
  std::this_thread::sleep_for(std::chrono::seconds(5));  // the quiet spell begins

  const pid_t sleeper = ::fork();
  if (sleeper == 0) {
    ::execlp("sleep", "sleep", std::to_string(seconds + 5).c_str(), (char*)nullptr);
    ::_exit(127);
  }
  const auto agent_before = switches(wagent.pid());
  const auto sleep_before = switches(sleeper);
  const double cpu_before = cpu_seconds(wagent.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double agent_rate = double(since(agent_before, switches(wagent.pid()))) / seconds;
  const double sleep_rate = double(since(sleep_before, switches(sleeper))) / seconds;
  const double cpu_ms = (cpu_seconds(wagent.pid()) - cpu_before) * 1000.0 / seconds;
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);

  std::printf("idle wagent over %d s: %.2f wake-ups/s (sleep: %.2f), %.2f ms CPU/s, "
              "%d threads\n",
              seconds, agent_rate, sleep_rate, cpu_ms, threads(wagent.pid()));
  return wagent.stop() == 0 ? 0 : 1;
}
