// Lists a large directory through the fs.list handler into a channel that
// discards its output, beside a baseline doing the same system calls and
// printing the same fields as text. Prints entries per second and peak
// resident memory of each, for a small and a large directory, so the cost
// of the JSON path and the flatness of its memory can be compared.
//
//   fs_list_bench [ENTRIES] [PARENT_DIR]     (default 1000000 in /tmp)
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/json_rpc/json_rpc_channel.h"
#include "websvcs/common/fs/list_handler.h"

namespace {

// Counts what would go on the wire and drops it.
class Discarding_Channel : public JSON_RPC_Channel {
 public:
  std::uint64_t bytes = 0;

 protected:
  bool begin_message() override { return true; }
  bool write_piece(const char*, std::size_t length) override {
    bytes += length;
    return true;
  }
  bool end_message(bool ok) override { return ok; }
};

bool make_files(const std::string& dir, long count) {
  if (::mkdir(dir.c_str(), 0700) != 0) return false;
  for (long i = 0; i < count; ++i) {
    std::string p = dir + "/entry-" + std::to_string(i) + ".dat";
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0) return false;
    ::close(fd);
  }
  return true;
}

int remove_one(const char* p, const struct stat*, int, struct FTW*) {
  return std::remove(p);
}

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

long run_baseline(const std::string& dir) {
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

// Runs one measurement in a child process so each peak memory figure is
// its own.
void measure(const char* label, long entries, const std::string& dir,
             long (*run)(const std::string&)) {
  int pipefd[2];
  if (::pipe(pipefd) != 0) return;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipefd[0]);
    auto start = std::chrono::steady_clock::now();
    long bytes = run(dir);
    double seconds = std::chrono::duration<double>(
                         std::chrono::steady_clock::now() - start).count();
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    char line[256];
    int n = std::snprintf(line, sizeof line,
                          "%-9s %8ld entries  %12.0f entries/s  peak RSS %7ld KiB"
                          "  output %ld bytes\n",
                          label, entries, entries / seconds, usage.ru_maxrss,
                          bytes);
    if (::write(pipefd[1], line, static_cast<std::size_t>(n)) < 0) _exit(1);
    _exit(bytes < 0 ? 1 : 0);
  }
  ::close(pipefd[1]);
  char buffer[256];
  ssize_t n = ::read(pipefd[0], buffer, sizeof buffer - 1);
  ::close(pipefd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (n > 0) {
    buffer[n] = 0;
    std::fputs(buffer, stdout);
  } else {
    std::printf("%-9s failed\n", label);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  long large = argc > 1 ? std::atol(argv[1]) : 1000000;
  std::string parent = argc > 2 ? argv[2] : "/tmp";
  std::string base = parent + "/fs-list-bench-" + std::to_string(::getpid());
  if (::mkdir(base.c_str(), 0700) != 0) {
    std::perror(base.c_str());
    return 1;
  }
  std::printf("fs.list benchmark in %s\n", base.c_str());
  int result = 0;
  for (long entries : {1000L, large}) {
    std::string dir = base + "/" + std::to_string(entries);
    if (!make_files(dir, entries)) {
      std::perror("creating entries");
      result = 1;
      break;
    }
    measure("handler", entries, dir, run_handler);
    measure("baseline", entries, dir, run_baseline);
  }
  ::nftw(base.c_str(), remove_one, 64, FTW_DEPTH | FTW_PHYS);
  return result;
}
