// The agent's key material in a temporary folder: the pair is made once,
// kept private, read back after a restart and readable by OpenSSL's tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/chost/host_manager.h"
#include "agent/mdrt/key_text.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/files.h"

namespace {

// What a shell command prints, "" when it fails.
std::string run(const Temp_Dir& dir, const std::string& command) {
  return std::system((command + " > " + dir / "out").c_str()) == 0 ? read_file(dir / "out") : "";
}

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
  EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            std::filesystem::status(dir / "private_key.pem").permissions());

  File_Host_Manager restarted(dir.path());
  EXPECT_EQ(der, restarted.public_key());
  // The endpoint's text is exactly what OpenSSL's tool makes of the file.
  const RSA_Key_Writer pem(reinterpret_cast<const unsigned char*>(der.data()), der.size(), true,
                           Secure_String());
  EXPECT_EQ(std::string(pem.data(), pem.length()),
            run(dir, "openssl pkey -pubin -in " + dir / "public_key.pem"));
  EXPECT_NE(std::string::npos,
            run(dir, "openssl pkey -in " + dir / "private_key.pem" + " -noout -text")
                .find("Private-Key: (2048 bit"));

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

}  // namespace
