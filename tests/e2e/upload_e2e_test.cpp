// Log uploads through wagent against a loopback management server (the
// WebSocket upstream and HTTP PUTs on one port): the files that go up, their
// names and bodies, one connection for all of them, the report on the
// upstream; the same to a private storage; and a server that refuses or
// cuts an upload gives "error".
#include <sys/utsname.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <random>

#include "tests/e2e/e2e.h"
#include "tests/support/file_server.h"
#include "tests/support/upstream_server.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;
using std::chrono::seconds;

// The bodies here are far below 16 MiB once inflated.
std::string gunzip(const std::string& data) {
  z_stream z{};
  std::string out(16 << 20, '\0');
  inflateInit2(&z, 15 + 16);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  const bool whole = inflate(&z, Z_FINISH) == Z_STREAM_END;
  out.resize(z.total_out);
  inflateEnd(&z);
  return whole ? out : "<not gzip>";
}

std::string report(const std::string& uuid, const char* task, const char* state,
                   const std::string& url = "") {
  return notify("log.upload.notify",
                R"({"host_id":")" + uuid + R"(","state":")" + state + R"(","task_id":")" + task +
                    R"(","type":"agent")" + (url.empty() ? "" : R"(,"url":")" + url + "\"") + "}");
}

}  // namespace

TEST(Upload_E2E, LogsGoUpGzippedOverOneConnectionAndTheOutcomeIsReported) {
  wire::File_Server files;
  wire::Upstream_Server server(&files);
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string var = agent.dir() + "/var";
  const std::string logs = var + "/quillon/veltrano/agent/log";
  ASSERT_TRUE(agent.start(
      listener(agent.dir()) + "set upstream ws://127.0.0.1:" + std::to_string(server.port()) +
      "/agent\nset log $APPDATA/quillon/veltrano/$COMPONENT/log/veltrano-agent.log\n" +
      bind("jsonrpc", "host.registered", "_make_JSON_RPC_Host_Registered_Handler") +
      bind("jsonrpc", "log.upload", "_make_JSON_RPC_Log_Upload_Handler")))
      << agent.stderr_text();
  ASSERT_TRUE(server.wait_connections(1, seconds(10)));
  const std::string uuid = read_file(var + "/chost/uuid");
  std::mt19937 random(7);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  fs::create_directories(logs + "/sub");
  for (const auto& f : {std::pair<std::string, std::string>{logs + "/a.log", "line a\n"},
                        {logs + "/b.log.gz", "not really gzip"}, {logs + "/sub/noise.bin", noise}})
    std::ofstream(f.first, std::ios::binary) << f.second;
  utsname names;
  ::uname(&names);
  const std::string folder = std::string("/k7/logs/upload/T1/") + names.nodename + "_127.0.0.1/";

  // Sends a log.upload notify with `params`; the report that comes back.
  auto upload = [&](const std::string& params) {
    return server.exchange(notify("log.upload", params), seconds(20), "log.upload.notify")
        .value_or("");
  };
  ASSERT_TRUE(server.send(notify("host.registered", "\"K1\""), seconds(5)));
  EXPECT_EQ(report(uuid, "T1", "completed"), upload(R"({"task_id":"T1","type":"agent"})"))
      << read_file(logs + "/veltrano-agent.log");

  std::map<std::string, std::string> bodies;
  std::set<std::size_t> connections;
  for (const auto& seen : files.requests()) {
    EXPECT_EQ(std::optional<std::string>("K1"), seen.access_key) << seen.target;
    connections.insert(seen.connection);
    if (seen.method == "PUT") bodies[seen.target] = seen.body;
  }
  EXPECT_EQ(1u, connections.size());
  ASSERT_EQ(4u, bodies.size());
  // "<time>_agent.log.gz" sorts first; the handler's tests check the names.
  const std::string own_log = bodies.begin()->first;
  EXPECT_EQ(0u, read_file(logs + "/veltrano-agent.log").find(gunzip(bodies[own_log])));
  EXPECT_NE(std::string::npos, gunzip(bodies[own_log]).find("loaded _make_JSON_RPC_Log_Upload"));
  EXPECT_EQ("line a\n", gunzip(bodies[folder + "a.log.gz"]));
  EXPECT_EQ("not really gzip", bodies[folder + "b.log.gz"]);
  EXPECT_EQ(noise, gunzip(bodies[folder + "sub/noise.bin.gz"]));

  // A private storage: its own base and headers, its URL in the report.
  const std::string base = "http://127.0.0.1:" + std::to_string(files.port()) + "/store";
  EXPECT_EQ(report(uuid, "T2", "completed", base + "/T2/"),
            upload(R"({"task_id":"T2","type":"agent","private_storage":{"url":")" + base +
                   R"(","headers":{"Authorization":"Bearer s"}}})"));
  std::size_t stored = 0;
  for (const auto& seen : files.requests())
    if (seen.target.compare(0, 10, "/store/T2/") == 0) {
      ++stored;
      EXPECT_EQ("Bearer s", seen.authorization);
      EXPECT_EQ(std::nullopt, seen.access_key);
    }
  EXPECT_EQ(4u, stored);

  // A server that refuses, then one that drops the connection mid-file.
  for (wire::File_Server::Answer answer : {wire::File_Server::Answer{403, "", "", std::string::npos},
                                           wire::File_Server::Answer{200, "", "", 4096}}) {
    files.serve_puts(answer);
    EXPECT_EQ(report(uuid, "T3", "error"), upload(R"({"task_id":"T3","type":"agent"})"));
  }
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}
