// job.event_log.query of one instance holding 100,000 events through a
// wagent of this build, beside the sqlite3 shell's -json output of the same
// query on the same file in the same run. Prints rows/s of each (best of
// three) and their ratio. The reply is read as the shell's output is: into
// one buffer, counted and dropped (its start and end checked), so that the
// ratio compares the producers, not the readers; the time through the
// test client, which parses and keeps the whole reply, is printed too.
//
//   event_log_query_bench [EVENTS]   (default 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/asio.hpp>

#include "agent/job/job_event_log.h"
#include "agent/text/uuid_text.h"
#include "agent/platform/files.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;

const char UUID[] = "6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60";

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// POSTs `body` on a connection of its own that the agent closes after the
// reply, and reads the reply to its end. False unless it is a 200 whose
// body starts a result array and ends as a whole chunked body ends.
bool read_reply(const std::string& host, unsigned short port, const std::string& body,
                std::size_t& bytes) {
  namespace net = boost::asio;
  net::io_context ioc;
  net::ip::tcp::socket socket(ioc);
  boost::system::error_code ec;
  socket.connect(net::ip::tcp::endpoint(net::ip::make_address(host), port), ec);
  if (ec) return false;
  socket.set_option(net::ip::tcp::no_delay(true), ec);
  const std::string request = "POST /jsonrpc HTTP/1.1\r\nHost: " + host +
                              "\r\nContent-Type: application/json\r\nConnection: close\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  net::write(socket, net::buffer(request), ec);
  if (ec) return false;
  static char buffer[1 << 16];
  std::string head, tail;
  bytes = 0;
  for (;;) {
    const std::size_t n = socket.read_some(net::buffer(buffer), ec);
    if (head.size() < 4096) head.append(buffer, std::min<std::size_t>(n, 4096 - head.size()));
    tail.append(buffer, n);
    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
    bytes += n;
    if (ec) break;
  }
  return ec == net::error::eof && head.compare(0, 12, "HTTP/1.1 200") == 0 &&
         head.find("\"result\":[") != std::string::npos && tail.size() >= 9 &&
         tail.compare(tail.size() - 9, 9, "]}\r\n0\r\n\r\n") == 0;
}

// Fills the database file with one instance and its events, written as
// the job manager writes them.
bool fill(const std::string& folder, int events) {
  database::sql::Legacy_Manager::instance()->set_folder(folder);
  Job_Event_Log log;
  Job_Event e{{0}, "bench", true, 0, 0, ""};
  if (!uuid_string_to_binary(UUID, e.instance)) return false;
  for (int n = 0; n < events; ++n) {
    e.event = n % 5 + 1;
    e.time = 1700000000 + n;
    e.data = R"({"state":"running","progress":)" + std::to_string(n % 100) + "}";
    if (!log.append(e)) return false;
    e.opens_instance = false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 100000;
  wire::Wagent_Process agent(EVENT_LOG_QUERY_BENCH_WAGENT);
  const std::string db_folder = agent.dir() + "/var/db";
  if (!platform::make_folders(db_folder, 0750) || !fill(db_folder, events)) {
    std::fprintf(stderr, "event_log_query_bench: cannot fill %s\n", db_folder.c_str());
    return 1;
  }
  const std::string config = "set listen 127.0.0.1:0\nset appdata " + agent.dir() +
                             "/var\nset jsonrpc.open *\njsonrpc job.event_log.query " +
                             EVENT_LOG_QUERY_BENCH_MODULE +
                             ":_make_JSON_RPC_Event_Log_Query_Handler\n";
  if (!agent.start(config)) {
    std::fprintf(stderr, "event_log_query_bench: wagent did not start:\n%s\n",
                 agent.stderr_text().c_str());
    return 1;
  }
  const std::string body = std::string(R"({"jsonrpc":"2.0","id":1,"method":"job.event_log.query",)"
                                       R"("params":{"instance_id":")") + UUID + "\"}}";
  const std::string shell =
      "sqlite3 -json " + db_folder + "/job_event_log.db \"SELECT event_id,event_time,data "
      "FROM instance AS i JOIN instance_log AS l ON i.id=l.instance_id WHERE i.uuid=X'" +
      std::string("6f1c2a9e3b7d4e5f8a901b2c3d4e5f60") + "' ORDER BY l.id\"";
  double best_agent = 1e9, best_client = 1e9, best_shell = 1e9;
  std::size_t agent_bytes = 0, shell_bytes = 0;
  for (int round = 0; round < 3; ++round) {
    wire::Wire_Client client(agent.host(), agent.port(), std::chrono::seconds(120));
    auto t0 = Clock::now();
    wire::Http_Response r = client.request("POST", "/jsonrpc", body);
    best_client = std::min(best_client, seconds(Clock::now() - t0));
    if (!r.ok || r.status != 200 || r.body.find("\"result\":[") == std::string::npos) {
      std::fprintf(stderr, "event_log_query_bench: bad reply (%d) %.200s\n", r.status,
                   r.body.c_str());
      return 1;
    }
    agent_bytes = r.body.size();

    std::size_t read = 0;
    t0 = Clock::now();
    if (!read_reply(agent.host(), agent.port(), body, read)) {
      std::fprintf(stderr, "event_log_query_bench: bad reply read raw (%zu bytes)\n", read);
      return 1;
    }
    best_agent = std::min(best_agent, seconds(Clock::now() - t0));

    t0 = Clock::now();
    FILE* p = ::popen(shell.c_str(), "r");
    if (!p) return 1;
    char buffer[1 << 16];
    std::size_t n, total = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) total += n;
    if (::pclose(p) != 0) {
      std::fprintf(stderr, "event_log_query_bench: the sqlite3 shell failed\n");
      return 1;
    }
    best_shell = std::min(best_shell, seconds(Clock::now() - t0));
    shell_bytes = total;
  }
  agent.stop();
  std::printf("query of %d events: wagent %.0f rows/s (%.1f ms, %zu bytes; %.1f ms through "
              "the test client), sqlite3 -json %.0f rows/s (%.1f ms, %zu bytes), ratio %.2f\n",
              events, events / best_agent, best_agent * 1000, agent_bytes, best_client * 1000,
              events / best_shell, best_shell * 1000, shell_bytes, best_shell / best_agent);
  return 0;
}
