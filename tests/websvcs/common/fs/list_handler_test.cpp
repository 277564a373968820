// fs.list: the params forms, directory listings (odd names included), the
// drive enumeration against a fake platform, and streaming.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "agent/mdrt/service_instance.h"
#include "agent/platform/platform.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "websvcs/common/fs/list_handler.h"
#include "websvcs/common/fs/list_options.h"

using json_spirit::Value;

namespace {

const char* const BAD_PARAMS =
    "Invalid params: params type must be omitted, null, string or obj_type";

class FsListTest : public ::testing::Test {
 protected:
  FsListTest() : installed(&platform) {
    FS_List_Options::close();
    channel = Recording_Channel::make(&rec);
    platform.drives[L'c'].label = L"System";
  }
  ~FsListTest() override {
    FS_List_Options::close();
    platform::clear_drives();
  }

  // Sends fs.list with `params` (JSON text, "" for none); the reply.
  Value list(const std::string& params, int* result = nullptr) {
    JSON_RPC_Request* r = new JSON_RPC_Request;
    r->id = 3;
    r->method = "fs.list";
    if (!params.empty()) {
      EXPECT_TRUE(json_spirit::read(params, r->params));
    }
    int n = handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                  JSON_RPC_Object_Ptr(r));
    if (result) *result = n;
    return rec->pop();
  }
  static std::string quoted(const std::string& s) {
    return json_spirit::JSON_Dump(Value(s), false);
  }
  static const json_spirit::Array& result_of(const Value& reply) {
    return reply.get_obj().at("result").get_array();
  }
  // The entry named `name` in a listing.
  static const json_spirit::Object* entry(const Value& reply,
                                          const std::string& name) {
    for (const Value& e : result_of(reply))
      if (e.get_obj().at("name") == Value(name)) return &e.get_obj();
    return nullptr;
  }

  Fake_Platform platform;
  Scoped_Instance_T<Platform_API> installed;
  JSON_RPC_FS_List_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel;
  Temp_Dir dir;
};

}  // namespace

TEST_F(FsListTest, ParamsWithoutAPathListTheDrives) {
  for (const char* params : {"", "null", "\"\"", "{}", R"({"path":7})"}) {
    Value reply = list(params);
    ASSERT_EQ(1u, result_of(reply).size()) << params;
    EXPECT_EQ(Value("c:\\"), result_of(reply)[0].get_obj().at("drive"));
    EXPECT_EQ(Value(3), reply.get_obj().at("id"));
  }
}

TEST_F(FsListTest, ParamsOfOtherKindsAreRefused) {
  for (const char* params : {"5", "true", "[]", "1.5"}) {
    Value reply = list(params);
    const auto& error = reply.get_obj().at("error").get_obj();
    EXPECT_EQ(Value(-32602), error.at("code")) << params;
    EXPECT_EQ(Value(BAD_PARAMS), error.at("message"));
  }
}

TEST_F(FsListTest, MissingDirectoryGivesTheSystemTextAndMinusOne) {
  int result = 0;
  Value reply = list(quoted(dir / "absent"), &result);
  EXPECT_EQ(-1, result);
  const auto& error = reply.get_obj().at("error").get_obj();
  EXPECT_EQ(Value(-32602), error.at("code"));
  EXPECT_EQ(Value("No such file or directory"), error.at("message"));
  EXPECT_EQ(Value(3), reply.get_obj().at("id"));

  reply = list(quoted(dir.write("plain", "x")));
  EXPECT_EQ(Value("Not a directory"),
            reply.get_obj().at("error").get_obj().at("message"));
}

TEST_F(FsListTest, EmptyDirectoryIsAnEmptyArray) {
  EXPECT_EQ(Value(json_spirit::Array()),
            list(R"({"path":)" + quoted(dir.path()) + "}").get_obj().at("result"));
}

