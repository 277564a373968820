// wagent against local clients that misbehave: clients that never read,
// leave mid-request, flood the workers, send what HTTP does not allow or
// exhaust descriptors, and a stop while all of that is going on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string line(const std::string& kind, const std::string& name,
                 const std::string& factory) {
  return kind + " " + name + " " + WCOMMON_PATH + ":" + factory + "\n";
}

std::string config(const std::string& dir, const std::string& extra = "") {
  return "set listen 127.0.0.1:0\n"
         "set appdata " + dir + "/var\n"
         "set jsonrpc.open *\n" + extra +
         line("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
         line("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler") +
         line("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler");
}

std::string call(int id, const std::string& method,
                 const std::string& params = "null") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
         ",\"method\":\"" + method + "\",\"params\":" + params + "}";
}

// A folder whose listing is megabytes long: far more than the socket
// buffers and the host's reply queue hold for a client that does not read.
struct Big_Folder {
  Big_Folder() {
    char pattern[] = "/tmp/wagent-big-XXXXXX";
    path = ::mkdtemp(pattern);
    const std::string stem(240, 'n');
    for (int i = 0; i < 16000; ++i)
      std::ofstream(path + "/" + std::to_string(i) + stem);
    param = "\"" + path + "\"";
  }
  ~Big_Folder() { std::system(("rm -rf " + path).c_str()); }
  std::string path, param;
};

// Bytes no HTTP client library would send; returns what the host answered
// before it closed the connection.
std::string raw_exchange(const wire::Wagent_Process& agent,
                         const std::string& bytes) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(agent.port());
  ::inet_pton(AF_INET, agent.host().c_str(), &a.sin_addr);
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0) {
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
      answer.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

bool answers_host_info(const wire::Wagent_Process& agent) {
  wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(5));
  wire::Http_Response r = c.request("POST", "/jsonrpc", call(1, "host.info"));
  return r.ok && r.status == 200 && r.body.find("\"result\"") != std::string::npos;
}

// CPU seconds the process has used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int thread_count(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  return 0;
}

TEST(Hostile_Clients, AFactoryUnderTheWrongKeywordIsRefusedAtStart) {
  const struct {
    std::string line, says;
  } cases[] = {
      {line("rest", "/x", "_make_JSON_RPC_Host_Info_Handler"),
       "makes a JSON-RPC handler (a 'jsonrpc' line), not a REST handler creator"},
      {line("jsonrpc", "a.b", "_make_HTTP_Headers_Echo_Handler_Creator"),
       "makes an HTTP handler creator (an 'http' line), not a JSON-RPC handler"},
      {line("params", "a.b", "_make_JSON_RPC_Host_Info_Handler"),
       "not a params-handler creator"},
      {line("jsonrpc", "a.b", "wcommon_exports"), "is not a factory name"},
  };
  for (const auto& c : cases) {
    wire::Wagent_Process agent(WAGENT_PATH);
    wire::Run_Result r =
        agent.run_to_exit("set listen 127.0.0.1:0\nset appdata " +
                          agent.dir() + "/var\n" + c.line);
    EXPECT_EQ(1, r.status) << c.line;
    EXPECT_NE(std::string::npos, r.stderr_text.find("wagent.conf:3: "))
        << r.stderr_text;
    EXPECT_NE(std::string::npos, r.stderr_text.find(c.says)) << r.stderr_text;
  }
}

TEST(Hostile_Clients, ClientsThatNeverReadDelayNobodyAndStopStillEnds) {
  Big_Folder big;
  const std::string& folder = big.param;
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir()))) << agent.stderr_text();

  std::vector<std::unique_ptr<wire::Wire_Client>> stalled;
  for (int i = 0; i < 16; ++i) {
    stalled.emplace_back(new wire::Wire_Client(agent.host(), agent.port()));
    ASSERT_TRUE(stalled.back()->ws_connect("/jsonrpc"));
    ASSERT_TRUE(stalled.back()->ws_send(call(i, "fs.list", folder)));
    ASSERT_TRUE(stalled.back()->ws_send(call(i, "fs.list", folder)));
    stalled.emplace_back(new wire::Wire_Client(agent.host(), agent.port()));
    ASSERT_TRUE(stalled.back()->send_request("POST", "/jsonrpc",
                                             call(i, "fs.list", folder)));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // The replies really are stuck: each holds a thread that the host has
  // replaced for everybody else.
  EXPECT_GT(thread_count(agent.pid()), 16);

  auto began = Clock::now();
  EXPECT_TRUE(answers_host_info(agent));
  wire::Wire_Client ws(agent.host(), agent.port(), std::chrono::seconds(5));
  ASSERT_TRUE(ws.ws_connect("/jsonrpc"));
  ASSERT_TRUE(ws.ws_send(call(7, "host.info")));
  auto reply = ws.ws_receive(std::chrono::seconds(5));
  ASSERT_TRUE(reply);
  EXPECT_NE(std::string::npos, reply->find("\"result\""));
  std::printf("answered beside 32 stalled readers (%d threads) in %.3f s\n",
              thread_count(agent.pid()),
              std::chrono::duration<double>(Clock::now() - began).count());

  began = Clock::now();
  EXPECT_EQ(0, agent.stop(SIGTERM, std::chrono::seconds(15)))
      << agent.stderr_text();
  std::printf("stopped in %.1f s\n",
              std::chrono::duration<double>(Clock::now() - began).count());
}

