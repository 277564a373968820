// fs.list: the params forms, directory listings (odd names included), the
// drive enumeration against a fake platform, streaming, and the
// restore-connection setting: its default by account, the service arguments,
// and a fresh default after fini.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <numeric>
#include <set>
#include <utility>
#include <vector>

#include "agent/json_io/file_info.h"
#include "agent/json_io/yajl_gen.h"
#include "agent/platform/platform.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/temp_dir.h"
#include "websvcs/common/fs/list_handler.h"
#include "websvcs/common/fs/list_options.h"

using json_spirit::Value;

namespace {

std::string quoted(const std::string& s) { return json_spirit::JSON_Dump(Value(s), false); }

class FsListTest : public Handler_Test<JSON_RPC_FS_List_Handler> {
 protected:
  FsListTest() { FS_List_Options::close(); platform.drives[L'c']; }
  ~FsListTest() override { FS_List_Options::close(); platform::clear_drives(); }

  // Sends fs.list with `params` (JSON text, "" for none); the reply, if any.
  Value list(const std::string& params, int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    send(3, "fs.list", params, type);
    return channel.get() ? rec->pop() : Value();
  }
  // Runs the handler's init with the words of `args`; the resulting flag.
  bool init(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    EXPECT_EQ(0, handler.init(static_cast<int>(argv.size()), argv.data()));
    return FS_List_Options::instance()->restore_connection;
  }
  // The reply in short: its error, else one "a|b|...;" per record listed, in
  // byte order, with those of its fields that are named below.
  static std::string summary(const Value& reply) {
    const json_spirit::Object& o = reply.get_obj();
    EXPECT_EQ(Value(3), o.at("id"));
    if (o.count("error")) return json_spirit::JSON_Dump(o.at("error"), false);
    std::set<std::string> records;
    for (const Value& v : o.at("result").get_array()) {
      std::string s;
      for (const char* key : {"drive", "label", "name", "type", "target", "name_bytes"})
        if (v.get_obj().count(key)) s += (s.empty() ? "" : "|") + v.get_obj().at(key).get_str();
      records.insert(s + ";");
    }
    return std::accumulate(records.begin(), records.end(), std::string());
  }

  Installed<Platform_API, Fake_Platform> platform;
  Temp_Dir dir;
};

}  // namespace

// On Windows the drive and account calls are the system's own, which the
// fake platform does not stand in for.
#ifdef _WIN32
#define SKIP_ON_WINDOWS() GTEST_SKIP() << "the drives here are the system's, not the fake's"
#else
#define SKIP_ON_WINDOWS() (void)0
#endif

TEST_F(FsListTest, ParamsChooseTheDrivesADirectoryOrAreRefused) {
  SKIP_ON_WINDOWS();
  const std::string file = dir.write("f", ""), path = quoted(dir.path()),
      drives = "c:\\||NTFS;", bad = R"({"code":-32602,"message":"Invalid params: )"
                                    R"(params type must be omitted, null, string or obj_type"})",
      einval = R"({"code":-32602,"message":"Invalid argument"})";
  ASSERT_TRUE(platform::set_drive('d', dir.path()));
  const std::pair<std::string, std::string> cases[] = {
      {"", drives}, {"null", drives}, {"\"\"", drives}, {"{}", drives},
      {R"({"path":7})", drives}, {path, "f|file;"}, {R"({"path":)" + path + "}", "f|file;"},
      {quoted("d:\\"), "f|file;"}, {"5", bad}, {"true", bad}, {"[]", bad}, {"1.5", bad},
      {quoted(dir / "absent"), R"({"code":-32602,"message":"No such file or directory"})"},
      {quoted(file), R"({"code":-32602,"message":"Not a directory"})"},
      {R"("/etc\u0000/../root")", einval}, {R"({"path":"\u0000"})", einval}};
  for (const auto& c : cases) EXPECT_EQ(c.second, summary(list(c.first))) << c.first;
}