TEST_F(FsListTest, EntriesDescribeFilesDirectoriesAndLinks) {
  dir.write("a.txt", "hello");
  ASSERT_EQ(0, ::mkdir((dir / "sub").c_str(), 0750));
  ASSERT_EQ(0, ::symlink("a.txt", (dir / "link").c_str()));
  ASSERT_EQ(0, ::symlink("/nowhere", (dir / "dangling").c_str()));
  ASSERT_EQ(0, ::chmod((dir / "a.txt").c_str(), 0640));

  Value reply = list(quoted(dir.path()));
  EXPECT_EQ(4u, result_of(reply).size());  // no "." or ".."

  const auto* file = entry(reply, "a.txt");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(Value("file"), file->at("type"));
  EXPECT_EQ(Value(5), file->at("size"));
  EXPECT_EQ(Value(0640), file->at("mode"));
  EXPECT_GT(file->at("mtime").get_int64(), 1600000000);

  EXPECT_EQ(Value("directory"), entry(reply, "sub")->at("type"));
  EXPECT_EQ(Value("symlink"), entry(reply, "link")->at("type"));
  EXPECT_EQ(Value("a.txt"), entry(reply, "link")->at("target"));
  EXPECT_EQ(Value("/nowhere"), entry(reply, "dangling")->at("target"));
  EXPECT_EQ(0u, file->count("target"));
}

TEST_F(FsListTest, NamesThatAreNotUtf8AreListedLosslessly) {
  dir.write(std::string("bad\xff\xfe.txt"), "");
  dir.write("caf\xc3\xa9", "");
  Value reply = list(quoted(dir.path()));  // parsing it proves it is JSON
  ASSERT_EQ(2u, result_of(reply).size());
  const auto* bad = entry(reply, "bad\xef\xbf\xbd\xef\xbf\xbd.txt");
  ASSERT_NE(nullptr, bad);
  EXPECT_EQ(Value("626164fffe2e747874"), bad->at("name_bytes"));
  const auto* good = entry(reply, "caf\xc3\xa9");
  ASSERT_NE(nullptr, good);
  EXPECT_EQ(0u, good->count("name_bytes"));
}

TEST_F(FsListTest, DrivePathsAreReadThroughTheDriveTable) {
  dir.write("inside", "");
  ASSERT_TRUE(platform::set_drive('d', dir.path()));
  Value reply = list(quoted("d:\\"));
  ASSERT_EQ(1u, result_of(reply).size());
  EXPECT_EQ(Value("inside"), result_of(reply)[0].get_obj().at("name"));
}

TEST_F(FsListTest, LargeDirectoriesStreamOutInPieces) {
  for (int i = 0; i < 2000; ++i) dir.write("file-" + std::to_string(i), "");
  Value reply = list(quoted(dir.path()));
  EXPECT_EQ(2000u, result_of(reply).size());
  EXPECT_GT(rec->last_piece_count(), 1000u);
}

TEST_F(FsListTest, ARequesterGoneMidListingStopsTheWalk) {
  for (int i = 0; i < 2000; ++i) dir.write("file-" + std::to_string(i), "");
  rec->fail_writes_after(10);
  JSON_RPC_Request* r = new JSON_RPC_Request;
  r->method = "fs.list";
  r->params = dir.path();
  EXPECT_EQ(-1, handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                      JSON_RPC_Object_Ptr(r)));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_LT(rec->write_attempts(), 20u);
}

TEST_F(FsListTest, DriveRecordsCarryTypeLabelAndSizes) {
  // Labels travel as UTF-16: the emoji is a surrogate pair.
  platform.drives[L'c'].label = L"Syst\u00e8me \xD83D\xDE00";
  platform.drives[L'c'].total_clusters = 4000000;  // 4000000 * 4096 > 4 GiB
  platform.drives[L'e'].type = DRIVE_REMOTE;
  platform.drives[L'e'].fs_name = L"nfs4";
  Value reply = list("");
  ASSERT_EQ(2u, result_of(reply).size());
  Value c;
  json_spirit::read(
      R"({"drive":"c:\\","drive_type":"fixed","label":"Syst\u00e8me \ud83d\ude00",
          "type":"NTFS","free":4096000,"total":16384000000})",
      c);
  EXPECT_EQ(c, result_of(reply)[0]);
  EXPECT_EQ(Value("remote"), result_of(reply)[1].get_obj().at("drive_type"));
  EXPECT_EQ(Value("nfs4"), result_of(reply)[1].get_obj().at("type"));
}

