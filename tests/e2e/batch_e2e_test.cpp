// JSON-RPC batches and binary WebSocket messages through wagent: the shapes
// a JSON-RPC 2.0 client library sends (tests/jsonrpc_client, run with
// node), and here what it cannot show: what runs and what does not when a
// batch is refused, its client leaves or the host stops.
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "tests/e2e/e2e.h"
#include "tests/support/upstream_server.h"

namespace {

using namespace e2e;

const std::size_t batch_max = 5;

std::string batch_config(const std::string& dir, const std::string& extra = "") {
  return listener(dir) + "set jsonrpc.batch_max " + std::to_string(batch_max) +
         "\n"
         // The anonymous share of workers: one thread, one queued request.
         "set jsonrpc.workers 4\n"
         "session k1 alice 0xC000000000000000\n"
         "session k2 bob 0x0\n" +
         extra + bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
         bind("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler") +
         bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler") +
         bind("jsonrpc", "fs.statfs", "_make_JSON_RPC_Statfs_Handler") +
         bind("jsonrpc", "system.execute", "_make_JSON_RPC_System_Execute_Handler");
}

// How many host.test calls have run to their end so far.
std::size_t tests_done(const wire::Wagent_Process& agent) {
  return count_of(agent.stderr_text(), "host.test is done.");
}

std::string host_tests(std::size_t count, int seconds) {
  std::string batch = "[";
  for (std::size_t i = 0; i < count; ++i)
    batch += (i ? "," : "") + call(static_cast<std::int64_t>(i + 1), "host.test",
                                   std::to_string(seconds));
  return batch + "]";
}

std::string make_listing(const std::string& dir, int files) {
  const std::string path = dir + "/many";
  EXPECT_EQ(0, ::mkdir(path.c_str(), 0700));
  for (int i = 0; i < files; ++i)
    std::ofstream(path + "/file-with-a-longish-name-" + std::to_string(i));
  return path;
}

TEST(Batch, JsonRpcClientLibraryOverPostAndWebSocket) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(batch_config(agent.dir()))) << agent.stderr_text();
  const int files = 5000;
  const std::string listing = make_listing(agent.dir(), files);

  const auto [status, output] = run_command(
      "node " JSONRPC_CLIENT_DIR "/batch_test.mjs " + agent.host() + " " +
      std::to_string(agent.port()) + " k1 k2 " + listing + " " + std::to_string(files) + " " +
      std::to_string(batch_max));
  EXPECT_EQ(0, status) << output << "\n(node and tests/jsonrpc_client/node_modules come from "
                                    "scripts/install-deps.sh)";
  EXPECT_NE(std::string::npos, output.find("ok ws binary message closes with 1003")) << output;

  // The log names the peer that sent the binary message.
  const std::string from = "binary-from ";
  const auto at = output.find(from);
  ASSERT_NE(std::string::npos, at) << output;
  const std::string peer = output.substr(at + from.size(),
                                         output.find('\n', at) - at - from.size());
  EXPECT_TRUE(agent.wait_for_stderr("WebSocket client " + peer + " sent a binary message",
                                    std::chrono::seconds(5)))
      << agent.stderr_text();

  // The listing inside a batch goes out in pieces: chunks over POST (seen
  // by node), WebSocket fragments here.
  const std::string batch = "[" + call(1, "host.info") + "," +
                            call(2, "fs.list", "{\"path\":\"" + listing + "\"}") + "]";
  wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(30));
  ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1")) << c.last_error();
  ASSERT_TRUE(c.ws_send(batch));
  auto message = c.ws_receive(std::chrono::seconds(30));
  ASSERT_TRUE(message);
  EXPECT_GT(c.ws_last_frame_count(), 2u);
  EXPECT_EQ(2u, parse_json(*message).get_array().size());
  EXPECT_EQ(0, agent.stop());
}

