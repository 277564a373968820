#include "tests/support/wire_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/echo_server.h"

namespace {

using namespace std::chrono_literals;
using wire::Echo_Server;
using wire::Wire_Client;

// A listener whose connections the kernel accepts and nobody ever serves.
class Silent_Listener {
 public:
  Silent_Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~Silent_Listener() { ::close(fd_); }
  unsigned short port() const { return port_; }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

TEST(Wire_Client_Http, KeepsOneConnectionAndCarriesHeadersBothWays) {
  Echo_Server server;
  Wire_Client client(server.host(), server.port());
  for (int i = 0; i < 3; ++i) {
    std::string body = "{\"id\":" + std::to_string(i) + "}";
    auto r = client.request("POST", "/jsonrpc", body, {{"X-Session-Key", "k1"}});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.headers["content-type"], "application/json");
    EXPECT_EQ(r.headers["X-SESSION-KEY"], "k1");
    EXPECT_FALSE(r.chunked);
    EXPECT_TRUE(r.keep_alive);
  }
  EXPECT_EQ(client.connections_opened(), 1u);

  auto refused = client.request("GET", "/x", "", {{"X-Echo-Status", "404"}});
  EXPECT_EQ(refused.status, 404);

  // A server that closes after its answer costs a new connection next time.
  auto last = client.request("POST", "/", "{}", {{"Connection", "close"}});
  EXPECT_TRUE(last.ok);
  EXPECT_FALSE(last.keep_alive);
  EXPECT_FALSE(client.connected());
  EXPECT_TRUE(client.request("POST", "/", "{}").ok);
  EXPECT_EQ(client.connections_opened(), 2u);
}

TEST(Wire_Client_Http, ReportsAChunkedBodyPieceByPiece) {
  Echo_Server server;
  Wire_Client client(server.host(), server.port());
  const std::string body = "[1,2,3,4,5,6,7,8,9,10,11,12]";
  std::string seen;
  std::size_t calls = 0;
  auto r = client.request("POST", "/jsonrpc", body, {{"X-Echo-Chunks", "4"}},
                          [&](std::string_view piece) {
                            seen.append(piece);
                            ++calls;
                          });
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.chunked);
  EXPECT_EQ(r.chunk_count, 4u);
  EXPECT_GE(calls, 4u);
  EXPECT_EQ(r.body, body);
  EXPECT_EQ(seen, body);
  // The connection stays usable after the last chunk.
  EXPECT_EQ(client.request("POST", "/", "{}").body, "{}");
  EXPECT_EQ(client.connections_opened(), 1u);
}

TEST(Wire_Client_Http, GivesUpOnASilentServerWithinItsTimeout) {
  Silent_Listener silent;
  Wire_Client client("127.0.0.1", silent.port(), 300ms);
  auto began = std::chrono::steady_clock::now();
  auto r = client.request("POST", "/jsonrpc", "{}");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "timed out");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_FALSE(client.connected());

  Wire_Client nobody("127.0.0.1", 1, 300ms);
  EXPECT_FALSE(nobody.request("GET", "/").ok);
  EXPECT_FALSE(nobody.ws_connect("/jsonrpc"));
  EXPECT_EQ(nobody.ws_handshake_status(), 0);
}

TEST(Wire_Client_WebSocket, EchoesInOrderAndCountsFrames) {
  Echo_Server server;
  Wire_Client client(server.host(), server.port());
  ASSERT_TRUE(client.ws_connect("/jsonrpc?session=k", {{"X-Session-Key", "k"}}))
      << client.last_error();
  EXPECT_EQ(client.ws_handshake_status(), 101);
  for (const char* text : {"{\"id\":1}", "{\"id\":2}", "{\"id\":3}"})
    ASSERT_TRUE(client.ws_send(text));
  for (const char* text : {"{\"id\":1}", "{\"id\":2}", "{\"id\":3}"}) {
    EXPECT_EQ(client.ws_receive(2s).value_or("none"), text);
    EXPECT_EQ(client.ws_last_frame_count(), 1u);
  }

  Wire_Client fragmenting(server.host(), server.port());
  ASSERT_TRUE(fragmenting.ws_connect("/jsonrpc", {{"X-Echo-Fragment", "8"}}));
  const std::string twenty(20, 'x');
  ASSERT_TRUE(fragmenting.ws_send(twenty));
  EXPECT_EQ(fragmenting.ws_receive(2s).value_or("none"), twenty);
  EXPECT_EQ(fragmenting.ws_last_frame_count(), 3u);
  EXPECT_TRUE(fragmenting.ws_close());
  EXPECT_FALSE(fragmenting.ws_open());
}

TEST(Wire_Client_WebSocket, TimesOutWithoutLosingTheNextMessage) {
  Echo_Server server;
  Wire_Client client(server.host(), server.port());
  ASSERT_TRUE(client.ws_connect("/jsonrpc"));
  EXPECT_FALSE(client.ws_receive(100ms).has_value());
  EXPECT_EQ(client.last_error(), "timed out");
  ASSERT_TRUE(client.ws_send("late"));
  EXPECT_EQ(client.ws_receive(2s).value_or("none"), "late");

  Wire_Client refused(server.host(), server.port());
  EXPECT_FALSE(refused.ws_connect("/jsonrpc", {{"X-Echo-Status", "403"}}));
  EXPECT_EQ(refused.ws_handshake_status(), 403);
  EXPECT_FALSE(refused.ws_receive(100ms).has_value());
}

}  // namespace