TEST_F(FsListTest, FloppyLettersAreNeverExamined) {
  platform.drives[L'a'];
  platform.drives[L'b'];
  list("");
  for (const std::string& call : platform.calls())
    EXPECT_TRUE(call.back() != 'a' && call.back() != 'b') << call;
  EXPECT_EQ(1u, platform.count("volume c"));
  EXPECT_EQ(1u, platform.count("volume z"));
}

TEST_F(FsListTest, DriveWhoseFreeSpaceFailsIsLeftOut) {
  platform.drives[L'd'].free_ok = false;
  Value reply = list("");
  ASSERT_EQ(1u, result_of(reply).size());
  EXPECT_EQ(Value("c:\\"), result_of(reply)[0].get_obj().at("drive"));
}

TEST_F(FsListTest, VolumeFailureWithoutRestoreKeepsTheDriveUnnamed) {
  char arg0[] = "-r", arg1[] = "0";
  char* argv[] = {arg0, arg1};
  handler.init(2, argv);
  platform.drives[L'g'].volume_ok = false;
  Recording_Log log;
  Value reply = list("");
  ASSERT_EQ(2u, result_of(reply).size());
  const auto& g = result_of(reply)[1].get_obj();
  EXPECT_EQ(Value("g:\\"), g.at("drive"));
  EXPECT_EQ(Value(""), g.at("label"));
  EXPECT_EQ(Value(""), g.at("type"));
  EXPECT_EQ(0u, platform.count("restore g"));
  EXPECT_EQ(0u, log.count(LM_WARNING, "volume info"));
}

TEST_F(FsListTest, RestoreIsTriedOnlyWhenOnAndLoggedOnlyWhenTheRetryFails) {
  char arg0[] = "--restore-connection", arg1[] = "1";
  char* argv[] = {arg0, arg1};
  handler.init(2, argv);
  auto& refused = platform.drives[L'e'];  // restore answers false: left out
  refused.volume_ok = false;
  auto& recovered = platform.drives[L'f'];  // restored, then readable
  recovered.volume_ok = false;
  recovered.restore_result = true;
  recovered.volume_ok_after_restore = true;
  recovered.label = L"Share";
  auto& still_failing = platform.drives[L'g'];  // restored, retry fails
  still_failing.volume_ok = false;
  still_failing.restore_result = true;

  Recording_Log log;
  Value reply = list("");
  std::vector<std::string> listed;
  for (const Value& d : result_of(reply))
    listed.push_back(d.get_obj().at("drive").get_str());
  EXPECT_EQ((std::vector<std::string>{"c:\\", "f:\\", "g:\\"}), listed);
  EXPECT_EQ(Value("Share"), result_of(reply)[1].get_obj().at("label"));
  EXPECT_EQ(1u, platform.count("restore e"));
  EXPECT_EQ(0u, platform.count("restore c"));
  EXPECT_EQ(0u, platform.count("type e"));
  EXPECT_EQ(2u, platform.count("volume g"));
  EXPECT_TRUE(log.has(LM_WARNING,
                      "Failed to get g:\\ volume info, errno=2, No such file or directory\n"));
  EXPECT_EQ(1u, log.count(LM_WARNING, "volume info"));
}

TEST_F(FsListTest, NotifyAndGoneRequesterSendNothing) {
  Recording_Log log;
  JSON_RPC_Request* n = new JSON_RPC_Request(JSON_RPC_Object::JSON_RPC_NOTIFY);
  n->method = "fs.list";
  EXPECT_EQ(-1, handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                      JSON_RPC_Object_Ptr(n)));
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC request!"));
  EXPECT_EQ(0u, rec->count_sent());

  JSON_RPC_Channel_WPtr weak(channel);
  channel = JSON_RPC_Channel_Ptr();
  EXPECT_EQ(-1, handler.handle_object(weak, JSON_RPC_Object_Ptr(new JSON_RPC_Request)));
  EXPECT_TRUE(log.has(LM_ERROR, "Abort handling JSON-RPC request, requester has gone.\n"));
}
