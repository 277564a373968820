// Log upload with recording doubles: which files go up under which names
// and flags, where the filter applies, reference files, special files,
// which failures make the report "error", the report on the global
// channel, and the notifies that are refused or cannot start a worker.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "agent/clntio/log_transfer.h"
#include "agent/json_rpc/global_channel.h"
#include "agent/platform/directory_reader.h"
#include "agent/platform/process_env.h"
#include "agent/pkgutil/interface_info.h"
#include "agent/websocketc/websocket_options.h"
#include "tests/fakes/fake_host_info.h"
#include "tests/fakes/fake_host_manager.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_client_io.h"
#include "tests/fakes/temp_dir.h"
#include "websvcs/common/upload_log/log_upload_handler.h"

namespace {

class LogUploadTest : public Handler_Test<JSON_RPC_Log_Upload_Handler> {
 protected:
  LogUploadTest() {
    platform::set_environment("APPDATA", dir.path());
    platform::set_environment("COMPONENT", "agent");
    EXPECT_TRUE(server.set_url("ws://127.0.0.1:9/agent"));
    host.access_key("K1");
    info.value = json_spirit::Object{{"nodename", "host1"}};
    previous_global = Global_JSON_RPC_Channel::instance(global);
    std::filesystem::create_directories(logs + "/logs/inner");
    std::filesystem::create_directories(winagent);
    Network_Interface_Enumerator().get_local_addr(address);
    folder = "T1/host1_" + address + "/";
  }
  ~LogUploadTest() override {
    Global_JSON_RPC_Channel::instance(previous_global);
    platform::take_environment("APPDATA");
    platform::take_environment("COMPONENT");
  }

  int notify(const std::string& params) {
    return send(0, "log.upload", params, JSON_RPC_Object::JSON_RPC_NOTIFY);
  }
  // Sends a log.upload notify with `params`; the report's text.
  std::string upload(const std::string& params) {
    EXPECT_EQ(0, notify(params));
    for (int i = 0; i < 500 && reports->count_sent() == reports_seen; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ++reports_seen;
    return next_report();
  }
  // The next report's text without its "files", which are kept in `files`.
  std::string next_report() {
    json_spirit::Value sent = reports->pop();
    files.clear();
    if (sent.type() == json_spirit::obj_type && sent.get_obj().count("params")) {
      json_spirit::Object& params = sent.get_obj()["params"].get_obj();
      files = params.at("files").get_array();
      params.erase("files");
    }
    return json_spirit::JSON_Dump(sent, false);
  }
  std::string report(const char* type, const char* state) {
    return R"({"jsonrpc":"2.0","method":"log.upload.notify","params":{"host_id":")" +
           host.uuid_text + R"(","state":")" + state + R"(","task_id":"T1","type":")" + type + "\"}}";
  }

  Temp_Dir dir;
  const std::string logs = dir / "quillon/veltrano/agent/log";
  const std::string winagent = dir / "veltran-winagent";
  std::string address, folder;
  Installed<Host_Manager, Fake_Host_Manager> host;
  Installed<Host_Info_Service, Fake_Host_Info> info;
  Installed<WebSocket_Options, WebSocket_Options> server;
  Installed<Client_IO_Service, Recording_Client_IO> io;
  Recording_Channel* reports;
  JSON_RPC_Channel_Ptr global = Recording_Channel::make(&reports), previous_global;
  std::size_t reports_seen = 0;
  json_spirit::Array files;
};

}  // namespace

TEST_F(LogUploadTest, FixedFilesThenFolderWalksWithTheNamingRulesAndTheTopLevelFilter) {
  const std::string referenced = dir.write("P.txt", "payload");
  for (const char* name : {"a.log", "b.log.gz", "C.GZ", "veltrano-agent.log", "veltrano-backupd.1.log",
                           "upload.txt", "my-upload.log", "Upload.log", "logs/veltrano-storaged-x",
                           "logs/inner/z.log"})
    std::ofstream(logs + "/" + name) << name;
  std::ofstream(logs + "/kvrio.ref") << referenced << "\n";
  std::ofstream(winagent + "/w.log") << "w";
  std::ofstream(winagent + "/veltrano-storaged-x") << "skipped";

  EXPECT_EQ(report("agent", "completed"), upload(R"({"task_id":"T1","type":"agent"})"));
  EXPECT_EQ("http://127.0.0.1:9/k7/logs/upload", io.connected_uri);
  EXPECT_TRUE(io.probe);

  std::vector<std::string> seen = io.uploads();
  ASSERT_GE(seen.size(), 5u);
  const std::string time = seen[0].substr(folder.size(), seen[0].find('_', folder.size()) - folder.size());
  const char* suffixes[] = {".log", ".stderr", "-access.log", "-monitor.log", "-monitor.stderr"};
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(folder + time + "_agent" + suffixes[i] + ".gz <- " + logs + "/veltrano-agent" + suffixes[i] + " ?",
              seen[i]);
  // The walks in any order, but each file once.
  const std::multiset<std::string> walked(seen.begin() + 5, seen.end());
  std::multiset<std::string> expected{folder + "w.log.gz <- " + winagent + "/w.log",
                                      folder + "kvrio.ref.gz <- " + referenced};
  for (const char* name : {"a.log", "b.log.gz", "C.GZ", "my-upload.log", "Upload.log",
                           "logs/veltrano-storaged-x", "logs/inner/z.log"})
    expected.insert(folder + name + (std::string(name) == "b.log.gz" ? "" : ".gz") + " <- " + logs + "/" + name);
  EXPECT_EQ(expected, walked);
}