TEST_F(FsListTest, EntriesDescribeFilesDirectoriesLinksAndNonUtf8Names) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links, POSIX modes and names that are not UTF-8 are POSIX's";
#else
  EXPECT_EQ("", summary(list(quoted(dir.path()))));  // empty: []
  dir.write("a.txt", "hello");
  dir.write(std::string("bad\xff\xfe.txt"), "");
  dir.write("caf\xc3\xa9", "");
  ASSERT_EQ(0, ::mkdir((dir / "sub").c_str(), 0750));
  ASSERT_EQ(0, ::symlink("a.txt", (dir / "link").c_str()));
  ASSERT_EQ(0, ::symlink("/nowhere", (dir / "dangling").c_str()));
  ASSERT_EQ(0, ::chmod((dir / "a.txt").c_str(), 0640));
  const Value reply = list(quoted(dir.path()));  // parsing it proves it is JSON
  EXPECT_EQ("a.txt|file;bad\xef\xbf\xbd\xef\xbf\xbd.txt|file|626164fffe2e747874;"
            "caf\xc3\xa9|file;dangling|symlink|/nowhere;link|symlink|a.txt;sub|directory;",
            summary(reply));  // no "." or ".."
  for (const Value& v : reply.get_obj().at("result").get_array()) {
    const json_spirit::Object& e = v.get_obj();
    if (e.at("name") != Value("a.txt")) continue;
    EXPECT_EQ(Value(5), e.at("size"));
    EXPECT_EQ(Value(0640), e.at("mode"));
    EXPECT_GT(e.at("mtime").get_int64(), 1600000000);
  }
#endif
}

// Entries are composed without the generator's help; the text must still be
// byte for byte what YAJL writes for the same values.
TEST(FileInfoJson, EntriesAreWrittenExactlyAsYajlWritesThem) {
  const auto yajl_text = [](const std::vector<Directory_Entry_T<char>>& entries) {
    YAJL_String_Printer printer;
    YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
    yajl_gen_array_open(g.get());
    for (const Directory_Entry_T<char>& e : entries) {
      yajl_gen_map_open(g.get());
      yajl_gen_text(g.get(), "name");
      yajl_gen_text(g.get(), e.name);
      yajl_gen_text(g.get(), "type");
      yajl_gen_text(g.get(), S_ISDIR(e.mode) ? "directory" : S_ISLNK(e.mode) ? "symlink" : "file");
      if (e.has_stat) {
        yajl_gen_text(g.get(), "size");
        yajl_gen_whole(g.get(), e.size);
        yajl_gen_text(g.get(), "mode");
        yajl_gen_whole(g.get(), e.mode & 07777);
        yajl_gen_text(g.get(), "mtime");
        yajl_gen_whole(g.get(), e.mtime);
      }
      if (S_ISLNK(e.mode) && e.has_stat) {
        yajl_gen_text(g.get(), "target");
        yajl_gen_text(g.get(), e.target);
      }
      yajl_gen_map_close(g.get());
    }
    yajl_gen_array_close(g.get());
    return printer.text;
  };
  const auto our_text = [](const std::vector<Directory_Entry_T<char>>& entries) {
    YAJL_String_Printer printer;
    YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
    yajl_gen_array_open(g.get());
    for (const Directory_Entry_T<char>& e : entries) file_info_to_json(g.get(), e, 0);
    yajl_gen_array_close(g.get());
    return printer.text;
  };
  std::string every_control;
  for (char c = 1; c < 0x20; ++c) every_control += c;
  std::vector<Directory_Entry_T<char>> entries(4);
  entries[0].name = "plain.txt";
  entries[0].mode = S_IFREG | 0644;
  entries[0].has_stat = true;
  entries[0].size = 18446744073709551615ull;
  entries[0].mtime = -1;
  entries[1].name = "q\"b\\s/l\x7f caf\xc3\xa9 " + every_control;
  entries[1].mode = S_IFDIR;
  entries[2].name = "link";
  entries[2].mode = S_IFLNK | 0777;
  entries[2].has_stat = true;
  entries[2].target = "../\t\"x\"";
  entries[3].name = "";
  entries[3].mode = S_IFREG;
  EXPECT_EQ(yajl_text(entries), our_text(entries));
}

