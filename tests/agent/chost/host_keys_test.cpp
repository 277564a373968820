// The agent's key material in a temporary folder: the pair is made once,
// kept private, read back after a restart and readable by OpenSSL's tool;
// the access key holds in memory whatever the disk does; UUIDs come from
// the one random source.
// RAND_set_rand_method is how a test puts a known source in its place.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <cstring>
#include <set>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/chost/host_manager.h"
#include "agent/text/key_text.h"
#include "agent/text/uuid_text.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/files.h"

namespace {

#ifndef _WIN32
// What a shell command prints, "" when it fails.
std::string run(const Temp_Dir& dir, const std::string& command) {
  return std::system((command + " > " + dir / "out").c_str()) == 0 ? read_file(dir / "out") : "";
}
#endif

TEST(Host_Keys, PairIsMadeOnceKeptPrivateAndSurvivesARestartChallengesAreFresh) {
  Temp_Dir dir;
  std::string der;
  {
    File_Host_Manager first(dir.path());
    // Callers racing for the first key all get the one pair.
    std::vector<std::string> seen(4);
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back([&first, &s] { s = first.public_key(); });
    for (auto& t : threads) t.join();
    der = seen[0];
    EXPECT_EQ(std::vector<std::string>(4, der), seen);
  }
  ASSERT_FALSE(der.empty());
#ifndef _WIN32  // the permissions are POSIX's
  EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            std::filesystem::status(dir / "private_key.pem").permissions());
#endif

  File_Host_Manager restarted(dir.path());
  EXPECT_EQ(der, restarted.public_key());
#ifndef _WIN32  // OpenSSL's tool is not there under Windows
  // The endpoint's text is exactly what OpenSSL's tool makes of the file.
  const RSA_Key_Writer pem(reinterpret_cast<const unsigned char*>(der.data()), der.size(), true,
                           Secure_String());
  EXPECT_EQ(std::string(pem.data(), pem.length()),
            run(dir, "openssl pkey -pubin -in " + dir / "public_key.pem"));
  EXPECT_NE(std::string::npos,
            run(dir, "openssl pkey -in " + dir / "private_key.pem" + " -noout -text")
                .find("Private-Key: (2048 bit"));
#endif

  std::string a, b;
  std::int64_t expires_a = 0, expires_b = 0;
  const std::int64_t now = std::time(nullptr);
  ASSERT_TRUE(restarted.create_challenge(a, expires_a) && restarted.create_challenge(b, expires_b));
  EXPECT_NE(a, b);
  for (const std::string& c : {a, b})
    EXPECT_TRUE(c.size() == 64 && c.find_first_not_of("0123456789abcdef") == std::string::npos)
        << c;
  EXPECT_LE(now + 300, expires_a);
  EXPECT_GE(now + 302, expires_b);
}

TEST(Host_Keys, AnUnreadablePrivateKeyIsNeverReplaced) {
  Temp_Dir dir;
  dir.write("private_key.pem", "not a key\n");
  Recording_Log log;
  File_Host_Manager manager(dir.path());
  EXPECT_EQ("", manager.public_key());
  EXPECT_EQ(1u, log.count(LM_ERROR, "cannot read the private key"));
  EXPECT_EQ("not a key\n", read_file(dir / "private_key.pem"));
}

// A new or cleared key takes effect at once even when its file can be
// neither written nor removed; the failure names the file and the reason.
TEST(Host_Identity, TheAccessKeyHoldsInMemoryWhateverTheDiskDoes) {
  Temp_Dir dir;
  const std::string file = dir / "access_key";
  File_Host_Manager manager(dir.path());
  ASSERT_TRUE(manager.access_key("K1"));
  EXPECT_EQ("K1", read_file(file));
  // A folder in its place: a rename over it and an unlink of it both fail,
  // for root too.
  std::filesystem::remove(file);
  std::filesystem::create_directories(file + "/keep");
  Recording_Log log;
  EXPECT_FALSE(manager.access_key("K2"));
  EXPECT_EQ("K2", manager.access_key());
  EXPECT_FALSE(manager.access_key(""));
  EXPECT_EQ("", manager.access_key());
  EXPECT_EQ(0u, manager.access_key_size());
#ifdef _WIN32  // Windows says no more than that
  const std::string reason = ", Permission denied";
#else
  const std::string reason = ", Is a directory";
#endif
  EXPECT_EQ(1u, log.count(LM_ERROR, "cannot write the access key file " + file + reason));
  EXPECT_EQ(1u, log.count(LM_ERROR, "cannot remove the access key file " + file + reason));
}

int fixed_bytes(unsigned char* out, int n) {
  std::memset(out, 0xa5, static_cast<std::size_t>(n));
  return 1;
}
int failing_bytes(unsigned char*, int) { return 0; }
int ready() { return 1; }

// Puts a known random source in the place of the system's for a scope.
struct Random_Source {
  explicit Random_Source(int (*bytes)(unsigned char*, int))
      : method{nullptr, bytes, nullptr, nullptr, bytes, ready} {
    RAND_set_rand_method(&method);
  }
  ~Random_Source() { RAND_set_rand_method(RAND_OpenSSL()); }
  RAND_METHOD method;
};

TEST(Host_Identity, EveryUuidComesFromTheOneRandomSourceWithVersionFourBits) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    unsigned char u[16];
    ASSERT_TRUE(uuid_generate(u));
    EXPECT_EQ(0x40, u[6] & 0xf0);
    EXPECT_EQ(0x80, u[8] & 0xc0);
    seen.insert(uuid_binary_to_string(u));
  }
  EXPECT_EQ(2000u, seen.size());

#ifdef _WIN32
  // libagent.dll keeps its OpenSSL inside, out of the test's reach.
  GTEST_SKIP() << "the agent's random source cannot be replaced from outside its DLL";
#endif
  const std::string known = "a5a5a5a5-a5a5-45a5-a5a5-a5a5a5a5a5a5";
  {
    Random_Source source(fixed_bytes);
    unsigned char u[16];
    ASSERT_TRUE(uuid_generate(u));
    EXPECT_EQ(known, uuid_binary_to_string(u));
    Temp_Dir dir;
    EXPECT_EQ(known, File_Host_Manager(dir.path()).uuid());  // the host's own too
    EXPECT_EQ(known, read_file(dir / "uuid"));
  }
  Random_Source broken(failing_bytes);
  unsigned char u[16];
  EXPECT_FALSE(uuid_generate(u));
  Temp_Dir dir;
  Recording_Log log;
  File_Host_Manager manager(dir.path());
  EXPECT_EQ("", manager.uuid());
  EXPECT_EQ(1u, log.count(LM_ERROR, "no random source for the agent's UUID"));
  std::string challenge;
  std::int64_t expires = 0;
  EXPECT_FALSE(manager.create_challenge(challenge, expires));
}

}  // namespace
