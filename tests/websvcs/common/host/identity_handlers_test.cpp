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

// A small RSA public key as DER, and the PEM that `openssl pkey` makes of it.
const unsigned char DER[] = {
    0x30, 0x5c, 0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d,
    0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x4b, 0x00, 0x30, 0x48, 0x02, 0x41,
    0x00, 0xe5, 0x88, 0x1b, 0x47, 0x74, 0x11, 0x21, 0x78, 0xca, 0x9e, 0x9c,
    0xca, 0x38, 0x35, 0x5d, 0x46, 0x81, 0x87, 0x3f, 0x9d, 0x87, 0x0c, 0x15,
    0x20, 0x53, 0xd2, 0x90, 0x84, 0x2a, 0x5d, 0x1d, 0x76, 0x3d, 0x36, 0x4e,
    0x9f, 0x5f, 0xe0, 0x62, 0xed, 0x10, 0x31, 0x9d, 0x40, 0x35, 0x74, 0xbb,
    0x7f, 0x9e, 0x0f, 0xaa, 0xa7, 0xa6, 0x8a, 0x50, 0xdb, 0xe2, 0x04, 0x3d,
    0x3f, 0x3b, 0xee, 0x61, 0x3f, 0x02, 0x03, 0x01, 0x00, 0x01};
const char PEM[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFwwDQYJKoZIhvcNAQEBBQADSwAwSAJBAOWIG0d0ESF4yp6cyjg1XUaBhz+dhwwV\n"
    "IFPSkIQqXR12PTZOn1/gYu0QMZ1ANXS7f54PqqemilDb4gQ9PzvuYT8CAwEAAQ==\n"
    "-----END PUBLIC KEY-----\n";

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
    static const Recording_REST_Channel::Reply none{};
    return channel.replies.empty() ? none : channel.replies[0];
  }

  Fake_Host_Manager host;
  Scoped_Instance_T<Host_Manager> host_guard{&host};
  Fake_Interface_Info interfaces;
  Scoped_Instance_T<Interface_Info_Service> interfaces_guard{&interfaces};
  Recording_REST_Channel channel;
};

TEST_F(Identity, ChallengeAndAccessKeyPassOnWhatTheServiceGives) {
  JSON_RESTful_Host_Challenge_Handler challenge;
  get(challenge, false);
  EXPECT_EQ(Value(Object{{"challenge", std::string(64, 'a')}, {"expires", 1700000300}}),
            only_reply().value);
  host.challenge_made = false;
  get(challenge, false);
  EXPECT_EQ(std::make_tuple(500, false), std::make_tuple(only_reply().status, only_reply().has_message));

  JSON_RESTful_Host_Access_Key_Handler access_key;
  for (const std::string key : {"", "secret-key"}) {
    host.access_key(key);
    get(access_key, false);
    EXPECT_EQ(Value(key), only_reply().value);  // a JSON string, even when empty
  }
}

TEST_F(Identity, PublicKeyIsPemTextOr500WithItsLogLine) {
  JSON_RESTful_Host_Public_Key_Handler handler;
  Recording_Log log;
  get(handler, false);
  const auto& r = only_reply();
  EXPECT_EQ(std::make_tuple(false, 500, -1, std::string("Failed to get public key")),
            std::make_tuple(r.is_json, r.status, r.code, r.message));
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to get public key.\n"));

  host.public_der.assign(reinterpret_cast<const char*>(DER), sizeof DER);
  get(handler, false);
  EXPECT_EQ(Value(PEM), only_reply().value);
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
    const char* message;  // null for a JSON answer
    Value body;
  } cases[] = {
      // Without a session it is 401 even for a caller who lacks permissions.
      {false, 0, true, {lo}, 401, "User is not authenticated.", Value()},
      {true, 0x4000000000000000ULL, true, {lo}, 403, "Insufficient user permissions.", Value()},
      {true, 0xC000000000000000ULL, false, {lo}, 500, "Failed to get interface info.", Value()},
      {true, 0xC000000000000000ULL, true, {}, 200, nullptr, Value(Array{})},
      {true, 0xC000000000000000ULL, true, {lo}, 200, nullptr, Value(Array{lo})},
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
    EXPECT_EQ(c.body, r.value);
    EXPECT_EQ(c.status >= 500 || c.status == 200 ? 1 : 0, interfaces.calls);
  }
}

}  // namespace
