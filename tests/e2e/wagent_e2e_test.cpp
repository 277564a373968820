// wagent as a user meets it: a real process on an ephemeral loopback port,
// called over real sockets.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/e2e/e2e.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/file_server.h"
#include "tests/support/upstream_server.h"

namespace {

using namespace e2e;

std::string full_config(const std::string& dir) {
  return listener(dir) +
         "set clock dry-run\n"
         "set http.body_limit 65536\n"
         "session k1 alice 0xC000000000000000\n" +
         bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
         bind("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler") +
         bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler") +
         bind("jsonrpc", "fs.statfs", "_make_JSON_RPC_Statfs_Handler") +
         bind("rest", "/api/host/date", "_make_JSON_RESTful_Host_Date_Handler_Creator") +
         bind("http", "/debug/headers", "_make_HTTP_Headers_Echo_Handler_Creator");
}

TEST(Wagent, ServesEachKindOfEndpointAndClosedMethodsOnlyWithASession) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(full_config(agent.dir()))) << agent.stderr_text();
  // Made before the client connects: on a loaded machine this can outlast
  // the keep-alive connection's idle timeout.
  std::string dir = agent.dir() + "/many";
  ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
  const int files = 5000;
  for (int i = 0; i < files; ++i)
    std::ofstream(dir + "/file-with-a-long-name-" + std::to_string(i));
  // Generous: the large listing below is slow on a loaded machine.
  wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(30));
  // A notify gets no reply object: the exchange ends empty once its work is
  // done, the worker thread's included, and the connection stays open.
  wire::Http_Response r = c.request("POST", "/jsonrpc", notify("host.test", "0"));
  EXPECT_EQ(204, r.status);
  EXPECT_EQ("", r.body);
  EXPECT_TRUE(r.keep_alive);

  EXPECT_EQ(405, c.request("GET", "/jsonrpc").status);
  EXPECT_EQ(404, c.request("GET", "/nowhere").status);
  // Past the body limit: refused whole, the connection closed.
  r = c.request("POST", "/jsonrpc", std::string(70000, ' '));
  EXPECT_EQ(413, r.status);
  EXPECT_FALSE(r.keep_alive);

  ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1")) << c.last_error();

  // A slow call, a notify (never answered) and a quick call: the quick
  // answer comes first, and ids tell them apart.
  ASSERT_TRUE(c.ws_send(call(10, "host.test", "1")));
  ASSERT_TRUE(c.ws_send("{\"jsonrpc\":\"2.0\",\"method\":\"host.info\"}"));
  ASSERT_TRUE(c.ws_send(call(11, "no.such")));
  EXPECT_EQ(-32601, code_of(c.ws_receive(std::chrono::seconds(5)).value_or("")));
  const std::string slow = c.ws_receive(std::chrono::seconds(5)).value_or("");
  EXPECT_EQ(10, parse_json(slow).get_obj().at("id").get_int64()) << slow;
  EXPECT_FALSE(c.ws_receive(std::chrono::milliseconds(300)));
  EXPECT_TRUE(c.ws_close());

  // The handlers' own tests cover their answers; here the bindings and what
  // the host hands them: the forwarded address and the session's user.
  r = c.request("POST", "/api/host/date", "{\"date\":\"2024-03-05T14:07:09Z\"}",
                {{"X-Session-Key", "k1"}, {"X-Forwarded-For", "10.1.2.3, 127.0.0.1"}});
  EXPECT_EQ(204, r.status);
  // The clock change's event; the dry run adds one of its own.
  const std::string audit = read_file(agent.dir() + "/var/audit/events.jsonl");
  EXPECT_NE(std::string::npos,
            audit.find(R"("address":"10.1.2.3","code":"0x205000000010005","succeeded":true)"))
      << audit;
  EXPECT_NE(std::string::npos, audit.find(R"("user":"alice")")) << audit;
  r = c.request("GET", "/debug/headers", "", {{"X-Trace", "42"}});
  EXPECT_EQ("42", parse_json(r.body).get_obj().at("X-Trace").get_str());

  // A large listing streams in pieces: chunks over POST, frames over WebSocket.
  const std::string list = call(20, "fs.list", "{\"path\":\"" + dir + "\"}");
  r = c.request("POST", "/jsonrpc", list, {{"X-Session-Key", "k1"}});
  ASSERT_EQ(200, r.status) << c.last_error();
  EXPECT_GT(r.chunk_count, 2u);
  EXPECT_EQ(std::size_t{files}, parse_json(r.body).get_obj().at("result").get_array().size());

  ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1"));
  ASSERT_TRUE(c.ws_send(list));
  auto message = c.ws_receive(std::chrono::seconds(30));
  ASSERT_TRUE(message);
  EXPECT_GT(c.ws_last_frame_count(), 2u);
  EXPECT_EQ(std::size_t{files}, parse_json(*message).get_obj().at("result").get_array().size());

  EXPECT_EQ(0, agent.stop());
}

