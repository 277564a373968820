// The host core in a fleet and against callers without a session:
// reconnects spread out, keep-alive on time, WebSocket back-pressure, the
// handler cap's busy answer, handlers that throw, room for keyed callers
// whatever anonymous ones do, and the answers at the edges (408, leftovers
// of interrupted writes).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "tests/e2e/e2e.h"

namespace {

using namespace e2e;
using namespace std::chrono;

const std::string keyed_session = "session k1 alice 0xC000000000000000\n";

std::string config(const std::string& dir, const std::string& extra = "") {
  return listener(dir) + keyed_session + extra +
         bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
         bind("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler") +
         bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler");
}

const wire::Header_List keyed = {{"X-Session-Key", "k1"}};

// A WebSocket opened by hand, for peers no client library would be: one
// that stays silent, or stops halfway through a frame. -1 on failure.
int raw_websocket(unsigned short port, const std::string& target) {
  const int fd = connect_to(port);
  const std::string upgrade = "GET " + target +
                              " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Key: "
                              "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (fd < 0 || ::send(fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL) < 0) return -1;
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
  if (head.find(" 101 ") == std::string::npos) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A management server that accepts and drops every connection: the agent
// comes back within each doubling step, never in lock-step with itself.
TEST(Host_Core, ReconnectsWaitAtMostEachBackOffStep) {
  Silent_Server server;
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(
      agent.dir(), "set upstream ws://127.0.0.1:" + std::to_string(server.port) + "/agent\n")));
  std::vector<steady_clock::time_point> attempts;
  for (int i = 0; i < 4; ++i) {
    pollfd p{server.fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 20000)) << "attempt " << i << agent.stderr_text();
    const int fd = ::accept(server.fd, nullptr, nullptr);
    attempts.push_back(steady_clock::now());
    ::close(fd);  // the handshake fails: the agent waits, then tries again
  }
  // It does wait: straight back, it would hammer a server that is down.
  EXPECT_GT(duration_cast<milliseconds>(attempts[3] - attempts[0]).count(), 100);
  // Steps of 1, 2 and 4 s, plus what a loaded (or sanitized) machine adds
  // to noticing the drop and connecting again.
  const long long caps[] = {1000, 2000, 4000};
  for (int i = 0; i < 3; ++i)
    EXPECT_LE(duration_cast<milliseconds>(attempts[i + 1] - attempts[i]).count(),
              caps[i] + 1500)
        << "wait " << i;
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// A peer that says nothing is pinged after one keep-alive period, not two.
TEST(Host_Core, ASilentWebSocketPeerIsPingedAfterOnePeriod) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir(), "set websocket.keepalive 2\n")));
  const int fd = raw_websocket(agent.port(), "/jsonrpc?session=k1");
  ASSERT_GE(fd, 0);
  const std::string got = read_until_closed(fd, milliseconds(3500));
  ASSERT_FALSE(got.empty()) << "no ping within one and a half periods";
  EXPECT_EQ(char(0x89), got[0]);  // a ping frame, whole, unmasked
  ::close(fd);
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// A client that answers pings (Beast does while it reads) stays connected
// however long it says nothing; one that does not is closed after its
// ping goes unanswered for a period.
TEST(Host_Core, WebSocketPeersThatMissAPongAreClosedOthersKept) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir(), "set websocket.keepalive 1\n")));
  wire::Wire_Client deaf(agent.host(), agent.port()), reading(agent.host(), agent.port());
  ASSERT_TRUE(deaf.ws_connect("/jsonrpc?session=k1"));
  ASSERT_TRUE(reading.ws_connect("/jsonrpc?session=k1"));
  // Only `reading` runs meanwhile: four periods of answered pings.
  EXPECT_FALSE(reading.ws_receive(milliseconds(4000)));
  EXPECT_EQ("timed out", reading.last_error());
  ASSERT_TRUE(reading.ws_send(call(1, "host.info")));
  EXPECT_EQ(0, code_of(reading.ws_receive(seconds(5)).value_or("")));
  EXPECT_FALSE(deaf.ws_receive(seconds(5)));
  EXPECT_NE("timed out", deaf.last_error()) << "the silent peer is still connected";
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// A WebSocket client that sends faster than it is served waits on TCP: the
// host reads at most 32 messages ahead of its handlers. One that does not
// read its replies is cut once they have filled its outbound queue for a
// write timeout, and nobody else waits for it meanwhile.
TEST(Host_Core, WebSocketBackPressurePausesReadingAndCutsANonReader) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string release = agent.dir() + "/release", plugin = FAULTY_SERVICES_PATH;
  ASSERT_TRUE(agent.start(config(agent.dir(), "set http.timeout 1\n") + "jsonrpc faulty.hold " +
                          plugin + ":_make_Reply_Handler " + release + "\n" +
                          "jsonrpc faulty.big " + plugin + ":_make_Reply_Handler - 262144\n"))
      << agent.stderr_text();
  const auto holding = [&] { return count_of(agent.stderr_text(), "faulty.hold begins"); };
  wire::Wire_Client eager(agent.host(), agent.port(), seconds(10));
  ASSERT_TRUE(eager.ws_connect("/jsonrpc?session=k1"));
  for (int id = 0; id < 40; ++id) ASSERT_TRUE(eager.ws_send(call(id, "faulty.hold")));
  EXPECT_TRUE(eventually([&] { return holding() == 32; })) << holding();
  EXPECT_FALSE(eventually([&] { return holding() > 32; }, milliseconds(500)))
      << "read past the limit";
  std::ofstream(release).put('x');
  for (int i = 0; i < 40; ++i) EXPECT_EQ(0, code_of(eager.ws_receive(seconds(10)).value_or("")));
  EXPECT_EQ(40u, holding());

  wire::Wire_Client deaf(agent.host(), agent.port(), seconds(10));
  deaf.set_slow_link(4096, 1024);
  ASSERT_TRUE(deaf.ws_connect("/jsonrpc?session=k1"));
  for (int id = 0; id < 16; ++id) ASSERT_TRUE(deaf.ws_send(call(id, "faulty.big")));
  ASSERT_TRUE(eventually([&] { return host_ends(agent.port(), true) > 0; }));
  ASSERT_TRUE(eager.ws_send(call(50, "host.info")));
  EXPECT_EQ(0, code_of(eager.ws_receive(seconds(5)).value_or("")));
  // Only `eager` is left open on the host's side.
  EXPECT_TRUE(eventually([&] { return host_ends(agent.port(), false) == 1; }));
  int replies = 0;
  while (deaf.ws_receive(seconds(10))) ++replies;
  EXPECT_LT(replies, 16);
  EXPECT_NE("timed out", deaf.last_error());
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// At most io.handler_limit handlers run at once: past it, a keyed caller
// is answered busy (503 over plain HTTP, -32603 over JSON-RPC) at once,
// and served again once the handlers end.
TEST(Host_Core, PastTheHandlerCapCallersAreAnsweredBusy) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string release = agent.dir() + "/release";
  ASSERT_TRUE(agent.start(config(agent.dir(), "set io.handler_limit 4\n") + "http /hold " +
                          FAULTY_SERVICES_PATH + ":_make_Plain_Handler " + release + "\n"));
  std::vector<std::unique_ptr<wire::Wire_Client>> held;
  for (int i = 0; i < 4; ++i) {
    held.emplace_back(new wire::Wire_Client(agent.host(), agent.port(), seconds(20)));
    ASSERT_TRUE(held.back()->send_request("GET", "/hold", "", keyed));
  }
  // Every slot is taken before anything else is asked, or a probe could
  // take the fourth one itself.
  ASSERT_TRUE(eventually([&] { return count_of(agent.stderr_text(), "faulty http hold begins") == 4; }))
      << agent.stderr_text();
  wire::Wire_Client c(agent.host(), agent.port(), seconds(5));
  EXPECT_EQ(-32603, code_of(c.request("POST", "/jsonrpc", call(1, "host.info"), keyed).body))
      << agent.stderr_text();
  const wire::Http_Response busy = c.request("GET", "/hold", "", keyed);
  EXPECT_EQ(503, busy.status) << busy.body;
  wire::Wire_Client ws(agent.host(), agent.port(), seconds(5));
  ASSERT_TRUE(ws.ws_connect("/jsonrpc?session=k1"));
  ASSERT_TRUE(ws.ws_send(call(2, "host.info")));
  const std::string refused = ws.ws_receive(seconds(5)).value_or("");
  EXPECT_EQ(-32603, code_of(refused)) << refused;
  EXPECT_NE(std::string::npos, refused.find("\"id\":2")) << refused;

  std::ofstream(release).put('x');
  for (auto& h : held) EXPECT_EQ("released\n", h->read_response().body);
  EXPECT_EQ(0, code_of(c.request("POST", "/jsonrpc", call(3, "host.info"), keyed).body));
  ASSERT_TRUE(ws.ws_send(call(4, "host.info")));
  EXPECT_EQ(0, code_of(ws.ws_receive(seconds(5)).value_or("")));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// An exception out of a handler is an internal error for its caller, not