// That a large listing goes out in pieces is seen end to end; here, that it
// stops when the requester goes: before, early on, and halfway, when entries
// are read ahead on another thread. A notify gets nothing either.
TEST_F(FsListTest, ListingsStopWhenTheRequesterGoesAndNotifiesGetNothing) {
  for (int i = 0; i < 2000; ++i) dir.write("file-" + std::to_string(i), "");  // 9 pieces
  for (std::size_t stop_after : {1, 4}) {
    channel = Recording_Channel::make(&rec);
    rec->fail_writes_after(stop_after);
    list(quoted(dir.path()));
    EXPECT_EQ(0u, rec->count_sent());
    EXPECT_LT(rec->write_attempts(), stop_after + 2);
  }
  EXPECT_TRUE(list("", JSON_RPC_Object::JSON_RPC_NOTIFY).is_null());
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC request!"));
  channel = JSON_RPC_Channel_Ptr();
  list("");
  EXPECT_TRUE(log.has(LM_ERROR, "Abort handling JSON-RPC request, requester has gone.\n"));
}

TEST_F(FsListTest, DriveRecordsSkipFloppiesAndDrivesWithoutFreeSpace) {
  SKIP_ON_WINDOWS();
  platform.drives[L'a'];
  platform.drives[L'b'];
  platform.drives[L'c'].label = L"Syst\u00e8me \xD83D\xDE00";  // a surrogate pair
  platform.drives[L'c'].total_clusters = 4000000;  // 4000000 * 4096 > 4 GiB
  platform.drives[L'd'].free_ok = false;
  platform.drives[L'e'].type = DRIVE_REMOTE;
  platform.drives[L'e'].fs_name = L"nfs4";
  const Value reply = list("");
  EXPECT_EQ(R"([{"drive":"c:\\","drive_type":"fixed","free":4096000,"label":"Syst)"
            "\xc3\xa8me \xf0\x9f\x98\x80"
            R"(","total":16384000000,"type":"NTFS"},{"drive":"e:\\","drive_type":"remote",)"
            R"("free":4096000,"label":"","total":16384000,"type":"nfs4"}])",
            json_spirit::JSON_Dump(reply.get_obj().at("result"), false));
  for (const std::string& call : platform.calls())
    EXPECT_TRUE(call.back() != 'a' && call.back() != 'b') << call;
  EXPECT_EQ(1u, platform.count("volume c"));
  EXPECT_EQ(1u, platform.count("volume z"));
}

TEST_F(FsListTest, RestoreIsTriedOnlyWhenOnAndLoggedOnlyWhenTheRetryFails) {
  SKIP_ON_WINDOWS();
  auto& refused = platform.drives[L'e'];  // restore answers false
  refused.volume_ok = false;
  auto& recovered = platform.drives[L'f'];  // restored, then readable
  recovered.volume_ok = false;
  recovered.restore_result = recovered.volume_ok_after_restore = true;
  recovered.label = L"Share";
  auto& still_failing = platform.drives[L'g'];  // restored, retry fails
  still_failing.volume_ok = false;
  still_failing.restore_result = true;

  // Off: such drives are listed without label or type.
  FS_List_Options::instance()->restore_connection = false;
  EXPECT_EQ("c:\\||NTFS;e:\\||;f:\\||;g:\\||;", summary(list("")));
  EXPECT_EQ(0u, platform.count("restore e") + platform.count("restore f") +
                    platform.count("restore g"));
  EXPECT_EQ(0u, log.count(LM_WARNING, "volume info"));
  // On: a drive not restored is left out.
  FS_List_Options::instance()->restore_connection = true;
  EXPECT_EQ("c:\\||NTFS;f:\\|Share|NTFS;g:\\||;", summary(list("")));
  EXPECT_EQ(1u, platform.count("restore e"));
  EXPECT_EQ(0u, platform.count("restore c"));
  EXPECT_EQ(1u, platform.count("type e"));  // from the first listing only
  EXPECT_EQ(3u, platform.count("volume g"));  // once, then twice
  EXPECT_TRUE(log.has(LM_WARNING,
                      "Failed to get g:\\ volume info, errno=2, No such file or directory\n"));
  EXPECT_EQ(1u, log.count(LM_WARNING, "volume info"));
}

