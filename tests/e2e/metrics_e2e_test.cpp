// GET /metrics through wagent: only with a session, and what it counts
// (requests by method and outcome with their latency, queue depth, job runs,
// uploads, the upstream, the process), as curl fetches it and the Prometheus
// client library's own parser reads it (metrics_scrape.py).
#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "tests/e2e/e2e.h"
#include "tests/support/file_server.h"

namespace {

using namespace e2e;
using std::chrono::seconds;
typedef std::map<std::string, std::string> Labels;

// A loopback port nobody listens on.
unsigned short closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

// One scrape as the parser read it.
struct Scrape {
  std::string error;  // the parser's or curl's refusal
  json_spirit::Object types;
  json_spirit::Array samples;

  // The value of the sample `name` whose labels include `labels`; -1 when
  // there is none.
  double value(const std::string& name, const Labels& labels = {}) const {
    for (const Value& s : samples) {
      const json_spirit::Array& a = s.get_array();
      if (a[0].get_str() != name) continue;
      const json_spirit::Object& have = a[1].get_obj();
      bool match = true;
      for (const auto& l : labels) {
        auto it = have.find(l.first);
        match = match && it != have.end() && it->second.get_str() == l.second;
      }
      if (!match) continue;
      if (a[2].type() == json_spirit::str_type) return 1e300;  // +Inf
      return a[2].type() == json_spirit::int_type ? double(a[2].get_int64()) : a[2].get_real();
    }
    return -1;
  }
};

class Metrics_E2E : public ::testing::Test {
 protected:
  void start(const std::string& extra = "") {
    ASSERT_TRUE(agent_.start(
        listener(agent_.dir()) + "session m-key m 0xC000000000000000\n" + extra +
        "set log $APPDATA/quillon/veltrano/$COMPONENT/log/veltrano-agent.log\n" +
        bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
        bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler") +
        "jsonrpc queue.push " + WCOMMON_PATH + ":_make_JSON_RPC_Queue_Push_Handler -q default\n" +
        bind("jsonrpc", "job.start", "_make_JSON_RPC_Job_Control_Handler") +
        bind("params", "job.create", "_make_Job_Definition_Params_Handler_Creator") +
        bind("jsonrpc", "log.upload", "_make_JSON_RPC_Log_Upload_Handler") +
        bind("http", "/metrics", "_make_HTTP_Metrics_Handler_Creator")))
        << agent_.stderr_text();
    client_.reset(new wire::Wire_Client(agent_.host(), agent_.port()));
  }

  std::string url() const {
    return "http://" + agent_.host() + ":" + std::to_string(agent_.port()) + "/metrics";
  }

  // curl's status line for a request to /metrics with `options`.
  std::string fetch_status(const std::string& options) {
    return run_command("curl -s -o /dev/null -w '%{http_code} %{content_type}' " + options +
                       " " + url())
        .second;
  }

  Scrape scrape() {
    Scrape s;
    const std::string text = agent_.dir() + "/scrape.txt";
    const auto [status, out] =
        run_command("curl -sf -H 'X-Session-Key: m-key' -o " + text + " " + url() + " && " +
                    METRICS_PYTHON + " " + METRICS_SCRAPE_SCRIPT + " < " + text);
    if (status != 0) {
      s.error = out;
      return s;
    }
    const Value v = parse_json(out);
    s.types = v.get_obj().at("types").get_obj();
    s.samples = v.get_obj().at("samples").get_array();
    return s;
  }

  std::string rpc(const std::string& body, bool keyed = true) {
    return client_
        ->request("POST", "/jsonrpc", body,
                 keyed ? wire::Header_List{{"X-Session-Key", "m-key"}} : wire::Header_List{})
        .body;
  }

