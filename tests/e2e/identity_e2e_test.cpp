// The identity and storage catalog endpoints through a real wagent: who may
// reach them, and what the agent's own key, interfaces and pools look like
// on the wire.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e.h"

using namespace e2e;

namespace {

const char UUID[] = "6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60";
const wire::Header_List SIGNED_IN = {{"X-Session-Key", "k1"}};
const std::string SHOW = std::string("/api/storage/catalog?action=show_pool&uuid=") + UUID,
                  UNKNOWN = "/api/storage/catalog?action=show_pool&uuid="
                            "00000000-0000-0000-0000-000000000000";

class Identity_E2E : public ::testing::Test {
 protected:
  void start(const std::string& pools) {
    std::ofstream(agent.dir() + "/pools.json") << pools;
    const std::string config =
        listener(agent.dir()) + "session k1 alice 0xC000000000000000\nsession k2 bob 0x1\n"
        "set storage.pools pools.json\n" +
        bind("rest", "/api/host/challenge", "_make_JSON_RESTful_Host_Challenge_Handler_Creator") +
        bind("rest", "/api/host/access_key", "_make_JSON_RESTful_Host_Access_Key_Handler_Creator") +
        bind("rest", "/api/host/public_key", "_make_JSON_RESTful_Host_Public_Key_Handler_Creator") +
        bind("rest", "/api/host/interfaces", "_make_JSON_RESTful_Host_Interfaces_Handler_Creator") +
        bind("rest", "/api/storage/catalog",
             "_make_JSON_RESTful_Storage_Catalog_OM_Handler_Creator");
    ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  }
  void TearDown() override { EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text(); }

  wire::Http_Response get(const std::string& target, const wire::Header_List& headers = {}) {
    return wire::Wire_Client(agent.host(), agent.port()).request("GET", target, "", headers);
  }

  wire::Wagent_Process agent{WAGENT_PATH};
};

TEST_F(Identity_E2E, ServesChallengeKeysAndInterfaces) {
  start("[]");
  // Public: no session needed.
  EXPECT_EQ(64u, parse(get("/api/host/challenge").body).get_obj().at("challenge").get_str().size());
  wire::Http_Response r = get("/api/host/public_key");
  ASSERT_EQ(200, r.status) << r.body;
  std::stringstream pem;  // the agent's own file, which OpenSSL's tool reads
  pem << std::ifstream(agent.dir() + "/var/chost/public_key.pem").rdbuf();
  EXPECT_EQ(Value(pem.str()), parse(r.body));
  EXPECT_EQ(0u, pem.str().find("-----BEGIN PUBLIC KEY-----\n"));

  // The access key only for a signed-in caller, direct on loopback.
  const std::pair<wire::Header_List, int> key_cases[] = {
      {{}, 401}, {{{"X-Session-Key", "nope"}}, 401},
      {{{"X-Session-Key", "k1"}, {"X-Forwarded-For", "127.0.0.1"}}, 403}, {SIGNED_IN, 200}};
  for (const auto& [headers, status] : key_cases) {
    r = get("/api/host/access_key", headers);
    EXPECT_EQ(status, r.status) << r.body;
    const Value body = parse(r.body);
    EXPECT_EQ(status == 200 ? Value("") : Value(-1),
              status == 200 ? body : body.get_obj().at("code"));
  }

  EXPECT_EQ(403, get("/api/host/interfaces", {{"X-Session-Key", "k2"}}).status);
  r = get("/api/host/interfaces", SIGNED_IN);
  ASSERT_EQ(200, r.status);
  const Value lo(json_spirit::Object{{"family", "ipv4"}, {"address", "127.0.0.1"}, {"prefix", 8}});
  bool loopback_seen = false;
  const Value list = parse(r.body);
  for (const Value& i : list.get_array())
    for (const Value& a : i.get_obj().at("addresses").get_array())
      loopback_seen |= i.get_obj().at("loopback").get_bool() && a == lo;
  EXPECT_TRUE(loopback_seen) << r.body;
}

TEST_F(Identity_E2E, ShowsAndResyncsPoolsAndQueuesBeyondItsConcurrency) {
  start(std::string("[{\"uuid\":\"") + UUID + "\",\"name\":\"tmp\",\"path\":\"/tmp\"}]");
  wire::Http_Response r = get(SHOW + "&device", SIGNED_IN);
  ASSERT_EQ(200, r.status) << r.body;
  const json_spirit::Object pool = parse(r.body).get_obj();
  EXPECT_EQ("tmp", pool.at("name").get_str());
  EXPECT_FALSE(pool.at("device").get_obj().at("type").get_str().empty());
  EXPECT_EQ(204, get(std::string("/api/storage/catalog?action=resync_usage&uuid=") + UUID,
                     SIGNED_IN).status);
  EXPECT_EQ(404, get(UNKNOWN, SIGNED_IN).status);

  // Eight at once against a bound of two: all are served.
  std::vector<int> statuses(8);
  std::vector<std::thread> clients;
  for (int& s : statuses) clients.emplace_back([&, this] { s = get(SHOW, SIGNED_IN).status; });
  for (auto& t : clients) t.join();
  EXPECT_EQ(std::vector<int>(8, 200), statuses);
}

TEST_F(Identity_E2E, AMalformedPoolsFileStopsNothing) {
  start("[{\"uuid\": ");
  EXPECT_EQ(404, get(SHOW, SIGNED_IN).status);
  EXPECT_EQ(404, get(UNKNOWN, SIGNED_IN).status);
  EXPECT_EQ(200, get("/api/host/challenge").status);
  const std::string out = agent.stderr_text(), line = agent.dir() + "/pools.json is malformed";
  const auto at = out.find(line);
  EXPECT_NE(std::string::npos, at) << out;
  EXPECT_EQ(std::string::npos, out.find(line, at + 1)) << out;
}

}  // namespace
