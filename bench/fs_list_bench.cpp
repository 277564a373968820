// Lists a large directory through the fs.list handler into a channel that
// discards its output, beside a plain readdir loop printing the same fields
// as text and beside `find DIR -maxdepth 1 -printf` with those fields. Prints
// entries per second and peak resident memory of each (best of three runs,
// each in its own process; the handler's timed after it has listed a few
// entries once, as a running agent has; find's as a process of its own, as
// it runs), for a small and a large directory, and the
// handler's rate as a ratio of find's (runs in turns, median of five). The
// "paged" row lists the same directory through the handler in pages of
// 1,000 (each request carrying the cursor of the one before), with its
// total time as a ratio of the one streamed answer's.
//
//   fs_list_bench [ENTRIES] [PARENT_DIR] [--keep]   (default 1000000 in /tmp)
//
// The large directory is PARENT_DIR/fs-list-bench-ENTRIES; one that already
// holds ENTRIES entries is reused, since making a million files takes much
// longer than listing them. --keep leaves it for the next run.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/discarding_channel.h"
#include "bench/entry_dirs.h"
#include "websvcs/common/fs/list_handler.h"

namespace {

// The fields the handler writes: name, type, size, mode, mtime, link target.
const char FIND_FORMAT[] = "%f %y %s %m %T@ %l\n";

long run_handler(const std::string& dir) {
  JSON_RPC_FS_List_Handler handler;
  Discarding_Channel* raw = new Discarding_Channel;
  JSON_RPC_Channel_Ptr channel(raw);
  JSON_RPC_Request* request = new JSON_RPC_Request;
  request->id = 1;
  request->method = "fs.list";
  request->params = dir;
  if (handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                            JSON_RPC_Object_Ptr(request)) != 0)
    return -1;
  return static_cast<long>(raw->bytes);
}

// Drops the output too, but keeps its end, where a page's cursor is.
class Tail_Channel : public Discarding_Channel {
 public:
  std::string tail;

 protected:
  bool write_piece(const char* data, std::size_t length) override {
    Discarding_Channel::write_piece(data, length);
    tail.append(data, length);
    if (tail.size() > 4096) tail.erase(0, tail.size() - 1024);
    return true;
  }
};

const long PAGE = 1000;

// Every page in turn; the output size of all of them.
long run_handler_paged(const std::string& dir) {
  JSON_RPC_FS_List_Handler handler;
  Tail_Channel* raw = new Tail_Channel;
  JSON_RPC_Channel_Ptr channel(raw);
  std::string cursor;
  for (;;) {
    JSON_RPC_Request* request = new JSON_RPC_Request;
    request->id = 1;
    request->method = "fs.list";
    json_spirit::Object params;
    params["path"] = dir;
    params["limit"] = PAGE;
    if (!cursor.empty()) params["cursor"] = cursor;
    request->params = params;
    raw->tail.clear();
    if (handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                              JSON_RPC_Object_Ptr(request)) != 0)
      return -1;
    if (raw->tail.find("\"partial\":false}") != std::string::npos) break;
    // Cursors are URL-safe base64: nothing in them needs unescaping.
    const std::string key = "\"cursor\":\"";
    const std::size_t at = raw->tail.rfind(key);
    if (at == std::string::npos) return -1;
    const std::size_t start = at + key.size();
    cursor = raw->tail.substr(start, raw->tail.find('"', start) - start);
  }
  return static_cast<long>(raw->bytes);
}

long run_readdir(const std::string& dir) {
  FILE* out = std::fopen("/dev/null", "w");
  DIR* d = ::opendir(dir.c_str());
  if (!d || !out) return -1;
  int fd = ::dirfd(d);
  long written = 0;
  while (struct dirent* e = ::readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    written += std::fprintf(out, "%s %s %" PRId64 " %o %" PRId64 "\n", e->d_name,
                            S_ISDIR(st.st_mode) ? "directory" : "file",
                            static_cast<std::int64_t>(st.st_size),
                            st.st_mode & 07777,
                            static_cast<std::int64_t>(st.st_mtime));
  }
  ::closedir(d);
  std::fclose(out);
  return written;
}

