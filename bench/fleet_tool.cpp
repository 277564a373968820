// A fleet of agents against one stand-in management server: N wagent
// processes of this build, each connected upstream to a WebSocket server in
// this process, which sends each agent bursts of fs.list requests (32 at
// once, 1,000 entries each by default) with 80-300 ms pauses between
// bursts, as a management server browsing many hosts does. An agent whose
// burst is not answered within 30 s is reported stuck. At the end every
// agent must still answer host.info on its listener and stop on SIGTERM
// with status 0.
//
//   fleet_tool [--agents N] [--seconds S] [--entries E] [--burst B]
//              [--wagent PATH] [--module PATH]
//
// Exit status 1 when an agent got stuck, stopped answering, or did not
// stop cleanly.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono;

struct Options {
  unsigned agents = 20;
  unsigned seconds = 600;
  unsigned entries = 1000;
  unsigned burst = 32;
  std::string wagent = FLEET_TOOL_WAGENT, module = FLEET_TOOL_MODULE;
};

struct Tally {
  std::atomic<unsigned long> bursts{0}, replies{0}, stuck{0}, connections{0};
};

// Serves one agent's upstream connection until `end`: bursts of listings,
// every reply read back before the pause.
void drive(tcp::socket socket, const std::string& folder, const Options& o,
           steady_clock::time_point end, Tally& tally, unsigned seed) {
  try {
    websocket::stream<tcp::socket> ws(std::move(socket));
    ws.accept();
    // Reads that wait longer than this mean a stuck agent.
    const timeval limit{30, 0};
    ::setsockopt(ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                 sizeof limit);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause(80, 300);
    unsigned long id = 0;
    while (steady_clock::now() < end) {
      for (unsigned i = 0; i < o.burst; ++i)
        ws.write(net::buffer("{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(++id) +
                             ",\"method\":\"fs.list\",\"params\":\"" + folder + "\"}"));
      for (unsigned i = 0; i < o.burst; ++i) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        ++tally.replies;
      }
      ++tally.bursts;
      std::this_thread::sleep_for(milliseconds(pause(random)));
    }
    ws.close(websocket::close_code::normal);
  } catch (const std::exception& e) {
    if (steady_clock::now() < end) {
      ++tally.stuck;
      std::fprintf(stderr, "fleet_tool: an upstream connection failed: %s\n", e.what());
    }
  }
}

bool parse_options(int argc, char* argv[], Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--agents") o.agents = std::atoi(value.c_str());
    else if (key == "--seconds") o.seconds = std::atoi(value.c_str());
    else if (key == "--entries") o.entries = std::atoi(value.c_str());
    else if (key == "--burst") o.burst = std::atoi(value.c_str());
    else if (key == "--wagent") o.wagent = value;
    else if (key == "--module") o.module = value;
    else return false;
  }
  return true;
}

// Starts o.agents wagents, each with the upstream at `port`; false (told on
// stderr) when one does not start.
bool start_fleet(const Options& o, unsigned short port,
                 std::vector<std::unique_ptr<wire::Wagent_Process>>& fleet) {
  for (unsigned i = 0; i < o.agents; ++i) {
    fleet.emplace_back(new wire::Wagent_Process(o.wagent));
    auto& agent = *fleet.back();
    const std::string config =
        "set listen 127.0.0.1:0\nset appdata " + agent.dir() + "/var\n"
        "set log " + agent.dir() + "/wagent.log\n"
        "set upstream ws://127.0.0.1:" + std::to_string(port) + "/agent\n"
        "jsonrpc host.info " + o.module + ":_make_JSON_RPC_Host_Info_Handler\n"
        "jsonrpc fs.list " + o.module + ":_make_JSON_RPC_FS_List_Handler\n";
    if (!agent.start(config)) {
      std::fprintf(stderr, "fleet_tool: agent %u did not start:\n%s\n", i,
                   agent.stderr_text().c_str());
      return false;
    }
  }
  return true;
}

// Asks each agent for host.info, then stops it; counts those that do not
// answer and those that do not stop cleanly.
void check_and_stop(std::vector<std::unique_ptr<wire::Wagent_Process>>& fleet,
                    unsigned& unanswering, unsigned& unclean) {
  for (unsigned i = 0; i < fleet.size(); ++i) {
    wire::Wire_Client c(fleet[i]->host(), fleet[i]->port(), seconds(10));
    wire::Http_Response r = c.request(
        "POST", "/jsonrpc", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"host.info\"}");
    if (!r.ok || r.status != 200) {
      ++unanswering;
      std::fprintf(stderr, "fleet_tool: agent %u (pid %d) does not answer\n", i,
                   int(fleet[i]->pid()));
    }
    const int status = fleet[i]->stop(SIGTERM, seconds(20));
    if (status != 0) {
      ++unclean;
      std::fprintf(stderr, "fleet_tool: agent %u stopped with %d\n", i, status);
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  Options o;
  if (!parse_options(argc, argv, o)) {
    std::fprintf(stderr, "usage: %s [--agents N] [--seconds S] [--entries E] [--burst B] "
                         "[--wagent PATH] [--module PATH]\n", argv[0]);
    return 2;
  }
  // Every agent holds its listener, connections and listings open.
  rlimit files;
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);

  const std::string folder =
      (std::filesystem::temp_directory_path() / ("fleet-" + std::to_string(::getpid())))
          .string();
  std::filesystem::create_directories(folder);
  for (unsigned i = 0; i < o.entries; ++i)
    std::ofstream(folder + "/entry-" + std::to_string(i));

  net::io_context ioc;
  tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
  const unsigned short port = acceptor.local_endpoint().port();
  const auto end = steady_clock::now() + seconds(o.seconds);
  Tally tally;
  std::vector<std::thread> drivers;
  std::mutex drivers_lock;
  std::thread server([&] {
    for (unsigned n = 0; n < o.agents; ++n) {
      tcp::socket socket(ioc);
      beast::error_code ec;
      acceptor.accept(socket, ec);
      if (ec) return;
      ++tally.connections;
      std::lock_guard<std::mutex> guard(drivers_lock);
      drivers.emplace_back(drive, std::move(socket), std::cref(folder), std::cref(o), end,
                           std::ref(tally), n + 1);
    }
  });

  std::vector<std::unique_ptr<wire::Wagent_Process>> fleet;
  if (!start_fleet(o, port, fleet)) return 1;
  std::printf("%u agents, bursts of %u fs.list of %u entries, for %u s\n", o.agents, o.burst,
              o.entries, o.seconds);
  std::fflush(stdout);

  server.join();
  {
    std::lock_guard<std::mutex> guard(drivers_lock);
    for (std::thread& t : drivers) t.join();
  }
  unsigned unanswering = 0, unclean = 0;
  check_and_stop(fleet, unanswering, unclean);
  std::filesystem::remove_all(folder);
  std::printf("%lu bursts, %lu replies over %lu connections; %lu stuck, %u not answering, "
              "%u not stopping cleanly\n",
              tally.bursts.load(), tally.replies.load(), tally.connections.load(),
              tally.stuck.load(), unanswering, unclean);
  return tally.stuck || unanswering || unclean || tally.connections < o.agents ? 1 : 0;
}
