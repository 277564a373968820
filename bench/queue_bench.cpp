// Blocks per second that queue.push puts on the spool through a running
// wagent (one client, POST /jsonrpc on one kept connection), with batches
// of 1 and of 100 messages, beside a plain loop in this process that
// appends the same lines to a file and flushes each batch to disk
// (fdatasync), the durability queue.push promises. A last row has 16
// clients, each on its own connection, push batches of 1 at once, beside
// the same single loop of batches of 1: concurrent pushes share flushes,
// which one loop cannot. Each run uses a fresh
// wagent and a fresh spool, below the queue's bound; the two sides run in
// turns, three times, and each figure is the median (the disk's flush
// latency varies with whatever else the machine writes).
//
//   queue_bench [BLOCKS] [--wagent PATH] [--module PATH]   (default 20000)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/temp_dir.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// The message of block `i`: about the size of a small job event.
std::string message(long i) {
  return "job 42 event " + std::to_string(i) + ": copied 1048576 bytes of /srv/data/file-" +
         std::to_string(i % 977) + ".db";
}

std::string batch_params(long first, int batch) {
  std::string params = "[";
  for (int k = 0; k < batch; ++k)
    params += std::string(k ? "," : "") + R"({"message":")" + message(first + k) +
              R"(","group":"bench"})";
  return params + "]";
}

// Blocks per second through wagent, `clients` pushing at once (each its
// share of `blocks`); 0 when something failed.
double through_wagent(const std::string& wagent, const std::string& module, long blocks,
                      int batch, int clients) {
  wire::Wagent_Process agent(wagent);
  if (!agent.start("set listen 127.0.0.1:0\nset appdata " + agent.dir() +
                   "/var\nsession bench u 0x1\njsonrpc queue.push " + module +
                   ":_make_JSON_RPC_Queue_Push_Handler -q bench -c rpc_service_requester\n")) {
    std::fprintf(stderr, "queue_bench: wagent did not start:\n%s\n", agent.stderr_text().c_str());
    return 0;
  }
  const wire::Header_List session = {{"X-Session-Key", "bench"}};
  const long share = blocks / clients;
  std::vector<int> failed(static_cast<std::size_t>(clients), 0);
  auto push = [&](int c) {
    wire::Wire_Client client(agent.host(), agent.port());
    for (long done = 0; done < share; done += batch) {
      const std::string text = R"({"jsonrpc":"2.0","id":1,"method":"queue.push","params":)" +
                               batch_params(c * share + done, batch) + "}";
      if (client.request("POST", "/jsonrpc", text, session).body.find("true") ==
          std::string::npos) {
        std::fprintf(stderr, "queue_bench: a push was refused at block %ld\n", c * share + done);
        failed[static_cast<std::size_t>(c)] = 1;
        return;
      }
    }
  };
  const auto began = Clock::now();
  if (clients == 1) {
    push(0);
  } else {
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) threads.emplace_back(push, c);
    for (std::thread& t : threads) t.join();
  }
  const std::chrono::duration<double> took = Clock::now() - began;
  agent.stop();
  for (int f : failed)
    if (f) return 0;
  return share * clients / took.count();
}

// The same lines appended by hand, one write and one fdatasync per batch.
double plain_loop(long blocks, int batch) {
  Temp_Dir dir;
  const std::string path = dir / "bench.jsonl";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) return 0;
  const auto began = Clock::now();
  for (long done = 0; done < blocks; done += batch) {
    std::string lines;
    for (int k = 0; k < batch; ++k)
      lines += R"({"control":{"address":"127.0.0.1","id":1,"method":"queue.push","user":"u"},)"
               R"("group":"bench","message":")" + message(done + k) + "\"}\n";
    if (::write(fd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()) ||
        ::fdatasync(fd) != 0)
      return 0;
  }
  const std::chrono::duration<double> took = Clock::now() - began;
  ::close(fd);
  return blocks / took.count();
}

}  // namespace

int main(int argc, char** argv) {
  long blocks = 20000;
  std::string wagent = QUEUE_BENCH_WAGENT, module = QUEUE_BENCH_MODULE;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--wagent") && i + 1 < argc) wagent = argv[++i];
    else if (!std::strcmp(argv[i], "--module") && i + 1 < argc) module = argv[++i];
    else blocks = std::atol(argv[i]);
  }
  std::printf("queue.push, %ld blocks per row, spool and loop in /tmp\n", blocks);
  std::printf("%8s %6s %14s %14s %8s\n", "clients", "batch", "wagent/s", "loop/s", "ratio");
  const struct {
    int clients, batch;
  } rows[] = {{1, 1}, {1, 100}, {16, 1}};
  for (const auto& row : rows) {
    std::vector<double> host, loop;
    for (int run = 0; run < 3; ++run) {
      host.push_back(through_wagent(wagent, module, blocks, row.batch, row.clients));
      loop.push_back(plain_loop(blocks, row.batch));
    }
    std::sort(host.begin(), host.end());
    std::sort(loop.begin(), loop.end());
    std::printf("%8d %6d %14.0f %14.0f %8.2f\n", row.clients, row.batch, host[1], loop[1],
                loop[1] > 0 ? host[1] / loop[1] : 0);
  }
  return 0;
}
