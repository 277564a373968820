// Log uploads through wagent against a loopback management server (the
// WebSocket upstream and HTTP PUTs on one port): the files that go up, their
// names and bodies, one connection for all of them, the report on the
// upstream with each file's length and digest checked against what the
// server received; the same to a private storage; a server that refuses or
// cuts an upload gives "error"; a file cut once goes again whole on a new
// connection, and one refused twice is "failed".
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

// A report's text without its "files", and the files.
std::pair<std::string, json_spirit::Array> split_report(const std::string& text) {
  Value v = parse_json(text);
  json_spirit::Array files;
  if (v.type() == json_spirit::obj_type && v.get_obj().count("params")) {
    json_spirit::Object& params = v.get_obj()["params"].get_obj();
    if (params.count("files")) files = params["files"].get_array();
    params.erase("files");
  }
  return {json_spirit::JSON_Dump(v, false), files};
}

// How many of `files` the report calls `status`; each one sent whole must
// have arrived at `base`/<name> (its last PUT) with the length and SHA-256
// the report gives.
std::size_t count_checked(const json_spirit::Array& files, const char* status,
                          const std::vector<wire::File_Server::Seen>& seen,
                          const std::string& base) {
  std::size_t n = 0;
  for (const Value& file : files) {
    const json_spirit::Object& f = file.get_obj();
    if (f.at("status").get_str() != status) continue;
    ++n;
    const std::string target = base + "/" + f.at("name").get_str();
    auto last = std::find_if(seen.rbegin(), seen.rend(), [&](const wire::File_Server::Seen& s) {
      return s.method == "PUT" && s.target == target;
    });
    if (status == std::string("failed")) {
      EXPECT_EQ(json_spirit::null_type, f.at("size").type()) << target;
      EXPECT_EQ(json_spirit::null_type, f.at("sha256").type()) << target;
    } else if (last == seen.rend()) {
      ADD_FAILURE() << target << " never arrived";
    } else {
      EXPECT_EQ(last->body.size(), f.at("size").get_uint64()) << target;
      EXPECT_EQ(last->body_sha256, f.at("sha256").get_str()) << target;
    }
  }
  return n;
}

std::string report(const std::string& uuid, const char* task, const char* state,
                   const std::string& url = "") {
  return notify("log.upload.notify",
                R"({"host_id":")" + uuid + R"(","state":")" + state + R"(","task_id":")" + task +
                    R"(","type":"agent")" + (url.empty() ? "" : R"(,"url":")" + url + "\"") + "}");
}

// An agent with log.upload (and `more`) whose upstream is `server` and whose
// own log is one of the files an upload sends.
std::string uploader_config(wire::Wagent_Process& agent, wire::Upstream_Server& server,
                            const std::string& more = "") {
  return listener(agent.dir()) + "set upstream ws://127.0.0.1:" +
         std::to_string(server.port()) +
         "/agent\nset log $APPDATA/quillon/veltrano/$COMPONENT/log/veltrano-agent.log\n" +
         more + bind("jsonrpc", "log.upload", "_make_JSON_RPC_Log_Upload_Handler");
}

}  // namespace

