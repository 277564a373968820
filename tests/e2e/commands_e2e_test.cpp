// Supervised commands through wagent: a timeout, a command's exit and the
// agent's stop each end the command's whole tree (a background child and a
// daemon that left the group included) within the grace period, output is
// capped and counted, downloads are checked against their digest, and
// delayed power actions are audited, cancelled and held back while jobs run.
#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sstream>

#include "tests/e2e/e2e.h"
#include "tests/support/file_server.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

const char* const control =
    "job.start,job.stop,job.pause,job.resume,job.remove,job.enable,job.disable,job.switch,job.sync";

// Processes whose command line holds `word` (zombies have none).
std::size_t processes_with(const std::string& word) {
  std::size_t n = 0;
  DIR* proc = ::opendir("/proc");
  while (dirent* e = proc ? ::readdir(proc) : nullptr) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string line = read_file(std::string("/proc/") + e->d_name + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    n += line.find(word) != std::string::npos;
  }
  if (proc) ::closedir(proc);
  return n;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Lines of `text` holding both `a` and `b`.
std::size_t lines_with(const std::string& text, const std::string& a, const std::string& b) {
  std::istringstream lines(text);
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line);)
    n += line.find(a) != std::string::npos && line.find(b) != std::string::npos;
  return n;
}

// A sleep no other process runs: its length is the test's own.
std::string unique_sleep() {
  std::random_device r;
  return "3000." + std::to_string(r() % 1000000);
}

// A script that starts `length` sleeps in the background, in the
// background under a new session (as a daemon does), and in the
// foreground; with `deaf` all of them ignore SIGTERM.
std::string tree_script(const std::string& dir, const std::string& name,
                        const std::string& length, bool deaf, const std::string& head) {
  const std::string path = dir + "/" + name;
  write_file(path, head + (deaf ? "trap '' TERM\n" : "") + "sleep " + length +
                       " &\nsetsid sleep " + length + " &\nsleep " + length + "\n");
  return path;
}

// One call over its own connection with the session "k"; the reply's body.
std::string rpc_with_session(wire::Wagent_Process& agent, const std::string& method,
                             const std::string& params) {
  wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(30));
  return c.request("POST", "/jsonrpc", call(1, method, params), {{"X-Session-Key", "k"}}).body;
}

Value result_of(const std::string& reply) {
  const Value v = parse_json(reply);
  return v.type() == json_spirit::obj_type && v.get_obj().count("result")
             ? v.get_obj().at("result") : Value("no result: " + reply);
}

}  // namespace

