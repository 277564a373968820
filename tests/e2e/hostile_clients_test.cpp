// wagent against local clients that misbehave: clients that never read,
// flood the workers, send what HTTP does not allow, hold hundreds of idle
// or trickling connections or exhaust descriptors, and a stop while all of
// that, commands and uploads are going on.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "tests/e2e/e2e.h"
#include "tests/fakes/temp_dir.h"

namespace {

using namespace e2e;

// Acting methods (system.execute, log.upload) need the admin bits even
// when every method is open.
const char admin_session[] = "session root-key root 0xC000000000000000\n";
const wire::Header_List as_admin = {{"X-Session-Key", "root-key"}};

std::string config(const std::string& dir, const std::string& extra = "") {
  return listener(dir) + "set jsonrpc.open *\n" + admin_session + extra +
         bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
         bind("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler") +
         bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler") +
         bind("jsonrpc", "system.execute", "_make_JSON_RPC_System_Execute_Handler") +
         bind("jsonrpc", "log.upload", "_make_JSON_RPC_Log_Upload_Handler");
}

// Fills `dir` until its listing is megabytes long: far more than the socket
// buffers and the host's reply queue hold for a client that does not read.
// Answers the fs.list params that name it.
std::string fill_big(const Temp_Dir& dir) {
  for (int i = 0; i < 16000; ++i) dir.write(std::to_string(i) + std::string(240, 'n'), "");
  return "\"" + dir.path() + "\"";
}

// How many of `fds` the host has closed (end of stream or reset), waiting
// up to `limit` for all of them; a 408 or the like may come before a close.
std::size_t closed_by_host(const std::vector<int>& fds, std::chrono::milliseconds limit) {
  using namespace std::chrono;
  const auto end = steady_clock::now() + limit;
  std::size_t count = 0;
  for (int fd : fds)
    count += read_until_closed(fd, duration_cast<milliseconds>(end - steady_clock::now()))
                 .find("<closed>") != std::string::npos;
  return count;
}

bool answers_host_info(const wire::Wagent_Process& agent) {
  wire::Wire_Client c(agent.host(), agent.port(), std::chrono::seconds(5));
  wire::Http_Response r = c.request("POST", "/jsonrpc", call(1, "host.info"));
  return r.ok && r.status == 200 && code_of(r.body) == 0;
}

// Clients that never read and calls that outlast the stop's grace: others
// are still answered, and every stop still ends cleanly.
TEST(Hostile_Clients, ClientsThatNeverReadDelayNobodyAndStopWithWorkInFlightEnds) {
  Temp_Dir big;
  const std::string folder = fill_big(big);
  for (int run = 0; run < 4; ++run) {
    wire::Wagent_Process agent(WAGENT_PATH);
    ASSERT_TRUE(agent.start(config(agent.dir(), "set stop.timeout 1\n"))) << agent.stderr_text();
    std::vector<std::unique_ptr<wire::Wire_Client>> stalled;
    for (int i = 0; i < 16; ++i) {
      const std::string work = i % 3 ? call(i, "fs.list", folder) : call(i, "host.test", "100000");
      stalled.emplace_back(new wire::Wire_Client(agent.host(), agent.port()));
      ASSERT_TRUE(stalled.back()->ws_connect("/jsonrpc"));
      ASSERT_TRUE(stalled.back()->ws_send(work));
      ASSERT_TRUE(stalled.back()->ws_send(call(i, "fs.list", folder)));
      stalled.emplace_back(new wire::Wire_Client(agent.host(), agent.port()));
      ASSERT_TRUE(stalled.back()->send_request("POST", "/jsonrpc", work));
    }
    // Every listing (one per WebSocket, two of three over HTTP) waits
    // for its client.
    EXPECT_TRUE(eventually([&] { return host_ends(agent.port(), true) >= 26; },
                           std::chrono::seconds(30)))
        << host_ends(agent.port(), true) << " replies wait";
    EXPECT_TRUE(answers_host_info(agent));
    wire::Wire_Client ws(agent.host(), agent.port(), std::chrono::seconds(5));
    ASSERT_TRUE(ws.ws_connect("/jsonrpc"));
    ASSERT_TRUE(ws.ws_send(call(7, "host.info")));
    EXPECT_EQ(0, code_of(ws.ws_receive(std::chrono::seconds(5)).value_or("")));
    EXPECT_EQ(0, agent.stop(SIGTERM, std::chrono::seconds(15))) << agent.stderr_text();
    EXPECT_EQ(std::string::npos, agent.stderr_text().find("Sanitizer")) << agent.stderr_text();
  }
}

// A command and an upload that outlast the stop's grace: the host leaves
// them running and ends at once, cleanly.
TEST(Hostile_Clients, ACommandAndAnUploadOutlastingTheGraceDoNotHoldTheStop) {
  Silent_Server hung;
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir(), "set stop.timeout 1\n")));
  wire::Wire_Client command(agent.host(), agent.port()), upload(agent.host(), agent.port());
  ASSERT_TRUE(command.send_request("POST", "/jsonrpc",
                                   call(9, "system.execute", R"({"cmd":"sleep 4"})"), as_admin));
  ASSERT_TRUE(upload.send_request(
      "POST", "/jsonrpc",
      R"({"jsonrpc":"2.0","method":"log.upload","params":{"task_id":"T","type":"agent",)"
      R"("private_storage":{"url":"http://127.0.0.1:)" +
          std::to_string(hung.port) + R"(/"}}})",
      as_admin));
  EXPECT_TRUE(agent.wait_for_stderr("Execute 'sleep 4'", std::chrono::seconds(5)));
  pollfd reached{hung.fd, POLLIN, 0};  // the upload's connection waits to be accepted
  EXPECT_EQ(1, ::poll(&reached, 1, 10000));
  EXPECT_EQ(0, agent.stop(SIGTERM, std::chrono::seconds(15))) << agent.stderr_text();
  EXPECT_NE(std::string::npos, agent.stderr_text().find("for 1 detached workers"))
      << agent.stderr_text();
  EXPECT_NE(std::string::npos, agent.stderr_text().find("leaving without stopping the services"))
      << agent.stderr_text();
}

