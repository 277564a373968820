// The queue spool on disk: blocks survive a restart in order, taken ones do
// not come back, a torn last line is reported and cut without losing the
// lines before it, a full queue refuses whole chains, and so does a full
// disk, leaving no part of the chain behind. Chains pushed at once share
// flushes: each comes whole and once, the bound holds across them, and a
// failed flush refuses every chain it held.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "agent/queue/queue_manager.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"

namespace {

// Enqueues the chain "prefix0".."prefix<n-1>" (the first in group "g").
bool push(Queue_Manager& q, const std::string& prefix, int n, const char* name = "jobs",
          const ACE_Time_Value* timeout = nullptr) {
  Queue_Block head, *last = &head;
  for (int i = 0; i < n; ++i) {
    const std::string text = prefix + std::to_string(i);
    last = last->new_next(text.data(), text.size());
    if (i == 0) last->group("g");
  }
  return q.enqueue(name, *head.next(), timeout);
}

// Runs `push(thread)` on `threads` threads at once.
template <class Push>
void at_once(int threads, Push push) {
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) running.emplace_back(push, t);
  for (std::thread& t : running) t.join();
}

// The spool's lines: what precedes the zeros of the room made ahead.
std::string spool_lines(const std::string& path) {
  std::ifstream spool(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(spool), {}};
  return text.substr(0, text.find('\0'));
}

std::vector<std::string> take_all(Queue_Manager& q) {
  std::vector<std::string> out;
  for (Queue_Block b; q.dequeue("jobs", b, nullptr);)
    out.push_back(b.has_group() ? b.data() + "@" + b.group() : b.data());
  return out;
}

#ifndef _WIN32
// A file size limit stands in for a full disk: a write past it stops
// part-way.
class Full_Disk {
 public:
  explicit Full_Disk(std::uintmax_t room) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = room;
    signal_was_ = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &low);
  }
  ~Full_Disk() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, signal_was_);
  }

 private:
  rlimit saved_;
  void (*signal_was_)(int);
};
#endif

}  // namespace

TEST(QueueSpool, BlocksSurviveARestartInOrderAndTakenOnesStayTaken) {
  Temp_Dir dir;
  {
    File_Queue_Manager q(dir.path(), 100);
    ASSERT_TRUE(push(q, "a", 3) && push(q, "b", 2));
    Queue_Block first;
    ASSERT_TRUE(q.dequeue("jobs", first, nullptr));
    EXPECT_EQ("a0@g", first.data() + "@" + first.group());
  }
  File_Queue_Manager again(dir.path(), 100);
  EXPECT_EQ((std::vector<std::string>{"a1", "a2", "b0@g", "b1"}), take_all(again));
  // All taken: a restart brings nothing back.
  ASSERT_TRUE(push(again, "c", 1));
  File_Queue_Manager third(dir.path(), 100);
  EXPECT_EQ((std::vector<std::string>{"c0@g"}), take_all(third));
  // A spool of a megabyte or more starts over once all of it is taken.
  ASSERT_TRUE(push(third, std::string(1 << 20, 'x'), 2));
  EXPECT_LT(2u << 20, std::filesystem::file_size(dir / "jobs.jsonl"));
  EXPECT_EQ(2u, take_all(third).size());
  EXPECT_EQ(0u, std::filesystem::file_size(dir / "jobs.jsonl"));
  ASSERT_TRUE(push(third, "d", 1));
  File_Queue_Manager fourth(dir.path(), 100);
  EXPECT_EQ((std::vector<std::string>{"d0@g"}), take_all(fourth));
}

