// The challenge, access-key, public-key and interfaces endpoints against
// recording doubles of the identity service and the interface list.
#include <gtest/gtest.h>

#include <string>

#include "agent/platform/service_instance.h"
#include "tests/fakes/fake_host_manager.h"
#include "tests/fakes/fake_interface_info.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/recording_rest_channel.h"
#include "websvcs/common/host/host_access_key_handler.h"
#include "websvcs/common/host/host_challenge_handler.h"
#include "websvcs/common/host/host_interfaces_handler.h"
#include "websvcs/common/host/host_public_key_handler.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

class Identity : public ::testing::Test {
 protected:
  void get(JSON_RESTful_Handler_Impl2& handler, bool signed_in = true,
           std::uint64_t perms = 0xC000000000000000ULL) {
    channel.replies.clear();
    Parsed_Request request;
    request.method = "GET";
    if (signed_in) request.session = Session_Ptr(new Session("k", "alice", perms));
    handler.handle_get(channel, request);
  }
  const Recording_REST_Channel::Reply& only_reply() {
    EXPECT_EQ(1u, channel.replies.size());
    return channel.replies.at(0);  // none: the throw fails the test
  }

  Fake_Host_Manager host;
  Scoped_Instance_T<Host_Manager> host_guard{&host};
  Fake_Interface_Info interfaces;
  Scoped_Instance_T<Interface_Info_Service> interfaces_guard{&interfaces};
  Recording_REST_Channel channel;
};

TEST_F(Identity, ChallengeAccessKeyAndPublicKeyPassOnWhatTheServiceGives) {
  JSON_RESTful_Host_Challenge_Handler challenge;
  get(challenge, false);
  EXPECT_EQ(Value(Object{{"challenge", std::string(64, 'a')}, {"expires", 1700000300}}),
            only_reply().value);
  host.challenge_made = false;
  get(challenge, false);
  EXPECT_EQ(std::make_tuple(500, false),
            std::make_tuple(only_reply().status, only_reply().has_message));

  JSON_RESTful_Host_Access_Key_Handler access_key;
  for (const std::string key : {"", "secret-key"}) {
    host.access_key(key);
    get(access_key, false);
    EXPECT_EQ(Value(key), only_reply().value);  // a JSON string, even when empty
  }

  // No key yet. Its text is checked end to end and against OpenSSL's tool.
  JSON_RESTful_Host_Public_Key_Handler public_key;
  Recording_Log log;
  get(public_key, false);
  const auto& r = only_reply();
  EXPECT_EQ(std::make_tuple(false, 500, -1, std::string("Failed to get public key")),
            std::make_tuple(r.is_json, r.status, r.code, r.message));
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to get public key.\n"));
}

TEST_F(Identity, InterfacesNeedASessionThenPermissions) {
  JSON_RESTful_Host_Interfaces_Handler handler;
  const Object lo{{"name", "lo"}, {"up", true}, {"loopback", true}, {"addresses", Array{}}};
  const struct {
    bool signed_in;
    std::uint64_t perms;
    bool succeed;
    Array list;
    int status;
    const char* message;  // null for a JSON answer: the list
  } cases[] = {
      // Without a session it is 401 even for a caller who lacks permissions.
      {false, 0, true, {lo}, 401, "User is not authenticated."},
      {true, 0x4000000000000000ULL, true, {lo}, 403, "Insufficient user permissions."},
      {true, 0xC000000000000000ULL, false, {lo}, 500, "Failed to get interface info."},
      {true, 0xC000000000000000ULL, true, {}, 200, nullptr},
      {true, 0xC000000000000000ULL, true, {lo}, 200, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    interfaces.calls = 0;
    interfaces.succeed = c.succeed;
    interfaces.value = c.list;
    get(handler, c.signed_in, c.perms);
    const auto& r = only_reply();
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.message ? c.message : "", r.message);
    EXPECT_EQ(c.message ? Value() : Value(c.list), r.value);
    EXPECT_EQ(c.status >= 500 || c.status == 200 ? 1 : 0, interfaces.calls);
  }
}

}  // namespace
