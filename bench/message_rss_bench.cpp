// Resident memory of a wagent while large JSON-RPC messages are read and
// held, and after they are gone.
//
//   message_rss_bench [--clients N] [--shape numbers|strings] [--mib M]
//                     [--wagent PATH] [--module PATH]
//
// N WebSocket clients (default 10) each send one `host.test` request of
// about M MiB (default 8) whose params is an array: of single-digit numbers
// (the costliest shape to build) or of 100-character strings. host.test
// holds an array-params request for two minutes while its requester stays;
// the clients leave after the figures are taken, which ends those waits.
// Prints VmRSS before, while held, and after the clients left, and VmHWM.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

// A field of /proc/PID/status in KiB, or -1.
long status_kib(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line[n] == ':')
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
  return -1;
}

std::string message(std::size_t bytes, bool strings) {
  std::string text = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"host.test\",\"params\":[";
  const std::string item = strings ? "\"" + std::string(100, 'x') + "\"," : "1,";
  text.reserve(bytes + item.size() + 2);
  while (text.size() < bytes) text += item;
  text.back() = ']';
  return text + "}";
}

void report(const char* phase, pid_t pid) {
  std::printf("%-24s VmRSS %8ld KiB   VmHWM %8ld KiB\n", phase,
              status_kib(pid, "VmRSS"), status_kib(pid, "VmHWM"));
}

}  // namespace

int main(int argc, char** argv) {
  unsigned clients = 10;
  bool strings = false;
  std::size_t mib = 8;
  std::string binary = MESSAGE_RSS_BENCH_WAGENT;
  std::string module = MESSAGE_RSS_BENCH_MODULE;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i], value = argv[i + 1];
    if (key == "--clients") clients = std::stoul(value);
    else if (key == "--shape") strings = value == "strings";
    else if (key == "--mib") mib = std::stoul(value);
    else if (key == "--wagent") binary = value;
    else if (key == "--module") module = value;
    else {
      std::fprintf(stderr, "usage: %s [--clients N] [--shape numbers|strings] "
                           "[--mib M] [--wagent PATH] [--module PATH]\n", argv[0]);
      return 2;
    }
  }

  wire::Wagent_Process wagent(binary);
  std::string config = "set listen 127.0.0.1:0\n"
                       "set appdata " + wagent.dir() + "/var\n"
                       "set log " + wagent.dir() + "/wagent.log\n"
                       "set http.body_limit " + std::to_string((mib + 1) << 20) + "\n"
                       "jsonrpc host.test " + module +
                       ":_make_JSON_RPC_Host_Test_Handler\n";
  if (!wagent.start(config)) {
    std::fprintf(stderr, "message_rss_bench: wagent did not start:\n%s\n",
                 wagent.stderr_text().c_str());
    return 1;
  }
  const std::string text = message(mib << 20, strings);
  std::printf("%u clients, one %zu-byte message each, params of %s\n", clients,
              text.size(), strings ? "strings" : "numbers");
  report("started", wagent.pid());

  std::vector<std::unique_ptr<wire::Wire_Client>> open;
  unsigned answered = 0;
  for (unsigned i = 0; i < clients; ++i) {
    auto c = std::make_unique<wire::Wire_Client>(wagent.host(), wagent.port());
    if (!c->ws_connect("/jsonrpc") || !c->ws_send(text)) {
      std::fprintf(stderr, "client %u: %s\n", i, c->last_error().c_str());
      continue;
    }
    open.push_back(std::move(c));
  }
  // Refusals come back at once; held requests stay unanswered.
  for (auto& c : open)
    if (auto reply = c->ws_receive(std::chrono::seconds(3))) {
      if (++answered == 1) std::printf("reply: %.160s\n", reply->c_str());
    }
  std::printf("%u of %zu answered while held\n", answered, open.size());
  report("held", wagent.pid());

  open.clear();  // the requesters leave; the handlers stop waiting
  std::this_thread::sleep_for(std::chrono::seconds(2));
  report("after clients left", wagent.pid());
  return wagent.stop() == 0 ? 0 : 1;
}