TEST(QueueSpool, ATornLastLineIsReportedAndCutWithoutLosingTheLinesBefore) {
  Temp_Dir dir;
  ASSERT_TRUE(push(*std::make_unique<File_Queue_Manager>(dir.path(), 100), "a", 2));
  // A crash in the middle of a write: half a line after the last, zeros
  // after it, and a stray piece of the same flush further on.
  {
    std::fstream spool(dir / "jobs.jsonl", std::ios::in | std::ios::out | std::ios::binary);
    spool.seekp(static_cast<std::streamoff>(spool_lines(dir / "jobs.jsonl").size()));
    spool << R"({"message":"half)";
    spool.seekp(4096);
    spool << "ll\"}\n";
  }
  Recording_Log log;
  File_Queue_Manager q(dir.path(), 100);
  EXPECT_EQ(1u, log.count(LM_ERROR, "queue jobs: torn last line at offset"));
  ASSERT_TRUE(push(q, "b", 1));
  File_Queue_Manager again(dir.path(), 100);
  EXPECT_EQ((std::vector<std::string>{"a0@g", "a1", "b0@g"}), take_all(again));
}

TEST(QueueSpool, AFullQueueRefusesWholeChainsAndBadNames) {
  Temp_Dir dir;
  File_Queue_Manager q(dir.path(), 3);
  const ACE_Time_Value brief(0, 20000);
  EXPECT_TRUE(push(q, "a", 2));
  EXPECT_FALSE(push(q, "b", 2));
  EXPECT_TRUE(push(q, "c", 1));
  EXPECT_FALSE(push(q, "d", 1));
  EXPECT_FALSE(push(q, "e", 1, "jobs", &brief));
  for (const char* bad : {"", "../x", "a/b", ".hidden"}) EXPECT_FALSE(push(q, "f", 1, bad)) << bad;
  EXPECT_EQ((std::vector<std::string>{"a0@g", "a1", "c0@g"}), take_all(q));
}

TEST(QueueSpool, AFullDiskRefusesTheChainAndLeavesNoPartOfIt) {
#ifdef _WIN32
  GTEST_SKIP() << "a file size limit stands in for the full disk; Windows has none";
#else
  Temp_Dir dir;
  {
    File_Queue_Manager q(dir.path(), 100);
    Recording_Log log;
    std::uintmax_t accepted;
    bool taken;
    {
      // Room for the first line (29 bytes), not for the room made ahead
      // of it, nor for the three lines after.
      Full_Disk full(64);
      ASSERT_TRUE(push(q, "a", 1));
      accepted = std::filesystem::file_size(dir / "jobs.jsonl");
      EXPECT_EQ(0u, log.count(LM_ERROR, "queue jobs"));
      taken = push(q, "b", 3);
    }
    EXPECT_FALSE(taken);
    EXPECT_EQ(1u, log.count(LM_ERROR, "queue jobs: cannot write its spool"));
    EXPECT_EQ(accepted, std::filesystem::file_size(dir / "jobs.jsonl"));
    ASSERT_TRUE(push(q, "c", 1));
  }
  File_Queue_Manager again(dir.path(), 100);
  EXPECT_EQ((std::vector<std::string>{"a0@g", "c0@g"}), take_all(again));
#endif
}

TEST(QueueSpool, ChainsPushedAtOnceComeBackWholeOnceAndInEachPushersOrder) {
  Temp_Dir dir;
  const int threads = 8, chains = 40;
  {
    File_Queue_Manager q(dir.path(), 100000);
    // The chains carry one control object, written once per chain.
    at_once(threads, [&](int t) {
      for (int n = 0; n < chains; ++n) {
        Queue_Block head, *last = &head;
        const auto control = std::make_shared<json_spirit::Object>();
        (*control)["pusher"] = t;
        for (int k = 0; k < 3; ++k) {
          const std::string text = std::to_string(t) + "-" + std::to_string(n) + "-" +
                                   std::to_string(k) + (k == 1 ? "\"\n\xc3\xa9" : "");
          last = last->new_next(text.data(), text.size());
          last->control(control);
        }
        EXPECT_TRUE(q.enqueue("jobs", *head.next(), nullptr));
      }
    });
  }
  File_Queue_Manager again(dir.path(), 100000);
  std::map<int, int> next_chain;
  for (Queue_Block b; again.dequeue("jobs", b, nullptr);) {
    int t = -1, n = -1, k = -1;
    ASSERT_EQ(3, std::sscanf(b.data().c_str(), "%d-%d-%d", &t, &n, &k)) << b.data();
    // Each pusher's chains in the order it pushed, each whole.
    ASSERT_EQ(next_chain[t], n) << b.data();
    EXPECT_EQ(json_spirit::Value(t), b.control().at("pusher"));
    if (k == 1) {
      EXPECT_EQ("\"\n\xc3\xa9", b.data().substr(b.data().size() - 4));
    }
    for (int more = k + 1; more < 3; ++more) {
      ASSERT_TRUE(again.dequeue("jobs", b, nullptr));
      ASSERT_EQ(std::to_string(t) + "-" + std::to_string(n) + "-" + std::to_string(more),
                b.data().substr(0, b.data().find('"')));
    }
    ++next_chain[t];
  }
  for (int t = 0; t < threads; ++t) EXPECT_EQ(chains, next_chain[t]) << t;
}