// The parser's tests cover lone surrogates and whitespace JSON does not
// know, and the dispatcher's show them as parse errors; a REST body is read
// on a path of its own and refuses them too.
TEST(Wagent, RestBodiesRefuseBadTextAndTheCommandLineOpensMethods) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(full_config(agent.dir()))) << agent.stderr_text();
  wire::Wire_Client c(agent.host(), agent.port());
  // Open by default: a local process needs no session for it.
  EXPECT_EQ(0, code_of(c.request("POST", "/jsonrpc", call(1, "host.info")).body));
  const std::string date = R"({"date":"2024-03-05T14:07:09Z")";
  const wire::Header_List key{{"X-Session-Key", "k1"}};
  EXPECT_EQ(204, c.request("POST", "/api/host/date", date + "}", key).status);
  EXPECT_EQ(400, c.request("POST", "/api/host/date", date + R"(,"x":"\udc00"})", key).status);
  EXPECT_EQ(400, c.request("POST", "/api/host/date", date + "}\v", key).status);
  EXPECT_EQ(0, agent.stop());
  // A setting given on the command line opens every method, with a warning.
  ASSERT_TRUE(agent.start(full_config(agent.dir()), {"-s", "jsonrpc.open=*"}))
      << agent.stderr_text();
  EXPECT_NE(std::string::npos, agent.stderr_text().find("jsonrpc.open is *"));
  wire::Wire_Client d(agent.host(), agent.port());
  EXPECT_EQ(0, code_of(d.request("POST", "/jsonrpc", call(2, "fs.statfs", "\"/\"")).body));
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}

// No file holds a usable key: the local session's key is made at random at
// first start, kept where only the agent's user reads it, named on stderr
// and read back after a restart. On the listener an acting method runs
// only for a session with both admin bits, over POST and WebSocket alike.
TEST(Wagent_Local_Access, TheKeyIsMadeAtFirstStartAndOnlyAdminSessionsAct) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string config =
      listener(agent.dir()) + "session reader bob 0x4000000000000000\n" +
      bind("jsonrpc", "system.execute", "_make_JSON_RPC_System_Execute_Handler");
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  const std::string key_file = agent.dir() + "/var/chost/session_key";
  EXPECT_NE(std::string::npos,
            agent.stderr_text().find("wagent: local session key in " + key_file + "\n"));
  EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            std::filesystem::status(key_file).permissions());
  std::string key = read_file(key_file);
  key.erase(key.find_last_not_of('\n') + 1);
  EXPECT_EQ(64u, key.size());
  EXPECT_EQ(std::string::npos, key.find_first_not_of("0123456789abcdef"));

  // Each caller asks for a file of its own name; only the admin's appears.
  const auto execute = [&](const std::string& who, const std::string& key, bool ws) {
    const std::string marker = agent.dir() + "/ran-" + who;
    const std::string text = call(7, "system.execute", R"({"cmd":"touch )" + marker + "\"}");
    wire::Wire_Client c(agent.host(), agent.port());
    std::string reply;
    if (ws) {
      EXPECT_TRUE(c.ws_connect(key.empty() ? "/jsonrpc" : "/jsonrpc?session=" + key));
      EXPECT_TRUE(c.ws_send(text));
      reply = c.ws_receive(std::chrono::seconds(10)).value_or("");
    } else {
      wire::Header_List headers;
      if (!key.empty()) headers.emplace_back("X-Session-Key", key);
      reply = c.request("POST", "/jsonrpc", text, headers).body;
    }
    EXPECT_EQ(std::filesystem::exists(marker), reply == R"({"jsonrpc":"2.0","id":7,"result":true})")
        << who << ": " << reply;
    return reply;
  };
  const std::string unauthenticated =
      R"({"jsonrpc":"2.0","id":7,"error":{"code":-32603,"message":"Unauthenticated."}})";
  const std::string forbidden =
      R"({"jsonrpc":"2.0","id":7,"error":{"code":-32603,"message":"Forbidden."}})";
  for (bool ws : {false, true}) {
    const std::string way = ws ? "-ws" : "-post";
    EXPECT_EQ(unauthenticated, execute("nobody" + way, "", ws));
    EXPECT_EQ(forbidden, execute("reader" + way, "reader", ws));
    execute("local" + way, key, ws);
    EXPECT_TRUE(std::filesystem::exists(agent.dir() + "/ran-local" + way));
  }
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();

  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  EXPECT_EQ(key + "\n", read_file(key_file));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
  // A key file other users may read, or one holding no key, stops the start.
  ASSERT_EQ(0, ::chmod(key_file.c_str(), 0644));
  EXPECT_EQ(1, agent.run_to_exit(config));
  EXPECT_NE(std::string::npos,
            agent.stderr_text().find(key_file + ": the session key file is open to other users"))
      << agent.stderr_text();
  std::filesystem::remove(key_file);
  ASSERT_EQ(0, ::mkdir(key_file.c_str(), 0700));
  EXPECT_EQ(1, agent.run_to_exit(config));
  EXPECT_NE(std::string::npos, agent.stderr_text().find(key_file + ": ")) << agent.stderr_text();
  EXPECT_EQ(std::string::npos, agent.stderr_text().find("listening")) << agent.stderr_text();
}

