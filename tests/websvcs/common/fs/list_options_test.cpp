// The restore-connection setting: its default by account, the service
// arguments, and a fresh default after fini.
#include <gtest/gtest.h>

#include "agent/platform/service_instance.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/fs/list_handler.h"
#include "websvcs/common/fs/list_options.h"

namespace {

class FsListOptionsTest : public ::testing::Test {
 protected:
  FsListOptionsTest() : installed(&platform) { FS_List_Options::close(); }
  ~FsListOptionsTest() override { FS_List_Options::close(); }

  // Runs the handler's init with the words of `args`; the resulting flag.
  bool init(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    EXPECT_EQ(0, handler.init(static_cast<int>(argv.size()), argv.data()));
    return FS_List_Options::instance()->restore_connection;
  }

  Fake_Platform platform;
  Scoped_Instance_T<Platform_API> installed;
  JSON_RPC_FS_List_Handler handler;
  Recording_Log log;
};

}  // namespace

TEST_F(FsListOptionsTest, DefaultByAccountArgumentsOverrideUnknownOnesAreSkipped) {
  const struct {
    const wchar_t* user;  // null: the account cannot be read
    std::vector<std::string> args;
    bool on, unknown;
  } cases[] = {
      {L"SyStEm", {}, false, false}, {L"alice", {}, true, false},
      {nullptr, {}, true, false},  // counts as a named user
      {L"alice", {"--restore-connection", "0"}, false, false},
      {L"system", {"-r", "1"}, true, false}, {L"system", {"-x"}, false, true},
      {L"alice", {"-r", "words"}, false, false},  // not a number counts as 0
      {L"system", {"extra", "-r", "7"}, true, false},  // may follow other words
      {L"alice", {"-r"}, true, true},  // missing argument: value unchanged
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    FS_List_Options::close();
    Recording_Log log;  // this case's lines only
    platform.user_ok = c.user != nullptr;
    platform.user = c.user ? c.user : L"";
    EXPECT_EQ(c.on, init(c.args));
    EXPECT_EQ(c.on, log.has(LM_DEBUG, "Enabled to restore Windows connections for drives.\n"));
    EXPECT_EQ(c.unknown ? 1u : 0u, log.count(LM_DEBUG, "Unknown FS_List_Options ?\n"));
  }
}

TEST_F(FsListOptionsTest, FiniDestroysAndTheNextUseStartsFromTheDefault) {
  platform.user = L"system";
  EXPECT_TRUE(init({"-r", "1"}));
  EXPECT_EQ(0, handler.fini());
  EXPECT_EQ(0, handler.fini());  // a creator-style second fini is harmless
  EXPECT_FALSE(FS_List_Options::instance()->restore_connection);
  EXPECT_EQ(2u, platform.count("user"));
}