// Hundreds of connections that send nothing or a byte at a time hold no
// worker and no lane: a normal client is answered while they are all still
// open, and each is cut once http.timeout has passed.
TEST(Hostile_Clients, IdleAndTricklingConnectionsDelayNobodyAndAreCut) {
  // Room for 500 connections on both sides, whatever the shell's soft limit.
  rlimit files;
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 2048));
  ::setrlimit(RLIMIT_NOFILE, &files);
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir(), "set http.timeout 4\n")));
  std::vector<int> idle, trickling;
  for (int i = 0; i < 500; ++i) {
    const int fd = connect_to(agent.port());
    ASSERT_GE(fd, 0) << i;
    (i % 2 ? idle : trickling).push_back(fd);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string request =
        "POST /jsonrpc HTTP/1.1\r\nHost: x\r\nContent-Length: 99\r\n\r\n";
    for (std::size_t at = 0; !done; at = (at + 1) % request.size()) {
      for (int fd : trickling) ::send(fd, &request[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(answers_host_info(agent)) << i;
  EXPECT_EQ(0u, closed_by_host(idle, std::chrono::milliseconds(0)))
      << "the answers came only after the host had cut the others";
  EXPECT_EQ(idle.size(), closed_by_host(idle, std::chrono::seconds(15)));
  EXPECT_EQ(trickling.size(), closed_by_host(trickling, std::chrono::seconds(5)));
  done = true;
  trickle.join();
  for (int fd : idle) ::close(fd);
  for (int fd : trickling) ::close(fd);
  EXPECT_TRUE(answers_host_info(agent));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

TEST(Hostile_Clients, RequestsThatCannotBeDelimitedAreRefusedAndClosed) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir())));
  // Read as a request without body, the "body" would be taken for the next
  // request: refused instead, and the connection closed behind it.
  std::string smuggled = raw_exchange(
      agent.port(), "POST /jsonrpc HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n" +
                 std::string("GET /debug/headers HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(0u, smuggled.find("HTTP/1.1 501")) << smuggled;
  EXPECT_EQ(std::string::npos, smuggled.find("HTTP/1.1 404")) << smuggled;
  std::string garbled = raw_exchange(agent.port(), "POST /jsonrpc HTTP/1.1\r\nHost x\r\n\r\n");
  EXPECT_EQ(0u, garbled.find("HTTP/1.1 400")) << garbled;
  EXPECT_TRUE(answers_host_info(agent));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

TEST(Hostile_Clients, AFullWorkerQueueAnswersBusyAtOnce) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(
      config(agent.dir(), "set jsonrpc.workers 1\nset jsonrpc.queue 2\n"
                          "set stop.timeout 1\n")));
  // One worker busy, two waiting: among six long requests some are refused,
  // with their own ids, at once.
  wire::Wire_Client ws(agent.host(), agent.port());
  ASSERT_TRUE(ws.ws_connect("/jsonrpc"));
  for (int id = 1; id <= 6; ++id) ws.ws_send(call(id, "host.test", "30"));
  auto reply = ws.ws_receive(std::chrono::seconds(5));
  ASSERT_TRUE(reply);
  EXPECT_NE(std::string::npos, reply->find("{\"code\":-32603,\"message\":\"Busy"))
      << *reply;
  EXPECT_EQ(std::string::npos, reply->find("\"id\":1,")) << *reply;
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

TEST(Hostile_Clients, OutOfDescriptorsTheHostWaitsAndServesItsConnections) {
  wire::Wagent_Process agent(WAGENT_PATH);
  rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 48;  // inherited by the host, restored here at once
  ::setrlimit(RLIMIT_NOFILE, &low);
  bool started = agent.start(config(agent.dir(), "session k1 alice 0x1\n"));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(started) << agent.stderr_text();

  wire::Wire_Client kept(agent.host(), agent.port());
  ASSERT_EQ(200, kept.request("POST", "/jsonrpc", call(1, "host.info")).status);
  std::vector<std::unique_ptr<wire::Wire_Client>> hogs;
  // Each hog has a session, is answered and stays, so none can be shut to
  // make room (those without a session could not fill the cap at all):
  // past the cap the host has to wait.
  for (int i = 0; i < 30; ++i) {
    hogs.emplace_back(
        new wire::Wire_Client(agent.host(), agent.port(), std::chrono::milliseconds(200)));
    hogs.back()->request("GET", "/none", "", {{"X-Session-Key", "k1"}});
  }
  ASSERT_TRUE(agent.wait_for_stderr("accept paused", std::chrono::seconds(5)));
  EXPECT_EQ(200, kept.request("POST", "/jsonrpc", call(2, "host.info")).status);

  // Once the hogs are gone, newcomers are accepted again.
  hogs.clear();
  EXPECT_TRUE(eventually([&] { return answers_host_info(agent); }));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

// Threads or open descriptors of a process ("Threads" or "fd").
long proc_count(pid_t pid, const std::string& what) {
  const std::string base = "/proc/" + std::to_string(pid);
  if (what == "fd") {
    long n = 0;
    if (DIR* d = ::opendir((base + "/fd").c_str())) {
      while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
      ::closedir(d);
    }
    return n;
  }
  const std::string status = read_file(base + "/status");
  const std::size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 8);
}

// Descriptors of `agent` once each of its lanes has served a connection
// (a lane makes its poller on first use) and those connections are closed;
// the caller keeps `kept` others open.
long settled_descriptors(const wire::Wagent_Process& agent, std::size_t kept) {
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(answers_host_info(agent));
  EXPECT_TRUE(eventually([&] { return host_ends(agent.port(), false) <= kept; }));
  return proc_count(agent.pid(), "fd");
}

// Keyed readers on a narrow link that ask for a listing of about a megabyte
// (`readers` of them, every other one over WebSocket) and read nothing yet:
// most of each listing has to wait in the host.
struct Slow_Readers {
  static constexpr int entries = 3000;
  static constexpr const char* key = "slow-key";
  static std::string config(const std::string& dir, const std::string& extra) {
    return listener(dir) + extra + "set jsonrpc.open host.info\n" + "session " + key +
           " admin 0xC000000000000000\n" +
           bind("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
           bind("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler");
  }

  Slow_Readers(const wire::Wagent_Process& agent, int readers) {
    for (int i = 0; i < entries; ++i) folder.write(std::to_string(i) + std::string(200, 'w'), "");
    for (int i = 0; i < readers; ++i) {
      clients.emplace_back(new wire::Wire_Client(agent.host(), agent.port(), std::chrono::seconds(60)));
      wire::Wire_Client& c = *clients.back();
      c.set_slow_link(4096, 1024);  // so that little of a reply fits in kernel buffers
      const std::string text = call(i, "fs.list", "\"" + folder.path() + "\"");
      if (i % 2) {
        EXPECT_TRUE(c.ws_connect(std::string("/jsonrpc?session=") + key) && c.ws_send(text))
            << c.last_error();
      } else {
        EXPECT_TRUE(c.send_request("POST", "/jsonrpc", text, {{"X-Session-Key", key}}))
            << c.last_error();
      }
    }
  }

  // Reads reader i's reply; empty when none came whole, and then `why`
  // says what came instead.
  std::string read(int i, std::string* why = nullptr) {
    const auto start = std::chrono::steady_clock::now();
    std::string reply, got;
    if (i % 2) {
      reply = clients[i]->ws_receive(std::chrono::seconds(60)).value_or("");
    } else {
      wire::Http_Response r = clients[i]->read_response();
      if (r.ok && r.status == 200) reply = std::move(r.body);
      got = "status " + std::to_string(r.status) + ", " + std::to_string(r.body.size()) +
            " bytes, ";
    }
    if (why && reply.empty())
      *why = got + "\"" + clients[i]->last_error() + "\" after " +
             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count()) +
             " ms";
    return reply;
  }

  // True when `reply` lists the whole folder, each entry once, for request i.
  bool whole(const std::string& reply, int i) {
    json_spirit::Value v;
    if (!json_spirit::read(reply, v) || v.type() != json_spirit::obj_type) return false;
    const json_spirit::Object& o = v.get_obj();
    if (o.find("id") == o.end() || o.at("id") != Value(i) || o.find("result") == o.end() ||
        o.at("result").type() != json_spirit::array_type)
      return false;
    std::set<std::string> names;
    for (const Value& e : o.at("result").get_array())
      names.insert(e.get_obj().at("name").get_str());
    return names.size() == entries && names.count("0" + std::string(200, 'w')) &&
           names.count(std::to_string(entries - 1) + std::string(200, 'w'));
  }

  Temp_Dir folder;
  std::vector<std::unique_ptr<wire::Wire_Client>> clients;
};

// Listings for keyed clients that do not read wait for them without a
// thread each: others are answered meanwhile and the host's threads stay
// near its pools' size; each listing arrives whole once its client reads,
// and clients that leave instead give everything back.
TEST(Hostile_Clients, ListingsForClientsThatDoNotReadWaitWithoutAThreadAndArriveWhole) {
  wire::Wagent_Process agent(WAGENT_PATH);
  // Long enough that no reply is cut while this test reads the others.
  ASSERT_TRUE(agent.start(Slow_Readers::config(agent.dir(), "set http.timeout 300\n")))
      << agent.stderr_text();
  wire::Wire_Client other(agent.host(), agent.port(), std::chrono::seconds(20));
  const wire::Header_List keyed{{"X-Session-Key", Slow_Readers::key}};
  const std::string small = "\"" + agent.dir() + "\"";
  ASSERT_EQ(0, code_of(other.request("POST", "/jsonrpc", call(1, "host.info"), keyed).body));
  ASSERT_EQ(0, code_of(other.request("POST", "/jsonrpc", call(2, "fs.list", small), keyed).body));
  const long fds_before = settled_descriptors(agent, 1);
  const long threads_before = proc_count(agent.pid(), "Threads");

  const int count = 100;
  Slow_Readers readers(agent, count);
  EXPECT_TRUE(eventually([&] { return host_ends(agent.port(), true) >= count; },
                         std::chrono::seconds(30)))
      << host_ends(agent.port(), true) << " replies wait";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0, code_of(other.request("POST", "/jsonrpc", call(3, "host.info"), keyed).body));
    EXPECT_EQ(0, code_of(other.request("POST", "/jsonrpc", call(4, "fs.list", small), keyed).body));
  }
  wire::Wire_Client ws(agent.host(), agent.port(), std::chrono::seconds(20));
  ASSERT_TRUE(ws.ws_connect(std::string("/jsonrpc?session=") + Slow_Readers::key));
  ASSERT_TRUE(ws.ws_send(call(5, "host.info")));
  EXPECT_EQ(0, code_of(ws.ws_receive(std::chrono::seconds(20)).value_or("")));
  // Not a thread per waiting reply: a hundred of them would show.
  const long threads = proc_count(agent.pid(), "Threads");
  EXPECT_LT(threads, threads_before + 40) << threads_before << " threads before";

  for (int i = 0; i < 60; ++i) {
    std::string why;
    const std::string reply = readers.read(i, &why);
    EXPECT_TRUE(readers.whole(reply, i)) << i << ": " << (reply.empty() ? why : reply.substr(0, 300));
  }
  readers.clients.clear();  // the other 40 leave without reading
  EXPECT_TRUE(eventually([&] { return proc_count(agent.pid(), "fd") <= fds_before + 1; },
                         std::chrono::seconds(30)))
      << proc_count(agent.pid(), "fd") << " descriptors, " << fds_before << " before";
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
  EXPECT_EQ(std::string::npos, agent.stderr_text().find("Sanitizer")) << agent.stderr_text();
}

// A client that never reads its listing is cut once its reply has waited a
// write timeout, and everything held for it is given back.
TEST(Hostile_Clients, ListingsForClientsThatNeverReadAreCutAtTheWriteTimeout) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(Slow_Readers::config(agent.dir(), "set http.timeout 2\n")))
      << agent.stderr_text();
  const long fds_before = settled_descriptors(agent, 0);
  Slow_Readers readers(agent, 40);
  EXPECT_TRUE(eventually([&] { return proc_count(agent.pid(), "fd") <= fds_before; },
                         std::chrono::seconds(30)))
      << proc_count(agent.pid(), "fd") << " descriptors, " << fds_before << " before";
  for (int i = 0; i < 40; ++i) EXPECT_EQ(0u, readers.read(i).size()) << i;
  EXPECT_TRUE(answers_host_info(agent));
  EXPECT_EQ(0, agent.stop()) << agent.stderr_text();
}

}  // namespace