TEST_F(LogUploadTest, FailuresGiveErrorWhereTheyCountAndUnknownTypesUploadNothing) {
  std::ofstream(logs + "/a.log") << "a";
  std::ofstream(winagent + "/w.log") << "w";
  std::ofstream(logs + "/kvrio.ref") << "";  // an empty reference: skipped
  const struct {
    const char* params;
    std::string failing;
    bool connect_ok;
    std::string expected;
    std::size_t uploads;
  } cases[] = {
      // A fixed file that fails stops everything after it.
      {R"({"task_id":"T1","type":"agent"})", logs + "/veltrano-agent.stderr", true, report("agent", "error"), 2},
      // The agent log folder is walked after a failure in the winagent
      // walk, but any file that failed makes the report "error".
      {R"({"task_id":"T1","type":"agent"})", winagent + "/w.log", true, report("agent", "error"), 7},
      {R"({"task_id":"T1","type":"agent"})", logs + "/a.log", true, report("agent", "error"), 7},
      // storaged: the fixed files and the winagent walk only.
      {R"({"task_id":"T1","type":"storaged"})", "", true, report("storaged", "completed"), 6},
      {R"({"task_id":"T1","type":"Agent"})", "", true, report("Agent", "completed"), 0},
      {R"({"task_id":"T1","type":"agent"})", "", false, report("agent", "error"), 0},
  };
  for (const auto& c : cases) {
    Installed<Client_IO_Service, Recording_Client_IO> fresh;
    fresh.failing = {c.failing};
    fresh.connect_ok = c.connect_ok;
    EXPECT_EQ(c.expected, upload(c.params)) << c.params;
    EXPECT_EQ(c.uploads, fresh.uploads().size()) << c.params;
    // Every file tried is listed; the one that failed has no size or digest.
    ASSERT_EQ(c.uploads, files.size()) << c.params;
    std::size_t failed = 0;
    for (const json_spirit::Value& file : files) {
      const json_spirit::Object& f = file.get_obj();
      if (f.at("status").get_str() != "failed") continue;
      ++failed;
      EXPECT_EQ(json_spirit::null_type, f.at("size").type());
      EXPECT_EQ(json_spirit::null_type, f.at("sha256").type());
    }
    EXPECT_EQ(c.failing.empty() || c.uploads == 0 ? 0u : 1u, failed) << c.params;
  }
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to connect url, refused\n"));
  // A private storage is not probed (the management server is).
  upload(R"({"task_id":"T1","type":"X","private_storage":{"url":"https://s.example/b/"}})");
  EXPECT_EQ("https://s.example:443/b", io.connected_uri);
  EXPECT_FALSE(io.probe);
}

TEST_F(LogUploadTest, RefusedNotifiesGetNoReportAndAWorkerThatCannotStartReportsError) {
  for (const char* params : {R"(["T1"])", R"({"type":"agent"})", R"({"task_id":1,"type":"agent"})"}) {
    EXPECT_EQ(0, notify(params));
    EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid params: params json format error."},"id":0,"jsonrpc":"2.0"})",
              reply()) << params;
  }
  EXPECT_EQ(-1, send(3, "log.upload", R"({"task_id":"T1","type":"agent"})"));
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC notify!"));
  EXPECT_EQ(3u, rec->count_sent());
  EXPECT_EQ(0u, reports->count_sent());

#ifndef _WIN32  // the default stack size of new threads is a glibc setting
  // No thread can get a stack of this size, so the spawn fails.
  pthread_attr_t previous, huge;
  pthread_getattr_default_np(&previous);
  pthread_attr_init(&huge);
  pthread_attr_setstacksize(&huge, std::size_t(1) << 46);
  pthread_setattr_default_np(&huge);
  const int result = notify(R"({"task_id":"T1","type":"agent"})");
  pthread_setattr_default_np(&previous);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&previous);
  EXPECT_EQ(0, result);
  EXPECT_EQ(report("agent", "error"), next_report());
  EXPECT_TRUE(files.empty());
  EXPECT_EQ("", io.connected_uri);  // never connected