TEST_F(FsListTest, DefaultByAccountArgumentsOverrideUnknownOnesAreSkipped) {
  SKIP_ON_WINDOWS();
  const struct {
    const wchar_t* user;  // null: the account cannot be read
    std::vector<std::string> args;
    bool on, unknown;
  } cases[] = {
      {L"SyStEm", {}, false, false}, {L"alice", {}, true, false},
      {nullptr, {}, true, false},  // counts as a named user
      {L"alice", {"--restore-connection", "0"}, false, false},
      {L"system", {"-r", "1"}, true, false}, {L"system", {"-x"}, false, true},
      {L"alice", {"-r", "words"}, false, false},  // not a number counts as 0
      {L"system", {"extra", "-r", "7"}, true, false},  // may follow other words
      {L"alice", {"-r"}, true, true},  // missing argument: value unchanged
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    FS_List_Options::close();
    Recording_Log log;  // this case's lines only
    platform.user_ok = c.user != nullptr;
    platform.user = c.user ? c.user : L"";
    EXPECT_EQ(c.on, init(c.args));
    EXPECT_EQ(c.on, log.has(LM_DEBUG, "Enabled to restore Windows connections for drives.\n"));
    EXPECT_EQ(c.unknown ? 1u : 0u, log.count(LM_DEBUG, "Unknown FS_List_Options ?\n"));
  }
}

TEST_F(FsListTest, FiniDestroysAndTheNextUseStartsFromTheDefault) {
  SKIP_ON_WINDOWS();
  platform.user = L"system";
  EXPECT_TRUE(init({"-r", "1"}));
  EXPECT_EQ(0, handler.fini());
  EXPECT_EQ(0, handler.fini());  // a creator-style second fini is harmless
  EXPECT_FALSE(FS_List_Options::instance()->restore_connection);
  EXPECT_EQ(2u, platform.count("user"));
}

// Pages: every entry once across them, however the pages fall (on the
// read-ahead's first hand-over at 128, exactly at the end), and only the
// last without a cursor. No limit nor cursor: the plain answer.
TEST_F(FsListTest, PagesHandOutEveryEntryOnceAndOnlyTheLastHasNoCursor) {
  const int files = 300;
  for (int i = 0; i < files; ++i) dir.write("file-" + std::to_string(i), "");
  const std::string path = quoted(dir.path());
  EXPECT_EQ(json_spirit::array_type,
            list(R"({"path":)" + path + R"(,"cursor":null})").get_obj().at("result").type());
  for (int limit : {7, 128, 150, files}) {
    SCOPED_TRACE(limit);
    std::multiset<std::string> names;
    std::string cursor;
    int pages = 0;
    for (bool partial = true; partial && pages <= files; ++pages) {
      const Value reply = list(R"({"path":)" + path + R"(,"limit":)" + std::to_string(limit) +
                               (cursor.empty() ? "" : R"(,"cursor":)" + quoted(std::as_const(cursor))) + "}");
      const json_spirit::Object& result = reply.get_obj().at("result").get_obj();
      const json_spirit::Array& entries = result.at("entries").get_array();
      EXPECT_LE(entries.size(), std::size_t(limit));
      for (const Value& e : entries) names.insert(e.get_obj().at("name").get_str());
      partial = result.at("partial").get_bool();
      EXPECT_EQ(partial, result.count("cursor") == 1);
      if (partial) cursor = result.at("cursor").get_str();
    }
    EXPECT_EQ((files + limit - 1) / limit, pages);  // a full last page says it is the last
    EXPECT_EQ(std::size_t(files), std::set<std::string>(names.begin(), names.end()).size());
    EXPECT_EQ(std::size_t(files), names.size());
  }
}

