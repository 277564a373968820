// Log upload with recording doubles: which files go up under which names
// and flags, where the filter applies, reference files, which failures make
// the report "error", the report itself on the global channel, and the
// notifies that are refused or cannot start a worker.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "agent/json_rpc/global_channel.h"
#include "agent/pkgutil/interface_info.h"
#include "agent/websocketc/websocket_options.h"
#include "tests/fakes/fake_host_info.h"
#include "tests/fakes/fake_host_manager.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_client_io.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "websvcs/common/upload_log/log_upload_handler.h"

using json_spirit::Object;
using json_spirit::Value;
using Upload = Recording_Client_IO::Upload;

namespace {

class LogUploadTest : public ::testing::Test {
 protected:
  LogUploadTest() {
    ::setenv("APPDATA", dir.path().c_str(), 1);
    ::setenv("COMPONENT", "agent", 1);
    EXPECT_TRUE(server.set_url("ws://127.0.0.1:9/agent"));
    host.access_key("K1");
    info.value = Object{{"nodename", "host1"}};
    previous_global = Global_JSON_RPC_Channel::instance(global);
    std::filesystem::create_directories(logs);
    std::filesystem::create_directories(winagent);
    Network_Interface_Enumerator().get_local_addr(address);
  }
  ~LogUploadTest() override {
    Global_JSON_RPC_Channel::instance(previous_global);
    ::unsetenv("APPDATA");
    ::unsetenv("COMPONENT");
  }

  // Sends a log.upload notify with `params` and waits for the report.
  Value upload(const std::string& params) {
    EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                       rpc_message(0, "log.upload", params,
                                                   JSON_RPC_Object::JSON_RPC_NOTIFY)));
    for (int i = 0; i < 500 && reports->count_sent() == reports_seen; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ++reports_seen;
    return reports->pop();
  }
  Value report(const char* type, const char* state, const char* url = nullptr) {
    Object params{{"task_id", "T1"}, {"host_id", host.uuid_text}, {"state", state},
                  {"type", type}};
    if (url) params["url"] = url;
    return Object{{"jsonrpc", "2.0"}, {"method", "log.upload.notify"}, {"params", params}};
  }
  std::string folder() const { return "T1/host1_" + address; }

  Temp_Dir dir;
  const std::string logs = dir / "quillon/veltrano/agent/log";
  const std::string winagent = dir / "veltran-winagent";
  std::string address;
  Recording_Log log;
  Fake_Host_Manager host;
  Scoped_Instance_T<Host_Manager> host_guard{&host};
  Fake_Host_Info info;
  Scoped_Instance_T<Host_Info_Service> info_guard{&info};
  WebSocket_Options server;
  Scoped_Instance_T<WebSocket_Options> server_guard{&server};
  Recording_Client_IO io;
  Scoped_Instance_T<Client_IO_Service> io_guard{&io};
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  Recording_Channel* reports;
  JSON_RPC_Channel_Ptr global = Recording_Channel::make(&reports);
  JSON_RPC_Channel_Ptr previous_global;
  std::size_t reports_seen = 0;
  JSON_RPC_Log_Upload_Handler handler;
};

}  // namespace

TEST_F(LogUploadTest, FixedFilesThenFolderWalksWithTheNamingRulesAndTheTopLevelFilter) {
  Temp_Dir elsewhere;
  const std::string referenced = elsewhere.write("P.txt", "payload");
  for (const char* name : {"a.log", "b.log.gz", "C.GZ", "veltrano-agent.log",
                           "veltrano-backupd.1.log", "upload.txt", "my-upload.log",
                           "Upload.log", "logs/veltrano-storaged-x", "logs/inner/z.log"}) {
    std::filesystem::create_directories(std::filesystem::path(logs + "/" + name).parent_path());
    std::ofstream(logs + "/" + name) << name;
  }
  std::ofstream(logs + "/kvrio.ref") << referenced << "\n";
  std::ofstream(winagent + "/w.log") << "w";
  std::ofstream(winagent + "/veltrano-storaged-x") << "skipped";

  EXPECT_EQ(report("agent", "completed"), upload(R"({"task_id":"T1","type":"agent"})"));
  EXPECT_EQ(1, io.connects);
  EXPECT_EQ("http://127.0.0.1:9/k7/logs/upload", io.connected_uri);
  EXPECT_TRUE(io.probe);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"X-ACCESS-KEY", "K1"}}),
            io.headers);

  const std::vector<Upload> seen = io.recorded();
  ASSERT_GE(seen.size(), 5u);
  const std::string time = seen[0].target.substr(folder().size() + 1,
                                                 seen[0].target.find('_', folder().size()) -
                                                     folder().size() - 1);
  const char* suffixes[] = {".log", ".stderr", "-access.log", "-monitor.log", "-monitor.stderr"};
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ((Upload{folder() + "/" + time + "_agent" + suffixes[i] + ".gz",
                      logs + "/veltrano-agent" + suffixes[i], true}),
              seen[i]);
  std::vector<Upload> walked(seen.begin() + 5, seen.end());
  std::vector<Upload> expected = {
      {folder() + "/w.log.gz", winagent + "/w.log", false},
      {folder() + "/a.log.gz", logs + "/a.log", false},
      {folder() + "/b.log.gz", logs + "/b.log.gz", false},
      {folder() + "/C.GZ.gz", logs + "/C.GZ", false},
      {folder() + "/my-upload.log.gz", logs + "/my-upload.log", false},
      {folder() + "/Upload.log.gz", logs + "/Upload.log", false},
      {folder() + "/logs/veltrano-storaged-x.gz", logs + "/logs/veltrano-storaged-x", false},
      {folder() + "/logs/inner/z.log.gz", logs + "/logs/inner/z.log", false},
      {folder() + "/kvrio.ref.gz", referenced, false},
  };
  auto order = [](const Upload& a, const Upload& b) { return a.target < b.target; };
  std::sort(walked.begin(), walked.end(), order);
  std::sort(expected.begin(), expected.end(), order);
  EXPECT_EQ(expected, walked);
}