TEST(Batch, RefusedWholeRunsNothingAndBadTextStaysOneParseError) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(batch_config(agent.dir()))) << agent.stderr_text();
  wire::Wire_Client c(agent.host(), agent.port());

  wire::Http_Response r = c.request("POST", "/jsonrpc", host_tests(batch_max + 1, 0));
  ASSERT_EQ(200, r.status) << c.last_error();
  EXPECT_EQ(-32600, code_of(r.body)) << r.body;  // its text: batch_test.mjs
  r = c.request("POST", "/jsonrpc", host_tests(batch_max, 0));
  EXPECT_EQ(batch_max, parse_json(r.body).get_array().size()) << r.body;
  // Only the batch within the limit ran.
  EXPECT_EQ(batch_max, tests_done(agent)) << agent.stderr_text();

  // Not JSON, or not UTF-8 anywhere in it: one -32700, nothing run.
  for (const std::string& bad : {"[" + call(1, "host.test", "0") + ",", std::string("[1,,2]"),
                                "[" + call(1, "host.test", "0") + ",\"\xC0\xAF\"]"}) {
    r = c.request("POST", "/jsonrpc", bad);
    EXPECT_EQ(-32700, code_of(r.body)) << r.body;
  }
  EXPECT_EQ(batch_max, tests_done(agent));
  EXPECT_EQ(0, agent.stop());
}

TEST(Batch, MembersStopWhenTheClientLeavesOrTheHostStops) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(batch_config(agent.dir(), "set stop.timeout 2\n")))
      << agent.stderr_text();
  {
    wire::Wire_Client c(agent.host(), agent.port());
    ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1")) << c.last_error();
    ASSERT_TRUE(c.ws_send(host_tests(4, 1)));
    ASSERT_TRUE(agent.wait_for_stderr("host.test waits", std::chrono::seconds(5)));
    c.ws_close();
  }
  // Four one-second waits would be over by now had they run for nobody.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(0u, tests_done(agent)) << agent.stderr_text();

  // At a stop the batch gets the grace of any request in flight, then its
  // connection is closed and the rest does not run.
  wire::Wire_Client c(agent.host(), agent.port());
  ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1")) << c.last_error();
  const std::size_t started = count_of(agent.stderr_text(), "host.test waits");
  ASSERT_TRUE(c.ws_send(host_tests(5, 1)));
  ASSERT_TRUE(eventually([&] { return count_of(agent.stderr_text(), "host.test waits") > started; }));
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(0, agent.stop());
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(6));
  EXPECT_LT(tests_done(agent), 5u) << agent.stderr_text();
}

TEST(Batch, UpstreamBatchesAreServedAndItsBinaryMessagesCloseTheConnection) {
  wire::Upstream_Server server;
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(batch_config(agent.dir()) + "set upstream ws://127.0.0.1:" +
                          std::to_string(server.port()) + "/agent\n"))
      << agent.stderr_text();
  ASSERT_TRUE(server.wait_connections(1, std::chrono::seconds(10))) << agent.stderr_text();
  // The upstream needs no session, so the closed method runs too.
  const std::string answer =
      server.exchange("[" + call(1, "host.info") + "," + call(2, "fs.statfs", "\"/\"") + "]",
                      std::chrono::seconds(5))
          .value_or("");
  const Value batch = parse_json(answer);
  ASSERT_EQ(json_spirit::array_type, batch.type()) << answer;
  EXPECT_EQ(2u, batch.get_array().size());
  EXPECT_EQ(std::string::npos, answer.find("\"error\"")) << answer;

  ASSERT_TRUE(server.send_binary(std::string("\x01\x02", 2), std::chrono::seconds(5)));
  EXPECT_EQ(1003, server.read_close_code(std::chrono::seconds(5))) << agent.stderr_text();
  EXPECT_TRUE(agent.wait_for_stderr("WebSocket upstream server 127.0.0.1 (127.0.0.1:" +
                                        std::to_string(server.port()) +
                                        ") sent a binary message",
                                    std::chrono::seconds(5)))
      << agent.stderr_text();
  // Then it reconnects, as after any drop.
  EXPECT_TRUE(server.wait_connections(2, std::chrono::seconds(10))) << agent.stderr_text();
  EXPECT_EQ(0, agent.stop());
}

}  // namespace