// a connection left without an answer.
TEST(Host_Core, HandlersThatThrowAreAnsweredAsInternalErrors) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string plugin = FAULTY_SERVICES_PATH;
  ASSERT_TRUE(agent.start(config(agent.dir(), "set jsonrpc.open *\n") +
                          "rest /throw/rest " + plugin + ":_make_Throwing_Rest\n" +
                          "http /throw/http " + plugin + ":_make_Plain_Handler\n" +
                          "jsonrpc faulty.throw " + plugin + ":_make_Throwing_Handler\n" +
                          "jsonrpc faulty.pool " + plugin + ":_make_Throwing_Pool_Handler\n"))
      << agent.stderr_text();
  wire::Wire_Client c(agent.host(), agent.port(), seconds(5));
  EXPECT_EQ(500, c.request("GET", "/throw/rest").status);
  EXPECT_EQ(500, c.request("GET", "/throw/http").status);
  wire::Wire_Client ws(agent.host(), agent.port(), seconds(5));
  ASSERT_TRUE(ws.ws_connect("/jsonrpc"));
  for (const char* method : {"faulty.throw", "faulty.pool"}) {
    const wire::Http_Response r = c.request("POST", "/jsonrpc", call(5, method));
    EXPECT_EQ(-32603, code_of(r.body)) << method << ": " << r.status << " " << r.body
                                       << c.last_error();
    ASSERT_TRUE(ws.ws_send(call(6, method)));
    EXPECT_EQ(-32603, code_of(ws.ws_receive(seconds(5)).value_or(""))) << method;
  }
  EXPECT_EQ(0, code_of(c.request("POST", "/jsonrpc", call(7, "host.info")).body));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// However many callers without a session connect, wait, hang halfway
