// The restore-connection setting: its default by account, the service
// arguments, and a fresh default after fini.
#include <gtest/gtest.h>

#include "agent/mdrt/service_instance.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/fs/list_handler.h"
#include "websvcs/common/fs/list_options.h"

namespace {

const char* const ENABLED = "Enabled to restore Windows connections for drives.\n";

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

TEST_F(FsListOptionsTest, SystemAccountDefaultsToOffQuietly) {
  platform.user = L"SyStEm";
  EXPECT_FALSE(init({}));
  EXPECT_FALSE(log.has(LM_DEBUG, ENABLED));
}

TEST_F(FsListOptionsTest, NamedUserDefaultsToOnAndSaysSo) {
  EXPECT_TRUE(init({}));
  EXPECT_TRUE(log.has(LM_DEBUG, ENABLED));
}

TEST_F(FsListOptionsTest, UnreadableAccountCountsAsANamedUser) {
  platform.user_ok = false;
  EXPECT_TRUE(init({}));
}

TEST_F(FsListOptionsTest, ArgumentsOverrideTheDefault) {
  EXPECT_FALSE(init({"--restore-connection", "0"}));
  EXPECT_FALSE(log.has(LM_DEBUG, ENABLED));
  FS_List_Options::close();
  platform.user = L"system";
  EXPECT_TRUE(init({"-r", "1"}));
  FS_List_Options::close();
  EXPECT_FALSE(init({"-r", "words"}));  // not a number counts as 0
  FS_List_Options::close();
  EXPECT_TRUE(init({"extra", "-r", "7"}));  // options may follow other words
}

TEST_F(FsListOptionsTest, UnknownOptionsAreLoggedAndSkipped) {
  platform.user = L"system";
  EXPECT_FALSE(init({"-x"}));
  EXPECT_TRUE(log.has(LM_DEBUG, "Unknown FS_List_Options ?\n"));
  EXPECT_EQ(1u, log.count(LM_DEBUG, "Unknown FS_List_Options"));
  FS_List_Options::close();
  EXPECT_FALSE(init({"-r"}));  // missing argument: logged, value unchanged
  EXPECT_EQ(2u, log.count(LM_DEBUG, "Unknown FS_List_Options"));
}

TEST_F(FsListOptionsTest, FiniDestroysAndTheNextUseStartsFromTheDefault) {
  platform.user = L"system";
  EXPECT_TRUE(init({"-r", "1"}));
  EXPECT_EQ(0, handler.fini());
  EXPECT_EQ(0, handler.fini());  // a creator-style second fini is harmless
  EXPECT_FALSE(FS_List_Options::instance()->restore_connection);
  EXPECT_EQ(2u, platform.count("user"));
}
