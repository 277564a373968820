// Path templates: both names replaced (ACE_OS::strenvdup alone takes only
// the first), separators made native, folders made on request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "agent/mdrt/path_conf.h"
#include "agent/platform/platform.h"
#include "tests/fakes/temp_dir.h"

TEST(PathConf, ExpandsBothNamesMakesTheFolderAndAppendsTheFile) {
  Temp_Dir dir;
  ::setenv("APPDATA", dir.path().c_str(), 1);
  ::setenv("COMPONENT", "agent", 1);
  const std::string folder = dir.path() + "/quillon/agent/log";

  EXPECT_EQ(folder + "/x.log",
            platform::expand_environment("$APPDATA\\quillon\\$COMPONENT\\log\\x.log"));
  EXPECT_EQ("/a/$WCOMMON_UNSET/b", platform::expand_environment("/a/$WCOMMON_UNSET\\b"));

  Path_Conf plain("$APPDATA\\quillon\\$COMPONENT\\log", false, nullptr, 0750);
  EXPECT_EQ(folder, plain.path());
  EXPECT_FALSE(std::filesystem::exists(folder));
  Path_Conf made("$APPDATA\\quillon\\$COMPONENT\\log", true, "a\\b", 0750);
  EXPECT_TRUE(made.ok());
  EXPECT_EQ(folder + "/a\\b", made.path());  // the file name is kept as given
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  ::unsetenv("COMPONENT");
  EXPECT_FALSE(Path_Conf("$APPDATA\\$COMPONENT", true, nullptr, 0750).ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "$COMPONENT"));
  ::unsetenv("APPDATA");
}