// through a frame or say nothing at all, a keyed caller gets a connection
// and a worker at once.
TEST(Host_Core, CallersWithoutASessionCannotLockOutKeyedOnes) {
  rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 200;  // a cap of 100 connections, 25 of them anonymous
  ::setrlimit(RLIMIT_NOFILE, &low);
  wire::Wagent_Process agent(WAGENT_PATH);
  const bool started = agent.start(config(
      agent.dir(), "set http.timeout 5\nset jsonrpc.workers 8\nset jsonrpc.queue 4\n"));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(started) << agent.stderr_text();
  const auto keyed_calls_answer = [&](const std::string& what) {
    wire::Wire_Client c(agent.host(), agent.port(), seconds(3));
    wire::Http_Response r = c.request("POST", "/jsonrpc", call(100, "host.test", "0"), keyed);
    EXPECT_EQ(200, r.status) << what << ": " << c.last_error();
    EXPECT_EQ(0, code_of(r.body)) << what << ": " << r.body;
    wire::Wire_Client ws(agent.host(), agent.port(), seconds(3));
    ASSERT_TRUE(ws.ws_connect("/jsonrpc?session=k1")) << what << ": " << ws.last_error();
    ASSERT_TRUE(ws.ws_send(call(101, "host.info")));
    EXPECT_EQ(0, code_of(ws.ws_receive(seconds(3)).value_or(""))) << what;
  };

  {
    // Long anonymous waits fill their own workers and queue, not the
    // keyed callers'.
    std::vector<std::unique_ptr<wire::Wire_Client>> waits;
    for (int i = 0; i < 20; ++i) {
      waits.emplace_back(new wire::Wire_Client(agent.host(), agent.port(), seconds(1)));
      waits.back()->send_request("POST", "/jsonrpc", call(i, "host.test", "60"));
    }
    // Two anonymous workers wait, one waits in their queue, the rest are busy.
    ASSERT_TRUE(eventually([&] { return count_of(agent.stderr_text(), "host.test waits") >= 2; }));
    keyed_calls_answer("with anonymous waits");
  }
  ASSERT_TRUE(eventually([&] { return count_of(agent.stderr_text(), "requester has gone") >= 2; }))
      << agent.stderr_text();

  // Idle anonymous WebSockets, and some that stop halfway through a frame,
  // fill their share of connections; past it the upgrade is refused.
  std::vector<int> anonymous;
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    const int fd = raw_websocket(agent.port(), "/jsonrpc");
    if (fd < 0) {
      ++refused;
      continue;
    }
    if (i % 2) ::send(fd, "\x81\x85", 2, MSG_NOSIGNAL);  // a masked text frame, cut
    anonymous.push_back(fd);
  }
  EXPECT_EQ(25u, anonymous.size()) << agent.stderr_text();
  EXPECT_EQ(15, refused);
  keyed_calls_answer("with the anonymous share full");
  // Each is closed after one http.timeout without a whole message.
  std::size_t closed = 0;
  for (int fd : anonymous) {
    closed += read_until_closed(fd, seconds(10)).find("<closed>") != std::string::npos;
    ::close(fd);
  }
  EXPECT_EQ(anonymous.size(), closed);

  // Connections that say nothing at all, past the cap: once silent for a
  // second, the oldest of them make room for newcomers instead of keeping
  // everyone out until they time out.
  std::vector<int> silent;
  const std::size_t pauses = count_of(agent.stderr_text(), "accept paused");
  for (int i = 0; i < 110; ++i) silent.push_back(connect_to(agent.port()));
  ASSERT_TRUE(eventually([&] { return count_of(agent.stderr_text(), "accept paused") > pauses; }));
  keyed_calls_answer("with the connections at their cap");
  for (int fd : silent) ::close(fd);
  EXPECT_EQ(0, agent.stop(SIGTERM, seconds(15))) << agent.stderr_text();
}

TEST(Host_Core, EdgesGetTheirOwnAnswers) {
  wire::Wagent_Process agent(WAGENT_PATH);
  // Leftovers of writes a kill -9 cut short.
  const std::string jobs = agent.dir() + "/var/jobs";
  std::filesystem::create_directories(jobs);
  std::ofstream(jobs + "/nightly.json.tmp") << "{\"id\":";
  ASSERT_TRUE(agent.start(config(agent.dir(), "set http.timeout 2\n")));
  EXPECT_FALSE(std::ifstream(jobs + "/nightly.json.tmp").good());

  // A body that never finishes is told so before the close.
  const std::string answer = raw_exchange(
      agent.port(), "POST /jsonrpc HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n{\"jsonrpc\"",
      seconds(8));
  EXPECT_EQ(0u, answer.find("HTTP/1.1 408")) << answer;
  EXPECT_NE(std::string::npos, answer.find("<closed>")) << answer;
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

}  // namespace