// A configuration refused at start.
TEST(Wagent_Start, RefusesABadConfigurationBeforeListening) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string listen = "set listen 127.0.0.1:0\n";
  const std::pair<std::string, std::string> cases[] = {
      {listen + bind("jsonrpc", "host.info", "_make_No_Such_Handler"),
       "wagent.conf:2: library '" + std::string(WCOMMON_PATH) +
           "' has no factory '_make_No_Such_Handler'"},
      {listen + "jsonrpc host.info /nowhere/libx.so:_make_X\n",
       "wagent.conf:2: cannot load library '/nowhere/libx.so'"},
      {listen + bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
           bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Test_Handler"),
       "wagent.conf:3: a method or path of this line is already bound"},
      // A factory under the wrong keyword, or no factory at all.
      {listen + bind("rest", "/x", "_make_JSON_RPC_Host_Info_Handler"),
       "makes a JSON-RPC handler (a 'jsonrpc' line), not a REST handler creator"},
      {listen + bind("jsonrpc", "a.b", "_make_HTTP_Headers_Echo_Handler_Creator"),
       "makes an HTTP handler creator (an 'http' line), not a JSON-RPC handler"},
      {listen + bind("params", "a.b", "_make_JSON_RPC_Host_Info_Handler"),
       "not a params-handler creator"},
      {listen + bind("jsonrpc", "a.b", "wcommon_exports"),
       "wagent.conf:2: 'wcommon_exports' is not a factory name"},
      {listen + "jsonrpc faulty.init " FAULTY_SERVICES_PATH ":_make_Failing_Init\n",
       "wagent.conf:2: init of '_make_Failing_Init' failed (-7)"},
      {listen + "set io.handler_limit 257\n", "wagent.conf:2: setting 'io.handler_limit'"},
      {listen + "set upstream http://127.0.0.1:1/\n",
       "wagent.conf:2: setting 'upstream' must be a ws:// or wss:// URL"},
      {listen + "set jsonrpc.open host.info,,fs.statfs\n",
       "wagent.conf:2: setting 'jsonrpc.open'"},
  };
  for (const auto& [config, message] : cases) {
    EXPECT_EQ(1, agent.run_to_exit(config)) << agent.stderr_text();
    EXPECT_NE(std::string::npos, agent.stderr_text().find(message)) << agent.stderr_text();
    EXPECT_EQ(std::string::npos, agent.stderr_text().find("listening")) << agent.stderr_text();
  }
  EXPECT_EQ(1, agent.run_to_exit("", {"-s", "nonsense"}));
}