#endif
}

// A task id that could climb out of the upload folder or cut a request
// line, and a private storage not reached over http(s), are refused before
// anything is sent: no connection, no report.
TEST_F(LogUploadTest, TaskIdsLeavingTheirFolderAndStoragesOutsideHttpAreRefused) {
  const char* const refused[] = {
      R"({"task_id":"","type":"agent"})",        R"({"task_id":".","type":"agent"})",
      R"({"task_id":"..","type":"agent"})",      R"({"task_id":"../x","type":"agent"})",
      R"({"task_id":"a/b","type":"agent"})",     R"({"task_id":"a\\..","type":"agent"})",
      R"({"task_id":"T\n1","type":"agent"})",   R"({"task_id":"T\u007f","type":"agent"})",
      R"({"task_id":"T1","type":"agent","private_storage":{"url":"ftp://s.example/b/"}})",
      R"({"task_id":"T1","type":"agent","private_storage":{"url":"file:///etc"}})",
      R"({"task_id":"T1","type":"agent","private_storage":{"headers":{"A":"b"}}})",
  };
  for (const char* params : refused) {
    EXPECT_EQ(0, notify(params));
    EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid params: params json format error."},"id":0,"jsonrpc":"2.0"})",
              reply()) << params;
  }
  EXPECT_EQ("", io.connected_uri);
  EXPECT_EQ(0u, reports->count_sent());
  // Dots inside a name, and http storage, are fine.
  EXPECT_NE(std::string::npos, upload(R"({"task_id":"v1..2","type":"X","private_storage":)"
                                      R"({"url":"http://s.example/b"}})")
                                   .find(R"("state":"completed","task_id":"v1..2")"));
}

// A FIFO is never opened for reading, where it would wait for a writer for
// good: one in a walked folder is skipped, a reference file that leads to
// one is not read, and the transfer refuses one; each is named in the log
// and the one report still comes.
TEST_F(LogUploadTest, SpecialFilesAreRefusedByNameAndTheReportStillComes) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs in the file system";
#else
  const std::string fifo = dir / "named.pipe";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, ::mkfifo((logs + "/walked.pipe").c_str(), 0600));
  std::filesystem::create_symlink(fifo, logs + "/kvrio.link");  // a reference
  std::ofstream(logs + "/a.log") << "a";
  EXPECT_EQ(report("agent", "completed"), upload(R"({"task_id":"T1","type":"agent"})"));
  const std::vector<std::string> seen = io.uploads();
  EXPECT_EQ(6u, seen.size());  // the five fixed files and a.log
  EXPECT_EQ(1u, log.count(LM_WARNING, logs + "/walked.pipe is not a regular file"));
  EXPECT_EQ(1u, log.count(LM_WARNING, "reference " + logs + "/kvrio.link is not a regular file"));

  Client_IO unconnected;
  EXPECT_FALSE(common::transfer_log(unconnected, "T1/x.gz", fifo.c_str(), true));
  EXPECT_EQ(1u, log.count(LM_ERROR, fifo + " is not a regular file, not uploaded"));
#endif
}

// Where the file system keeps no entry types (the reader sees DT_UNKNOWN),
// sub-folders are still walked, not sent as files, and FIFOs still skipped.
TEST_F(LogUploadTest, FoldersAreWalkedWhereTheFileSystemKeepsNoEntryTypes) {
  std::ofstream(logs + "/logs/inner/z.log") << "z";
  std::ofstream(logs + "/a.log") << "a";
#ifndef _WIN32  // Windows has no FIFOs in the file system
  ASSERT_EQ(0, ::mkfifo((logs + "/walked.pipe").c_str(), 0600));
#endif
  struct Unknown_Types {
    Unknown_Types() { Directory_Reader::report_types_unknown(true); }
    ~Unknown_Types() { Directory_Reader::report_types_unknown(false); }
  } unknown;
  EXPECT_EQ(report("agent", "completed"), upload(R"({"task_id":"T1","type":"agent"})"));
  const std::vector<std::string> seen = io.uploads();
  EXPECT_EQ((std::multiset<std::string>{folder + "a.log.gz <- " + logs + "/a.log",
                                        folder + "logs/inner/z.log.gz <- " + logs + "/logs/inner/z.log"}),
            std::multiset<std::string>(seen.begin() + 5, seen.end()));
}
