// Host control through wagent, with a loopback HTTP server standing in for
// the management server's downloads: the access key goes with downloads
// only while the agent is registered, crafted names stay in their folder,
// reboot in dry-run is audited, and the identity outlives a restart.
#include <filesystem>

#include "tests/e2e/e2e.h"
#include "tests/support/file_server.h"

using namespace e2e;
namespace fs = std::filesystem;

TEST(HostControl_E2E, KeyOnlyWhileRegisteredNamesStayInTheFolderRebootIsAuditedIdentityLasts) {
  wire::File_Server server;
  server.serve("/files/tool.sh", {200, "#!/bin/sh\necho ran \"$1\"\n", "", std::string::npos});
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string var = agent.dir() + "/var";
  const std::string config =
      listener(agent.dir()) + "session k1 alice 0xC000000000000000\n" +
      "set upstream ws://127.0.0.1:" + std::to_string(server.port()) + "/agent\n" +
      bind("jsonrpc", "host.registered", "_make_JSON_RPC_Host_Registered_Handler") +
      bind("jsonrpc", "host.unregistered", "_make_JSON_RPC_Host_Unregistered_Handler") +
      bind("jsonrpc", "host.reboot", "_make_JSON_RPC_Reboot_Handler") +
      bind("jsonrpc", "system.execute", "_make_JSON_RPC_System_Execute_Handler");
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  const wire::Header_List session = {{"X-Session-Key", "k1"}};
  auto post = [&](const std::string& text) {
    return wire::Wire_Client(agent.host(), agent.port()).request("POST", "/jsonrpc", text, session);
  };
  auto execute = [&](const std::string& word, const std::string& uri_json) {
    return post(call(2, "system.execute",
                     R"({"cmd":"{path} )" + word + R"(","uri":)" + uri_json + "}"))
        .body;
  };
  auto keys_seen = [&] {
    std::vector<std::optional<std::string>> keys;
    for (const auto& seen : server.requests())
      if (seen.target == "/files/tool.sh") keys.push_back(seen.access_key);
    return keys;
  };
  const std::string done = R"({"jsonrpc":"2.0","id":2,"result":true})";

  const std::string key_file = var + "/chost/access_key";
  EXPECT_EQ(204, post(notify("host.registered", "\"K1\"")).status);
  EXPECT_TRUE(agent.wait_for_stderr("upstream channel registered", std::chrono::seconds(5)));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(key_file).permissions());
  EXPECT_EQ(done, execute("first", "\"/files/tool.sh\""));
  EXPECT_EQ(204, post(notify("host.unregistered", "null")).status);
  EXPECT_FALSE(fs::exists(key_file));
  EXPECT_EQ(done, execute("second", "\"/files/tool.sh\""));
  EXPECT_EQ((std::vector<std::optional<std::string>>{"K1", std::nullopt}), keys_seen());
  const std::string exec_log = var + "/quillon/veltrano/agent/log/execute.log";
  EXPECT_NE(std::string::npos, read_file(exec_log).find("ran first\n"));
  EXPECT_NE(std::string::npos, read_file(exec_log).find("ran second\n"));

  const std::vector<std::string> before = names_below(var + "/quillon");
  for (const char* uri : {R"("x/..")", R"("x/")", R"("a\\..\\b")", R"("a\u0000b")",
                          R"("/files/..")"})
    EXPECT_EQ(-32603, code_of(execute("x", uri))) << uri;
  EXPECT_EQ(before, names_below(var + "/quillon"));
  EXPECT_EQ(std::vector<std::string>{"tool.sh"},
            names_below(var + "/quillon/veltrano/agent/downloads"));

  EXPECT_EQ(R"({"jsonrpc":"2.0","id":3,"result":true})",
            post(call(3, "host.reboot")).body);
  const std::string audit = read_file(var + "/audit/events.jsonl");
  EXPECT_NE(std::string::npos, audit.find(R"("code":"0x205000000010001")")) << audit;
  EXPECT_NE(std::string::npos, audit.find(R"("action":"system_reboot","mode":"dry-run")"))
      << audit;

  // The UUID and the key are kept across a restart.
  EXPECT_EQ(204, post(notify("host.registered", "\"K2\"")).status);
  const std::string uuid = read_file(var + "/chost/uuid");
  EXPECT_EQ(36u, uuid.size());
  ASSERT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  EXPECT_EQ(done, execute("third", "\"/files/tool.sh\""));
  EXPECT_EQ(std::optional<std::string>("K2"), keys_seen().back());
  EXPECT_EQ(uuid, read_file(var + "/chost/uuid"));
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}
