// fs.list in pages through wagent: a large directory in pages of 1,000,
// then, after a restart with a short fs.list.page_ms, pages cut short by
// time, and a cursor of the earlier run refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "tests/e2e/e2e.h"

namespace {

using namespace e2e;

const wire::Header_List KEY{{"X-Session-Key", "k1"}};

std::string config(const std::string& dir) {
  return listener(dir) + "session k1 alice 0xC000000000000000\n" +
         bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler");
}

std::string json_text(const std::string& s) { return json_spirit::JSON_Dump(Value(s), false); }

struct Walk {
  std::multiset<std::string> names;
  std::vector<std::size_t> page_sizes;
  std::string first_cursor;
  std::string failure;  // the first reply that was not a page
};

// Every page of `path`, `limit` entries at most each, until the last.
Walk walk(wire::Wire_Client& c, const std::string& path, long limit) {
  Walk w;
  std::string cursor;
  for (bool partial = true; partial && w.page_sizes.size() < 100000;) {
    const wire::Http_Response r = c.request(
        "POST", "/jsonrpc",
        call(1, "fs.list",
             R"({"path":)" + json_text(path) + R"(,"limit":)" + std::to_string(limit) +
                 (cursor.empty() ? "" : R"(,"cursor":)" + json_text(cursor)) + "}"),
        KEY);
    if (r.status != 200 || code_of(r.body) != 0) {
      w.failure = r.body.empty() ? c.last_error() : r.body;
      return w;
    }
    const Value reply = parse_json(r.body);
    const json_spirit::Object& page = reply.get_obj().at("result").get_obj();
    const json_spirit::Array& entries = page.at("entries").get_array();
    w.page_sizes.push_back(entries.size());
    for (const Value& e : entries) w.names.insert(e.get_obj().at("name").get_str());
    partial = page.at("partial").get_bool();
    if (partial != (page.count("cursor") == 1)) {
      w.failure = "a cursor without partial, or partial without one";
      return w;
    }
    if (partial) cursor = page.at("cursor").get_str();
    if (w.first_cursor.empty()) w.first_cursor = cursor;
  }
  return w;
}

// `names` holds each of entry-0 ... entry-(count-1) exactly once.
::testing::AssertionResult each_once(const std::multiset<std::string>& names, int count) {
  if (names.size() != std::size_t(count))
    return ::testing::AssertionFailure() << names.size() << " names for " << count << " entries";
  for (int i = 0; i < count; ++i)
    if (names.count("entry-" + std::to_string(i)) != 1)
      return ::testing::AssertionFailure() << "entry-" << i << " seen " 
                                           << names.count("entry-" + std::to_string(i)) << " times";
  return ::testing::AssertionSuccess();
}

TEST(Fs_List_Pages, AHundredThousandEntriesComeOnceEachWhateverEndsThePages) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string dir = agent.dir() + "/many";
  ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
  const int entries = 100000;
  for (int i = 0; i < entries; ++i) {
    const int fd = ::open((dir + "/entry-" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_LE(0, fd);
    ::close(fd);
  }
  ASSERT_TRUE(agent.start(config(agent.dir()))) << agent.stderr_text();
  std::string earlier_cursor;
  {
    wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(30));
    const Walk w = walk(c, dir, 1000);
    ASSERT_EQ("", w.failure);
    EXPECT_EQ(std::vector<std::size_t>(100, 1000), w.page_sizes);
    EXPECT_TRUE(each_once(w.names, entries));
    earlier_cursor = w.first_cursor;
  }
  EXPECT_EQ(0, agent.stop());

  // Each page ends 20 ms after its request came, far short of the
  // directory, and still each entry comes exactly once.
  ASSERT_TRUE(agent.start(config(agent.dir()), {"-s", "fs.list.page_ms=20"}))
      << agent.stderr_text();
  wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(30));
  // The cursor's seal does not outlive the process that made it.
  const std::string refused = c.request("POST", "/jsonrpc",
      call(2, "fs.list", R"({"path":)" + json_text(dir) + R"(,"cursor":)" +
                             json_text(earlier_cursor) + "}"), KEY).body;
  EXPECT_EQ(R"({"code":-32602,"message":"Invalid cursor."})",
            json_spirit::JSON_Dump(parse_json(refused).get_obj().at("error"), false));
  const Walk w = walk(c, dir, 100000);
  ASSERT_EQ("", w.failure);
  EXPECT_GT(w.page_sizes.size(), 1u);
  EXPECT_TRUE(each_once(w.names, entries));
  EXPECT_EQ(0, agent.stop());
}

}  // namespace