  wire::Wagent_Process agent_{WAGENT_PATH};
  std::unique_ptr<wire::Wire_Client> client_;
};

TEST_F(Metrics_E2E, OnlyAGetWithASessionIsAnswered) {
  start();
  EXPECT_EQ("401 text/plain", fetch_status(""));
  EXPECT_EQ("401 text/plain", fetch_status("-H 'X-Session-Key: wrong'"));
  EXPECT_EQ("405 text/plain", fetch_status("-X POST -H 'X-Session-Key: m-key'"));
  EXPECT_EQ("200 text/plain; version=0.0.4; charset=utf-8",
            fetch_status("-H 'X-Session-Key: m-key'"));
  const Scrape s = scrape();
  ASSERT_EQ("", s.error);
  EXPECT_EQ(Value("histogram"), s.types.at("wagent_rpc_request_duration_seconds"));
  EXPECT_EQ(Value("gauge"), s.types.at("wagent_queue_depth"));
  EXPECT_GT(s.value("process_resident_memory_bytes"), 1 << 20);
  EXPECT_GT(s.value("process_open_fds"), 3);
  // curl's own connection at least.
  EXPECT_GE(s.value("wagent_open_connections"), 1);
  // Bound methods and known outcomes show from the start, at zero.
  EXPECT_EQ(0, s.value("wagent_rpc_requests_total", {{"method", "fs.list"}, {"outcome", "ok"}}));
  EXPECT_EQ(0, s.value("wagent_job_runs_total", {{"outcome", "failed"}}));
  EXPECT_EQ(0, s.value("wagent_busy_refusals_total", {{"reason", "workers"}}));
}

TEST_F(Metrics_E2E, RequestsCountByMethodAndOutcomeWithTheirLatency) {
  start();
  for (int id = 1; id <= 3; ++id) EXPECT_EQ(0, code_of(rpc(call(id, "host.info"))));
  EXPECT_EQ(-32602, code_of(rpc(call(4, "fs.list", R"({"path":"a\u0000b"})"))));
  EXPECT_EQ(-32603, code_of(rpc(call(5, "fs.list", R"({"path":"/"})"), false)));
  EXPECT_EQ(-32601, code_of(rpc(call(6, "no.such"))));
  EXPECT_EQ(-32700, code_of(rpc("{")));
  const Scrape s = scrape();
  ASSERT_EQ("", s.error);
  const auto count = [&](const std::string& method, const std::string& outcome) {
    return s.value("wagent_rpc_requests_total", {{"method", method}, {"outcome", outcome}});
  };
  EXPECT_EQ(3, count("host.info", "ok"));
  EXPECT_EQ(0, count("host.info", "error"));
  EXPECT_EQ(1, count("fs.list", "error"));
  EXPECT_EQ(1, count("fs.list", "refused"));
  EXPECT_EQ(1, count("", "error"));  // unbound: never a series of its own
  EXPECT_EQ(1, count("", "invalid"));
  EXPECT_EQ(-1, count("no.such", "error"));
  EXPECT_EQ(0, s.value("wagent_rpc_requests_in_flight"));

  // Served requests only; each bucket holds those below it.
  const std::string h = "wagent_rpc_request_duration_seconds";
  EXPECT_EQ(3, s.value(h + "_count", {{"method", "host.info"}}));
  EXPECT_EQ(3, s.value(h + "_bucket", {{"method", "host.info"}, {"le", "+Inf"}}));
  EXPECT_EQ(1, s.value(h + "_count", {{"method", "fs.list"}}));
  EXPECT_GT(s.value(h + "_sum", {{"method", "host.info"}}), 0);
  EXPECT_LT(s.value(h + "_sum", {{"method", "host.info"}}), 30);
  double below = 0;
  for (const char* le : {"0.0005", "0.005", "0.1", "1", "30", "+Inf"}) {
    const double n = s.value(h + "_bucket", {{"method", "host.info"}, {"le", le}});
    EXPECT_GE(n, below) << le;
    below = n;
  }
}

TEST_F(Metrics_E2E, QueueDepthJobRunsUploadsAndTheUpstreamAreCounted) {
  wire::File_Server files;
  start("set upstream ws://127.0.0.1:" + std::to_string(closed_port()) + "/agent\n");
  EXPECT_EQ(0, code_of(rpc(call(1, "queue.push", R"([{"message":"a"},{"message":"b"}])"))));
  for (const char* job : {R"({"id":"good","command":"/bin/true"})",
                          R"({"id":"bad","command":"/bin/sh -c 'exit 3'"})"})
    EXPECT_EQ(0, code_of(rpc(call(2, "job.create", job))));
  for (const char* id : {"good", "bad"})
    EXPECT_EQ(0, code_of(rpc(call(3, "job.start", std::string(R"({"id":")") + id + "\"}"))));
  const std::string storage =
      R"("private_storage":{"url":"http://127.0.0.1:)" + std::to_string(files.port()) + R"(/s"})";
  rpc(notify("log.upload", R"({"task_id":"T1","type":"agent",)" + storage + "}"));

  // Every byte the storage received, counted with the files that made it,
  // once the upload is over. A file sent again (its first try cut, which a
  // loaded machine can cause) counts both tries as sent, of which the
  // storage may have read less: then the count lies between the last try of
  // each file and all that arrived.
  const auto received = [&] {
    double all = 0, last_tries = 0;
    std::map<std::string, double> last;
    for (const auto& seen : files.requests()) {
      all += seen.body.size();
      last[seen.target] = seen.body.size();
    }
    for (const auto& file : last) last_tries += file.second;
    return std::make_tuple(all, last_tries, files.requests().size() == last.size());
  };
  const auto bytes_match = [&](double counted) {
    const auto [all, last_tries, once_each] = received();
    return once_each ? counted == all : counted >= last_tries;
  };
  Scrape s;
  EXPECT_TRUE(eventually(
      [&] {
        s = scrape();
        return s.value("wagent_job_runs_total", {{"outcome", "failed"}}) == 1 &&
               s.value("wagent_job_runs_total", {{"outcome", "succeeded"}}) == 1 &&
               s.value("wagent_upload_files_total", {{"outcome", "succeeded"}}) >= 1 &&
               bytes_match(s.value("wagent_upload_bytes_total", {{"outcome", "succeeded"}})) &&
               s.value("wagent_upstream_reconnects_total") >= 1;
      },
      std::chrono::seconds(30)))
      << s.error << "runs failed/succeeded "
      << s.value("wagent_job_runs_total", {{"outcome", "failed"}}) << "/"
      << s.value("wagent_job_runs_total", {{"outcome", "succeeded"}}) << ", files "
      << s.value("wagent_upload_files_total", {{"outcome", "succeeded"}}) << ", bytes "
      << s.value("wagent_upload_bytes_total", {{"outcome", "succeeded"}}) << " of "
      << std::get<0>(received()) << " received in " << files.requests().size()
      << " requests, reconnects " << s.value("wagent_upstream_reconnects_total") << "\n"
      << agent_.stderr_text();
  EXPECT_GT(std::get<0>(received()), 0);
  EXPECT_EQ(2, s.value("wagent_queue_depth", {{"queue", "default"}}));
  EXPECT_EQ(0, s.value("wagent_upstream_connected"));
  EXPECT_EQ(0, s.value("wagent_upload_files_total", {{"outcome", "failed"}}));

  files.serve_puts({403, "", "", std::string::npos});
  rpc(notify("log.upload", R"({"task_id":"T2","type":"agent",)" + storage + "}"));
  EXPECT_TRUE(eventually([&] {
    s = scrape();
    return s.value("wagent_upload_files_total", {{"outcome", "failed"}}) == 1;
  })) << s.error;
}

}  // namespace