TEST(Commands_E2E, TimeoutsEndTreesOutputIsCappedDownloadsVerifiedPowerGuarded) {
  wire::File_Server server;
  const std::string tool = "#!/bin/sh\necho fetched \"$1\"\n";
  const std::string tool_sha256 =
      "2E62F673A7CCB6CBBEB1011988161507945CBFE70A7E3DEBF412B86BCC9C152C";
  server.serve("/files/tool.sh", {200, tool, "", std::string::npos});
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string var = agent.dir() + "/var";
  const std::string config =
      listener(agent.dir()) + "session k alice 0xC000000000000000\n" +
      "set upstream ws://127.0.0.1:" + std::to_string(server.port()) + "/agent\n" +
      "set execute.grace 1\nset execute.max_output 16\nset power.when_jobs_run refuse\n" +
      bind("jsonrpc", "system.execute", "_make_JSON_RPC_System_Execute_Handler") +
      bind("jsonrpc", "host.reboot", "_make_JSON_RPC_Reboot_Handler") +
      bind("jsonrpc", "host.shutdown", "_make_JSON_RPC_Shutdown_Handler") +
      bind("jsonrpc", control, "_make_JSON_RPC_Job_Control_Handler") +
      bind("jsonrpc", "job.list", "_make_Job_List_Handler") +
      bind("params", "job.create", "_make_Job_Definition_Params_Handler_Creator");
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  auto rpc = [&](const std::string& method, const std::string& params) {
    return rpc_with_session(agent, method, params);
  };
  const std::string exec_log = var + "/quillon/veltrano/agent/log/execute.log";
  const std::string done = R"({"jsonrpc":"2.0","id":1,"result":true})";

  // A tree deaf to SIGTERM outlives its timeout by the grace period only.
  const std::string deaf = unique_sleep();
  const std::string deaf_script = tree_script(agent.dir(), "deaf.sh", deaf, true, "");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(done, rpc("system.execute",
                      R"({"cmd":"/bin/sh )" + deaf_script + R"(","timeout":1})"));
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_GE(took, std::chrono::seconds(2));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(0u, processes_with(deaf));
  std::string log = read_file(exec_log);
  EXPECT_NE(std::string::npos, log.find("|/bin/sh " + deaf_script + "|137\n\n\n")) << log;
  EXPECT_NE(std::string::npos,
            log.find("|/bin/sh " + deaf_script +
                     R"(|{"code":137,"signal":9,"timed_out":true,"cancelled":false,"duration_ms":)"))
      << log;

  // What a command leaves running when it exits goes too; its output is
  // kept up to the cap and counted whole.
  const std::string left = unique_sleep();
  const std::string leaving = agent.dir() + "/leaving.sh";
  write_file(leaving, "echo 0123456789abcdefghijklmnop\nsleep " + left +
                          " &\nsetsid sleep " + left + " &\n");
  EXPECT_EQ(done, rpc("system.execute", R"({"cmd":"/bin/sh )" + leaving + R"("})"));
  EXPECT_EQ(0u, processes_with(left));
  log = read_file(exec_log);
  EXPECT_NE(std::string::npos, log.find("|/bin/sh " + leaving + "\n0123456789abcdef\n")) << log;
  EXPECT_NE(std::string::npos,
            log.find(R"(|{"code":0,"signal":0,"timed_out":false,"cancelled":false,)"))
      << log;
  EXPECT_NE(std::string::npos, log.find(R"("output_bytes":27})")) << log;

  // A download whose digest is another runs nothing and leaves nothing.
  const std::string downloads = var + "/quillon/veltrano/agent/downloads";
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Failed to download executable file."}})",
            rpc("system.execute", R"({"cmd":"{path} one","uri":"/files/tool.sh","sha256":")" +
                                      std::string(64, '0') + "\"}"));
  EXPECT_EQ(std::vector<std::string>{}, names_below(downloads));
  EXPECT_EQ(log, read_file(exec_log));
  EXPECT_EQ(done, rpc("system.execute", R"({"cmd":"{path} two","uri":"/files/tool.sh","sha256":")" +
                                            tool_sha256 + "\"}"));
  EXPECT_NE(std::string::npos, read_file(exec_log).find("fetched two\n"));

  // A delayed reboot, cancelled, leaves its request and its cancel only; a
  // delayed shutdown happens.
  const std::string audit_path = var + "/audit/events.jsonl";
  EXPECT_EQ(done, rpc("host.reboot", R"({"delay":2})"));
  EXPECT_EQ(done, rpc("host.reboot", R"({"cancel":true})"));
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"result":false})", rpc("host.reboot", R"({"cancel":true})"));
  EXPECT_EQ(done, rpc("host.shutdown", R"({"delay":1})"));
  EXPECT_TRUE(eventually([&] { return read_file(audit_path).find("system_shutdown") !=
                                      std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::string audit = read_file(audit_path);
  EXPECT_EQ(5u, count_of(audit, "\n")) << audit;
  EXPECT_EQ(0u, count_of(audit, "system_reboot")) << audit;
  EXPECT_EQ(1u, lines_with(audit, R"("values":{"delay":2})", R"("succeeded":true)")) << audit;
  EXPECT_EQ(1u, lines_with(audit, R"("values":{"cancel":true})", R"("succeeded":true)"))
      << audit;
  EXPECT_EQ(1u, lines_with(audit, R"("values":{"cancel":true})", R"("succeeded":false)"))
      << audit;

  // Power waits for jobs unless forced; a stopped job's tree goes, and the
  // listing tells how its command ended.
  const std::string job_sleep = unique_sleep();
  const std::string job_script = tree_script(agent.dir(), "job.sh", job_sleep, false, "");
  EXPECT_EQ(Value("j"), result_of(rpc("job.create",
                                      R"({"id":"j","command":"/bin/sh )" + job_script + "\"}")));
  EXPECT_EQ(Value(true), result_of(rpc("job.start", "\"j\"")));
  EXPECT_TRUE(eventually([&] { return processes_with(job_sleep) == 3; }));
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Jobs are running."}})",
            rpc("host.reboot", "{}"));
  EXPECT_EQ(done, rpc("host.reboot", R"({"force":true})"));
  EXPECT_EQ(Value(true), result_of(rpc("job.stop", "\"j\"")));
  EXPECT_TRUE(eventually([&] { return processes_with(job_sleep) == 0; },
                         std::chrono::seconds(2)));
  Value end;
  EXPECT_TRUE(eventually([&] {
    const Value list = result_of(rpc("job.list", R"({"id":"j"})"));
    end = list.type() == json_spirit::array_type && !list.get_array().empty() &&
                  list.get_array()[0].get_obj().count("end")
              ? list.get_array()[0].get_obj().at("end") : Value();
    return !end.is_null();
  }));
  const std::string end_text = json_spirit::JSON_Dump(end, false);
  EXPECT_EQ(0u, end_text.find(R"({"cancelled":true,"duration_ms":)")) << end_text;
  EXPECT_NE(std::string::npos, end_text.find(R"("signal":15,"timed_out":false})")) << end_text;
  EXPECT_EQ(done, rpc("host.reboot", ""));
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}

