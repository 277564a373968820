// Doubles of the upstream side: the REST client's resets and the
// registration news, appended to `journal`, which the test shares with the
// other doubles ("reset", "notify_registered", "notify_unregistered"), with
// the channel each notification carried.
#ifndef TESTS_FAKES_RECORDING_UPSTREAM_H
#define TESTS_FAKES_RECORDING_UPSTREAM_H

#include <string>
#include <vector>

#include "agent/chost/upstream_client.h"
#include "agent/websocketc/websocket_event_manager.h"

class Recording_Upstream_Client : public Upstream_JSON_RESTful_Client {
 public:
  void reset() override { journal->push_back("reset"); }
  std::vector<std::string>* journal = nullptr;
};

class Recording_WebSocket_Event_Manager : public WebSocket_Event_Manager {
 public:
  void notify_registered(JSON_RPC_Channel_Ptr channel) override {
    journal->push_back("notify_registered");
    channels.push_back(channel.get());
  }
  void notify_unregistered(JSON_RPC_Channel_Ptr channel) override {
    journal->push_back("notify_unregistered");
    channels.push_back(channel.get());
  }
  std::vector<std::string>* journal = nullptr;
  std::vector<JSON_RPC_Channel*> channels;
};

#endif
