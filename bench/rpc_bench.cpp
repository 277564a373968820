// Requests per second of JSON-RPC `host.info`, then of a `fs.list` with a
// 100 KiB reply, through a running wagent, beside a trivial Beast echo
// server in this process answering the same request text (or a reply of the
// same size), so the host's own cost shows as the ratio of the two.
//
//   rpc_bench [--seconds S] [--clients 1,4,16] [--wagent PATH]
//             [--module PATH] [--echo-only] [--transport http|websocket]
//             [--small-only]
//
// Over HTTP, N clients each keep one connection alive and send POST
// /jsonrpc one after the other. Over WebSocket, one connection keeps up to
// N requests in flight and matches replies by id. Each row runs S seconds
// (default 3) per server. wagent is started on 127.0.0.1:0 with host.info
// and fs.list bound; PATH defaults to the wagent and libwcommon.so of this
// build. Without a wagent binary only the echo column is filled.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bench/echo_server.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  double seconds = 3;
  std::vector<unsigned> clients{1, 4, 16};
  std::string wagent = RPC_BENCH_WAGENT;
  std::string module = RPC_BENCH_MODULE;
  bool echo_only = false;
  std::string transport;  // empty: both
  bool small_only = false;
};

struct Figures {
  double per_second = 0;
  unsigned long errors = 0;
};

struct Target {
  std::string host;
  unsigned short port;
  bool echo;  // the echo server answers with the request itself
  // Rows of large replies: wagent lists this folder, whose listing is about
  // 100 KiB; the echo server answers a reply of the same size.
  std::string big_folder;
  std::size_t big_size = 0;
};

bool big_rows = false;  // the load of the current rows

std::string request_text(const Target& t, unsigned long id) {
  std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id);
  if (!big_rows) return head + ",\"method\":\"host.info\"}";
  if (t.echo) return head + ",\"size\":" + std::to_string(t.big_size) + "}";
  return head + ",\"method\":\"fs.list\",\"params\":\"" + t.big_folder + "\"}";
}

bool good_reply(const Target& t, const std::string& request,
                const std::string& reply) {
  if (big_rows) return reply.size() >= t.big_size / 2 &&
                       reply.find("\"result\"") != std::string::npos;
  return t.echo ? reply == request
                : reply.find("\"result\"") != std::string::npos;
}

// The id of a reply, or -1.
long long reply_id(const std::string& reply) {
  std::size_t at = reply.find("\"id\"");
  if (at == std::string::npos) return -1;
  at = reply.find_first_not_of(" \t:", at + 4);
  if (at == std::string::npos) return -1;
  return std::strtoll(reply.c_str() + at, nullptr, 10);
}

Figures run_http(const Target& t, unsigned clients, double seconds) {
  std::atomic<bool> stop{false};
  std::atomic<unsigned long> done{0}, errors{0};
  std::atomic<unsigned> ready{0};
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      wire::Wire_Client client(t.host, t.port);
      std::string body = request_text(t, c);
      // The first exchange opens the connection outside the timed run.
      client.request("POST", "/jsonrpc", body);
      ++ready;
      unsigned long mine = 0, bad = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        auto r = client.request("POST", "/jsonrpc", body);
        if (r.ok && r.status == 200 && good_reply(t, body, r.body))
          ++mine;
        else
          ++bad;
      }
      done += mine;
      errors += bad;
    });
  while (ready < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto began = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  std::chrono::duration<double> took = Clock::now() - began;
  return {done / took.count(), errors};
}

Figures run_ws(const Target& t, unsigned window, double seconds) {
  wire::Wire_Client client(t.host, t.port);
  if (!client.ws_connect("/jsonrpc")) return {0, 1};
  std::unordered_set<unsigned long> in_flight;
  std::vector<std::string> sent_text;  // by id, for the echo check
  unsigned long next_id = 0, done = 0, errors = 0;
  auto send_next = [&] {
    std::string text = request_text(t, next_id);
    in_flight.insert(next_id++);
    sent_text.push_back(text);
    return client.ws_send(text);
  };
  auto began = Clock::now();
  auto deadline = began + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds));
  for (unsigned i = 0; i < window; ++i)
    if (!send_next()) return {0, 1};
  while (!in_flight.empty()) {
    auto reply = client.ws_receive(std::chrono::seconds(10));
    if (!reply) {
      errors += in_flight.size();
      break;
    }
    long long id = reply_id(*reply);
    if (id < 0 || in_flight.erase(static_cast<unsigned long>(id)) == 0) {
      ++errors;
      continue;
    }
    if (good_reply(t, sent_text[static_cast<std::size_t>(id)], *reply))
      ++done;
    else
      ++errors;
    sent_text[static_cast<std::size_t>(id)].clear();
    if (Clock::now() < deadline && !send_next()) {
      ++errors;
      break;
    }
  }
  std::chrono::duration<double> took = Clock::now() - began;
  client.ws_close();
  return {done / took.count(), errors};
}

std::vector<unsigned> parse_list(const char* text) {
  std::vector<unsigned> out;
  for (const char* p = text; *p;) {
    char* end = nullptr;
    unsigned long n = std::strtoul(p, &end, 10);
    if (end == p) break;
    if (n > 0) out.push_back(static_cast<unsigned>(n));
    p = *end == ',' ? end + 1 : end;
  }
  return out;
}

