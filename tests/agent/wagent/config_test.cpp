#include "agent/wagent/config.h"
#include "agent/wagent/settings.h"

#include <gtest/gtest.h>

namespace {

using wagent::Config;
using wagent::Config_Error;
using wagent::parse_config;

std::string error_of(const std::string& text) {
  try {
    parse_config(text, "test.conf");
  } catch (const Config_Error& e) {
    return e.what();
  }
  return "";
}

TEST(Config, ReadsEveryKindOfLine) {
  Config c = parse_config(
      "# comment\n"
      "set listen 127.0.0.1:0   # trailing comment\n"
      "set appdata \"/tmp/with space\"\n"
      "session k1 alice 0xC000000000000000\n"
      "jsonrpc job.start,job.stop lib.so:_make_A -x \"two words\"\n"
      "params job.create lib.so:_make_B\n"
      "rest /api/x ./dir/lib.so:_make_C\n"
      "http /debug/headers lib.so:_make_D\n",
      "test.conf");
  EXPECT_EQ("127.0.0.1:0", c.get("listen", ""));
  EXPECT_EQ("/tmp/with space", c.get("appdata", ""));
  ASSERT_EQ(1u, c.sessions.size());
  EXPECT_EQ(0xC000000000000000ULL, c.sessions[0].perms);
  ASSERT_EQ(4u, c.services.size());
  const wagent::Service_Line& rpc = c.services[0];
  EXPECT_EQ((std::vector<std::string>{"job.start", "job.stop"}), rpc.names);
  EXPECT_EQ((std::vector<std::string>{"-x", "two words"}), rpc.args);
  EXPECT_EQ("test.conf:5", rpc.where);
  EXPECT_EQ(wagent::SERVICE_PARAMS, c.services[1].kind);
  EXPECT_EQ("./dir/lib.so", c.services[2].library);
}

TEST(Config, NamesTheLineAndTheFault) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"\n\nfrobnicate x y\n", "test.conf:3: unknown kind 'frobnicate'"},
      {"set listen\n", "test.conf:1: 'set' needs a key and one value"},
      {"set colour blue\n", "test.conf:1: unknown setting 'colour'"},
      {"set clock sometimes\n",
       "test.conf:1: setting 'clock' must be dry-run or system, not "
       "'sometimes'"},
      {"jsonrpc host.info\n",
       "test.conf:1: 'jsonrpc' needs a name and a <library>:<factory>"},
      {"jsonrpc host.info libwcommon.so\n",
       "test.conf:1: 'libwcommon.so' is not <library>:<factory>"},
      {"jsonrpc a,,b lib.so:_make_X\n", "test.conf:1: empty name in 'a,,b'"},
      {"rest api/x lib.so:_make_X\n",
       "test.conf:1: 'rest' needs one path starting with '/'"},
      {"params a,b lib.so:_make_X\n", "test.conf:1: 'params' takes one method"},
      {"session k alice\n",
       "test.conf:1: 'session' needs a key, a uid and a mask"},
      {"session k alice 0xZZ\n",
       "test.conf:1: permission mask '0xZZ' is not a hexadecimal number"},
      {"set appdata \"/tmp/x\n", "test.conf:1: unterminated quote"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.message, error_of(c.text)) << c.text;
}

TEST(Config, CommandLineOverridesAreCheckedLikeTheFile) {
  Config c = parse_config("set listen 127.0.0.1:8580\n", "test.conf");
  wagent::apply_override(c, "listen=127.0.0.1:0");
  wagent::apply_override(c, "drive.d=/mnt/data");
  EXPECT_EQ("127.0.0.1:0", c.get("listen", ""));
  EXPECT_EQ("/mnt/data", c.get("drive.d", ""));
  EXPECT_THROW(wagent::apply_override(c, "listen"), Config_Error);
  EXPECT_THROW(wagent::apply_override(c, "power=maybe"), Config_Error);
  EXPECT_THROW(wagent::apply_override(c, "nothing=1"), Config_Error);
}

}  // namespace

// No configuration shipped, from the repository or in the package, holds a
// session: a key written there would open the agent to anyone who reads it.
TEST(Config, ShippedConfigurationsHoldNoSessionKey) {
  for (const char* path : {ETC_WAGENT_CONF,
#ifdef PACKAGED_WAGENT_CONF  // packages are made on Linux only
                           PACKAGED_WAGENT_CONF,
#endif
       }) {
    const Config c = wagent::load_config(path);
    EXPECT_TRUE(c.sessions.empty()) << path << ": " << c.sessions.front().where;
    EXPECT_FALSE(c.services.empty()) << path;
  }
}

namespace {

using namespace wagent;

TEST(Host_Settings, TypedValuesWithTheDefaultsForWhatIsNotSet) {
  const Host_Settings s = read_settings(parse_config(
      "set listen [::1]:9000\nset appdata /srv/agent\nset clock system\n"
      "set drive.d /mnt/d\nset jsonrpc.open *\nset storage.pools pools.json\n"
      "set http.timeout 5\n",
      "/etc/wagent/wagent.conf"));
  EXPECT_EQ(tcp::endpoint(net::ip::make_address("::1"), 9000), s.listen);
  EXPECT_EQ("/srv/agent", s.appdata);
  EXPECT_TRUE(s.clock_system);
  EXPECT_FALSE(s.power_system);
  ASSERT_EQ(1u, s.drives.size());
  EXPECT_EQ('d', s.drives[0].letter);
  EXPECT_EQ(std::vector<std::string>{"*"}, s.open_methods);
  EXPECT_EQ("/etc/wagent/pools.json", s.storage_pools);
  EXPECT_EQ(std::chrono::seconds(5), s.http_timeout);
  EXPECT_EQ(std::chrono::seconds(150), s.keepalive);
  EXPECT_EQ(std::chrono::seconds(10), s.stop_timeout);
  EXPECT_EQ(0u, s.workers);
}

TEST(Host_Settings, BadValuesNameWhereTheyWereSet) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"set listen localhost:80\n", "f:1: setting 'listen' must be a numeric address"},
      {"set listen 127.0.0.1:70000\n", "f:1: setting 'listen' must be"},
      {"\nset http.timeout 0\n", "f:2: setting 'http.timeout' must be a positive number"},
      {"set jsonrpc.workers -3\n", "f:1: setting 'jsonrpc.workers' must be a positive"},
      {"set fs.list.page_ms 1.5\n", "f:1: setting 'fs.list.page_ms' must be a positive"},
      {"set jsonrpc.admin a,,b\n", "f:1: setting 'jsonrpc.admin' must be METHOD[,METHOD...],"},
      {"set jsonrpc.admin *\n", "f:1: setting 'jsonrpc.admin' must be METHOD"},
      {"set tls.ca_file /nonexistent/ca.pem\n", "f:1: setting 'tls.ca_file': cannot read"},
  };
  for (const auto& c : cases) {
    try {
      read_settings(parse_config(c.text, "f"));
      ADD_FAILURE() << c.text;
    } catch (const Config_Error& e) {
      EXPECT_EQ(0u, std::string(e.what()).find(c.message)) << e.what();
    }
  }
}

}  // namespace
