// Arbitrary bytes into the JSON-RPC dispatcher with every default binding
// loaded. The first byte chooses the requester: bit 0 gives it the demo
// session (else only the open methods answer), bit 1 makes the host busy.
// The rest is the message text. Every reply must be JSON text.
#include <chrono>
#include <cstdlib>

#include "agent/json_rpc/json_rpc_handler.h"
#include "fuzz/fuzz_agent.h"
#include "tests/fakes/recording_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const JSON_RPC_Dispatcher& dispatcher = fuzz::agent_services().dispatcher();
  Recording_Channel* raw = nullptr;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&raw);
  channel->set_session_required(true);
  if (data[0] & 1) raw->set_session_key(fuzz::demo_session);
  dispatcher.dispatch(channel, reinterpret_cast<const char*>(data) + 1, size - 1,
                      (data[0] & 2) ? json_rpc::busy_message : nullptr);
  // Work on workers gets a moment; then the requester leaves, which ends
  // waits such as host.test's.
  if (!raw->wait_idle(std::chrono::milliseconds(100))) {
    channel->close();
    raw->wait_idle(std::chrono::hours(1));
  }
  for (const std::string& text : raw->texts()) {
    json_spirit::Value reply;
    if (!json_spirit::read(text, reply)) std::abort();
  }
  return 0;
}