// Started by systemd, the unit names no paths: the host finds its
// configuration, state and log folders in the environment and reports
// ready on the socket it was given, then stopping; a call in flight at the
// stop still gets its answer.
TEST(Wagent_Start, TakesItsFoldersFromTheServiceManagerAndStopsCleanly) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string dir = agent.dir(), notify = dir + "/notify";
  ASSERT_EQ(0, ::mkdir((dir + "/logs").c_str(), 0750));
  const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  notify.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(0, ::bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address));
  const timeval wait{10, 0};
  ::setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const auto next_notice = [&] {
    char text[256];
    ssize_t n = ::recv(manager, text, sizeof text, 0);
    return std::string(text, n > 0 ? n : 0);
  };
  const char* const names[] = {"CONFIGURATION_DIRECTORY", "STATE_DIRECTORY",
                               "LOGS_DIRECTORY", "NOTIFY_SOCKET"};
  const std::string values[] = {dir, dir + "/state", dir + "/logs", notify};
  for (int i = 0; i < 4; ++i) ::setenv(names[i], values[i].c_str(), 1);
  agent.omit_config_flag();
  const bool started = agent.start("set listen 127.0.0.1:0\nset log agent.log\n" +
                                   bind("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler"));
  for (const char* name : names) ::unsetenv(name);
  ASSERT_TRUE(started) << agent.stderr_text();

  EXPECT_EQ("READY=1\nSTATUS=listening on 127.0.0.1:" + std::to_string(agent.port()),
            next_notice());
  EXPECT_TRUE(std::filesystem::exists(dir + "/state/chost"));
  wire::Wire_Client c(agent.host(), agent.port());
  ASSERT_TRUE(c.send_request("POST", "/jsonrpc", call(1, "host.test", "2")));
  ASSERT_TRUE(eventually([&] { return read_file(dir + "/logs/agent.log").find("host.test waits") !=
                                      std::string::npos; }));
  ASSERT_TRUE(agent.send_signal(SIGTERM));
  EXPECT_EQ(200, c.read_response().status);
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
  EXPECT_EQ("STOPPING=1", next_notice());
  EXPECT_NE(std::string::npos, read_file(dir + "/logs/agent.log").find("stopped"));
  ::close(manager);
}

// The agent dials out to its management server, serves calls arriving
// there, and dials again when the server drops it; over TLS, only a server
// with a certificate it trusts is served.
TEST(Wagent_Upstream, ServesATrustedManagementServerAndReconnects) {
  Temp_Dir certs;
  wire::make_certificate(certs / "server.pem", certs / "server.key");
  wire::make_certificate(certs / "other.pem", certs / "other.key");
  const wire::Upstream_Server::Tls_Identity identity{certs / "server.pem", certs / "server.key"};
  for (const std::string trusted : {"", "server.pem", "other.pem"}) {
    SCOPED_TRACE(trusted);
    const bool tls = !trusted.empty(), good = trusted != "other.pem";
    wire::Upstream_Server server(nullptr, tls ? &identity : nullptr);
    wire::Wagent_Process agent(WAGENT_PATH);
    ASSERT_TRUE(agent.start(full_config(agent.dir()) + "set upstream " + (tls ? "wss" : "ws") +
                            "://127.0.0.1:" + std::to_string(server.port()) + "/agent\n" +
                            (tls ? "set tls.ca_file " + (certs / trusted) + "\n" : "")))
        << agent.stderr_text();
    for (std::size_t connection : {1, 2}) {
      EXPECT_EQ(good, server.wait_connections(connection, std::chrono::seconds(good ? 10 : 3)))
          << agent.stderr_text();
      if (!good) break;
      EXPECT_EQ(0, code_of(server.exchange(call(1, "host.info"), std::chrono::seconds(5))
                               .value_or(""))) << agent.stderr_text();
      server.drop();
    }
    EXPECT_EQ(good, agent.stderr_text().find("TLS handshake failed, nothing sent: certificate "
                                             "verify failed") == std::string::npos)
        << agent.stderr_text();
    EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
  }
}

}  // namespace