TEST(Hostile_Clients, StopWithWorkInFlightAlwaysEndsCleanly) {
  Big_Folder big;
  const std::string& folder = big.param;
  for (int run = 0; run < 4; ++run) {
    wire::Wagent_Process agent(WAGENT_PATH);
    ASSERT_TRUE(agent.start(config(agent.dir(), "set stop.timeout 1\n")));
    std::vector<std::unique_ptr<wire::Wire_Client>> clients;
    for (int i = 0; i < 5; ++i) {
      clients.emplace_back(new wire::Wire_Client(agent.host(), agent.port()));
      clients.back()->send_request("POST", "/jsonrpc",
                                   call(i, "host.test", "100000"));
    }
    clients.emplace_back(new wire::Wire_Client(agent.host(), agent.port()));
    ASSERT_TRUE(clients.back()->ws_connect("/jsonrpc"));
    clients.back()->ws_send(call(8, "host.test", "100000"));
    clients.back()->ws_send(call(9, "fs.list", folder));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    auto began = Clock::now();
    EXPECT_EQ(0, agent.stop(SIGTERM, std::chrono::seconds(15)))
        << agent.stderr_text();
    std::printf("stopped in %.1f s\n",
                std::chrono::duration<double>(Clock::now() - began).count());
    EXPECT_EQ(std::string::npos, agent.stderr_text().find("Sanitizer"))
        << agent.stderr_text();
  }
}

TEST(Hostile_Clients, AClientThatLeavesEndsTheWorkDoneForIt) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir())));
  {
    wire::Wire_Client c(agent.host(), agent.port());
    ASSERT_TRUE(c.send_request("POST", "/jsonrpc", call(1, "host.test", "600")));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    c.disconnect();
  }
  EXPECT_TRUE(agent.wait_for_stderr("requester has gone",
                                    std::chrono::seconds(5)))
      << agent.stderr_text();
  EXPECT_EQ(0, agent.stop());
}

TEST(Hostile_Clients, RequestsThatCannotBeDelimitedAreRefusedAndClosed) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir())));
  const std::string body = call(1, "host.info");
  // Read as a request without body, the "body" would be taken for the next
  // request: refused instead, and the connection closed behind it.
  std::string smuggled = raw_exchange(
      agent, "POST /jsonrpc HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n" +
                 std::string("GET /debug/headers HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(0u, smuggled.find("HTTP/1.1 501")) << smuggled;
  EXPECT_EQ(std::string::npos, smuggled.find("HTTP/1.1 404")) << smuggled;
  std::string garbled = raw_exchange(agent, "POST /jsonrpc HTTP/1.1\r\nHost x\r\n\r\n");
  EXPECT_EQ(0u, garbled.find("HTTP/1.1 400")) << garbled;
  EXPECT_TRUE(answers_host_info(agent));
  EXPECT_EQ(0, agent.stop());
}

TEST(Hostile_Clients, AFullWorkerQueueAnswersBusyAtOnce) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(
      config(agent.dir(), "set jsonrpc.workers 1\nset jsonrpc.queue 2\n"
                          "set stop.timeout 1\n")));
  // One worker busy, two waiting: among six long requests some are refused,
  // with their own ids, at once.
  wire::Wire_Client ws(agent.host(), agent.port());
  ASSERT_TRUE(ws.ws_connect("/jsonrpc"));
  for (int id = 1; id <= 6; ++id) ws.ws_send(call(id, "host.test", "30"));
  auto reply = ws.ws_receive(std::chrono::seconds(5));
  ASSERT_TRUE(reply);
  EXPECT_NE(std::string::npos, reply->find("{\"code\":-32603,\"message\":\"Busy"))
      << *reply;
  EXPECT_EQ(std::string::npos, reply->find("\"id\":1,")) << *reply;
  EXPECT_EQ(0, agent.stop());
}

TEST(Hostile_Clients, OutOfDescriptorsTheHostWaitsAndServesItsConnections) {
  wire::Wagent_Process agent(WAGENT_PATH);
  rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 48;  // inherited by the host, restored here at once
  ::setrlimit(RLIMIT_NOFILE, &low);
  bool started = agent.start(config(agent.dir()));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(started) << agent.stderr_text();

  wire::Wire_Client kept(agent.host(), agent.port());
  ASSERT_EQ(200, kept.request("POST", "/jsonrpc", call(1, "host.info")).status);
  std::vector<std::unique_ptr<wire::Wire_Client>> hogs;
  for (int i = 0; i < 60; ++i) {
    hogs.emplace_back(new wire::Wire_Client(agent.host(), agent.port(),
                                            std::chrono::milliseconds(200)));
    hogs.back()->send_request("GET", "/none");
  }
  ASSERT_TRUE(agent.wait_for_stderr("accept paused", std::chrono::seconds(5)));
  double before = cpu_seconds(agent.pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double used = cpu_seconds(agent.pid()) - before;
  EXPECT_LT(used, 0.5) << "the accept loop spins";
  EXPECT_EQ(200, kept.request("POST", "/jsonrpc", call(2, "host.info")).status);

  hogs.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(answers_host_info(agent));
  EXPECT_EQ(0, agent.stop());
}

}  // namespace