TEST_F(FsListTest, BadLimitsAndCursorsAreRefusedAndChangeNothing) {
  SKIP_ON_WINDOWS();
  for (int i = 0; i < 5; ++i) dir.write("f" + std::to_string(i), "");
  Temp_Dir other;
  const std::string path = quoted(dir.path());
  const auto page = [&](const std::string& members) {
    return list(R"({"path":)" + path + members + "}");
  };
  const std::string limit_error =
      R"({"code":-32602,"message":"Invalid params: limit must be a whole number from 1 to 100000"})",
      cursor_error = R"({"code":-32602,"message":"Invalid cursor."})";
  for (const char* limit : {"0", "-1", "100001", "1.5", "1e3", "\"10\"", "true", "[]",
                            "18446744073709551615"})
    EXPECT_EQ(limit_error, summary(page(std::string(R"(,"limit":)") + limit))) << limit;

  const Value first = page(R"(,"limit":2)");
  const std::string cursor = first.get_obj().at("result").get_obj().at("cursor").get_str();
  std::string altered = cursor;
  altered[altered.size() / 2] = altered[altered.size() / 2] == 'A' ? 'B' : 'A';
  for (const std::string& members : std::vector<std::string>{
           R"(,"cursor":7)", R"(,"cursor":"")", R"(,"cursor":"not a cursor")",
        R"(,"cursor":)" + quoted(std::as_const(altered)), R"(,"cursor":)" + quoted(cursor + "A")})
    EXPECT_EQ(cursor_error, summary(page(members))) << members;
  // Another path, or the drive list: the cursor is bound to its listing.
  EXPECT_EQ(cursor_error, summary(list(R"({"path":)" + quoted(other.path()) +
                                       R"(,"cursor":)" + quoted(std::as_const(cursor)) + "}")));
  EXPECT_EQ(cursor_error, summary(list(R"({"cursor":)" + quoted(std::as_const(cursor)) + "}")));
  // Still good after all that; then the directory changes under it, and
  // the reader kept open for the next page sees it as a fresh one would.
  const json_spirit::Object again =
      page(R"(,"limit":2,"cursor":)" + quoted(std::as_const(cursor))).get_obj().at("result").get_obj();
  EXPECT_EQ(2u, again.at("entries").get_array().size());
  const std::string next = again.at("cursor").get_str();
  dir.write("new", "");
  EXPECT_EQ(cursor_error, summary(page(R"(,"cursor":)" + quoted(std::as_const(next)))));
  EXPECT_EQ(cursor_error, summary(page(R"(,"cursor":)" + quoted(std::as_const(cursor)))));
  // The path's own checks come first, as without a cursor.
  EXPECT_EQ(R"({"code":-32602,"message":"No such file or directory"})",
            summary(list(R"({"path":)" + quoted(dir / "absent") + R"(,"limit":1})")));
}

TEST_F(FsListTest, TheDriveListPagesByLetter) {
  SKIP_ON_WINDOWS();
  platform.drives[L'd'].free_ok = false;  // no record, still a letter passed
  platform.drives[L'e'];
  platform.drives[L'f'];
  const auto page = [&](const std::string& params) {
    return list(params).get_obj().at("result").get_obj();
  };
  const auto drives = [](const json_spirit::Object& result) {
    std::string s;
    for (const Value& v : result.at("entries").get_array()) s += v.get_obj().at("drive").get_str();
    return s;
  };
  json_spirit::Object result = page(R"({"limit":2})");
  EXPECT_EQ("c:\\e:\\", drives(result));
  ASSERT_TRUE(result.at("partial").get_bool());
  result = page(R"({"limit":2,"cursor":)" + quoted(result.at("cursor").get_str()) + "}");
  EXPECT_EQ("f:\\", drives(result));
  EXPECT_FALSE(result.at("partial").get_bool());
  EXPECT_EQ(0u, result.count("cursor"));
}
