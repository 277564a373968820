// system.execute: params errors, binders, the execution log's records, and
// what happens when the download, the log (missing or on a full disk) or the
// spawn fails. Commands run for real, in a temporary $APPDATA; downloads go
// to a closed loopback port.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "agent/platform/process_env.h"
#include "agent/websocketc/websocket_options.h"
#include "tests/fakes/fake_host_manager.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/files.h"
#include "websvcs/common/host/system_execute_handler.h"

namespace {

// Set for the test only: nothing in the test environment sets these.
struct Env_Guard {
  Env_Guard(const char* name, const std::string& value) : name(name) {
    platform::set_environment(name, value);
  }
  ~Env_Guard() { platform::take_environment(name); }
  const char* name;
};

enum Log { none, folder, full_disk };  // what the execution log's place holds

struct Execute_Case {
  std::string params;
  bool notify;
  Log log_place;
  std::string reply;        // "null" when none
  std::string logged;       // in the execution log; "": no log at all
  const char* error_lines;  // LM_ERROR lines expected, "|" apart
};

// `mark` is made only by a command that should not have run; `sees_own`
// makes it when the agent's own descriptor reached the command.
std::vector<Execute_Case> execute_cases(const std::string& mark, const std::string& sees_own) {
  const std::string echo_long = "echo " + std::string(2000, 'a');
  const std::string need_cmd = R"({"error":{"code":-32602,"message":"Invalid params: Need 'cmd' in params."},"id":7,"jsonrpc":"2.0"})";
  auto invalid = [](const std::string& message) {
    return R"({"error":{"code":-32602,"message":"Invalid params: )" + message +
           R"("},"id":7,"jsonrpc":"2.0"})";
  };
  const std::string whole = "'timeout' must be a whole number of seconds, 0 or more.";
  const std::string touch = R"({"cmd":"touch )" + mark + "\"";
  return {
      {"[1]", true, folder,
       R"({"error":{"code":-32602,"message":"Invalid params: params type must be object."},"id":null,"jsonrpc":"2.0"})",
       "", ""},
      {"{}", false, folder, need_cmd, "", ""},
      {R"({"cmd":5})", false, folder, need_cmd, "", ""},
      {R"({"cmd":"sh -c 'echo {a} {n}; exit 3'","binders":{"a":"x","n":5}})", false, folder,
       R"({"id":7,"jsonrpc":"2.0","result":true})",
       "|sh -c 'echo x 5; exit 3'\nx 5\n\n", ""},
      {R"({"cmd":"sh -c 'exit 3'"})", false, folder, R"({"id":7,"jsonrpc":"2.0","result":true})",
       "|sh -c 'exit 3'|3\n\n\n", ""},
      // How it ended, on a second line.
      {R"({"cmd":"sh -c 'echo ab; exit 3'","timeout":5})", false, folder,
       R"({"id":7,"jsonrpc":"2.0","result":true})",
       R"(|sh -c 'echo ab; exit 3'|{"code":3,"signal":0,"timed_out":false,"cancelled":false,"duration_ms":)",
       ""},
      {touch + R"(,"timeout":-1})", false, folder, invalid(whole), "", ""},
      {touch + R"(,"timeout":"5"})", false, folder, invalid(whole), "", ""},
      {touch + R"(,"timeout":2.5})", false, folder, invalid(whole), "", ""},
      {touch + R"(,"uri":"/tool.sh","sha256":"abc"})", false, folder,
       invalid("'sha256' must be 64 hexadecimal digits."), "", ""},
      {touch + R"(,"sha256":")" + std::string(64, 'a') + "\"}", false, folder,
       invalid("'sha256' needs 'uri'."), "", ""},
      {R"({"cmd":")" + sees_own + R"("})", false, folder, R"({"id":7,"jsonrpc":"2.0","result":true})",
       "|" + sees_own + "|1\n", ""},
      {R"({"cmd":"echo {a}","binders":[1],"uri":5})", true, folder, "null", "|echo {a}\n{a}\n\n", ""},
      {R"({"cmd":"touch )" + mark + R"(","uri":"/tool.sh"})", false, folder,
       R"({"error":{"code":-32603,"message":"Failed to download executable file."},"id":7,"jsonrpc":"2.0"})",
       "", "download of"},
      {R"({"cmd":"touch )" + mark + R"("})", false, none,
       R"({"id":7,"jsonrpc":"2.0","result":false})", "",
       "Failed to open file|Failed to execute command: touch"},
      {R"({"cmd":"touch )" + mark + R"("})", false, full_disk,
       R"({"id":7,"jsonrpc":"2.0","result":false})", "",
       "Failed to write file|Failed to execute command: touch"},
      {R"({"cmd":"  "})", false, folder, R"({"id":7,"jsonrpc":"2.0","result":false})", "|  \n",
       "Failed to run '  ', errno=22|Failed to execute command:   \n"},
      // A long command line runs cut to 1,023 characters; the log keeps it whole.
      {R"({"cmd":")" + echo_long + R"("})", true, folder, "null",
       "|" + echo_long + "\n" + std::string(1018, 'a') + "\n\n", ""},
  };
}
}  // namespace

