// wagent as HTTP/1.1 clients nobody here wrote see it: Python's http.client
// and curl, driven by http_standards.py, one group of its cases per test.
#include "tests/e2e/e2e.h"

namespace {

using namespace e2e;

class Http_Standards : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new wire::Wagent_Process(WAGENT_PATH);
    const std::string dir = agent_->dir();
    ASSERT_TRUE(agent_->start(
        listener(dir) + "session std-key std 0xC000000000000000\n" +
        bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
        bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler") +
        bind("rest", "/api/host/date", "_make_JSON_RESTful_Host_Date_Handler_Creator") +
        bind("rest", "/api/host/challenge",
             "_make_JSON_RESTful_Host_Challenge_Handler_Creator") +
        bind("http", "/debug/headers", "_make_HTTP_Headers_Echo_Handler_Creator")))
        << agent_->stderr_text();
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }

  // Runs one group of the script's cases; their report is the failure text.
  static void run_cases(const std::string& group) {
    const auto [status, report] = run_command(
        "WAGENT_HOST=" + agent_->host() + " WAGENT_PORT=" + std::to_string(agent_->port()) +
        " SESSION_KEY=std-key python3 " + HTTP_STANDARDS_SCRIPT + " " + group);
    EXPECT_EQ(0, status) << report;
  }

  static wire::Wagent_Process* agent_;
};

wire::Wagent_Process* Http_Standards::agent_ = nullptr;

TEST_F(Http_Standards, HeadIsGetWithoutTheBody) { run_cases("Head"); }
TEST_F(Http_Standards, ExpectContinueIsAnswered) { run_cases("Expect"); }
TEST_F(Http_Standards, Http11NeedsOneHost) { run_cases("Host"); }
TEST_F(Http_Standards, AbsoluteFormTargetsAreServed) { run_cases("AbsoluteForm"); }
TEST_F(Http_Standards, AnswersCarryTheFieldsTheyOwe) { run_cases("Fields"); }

}  // namespace