TEST_F(LogUploadTest, FailuresGiveErrorWhereTheyCountAndUnknownTypesUploadNothing) {
  std::ofstream(logs + "/a.log") << "a";
  std::ofstream(winagent + "/w.log") << "w";
  std::ofstream(logs + "/kvrio.ref") << "";  // an empty reference: skipped
  const struct {
    const char* params;
    std::set<std::string> failing;
    bool connect_ok;
    Value expected;
    std::size_t uploads;
  } cases[] = {
      // A fixed file that fails stops everything after it.
      {R"({"task_id":"T1","type":"agent"})", {logs + "/veltrano-agent.stderr"}, true,
       report("agent", "error"), 2},
      // The winagent walk's outcome is ignored; the agent log folder's counts.
      {R"({"task_id":"T1","type":"agent"})", {winagent + "/w.log"}, true,
       report("agent", "completed"), 7},
      {R"({"task_id":"T1","type":"agent"})", {logs + "/a.log"}, true, report("agent", "error"),
       7},
      // storaged: only the fixed files decide.
      {R"({"task_id":"T1","type":"storaged"})", {winagent + "/w.log"}, true,
       report("storaged", "completed"), 6},
      {R"({"task_id":"T1","type":"Agent"})", {}, true, report("Agent", "completed"), 0},
      {R"({"task_id":"T1","type":"agent","private_storage":{}})", {}, false,
       report("agent", "error"), 0},
  };
  for (const auto& c : cases) {
    Recording_Client_IO fresh;
    fresh.failing = c.failing;
    fresh.connect_ok = c.connect_ok;
    Scoped_Instance_T<Client_IO_Service> guard(&fresh);
    EXPECT_EQ(c.expected, upload(c.params)) << c.params;
    EXPECT_EQ(c.uploads, fresh.recorded().size()) << c.params;
    EXPECT_EQ(1, fresh.connects);
  }
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to connect url, refused\n"));
}

TEST_F(LogUploadTest, APrivateStorageGetsItsHeadersAndItsUrlInTheReport) {
  EXPECT_EQ(report("Other", "completed", "https://store.example/base/T1/"),
            upload(R"({"task_id":"T1","type":"Other","private_storage":
                       {"url":"https://store.example/base/","headers":{"Authorization":"Bearer t"}}})"));
  EXPECT_EQ("https://store.example:443/base", io.connected_uri);
  EXPECT_FALSE(io.probe);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"Authorization", "Bearer t"}}),
            io.headers);
}

TEST_F(LogUploadTest, RefusedNotifiesGetNoReportAndAWorkerThatCannotStartReportsError) {
  const std::string params_error =
      R"({"jsonrpc":"2.0","id":0,"error":{"code":-32602,"message":"Invalid params: params json format error."}})";
  for (const char* params : {R"(["T1"])", R"({"type":"agent"})", R"({"task_id":1,"type":"agent"})"}) {
    EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                       rpc_message(0, "log.upload", params,
                                                   JSON_RPC_Object::JSON_RPC_NOTIFY)));
    EXPECT_EQ(parse_json(params_error), rec->pop()) << params;
  }
  EXPECT_EQ(-1, handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                      rpc_message(3, "log.upload",
                                                  R"({"task_id":"T1","type":"agent"})")));
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC notify!"));
  EXPECT_EQ(3u, rec->count_sent());
  EXPECT_EQ(0u, reports->count_sent());

  // No thread can get a stack of this size, so the spawn fails.
  pthread_attr_t previous, huge;
  pthread_getattr_default_np(&previous);
  pthread_attr_init(&huge);
  pthread_attr_setstacksize(&huge, std::size_t(1) << 46);
  pthread_setattr_default_np(&huge);
  const int result = handler.handle_object(
      JSON_RPC_Channel_WPtr(channel),
      rpc_message(0, "log.upload", R"({"task_id":"T1","type":"agent"})",
                  JSON_RPC_Object::JSON_RPC_NOTIFY));
  pthread_setattr_default_np(&previous);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&previous);
  EXPECT_EQ(0, result);
  EXPECT_EQ(report("agent", "error"), reports->pop());
  EXPECT_EQ(0, io.connects);
}
