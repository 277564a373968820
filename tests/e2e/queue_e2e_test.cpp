// queue.push through wagent under a crash: clients push at once, sharing
// the spool's flushes, wagent is killed with SIGKILL among their pushes,
// and after a restart every block it answered true is in the spool once,
// in whole chains, each client's in the order it pushed them.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/queue/queue_manager.h"
#include "tests/e2e/e2e.h"

namespace {

using namespace e2e;

std::string queue_config(const std::string& dir) {
  return listener(dir) + "session k1 alice 0x1\n" +
         bind("jsonrpc", "queue.push",
              "_make_JSON_RPC_Queue_Push_Handler -q jobs -c rpc_service_requester");
}

}  // namespace

TEST(QueuePush, WhatWasAnsweredTrueSurvivesAKillAmongConcurrentPushesOnce) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(queue_config(agent.dir()))) << agent.stderr_text();
  const std::string host = agent.host();
  const unsigned short port = agent.port();

  // Each client pushes chains of two ("C-N-0", "C-N-1" in group g) until a
  // push fails, as the kill makes it, and notes those answered true.
  const int clients = 6;
  std::mutex lock;
  std::vector<std::string> acknowledged;
  std::atomic<int> answered{0};
  std::vector<std::thread> pushers;
  for (int c = 0; c < clients; ++c)
    pushers.emplace_back([&, c] {
      wire::Wire_Client client(host, port, std::chrono::seconds(5));
      for (int n = 0;; ++n) {
        const std::string chain = std::to_string(c) + "-" + std::to_string(n) + "-";
        const std::string params = R"([{"message":")" + chain + R"(0"},{"message":")" + chain +
                                   R"(1","group":"g"}])";
        const wire::Http_Response r = client.request(
            "POST", "/jsonrpc", call(n, "queue.push", params), {{"X-Session-Key", "k1"}});
        if (!r.ok) return;
        const Value v = parse_json(r.body);
        const bool accepted = r.status == 200 && v.type() == json_spirit::obj_type &&
                              v.get_obj().count("result") &&
                              v.get_obj().at("result") == Value(true);
        EXPECT_TRUE(accepted) << r.status << " " << r.body;
        if (!accepted) return;
        std::lock_guard<std::mutex> guard(lock);
        acknowledged.push_back(chain + "0");
        acknowledged.push_back(chain + "1@g");
        ++answered;
      }
    });
  EXPECT_TRUE(eventually([&] { return answered >= 300; }, std::chrono::seconds(60)));
  EXPECT_EQ(128 + SIGKILL, agent.stop(SIGKILL));
  for (std::thread& t : pushers) t.join();

  // The restart reads the spool as it found it (a torn last line is cut).
  ASSERT_TRUE(agent.start(queue_config(agent.dir()))) << agent.stderr_text();
  EXPECT_EQ(0, agent.stop());
  File_Queue_Manager queues(agent.dir() + "/var/queues", File_Queue_Manager::default_capacity);
  std::vector<std::string> spool;
  for (Queue_Block b; queues.dequeue("jobs", b, nullptr);) {
    spool.push_back(b.has_group() ? b.data() + "@" + b.group() : b.data());
    const json_spirit::Object& requester = b.control();
    EXPECT_TRUE(requester.count("user") && requester.at("user") == Value("alice")) << spool.back();
  }

  std::map<std::string, int> seen;
  std::map<std::string, int> last_chain;  // of each client
  for (std::size_t i = 0; i < spool.size(); ++i) {
    ++seen[spool[i]];
    const std::string chain = spool[i].substr(0, spool[i].rfind('-') + 1);
    if (spool[i].back() == 'g') {
      EXPECT_TRUE(i > 0 && spool[i - 1] == chain + "0") << spool[i] << " without its first half";
      continue;
    }
    EXPECT_TRUE(i + 1 < spool.size() && spool[i + 1] == chain + "1@g") << chain << " cut";
    const std::string client = chain.substr(0, chain.find('-'));
    const int n = std::stoi(chain.substr(client.size() + 1));
    if (last_chain.count(client)) {
      EXPECT_LT(last_chain[client], n) << chain;
    }
    last_chain[client] = n;
  }
  for (const std::string& a : acknowledged) EXPECT_EQ(1, seen[a]) << a << " was answered true";
  for (const auto& s : seen) EXPECT_EQ(1, s.second) << s.first << " is there more than once";
}