TEST(SystemExecute, AnswersRunsAndLogsAsEachCaseRequires) {
#ifdef _WIN32
  GTEST_SKIP() << "the cases are POSIX shell commands and use /proc and /dev/full";
#endif
  Temp_Dir dir;
  Env_Guard appdata("APPDATA", dir.path());
  Env_Guard component("COMPONENT", "agent");
  const std::string log_dir = dir / "quillon/veltrano/agent/log";
  const std::string exec_log = log_dir + "/execute.log";
  const std::string mark = dir / "mark";
  Installed<Host_Manager, Fake_Host_Manager> host;
  // A port nothing listens on: every download fails.
  Installed<WebSocket_Options, WebSocket_Options> server;
  ASSERT_TRUE(server.set_url("ws://127.0.0.1:1/"));
  JSON_RPC_System_Execute_Handler handler;

  // One of the agent's own descriptors, not marked close-on-exec.
  const int own = ::open("/dev/null", O_RDONLY);
  const std::string sees_own = "sh -c 'test -e /proc/self/fd/" + std::to_string(own) +
                               " && touch " + mark + "'";
  const std::vector<Execute_Case> cases = execute_cases(mark, sees_own);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    std::filesystem::remove_all(log_dir);
    if (c.log_place != none) std::filesystem::create_directories(log_dir);
    if (c.log_place == full_disk) std::filesystem::create_symlink("/dev/full", exec_log);
    Recording_Log log;
    Recording_Channel* rec;
    JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
    JSON_RPC_Request* r = new JSON_RPC_Request(c.notify ? JSON_RPC_Object::JSON_RPC_NOTIFY
                                                        : JSON_RPC_Object::JSON_RPC_REQUEST);
    r->id = c.notify ? json_spirit::Value() : json_spirit::Value(7);
    ASSERT_TRUE(json_spirit::read(c.params, r->params));

    EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel), JSON_RPC_Object_Ptr(r)));
    EXPECT_EQ(c.reply, json_spirit::JSON_Dump(rec->pop(), false));
    EXPECT_FALSE(std::filesystem::exists(mark));  // nothing ran that should not
    if (!c.logged.empty()) {
      const std::string text = read_file(exec_log);
      EXPECT_NE(std::string::npos, text.find(c.logged)) << text;
    } else if (c.log_place != full_disk) {
      EXPECT_FALSE(std::filesystem::exists(exec_log));
    }
    std::stringstream lines(c.error_lines);
    for (std::string line; std::getline(lines, line, '|');)
      EXPECT_EQ(1u, log.count(LM_ERROR, line)) << line;
  }
  ::close(own);
}
