// Throughput of a log upload: 100 MB of log files (in a temporary folder,
// removed afterwards) sent by a running wagent to a loopback management
// server (WebSocket upstream and HTTP PUTs on one port), from the
// "log.upload" notify to its report; beside curl uploading the same files,
// each compressed by `gzip -6` on the way (as wagent compresses them), to
// the same server in the same run. Prints MB/s of the log files and the
// ratio wagent/curl (median of three runs each, in turns).
//
//   upload_bench [MEGABYTES] [--wagent PATH] [--module PATH]   (default 100)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/file_server.h"
#include "tests/support/upstream_server.h"
#include "tests/support/wagent_process.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Log-like lines, so compression costs what it costs on real logs.
void write_log(const std::string& path, std::size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  std::ofstream out(path, std::ios::binary);
  static const char* const words[] = {"copied", "skipped", "verified", "opened", "closed",
                                      "retry", "chunk", "volume", "snapshot", "catalog"};
  char line[256];
  for (std::size_t written = 0; written < bytes;) {
    const int n = std::snprintf(
        line, sizeof line, "2026-12-06 06:%02u:%02u.%03u LM_INFO job %u: %s %s %u bytes at %u\n",
        unsigned(random() % 60), unsigned(random() % 60), unsigned(random() % 1000),
        unsigned(random() % 50), words[random() % 10], words[random() % 10],
        unsigned(random()), unsigned(random() % 100000));
    out.write(line, n);
    written += static_cast<std::size_t>(n);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  long megabytes = 100;
  std::string wagent = UPLOAD_BENCH_WAGENT, module = UPLOAD_BENCH_MODULE;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--wagent") && i + 1 < argc) wagent = argv[++i];
    else if (!std::strcmp(argv[i], "--module") && i + 1 < argc) module = argv[++i];
    else megabytes = std::atol(argv[i]);
  }
  wire::File_Server files;
  wire::Upstream_Server server(&files);
  wire::Wagent_Process agent(wagent);
  if (!agent.start("set listen 127.0.0.1:0\nset appdata " + agent.dir() +
                   "/var\nset upstream ws://127.0.0.1:" + std::to_string(server.port()) +
                   "/agent\njsonrpc log.upload " + module +
                   ":_make_JSON_RPC_Log_Upload_Handler\n") ||
      !server.wait_connections(1, std::chrono::seconds(10))) {
    std::fprintf(stderr, "upload_bench: wagent did not start:\n%s\n", agent.stderr_text().c_str());
    return 1;
  }
  // The files live in the agent's (temporary) log folder: 20 of equal size.
  const std::string logs = agent.dir() + "/var/quillon/veltrano/agent/log";
  const int count = 20;
  const std::size_t each = static_cast<std::size_t>(megabytes) * 1000000 / count;
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back("job-" + std::to_string(i) + ".log");
    write_log(logs + "/" + names.back(), each, static_cast<unsigned>(i));
  }
  const double total_mb = double(each) * count / 1e6;
  const std::string base = "http://127.0.0.1:" + std::to_string(files.port());
  // One shell pipeline per file: gzip streams into curl, which PUTs it
  // (without waiting for a "100 Continue" the server never sends, as wagent
  // does not wait either).
  std::string script;
  for (const std::string& name : names)
    script += "gzip -6 -c '" + logs + "/" + name + "' | curl -sS -f -H Expect: -T - '" + base +
              "/curl/" + name + ".gz' || exit 1\n";

  std::vector<double> host, curl;
  for (int run = 0; run < 3; ++run) {
    const auto began = Clock::now();
    const std::string reply =
        server
            .exchange(R"({"jsonrpc":"2.0","method":"log.upload","params":{"task_id":"B)" +
                          std::to_string(run) + R"(","type":"agent"}})",
                      std::chrono::seconds(600), "log.upload.notify")
            .value_or("");
    host.push_back(total_mb / std::chrono::duration<double>(Clock::now() - began).count());
    if (reply.find("completed") == std::string::npos) {
      std::fprintf(stderr, "upload_bench: the upload failed: %s\n", reply.c_str());
      return 1;
    }
    const auto curl_began = Clock::now();
    if (std::system(script.c_str()) != 0) {
      std::fprintf(stderr, "upload_bench: curl failed\n");
      return 1;
    }
    curl.push_back(total_mb / std::chrono::duration<double>(Clock::now() - curl_began).count());
  }
  agent.stop();
  std::printf("log upload of %.0f MB in %d files, gzip level 6, loopback, median of 3\n",
              total_mb, count);
  std::printf("%14s %14s %8s\n", "wagent MB/s", "curl MB/s", "ratio");
  std::printf("%14.1f %14.1f %8.2f\n", median(host), median(curl), median(host) / median(curl));
  return 0;
}