TEST(QueueSpool, TheBoundHoldsAcrossChainsPushedAtOnce) {
  Temp_Dir dir;
  File_Queue_Manager q(dir.path(), 10);
  std::atomic<int> accepted{0};
  at_once(8, [&](int t) { accepted += push(q, "t" + std::to_string(t) + "-", 3); });
  EXPECT_EQ(3, accepted.load());
  EXPECT_EQ(9u, q.size("jobs"));
}

TEST(QueueSpool, AFailedFlushRefusesEveryChainItHeldAndLeavesNoneOfThem) {
#ifdef _WIN32
  GTEST_SKIP() << "a file size limit stands in for the full disk; Windows has none";
#else
  Temp_Dir dir;
  {
    File_Queue_Manager q(dir.path(), 1000);
    Recording_Log log;
    std::atomic<int> taken{0};
    std::uintmax_t accepted;
    {
      // Room for the first line, not for any chain after it.
      Full_Disk full(64);
      ASSERT_TRUE(push(q, "a", 1));
      accepted = std::filesystem::file_size(dir / "jobs.jsonl");
      at_once(6, [&](int t) {
        for (int n = 0; n < 5; ++n) taken += push(q, "t" + std::to_string(t) + "-", 2);
      });
    }
    EXPECT_EQ(0, taken.load());
    EXPECT_LE(1u, log.count(LM_ERROR, "queue jobs: cannot write its spool"));
    EXPECT_EQ(accepted, std::filesystem::file_size(dir / "jobs.jsonl"));
    EXPECT_EQ(1u, q.size("jobs"));
    ASSERT_TRUE(push(q, "c", 1));
  }
  File_Queue_Manager again(dir.path(), 1000);
  EXPECT_EQ((std::vector<std::string>{"a0@g", "c0@g"}), take_all(again));
#endif
}

TEST(QueueSpool, EachBlockIsWrittenAsItsLine) {
  // What enqueue writes is what to_line makes: escapes, groups, a shared
  // control object and bytes that are not UTF-8 included.
  Temp_Dir dir;
  Queue_Block head, *last = &head;
  const auto control = std::make_shared<json_spirit::Object>();
  (*control)["user"] = "al\"ice";
  (*control)["id"] = 7;
  const std::string texts[] = {"plain", "quote\" back\\ tab\t nl\n \x01 \xc3\xa9", "",
                               "not utf-8 \xff"};
  for (std::size_t i = 0; i < 4; ++i) {
    last = last->new_next(texts[i].data(), texts[i].size());
    if (i % 2) last->group("g\"1");
    if (i != 2) last->control(control);
  }
  File_Queue_Manager q(dir.path(), 100);
  ASSERT_TRUE(q.enqueue("jobs", *head.next(), nullptr));
  std::string expected;
  for (const Queue_Block* b = head.next(); b; b = b->next()) expected += b->to_line() + "\n";
  EXPECT_EQ(expected, spool_lines(dir / "jobs.jsonl"));
}
