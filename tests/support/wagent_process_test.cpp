#include "tests/support/wagent_process.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/fakes/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using wire::Wagent_Process;

// Stand-ins for the host, as shell scripts, so the runner is checked
// without depending on a built host.
class Wagent_Process_Test : public ::testing::Test {
 protected:
  std::string script(const std::string& name, const std::string& body) {
    std::string path = bin_.write(name, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
  }
  Temp_Dir bin_;
};

// Serves until SIGTERM, which `on_term` handles.
std::string serving(const std::string& on_term =
                        "trap 'echo stopping >&2; exit 0' TERM\n") {
  return on_term +
    "echo \"args: $*\" >&2\n"
    "echo \"cwd: $(pwd)\" >&2\n"
    "echo 'wagent: listening on http://127.0.0.1:4321' >&2\n"
    "while :; do sleep 0.05; done\n";
}

TEST_F(Wagent_Process_Test, StartsFindsTheAddressAndStopsOnSignal) {
  Wagent_Process host(script("serving", serving()));
  ASSERT_TRUE(host.start("set listen 127.0.0.1:0\n", {"-s", "a=b"}))
      << host.stderr_text();
  EXPECT_EQ(host.host(), "127.0.0.1");
  EXPECT_EQ(host.port(), 4321);
  EXPECT_TRUE(host.running());
  std::string err = host.stderr_text();
  EXPECT_NE(err.find("args: -f " + host.config_path() + " -s a=b"),
            std::string::npos) << err;
  EXPECT_NE(err.find("cwd: " + host.dir()), std::string::npos) << err;
  std::stringstream config;
  config << std::ifstream(host.config_path()).rdbuf();
  EXPECT_EQ(config.str(), "set listen 127.0.0.1:0\n");

  EXPECT_EQ(host.stop(), 0);
  EXPECT_FALSE(host.running());
  EXPECT_NE(host.stderr_text().find("stopping"), std::string::npos);
  EXPECT_EQ(host.stop(), 0);

  // Restarts on the same directory.
  ASSERT_TRUE(host.start("")) << host.stderr_text();
  EXPECT_EQ(host.stop(SIGINT), 128 + SIGINT);
}

TEST_F(Wagent_Process_Test, ReportsRunsThatEndOrHang) {
  Wagent_Process refusing(script("refusing", "echo 'bad line 3' >&2\nexit 3\n"));
  auto run = refusing.run_to_exit("bogus\n");
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.stderr_text.find("bad line 3"), std::string::npos);
  EXPECT_FALSE(refusing.start("bogus\n"));
  EXPECT_EQ(refusing.stop(), 3);

  Wagent_Process silent(script("silent", "exec sleep 30\n"));
  EXPECT_FALSE(silent.start("", {}, 300ms));
  EXPECT_FALSE(silent.running());
  EXPECT_EQ(silent.run_to_exit("", {}, 300ms).status, -1);

  Wagent_Process stubborn(
      script("stubborn", serving("trap '' TERM\n")));
  ASSERT_TRUE(stubborn.start(""));
  EXPECT_EQ(stubborn.stop(SIGTERM, 300ms), -1);

  Wagent_Process missing(bin_ / "no-such-host");
  EXPECT_FALSE(missing.start(""));
  EXPECT_NE(missing.stderr_text().find("no-such-host"), std::string::npos);
}

}  // namespace
