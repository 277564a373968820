// The identity and storage catalog endpoints through a real wagent: who may
// reach them, what the agent's own key and interfaces look like on the wire,
// and a broken pools file that stops nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e.h"

using namespace e2e;

namespace {

const wire::Header_List SIGNED_IN = {{"X-Session-Key", "k1"}};

// A malformed pools file stops nothing: the pools are gone, the rest serves.
// Serving a good one is the catalog's and the handler's tests' work.
TEST(Identity_E2E, ServesChallengeKeysAndInterfacesBesideAMalformedPoolsFile) {
  wire::Wagent_Process agent(WAGENT_PATH);
  std::ofstream(agent.dir() + "/pools.json") << "[{\"uuid\": ";
  ASSERT_TRUE(agent.start(
      listener(agent.dir()) + "session k1 alice 0xC000000000000000\n"
      "set storage.pools pools.json\n" +
      bind("rest", "/api/host/challenge", "_make_JSON_RESTful_Host_Challenge_Handler_Creator") +
      bind("rest", "/api/host/access_key", "_make_JSON_RESTful_Host_Access_Key_Handler_Creator") +
      bind("rest", "/api/host/public_key", "_make_JSON_RESTful_Host_Public_Key_Handler_Creator") +
      bind("rest", "/api/host/interfaces", "_make_JSON_RESTful_Host_Interfaces_Handler_Creator") +
      bind("rest", "/api/storage/catalog", "_make_JSON_RESTful_Storage_Catalog_OM_Handler_Creator")))
      << agent.stderr_text();
  auto get = [&](const std::string& target, const wire::Header_List& headers = {}) {
    return wire::Wire_Client(agent.host(), agent.port()).request("GET", target, "", headers);
  };
  const std::string show =
      "/api/storage/catalog?action=show_pool&uuid=6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60";
  // Eight at once against the catalog's bound of two: all are answered.
  std::vector<int> statuses(8);
  std::vector<std::thread> clients;
  for (int& s : statuses) clients.emplace_back([&] { s = get(show, SIGNED_IN).status; });
  for (auto& t : clients) t.join();
  EXPECT_EQ(std::vector<int>(8, 404), statuses);
  const std::string out = agent.stderr_text(), line = agent.dir() + "/pools.json is malformed";
  EXPECT_NE(std::string::npos, out.find(line)) << out;
  EXPECT_EQ(out.rfind(line), out.find(line)) << out;

  // Public: no session needed.
  EXPECT_EQ(64u, parse_json(get("/api/host/challenge").body).get_obj().at("challenge").get_str().size());
  wire::Http_Response r = get("/api/host/public_key");
  ASSERT_EQ(200, r.status) << r.body;
  // The agent's own file, which OpenSSL's tool reads (the key's own test).
  EXPECT_EQ(Value(read_file(agent.dir() + "/var/chost/public_key.pem")), parse_json(r.body));

  // The access key only for a signed-in caller, direct on loopback.
  const std::pair<wire::Header_List, int> key_cases[] = {
      {{}, 401}, {{{"X-Session-Key", "nope"}}, 401},
      {{{"X-Session-Key", "k1"}, {"X-Forwarded-For", "127.0.0.1"}}, 403}, {SIGNED_IN, 200}};
  for (const auto& [headers, status] : key_cases) {
    r = get("/api/host/access_key", headers);
    EXPECT_EQ(status, r.status) << r.body;
    const Value body = parse_json(r.body);
    EXPECT_EQ(status == 200 ? Value("") : Value(-1),
              status == 200 ? body : body.get_obj().at("code"));
  }

  r = get("/api/host/interfaces", SIGNED_IN);
  ASSERT_EQ(200, r.status);
  const Value lo(json_spirit::Object{{"family", "ipv4"}, {"address", "127.0.0.1"}, {"prefix", 8}});
  bool loopback_seen = false;
  const Value list = parse_json(r.body);
  for (const Value& i : list.get_array())
    for (const Value& a : i.get_obj().at("addresses").get_array())
      loopback_seen |= i.get_obj().at("loopback").get_bool() && a == lo;
  EXPECT_TRUE(loopback_seen) << r.body;
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}

}  // namespace