bool parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--seconds" && has_value)
      o.seconds = std::atof(argv[++i]);
    else if (a == "--clients" && has_value)
      o.clients = parse_list(argv[++i]);
    else if (a == "--wagent" && has_value)
      o.wagent = argv[++i];
    else if (a == "--module" && has_value)
      o.module = argv[++i];
    else if (a == "--echo-only")
      o.echo_only = true;
    else if (a == "--transport" && has_value)
      o.transport = argv[++i];
    else if (a == "--small-only")
      o.small_only = true;
    else
      return false;
  }
  return o.seconds > 0 && !o.clients.empty();
}

void print_row(const char* transport, unsigned n, const Figures* host,
               const Figures& echo) {
  char host_rate[32] = "-", ratio[32] = "-";
  if (host) {
    std::snprintf(host_rate, sizeof host_rate, "%.0f", host->per_second);
    if (echo.per_second > 0)
      std::snprintf(ratio, sizeof ratio, "%.2f",
                    host->per_second / echo.per_second);
  }
  std::printf("%-10s %4u %14s %14.0f %8s", transport, n, host_rate,
              echo.per_second, ratio);
  if ((host && host->errors) || echo.errors)
    std::printf("   errors: wagent %lu, echo %lu", host ? host->errors : 0,
                echo.errors);
  std::printf("\n");
  std::fflush(stdout);
}

// Starts the wagent to measure, when there is one; false (told on stderr)
// when there is none or it did not start.
bool start_wagent(const Options& o, wire::Wagent_Process& wagent) {
  if (::access(o.wagent.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "rpc_bench: no wagent at %s; echo only\n",
                 o.wagent.c_str());
    return false;
  }
  // Logs go to a file: the bench measures serving, not a pipe reader.
  std::string config = "set listen 127.0.0.1:0\n"
                       "set appdata " + wagent.dir() + "/var\n"
                       "set log " + wagent.dir() + "/wagent.log\n"
                       "set jsonrpc.open host.info,fs.list\n"
                       "jsonrpc host.info " + o.module +
                       ":_make_JSON_RPC_Host_Info_Handler\n"
                       "jsonrpc fs.list " + o.module +
                       ":_make_JSON_RPC_FS_List_Handler\n";
  if (wagent.start(config)) return true;
  std::fprintf(stderr, "rpc_bench: wagent did not start:\n%s\n",
               wagent.stderr_text().c_str());
  return false;
}

// One row per client count and transport asked for.
void run_table(const Options& o, const Target& echo, const Target& host, bool have_host) {
  for (unsigned n : o.clients) {
    if (o.transport == "websocket") break;
    Figures h, e = run_http(echo, n, o.seconds);
    if (have_host) h = run_http(host, n, o.seconds);
    print_row("http", n, have_host ? &h : nullptr, e);
  }
  for (unsigned n : o.clients) {
    if (o.transport == "http") break;
    Figures h, e = run_ws(echo, n, o.seconds);
    if (have_host) h = run_ws(host, n, o.seconds);
    print_row("websocket", n, have_host ? &h : nullptr, e);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: %s [--seconds S] [--clients 1,4,16] [--wagent PATH] "
                 "[--module PATH] [--echo-only] [--transport http|websocket] "
                 "[--small-only]\n",
                 argv[0]);
    return 2;
  }

  wire::Echo_Server echo_server;
  Target echo{echo_server.host(), echo_server.port(), true, "", 0};

  wire::Wagent_Process wagent(o.wagent);
  const bool have_host = !o.echo_only && start_wagent(o, wagent);
  Target host{wagent.host(), wagent.port(), false, "", 0};

  // A folder whose listing is about 100 KiB, so the large rows go through
  // the streaming path (chunks over POST, fragments over WebSocket).
  host.big_folder = wagent.dir() + "/big";
  ::mkdir(host.big_folder.c_str(), 0700);
  for (int i = 0; i < 600; ++i)
    std::ofstream(host.big_folder + "/" + std::string(100, 'f') + std::to_string(i));
  if (have_host) {
    big_rows = true;
    wire::Wire_Client probe(host.host, host.port);
    host.big_size = probe.request("POST", "/jsonrpc", request_text(host, 0)).body.size();
    big_rows = false;
  }
  echo.big_size = host.big_size ? host.big_size : 100 * 1024;

  std::printf("host.info requests per second, %.1f s per cell, %u cores\n",
              o.seconds, std::thread::hardware_concurrency());
  std::printf("%-10s %4s %14s %14s %8s\n", "transport", "N", "wagent",
              "echo", "ratio");
  auto run_rows = [&] { run_table(o, echo, host, have_host); };
  run_rows();
  if (o.small_only) return have_host && wagent.stop() != 0 ? 1 : 0;
  big_rows = true;
  std::printf("replies of %zu bytes (fs.list of %s beside an echo of that "
              "size)\n", echo.big_size, host.big_folder.c_str());
  run_rows();

  if (have_host) {
    int status = wagent.stop();
    if (status != 0) {
      std::fprintf(stderr, "rpc_bench: wagent ended with %d\n%s\n", status,
                   wagent.stderr_text().c_str());
      return 1;
    }
  }
  return 0;
}