TEST(Commands_E2E, AStopEndsRunningCommandsAndDownloadsMayHaveToNameTheirDigest) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string config =
      listener(agent.dir()) + "session k alice 0xC000000000000000\n" +
      "set upstream ws://127.0.0.1:1/agent\n"
      "set execute.grace 1\nset execute.require_sha256 on\n" +
      bind("jsonrpc", "system.execute", "_make_JSON_RPC_System_Execute_Handler") +
      bind("jsonrpc", control, "_make_JSON_RPC_Job_Control_Handler") +
      bind("params", "job.create", "_make_Job_Definition_Params_Handler_Creator");
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  auto rpc = [&](const std::string& method, const std::string& params) {
    return rpc_with_session(agent, method, params);
  };
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"Invalid params: 'sha256' is required with 'uri'."}})",
            rpc("system.execute", R"({"cmd":"{path}","uri":"/files/tool.sh"})"));

  const std::string deaf = unique_sleep();
  const std::string script = tree_script(agent.dir(), "deaf.sh", deaf, true, "");
  auto answer = std::async(std::launch::async, [&] {
    return rpc("system.execute", R"({"cmd":"/bin/sh )" + script + "\"}");
  });
  EXPECT_EQ(Value("j"), result_of(rpc("job.create",
                                      R"({"id":"j","command":"/bin/sh )" + script + "\"}")));
  EXPECT_EQ(Value(true), result_of(rpc("job.start", "\"j\"")));
  ASSERT_TRUE(eventually([&] { return processes_with(deaf) == 6; })) << processes_with(deaf);
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
  EXPECT_EQ(0u, processes_with(deaf));
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"result":true})", answer.get());
  const std::string log =
      read_file(agent.dir() + "/var/quillon/veltrano/agent/log/execute.log");
  EXPECT_NE(std::string::npos,
            log.find(R"(|{"code":137,"signal":9,"timed_out":false,"cancelled":true,)"))
      << log;
}
