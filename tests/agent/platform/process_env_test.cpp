// The host's view of its own process: program path and environment; on
// POSIX also the descriptor limit and the service manager's notify socket.
#include "agent/platform/process_env.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>

#include "agent/platform/service_notify.h"
#include "tests/fakes/temp_dir.h"

namespace {

TEST(ProcessEnv, ProgramPathNamesThisTestAndItsFolder) {
  const std::string path = platform::program_path();
  const std::string folder = platform::program_folder();
  ASSERT_FALSE(folder.empty());
#ifdef _WIN32
  EXPECT_EQ(folder + "\\platform_test.exe", path);
#else
  EXPECT_EQ(folder + "/platform_test", path);
  EXPECT_EQ(0, ::access(path.c_str(), X_OK));
#endif
}

TEST(ProcessEnv, SetVariablesAreSeenThenTakenOut) {
  ASSERT_TRUE(platform::set_environment("WAGENT_PROCESS_ENV_TEST", "a b=c"));
  ASSERT_NE(nullptr, std::getenv("WAGENT_PROCESS_ENV_TEST"));
  EXPECT_STREQ("a b=c", std::getenv("WAGENT_PROCESS_ENV_TEST"));
  ASSERT_TRUE(platform::set_environment("WAGENT_PROCESS_ENV_TEST", "second"));
  EXPECT_EQ("second", platform::take_environment("WAGENT_PROCESS_ENV_TEST"));
  EXPECT_EQ(nullptr, std::getenv("WAGENT_PROCESS_ENV_TEST"));
  EXPECT_EQ("", platform::take_environment("WAGENT_PROCESS_ENV_TEST"));
}

// Windows has no per-process descriptor limit, nor a notify socket.
#ifndef _WIN32
TEST(ProcessEnv, DescriptorLimitIsTheSoftLimitOrZeroWhenUnlimited) {
  rlimit saved;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
  rlimit lowered = saved;
  lowered.rlim_cur = 200;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &lowered));
  EXPECT_EQ(200u, platform::descriptor_limit());
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
  EXPECT_EQ(saved.rlim_cur == RLIM_INFINITY ? 0u : saved.rlim_cur,
            platform::descriptor_limit());
}

// A datagram socket bound where a service manager would listen.
class Notify_Listener {
 public:
  explicit Notify_Listener(const std::string& name, bool abstract) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::memcpy(at.sun_path, name.data(), name.size());
    if (abstract) at.sun_path[0] = '\0';
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&at),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
  }
  ~Notify_Listener() { ::close(fd_); }
  bool bound() const { return bound_; }
  std::string next() {
    char text[256];
    const ssize_t n = ::recv(fd_, text, sizeof text, MSG_DONTWAIT);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  int fd_;
  bool bound_;
};

TEST(ServiceNotify, StatesReachAPathOrAnAbstractName) {
  Temp_Dir dir;
  const std::string path = dir / "notify";
  Notify_Listener by_path(path, false);
  ASSERT_TRUE(by_path.bound());
  EXPECT_TRUE(platform::notify_service_manager(path, "READY=1\nSTATUS=up"));
  EXPECT_EQ("READY=1\nSTATUS=up", by_path.next());

  const std::string name = "@wagent-notify-test-" + std::to_string(::getpid());
  Notify_Listener by_name(name, true);
  ASSERT_TRUE(by_name.bound());
  EXPECT_TRUE(platform::notify_service_manager(name, "STOPPING=1"));
  EXPECT_EQ("STOPPING=1", by_name.next());
}

TEST(ServiceNotify, UnusableAddressesAreRefused) {
  Temp_Dir dir;
  EXPECT_FALSE(platform::notify_service_manager("", "READY=1"));
  EXPECT_FALSE(platform::notify_service_manager("relative/socket", "READY=1"));
  EXPECT_FALSE(platform::notify_service_manager("/" + std::string(200, 'x'), "READY=1"));
  EXPECT_FALSE(platform::notify_service_manager(dir / "nobody-listens", "READY=1"));
}
#endif

}  // namespace
