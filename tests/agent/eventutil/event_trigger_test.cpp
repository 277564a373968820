// Audit events: what a trigger records, and the log file they land in.
#include "agent/eventutil/event_trigger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "tests/fakes/installed.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "tests/fakes/under_wine.h"

namespace js = json_spirit;

namespace {

// Each line of the file, parsed and checked compact, its time checked and
// taken out.
std::vector<js::Value> events_in(const std::string& path) {
  std::vector<js::Value> events;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    js::Value v;
    EXPECT_TRUE(js::read(line, v) && js::JSON_Dump(v, false) == line) << line.substr(0, 80);
    if (v.type() != js::obj_type) continue;
    if (v.get_obj().count("time")) {  // a trigger's, made just now
      EXPECT_LE(std::abs(std::time(nullptr) - v.get_obj().at("time").get_int64()), 60);
    }
    v.get_obj().erase("time");
    events.push_back(v);
  }
  return events;
}

class AuditLog : public ::testing::Test {
 protected:
  AuditLog() { log.set_path(path); }
  Temp_Dir dir;
  const std::string path = dir / "audit.log";
  Installed<Audit_Log, Audit_Log> log;
};

}  // namespace

TEST_F(AuditLog, TriggersAppendOneLinePerEventToAPrivateFile) {
  for (int round = 0; round < 2; ++round) {  // the second appends
    Event_Trigger done(0xABC123, "10.0.0.7", "alice", 2);
    done.bind("note", "two\nlines");
    done.bind("n", 1);
    done.bind("n", 2);  // replaces
    done.succeed();
    Event_Trigger failed(UINT64_MAX, "", "", 0);
  }
  const js::Value done(js::Object{{"code", "0xabc123"}, {"address", "10.0.0.7"},
                                  {"user", "alice"}, {"succeeded", true},
                                  {"values", js::Object{{"note", "two\nlines"}, {"n", 2}}}});
  const js::Value failed(js::Object{{"code", "0xffffffffffffffff"}, {"address", ""},
                                    {"user", ""}, {"values", js::Object{}}, {"succeeded", false}});
  // Triggers end in reverse order of making.
  EXPECT_EQ(std::vector<js::Value>({failed, done, failed, done}), events_in(path));
#ifndef _WIN32  // the permissions are POSIX's
  namespace fs = std::filesystem;  // a group read the umask allows is no matter
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(path).permissions() & ~fs::perms::group_read);
#endif
}

TEST_F(AuditLog, ConcurrentTriggersWriteWholeLines) {
  if (under_wine()) GTEST_SKIP() << "wine's appends from several threads are not atomic";
  const int threads = 8, each = 150;
  const std::string padding(6000, 'x');  // more than a page per line
  std::vector<std::thread> workers;
  for (int w = 0; w < threads; ++w)
    workers.emplace_back([&, w] {
      for (int i = 0; i < each; ++i) {
        Event_Trigger e(1, "", "", 2);
        e.bind("id", w * each + i);
        e.bind("padding", padding);
      }
    });
  for (std::thread& t : workers) t.join();
  std::set<std::int64_t> ids;
  for (const js::Value& v : events_in(path))
    ids.insert(v.get_obj().at("values").get_obj().at("id").get_int64());
  EXPECT_EQ(std::size_t{threads * each}, ids.size());
}

TEST_F(AuditLog, WithoutAFileEventsAreLoggedAndFailuresReported) {
  Audit_Log unset;
  Recording_Log ace;
  const js::Value event(js::Object{{"code", "0x5"}});
  EXPECT_TRUE(unset.append(event));  // no path yet: a log line only
  EXPECT_EQ(1u, ace.count(LM_INFO, "{\"code\":\"0x5\"}"));

  unset.set_path(dir / "no-such-dir/audit.log");
  EXPECT_FALSE(unset.append(event));
  EXPECT_EQ(1u, ace.count(LM_ERROR, "/no-such-dir/audit.log, No such file"));

  // A value JSON cannot hold is refused whole, never written in part.
  EXPECT_FALSE(log.append(js::Value(js::Object{{"v", std::nan("")}})));
  EXPECT_TRUE(log.append(event));
  EXPECT_EQ(std::vector<js::Value>{event}, events_in(path));
  EXPECT_EQ(2u, ace.count(LM_ERROR, ""));
}