TEST(Upload_E2E, LogsGoUpGzippedOverOneConnectionAndTheOutcomeIsReported) {
  wire::File_Server files;
  wire::Upstream_Server server(&files);
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string var = agent.dir() + "/var";
  const std::string logs = var + "/quillon/veltrano/agent/log";
  ASSERT_TRUE(agent.start(uploader_config(agent, server, bind("jsonrpc", "host.registered",
                                                              "_make_JSON_RPC_Host_Registered_Handler"))))
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

  // Sends a log.upload notify with `params`; the report that comes back
  // (without its "files", kept in `sent`).
  json_spirit::Array sent;
  auto upload = [&](const std::string& params) {
    auto report = split_report(
        server.exchange(notify("log.upload", params), seconds(20), "log.upload.notify")
            .value_or(""));
    sent = report.second;
    return report.first;
  };
  ASSERT_TRUE(server.send(notify("host.registered", "\"K1\""), seconds(5)));
  EXPECT_EQ(report(uuid, "T1", "completed"), upload(R"({"task_id":"T1","type":"agent"})"))
      << read_file(logs + "/veltrano-agent.log");
  // Compressed on the way or sent as they are, all four as the server has them.
  EXPECT_EQ(4u, count_checked(sent, "sent", files.requests(), "/k7/logs/upload"));
  EXPECT_EQ(4u, sent.size());

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
  EXPECT_EQ(4u, count_checked(sent, "sent", files.requests(), "/store"));

  // A server that refuses, then one that drops the connection mid-file.
  for (wire::File_Server::Answer answer : {wire::File_Server::Answer{403, "", "", std::string::npos},
                                           wire::File_Server::Answer{200, "", "", 4096}}) {
    files.serve_puts(answer);
    EXPECT_EQ(report(uuid, "T3", "error"), upload(R"({"task_id":"T3","type":"agent"})"));
    EXPECT_EQ(1u, count_checked(sent, "failed", files.requests(), "/k7/logs/upload"));
    EXPECT_EQ(1u, sent.size());
  }
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}

// The management server cuts the second file once, mid-body, and refuses
// the third every time: the second goes again, whole, on a new connection
// ("retried"), the third is tried twice and "failed", the upload stops there
// and the report is "error" and lists all three.
TEST(Upload_E2E, AFileCutOnceGoesAgainOnANewConnectionAndOneRefusedFailsTheReport) {
  wire::File_Server files;
  wire::Upstream_Server server(&files);
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string var = agent.dir() + "/var";
  const std::string logs = var + "/quillon/veltrano/agent/log";
  ASSERT_TRUE(agent.start(uploader_config(agent, server))) << agent.stderr_text();
  ASSERT_TRUE(server.wait_connections(1, seconds(10)));
  // Noise does not compress, so the cut falls well inside the body.
  std::mt19937 random(11);
  std::string noise(256 << 10, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::ofstream(logs + "/veltrano-agent.stderr", std::ios::binary) << noise;
  std::ofstream(logs + "/veltrano-agent-access.log") << "GET /\n";
  files.serve_puts_to("_agent.stderr.gz", {200, "", "", 4096}, 1);
  files.serve_puts_to("_agent-access.log.gz", {500, "", "", std::string::npos});

  const auto [text, sent] = split_report(
      server.exchange(notify("log.upload", R"({"task_id":"T1","type":"agent"})"), seconds(20),
                      "log.upload.notify")
          .value_or(""));
  EXPECT_EQ(report(read_file(var + "/chost/uuid"), "T1", "error"), text)
      << read_file(logs + "/veltrano-agent.log");
  ASSERT_EQ(3u, sent.size());
  const char* statuses[] = {"sent", "retried", "failed"};
  const char* ends[] = {"_agent.log.gz", "_agent.stderr.gz", "_agent-access.log.gz"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(statuses[i], sent[i].get_obj().at("status").get_str());
    const std::string name = sent[i].get_obj().at("name").get_str();
    EXPECT_EQ(ends[i], name.substr(name.find('_', name.rfind('/'))));
  }
  const std::vector<wire::File_Server::Seen> seen = files.requests();
  for (const char* status : statuses)
    EXPECT_EQ(1u, count_checked(sent, status, seen, "/k7/logs/upload")) << status;

  // Two tries of each of the last two files, each second one on a
  // connection of its own, and nothing after the refused file.
  std::vector<wire::File_Server::Seen> puts;
  for (const auto& s : seen)
    if (s.method == "PUT") puts.push_back(s);
  ASSERT_EQ(5u, puts.size());
  EXPECT_EQ(puts[0].connection, puts[1].connection);
  EXPECT_LT(puts[1].body.size(), puts[2].body.size());
  EXPECT_NE(puts[1].connection, puts[2].connection);
  EXPECT_EQ(noise, gunzip(puts[2].body));
  EXPECT_EQ(puts[2].connection, puts[3].connection);
  EXPECT_NE(puts[3].connection, puts[4].connection);
  EXPECT_EQ(puts[3].target, puts[4].target);
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}