// find as a user runs it, a process of its own; its output size is not
// known (0), its failure is -1.
long run_find(const std::string& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd < 0 || ::dup2(null_fd, 1) < 0) _exit(1);
    ::execlp("find", "find", dir.c_str(), "-mindepth", "1", "-maxdepth", "1",
             "-printf", FIND_FORMAT, static_cast<char*>(nullptr));
    _exit(1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

// A few entries listed once before the timed run, so that what a process
// does once (the mount table, the cursor's key, helper threads) is not
// counted: the agent pays it once in its life, not per listing.
std::string warm_dir;

struct Figures {
  double seconds = 0;
  long peak_kib = 0;
  long bytes = 0;
  bool ok = false;
};

// Runs `run` in a child process, so each peak memory figure is its own; the
// child times the run itself, after the warm-up, and reports the time and
// its output size through a pipe.
Figures measure_once(const std::string& dir, long (*run)(const std::string&)) {
  Figures f;
  int pipefd[2];
  if (::pipe(pipefd) != 0) return f;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipefd[0]);
    if (run != run_find && run(warm_dir) < 0) _exit(1);
    const auto start = std::chrono::steady_clock::now();
    struct {
      long bytes;
      double seconds;
    } out;
    out.bytes = run(dir);
    out.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (::write(pipefd[1], &out, sizeof out) != static_cast<ssize_t>(sizeof out)) _exit(1);
    _exit(out.bytes < 0 ? 1 : 0);
  }
  ::close(pipefd[1]);
  struct {
    long bytes;
    double seconds;
  } in{};
  ssize_t n = ::read(pipefd[0], &in, sizeof in);
  ::close(pipefd[0]);
  int status = 0;
  struct rusage usage;
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return f;
  f.seconds = in.seconds;
  f.peak_kib = usage.ru_maxrss;
  f.bytes = n == sizeof in ? in.bytes : 0;
  f.ok = n == sizeof in && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return f;
}

// The fastest of three runs: the machine is shared, and the slower runs
// measure the neighbours more than the listing.
Figures measure(const char* label, long entries, const std::string& dir,
                long (*run)(const std::string&)) {
  Figures best;
  for (int i = 0; i < 3; ++i) {
    Figures f = measure_once(dir, run);
    if (!f.ok) {
      std::printf("%-9s failed\n", label);
      return f;
    }
    if (!best.ok || f.seconds < best.seconds) best = f;
  }
  std::printf("%-9s %8ld entries  %12.0f entries/s  peak RSS %7ld KiB", label,
              entries, entries / best.seconds, best.peak_kib);
  if (best.bytes) std::printf("  output %ld bytes", best.bytes);
  std::printf("\n");
  std::fflush(stdout);
  return best;
}

// The rate of `run` over that of `base`, from runs taken in turns so both
// see the same neighbours: the median of five pairs.
void print_ratio(const std::string& dir, const char* label, long (*run)(const std::string&),
                 long (*base)(const std::string&), const char* base_name) {
  std::vector<double> ratios;
  for (int i = 0; i < 5; ++i) {
    Figures mine = measure_once(dir, run);
    Figures theirs = measure_once(dir, base);
    if (!mine.ok || !theirs.ok) return;
    ratios.push_back(theirs.seconds / mine.seconds);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("%s %.2f (entries/s over %s; median of 5 pairs, %.2f to %.2f)\n", label,
              ratios[2], base_name, ratios.front(), ratios.back());
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = false;
  const char* positional[2] = {nullptr, nullptr};
  for (int i = 1, n = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--keep"))
      keep = true;
    else if (n < 2)
      positional[n++] = argv[i];
  }
  long large = positional[0] ? std::atol(positional[0]) : 1000000;
  std::string parent = positional[1] ? positional[1] : "/tmp";
  std::string small_dir = parent + "/fs-list-bench-small-" + std::to_string(::getpid());
  std::string large_dir = parent + "/fs-list-bench-" + std::to_string(large);
  warm_dir = parent + "/fs-list-bench-warm-" + std::to_string(::getpid());
  std::printf("fs.list benchmark in %s\n", parent.c_str());
  int result = 0;
  if (!make_files(warm_dir, 10)) {
    std::perror("creating entries");
    return 1;
  }
  for (const auto& [entries, dir] : {std::make_pair(1000L, small_dir),
                                     std::make_pair(large, large_dir)}) {
    if (!make_files(dir, entries)) {
      std::perror("creating entries");
      result = 1;
      break;
    }
    measure("handler", entries, dir, run_handler);
    measure("paged", entries, dir, run_handler_paged);
    measure("readdir", entries, dir, run_readdir);
    measure("find", entries, dir, run_find);
    print_ratio(dir, "handler/find", run_handler, run_find, "find's");
    print_ratio(dir, "paged/handler", run_handler_paged, run_handler,
                "the one streamed answer's");
  }
  remove_tree(small_dir);
  remove_tree(warm_dir);
  if (!keep) remove_tree(large_dir);
  return result;
}
