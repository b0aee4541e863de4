// karvello-bench-sim-memory: the resident memory of the karvello-sim program over a long run.
//
//   karvello-bench-sim-memory [--exchanges N] [--sim PATH] [--help]
//
// Starts karvello-sim, reads the pseudo-terminal it prints, and sends it N voltage requests one
// after another, each once the reply to the one before is in. The program's output is read (and
// its exchange lines counted) as it comes. The resident set (VmRSS) of the karvello-sim process
// is sampled after 100 exchanges, at every 1000th and at the last, each once the program has
// printed every exchange so far; the drift is the last minus the first. At the end it is stopped
// with SIGTERM: it must say that it served N requests, and have printed each.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_status.h"
#include "bench/stats.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr long kWarmUp = 100;
constexpr long kBlock = 1000;
// The voltage of the detector at address 1 and its reply.
constexpr std::uint8_t kRequest[] = {0x01, 0x03, 0x00, 0x0F, 0x00, 0x01, 0xB4, 0x09};
constexpr std::size_t kReplySize = 7;

// What the program prints, read on a thread of its own so that its pipe never fills.
class Output {
 public:
  explicit Output(int fd) : thread_([this, fd] { Read(fd); }) {}
  ~Output() { thread_.join(); }

  // The "Serving PATH" line's path, once printed (empty if the program ended first).
  std::string Path() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return !path_.empty() || ended_; });
    return path_;
  }
  // Waits until `count` exchanges are printed.
  bool WaitForPrinted(long count, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return printed_ >= count; });
  }
  long Printed() {
    std::lock_guard lock(mutex_);
    return printed_;
  }
  std::string Last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  void Read(int fd) {
    FILE* in = ::fdopen(fd, "r");
    char* line = nullptr;
    std::size_t capacity = 0;
    while (::getline(&line, &capacity, in) > 0) {
      std::lock_guard lock(mutex_);
      const std::string text(line);
      if (text.rfind("Serving ", 0) == 0) {
        path_ = text.substr(8, text.find(' ', 8) - 8);
      } else if (text.find("  recv  ") != std::string::npos) {
        ++printed_;
      }
      last_ = text;
      changed_.notify_all();
    }
    std::free(line);
    std::fclose(in);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string path_;
  std::string last_;
  long printed_ = 0;
  bool ended_ = false;
  std::thread thread_;
};

// Sends the request and reads its reply whole; false after 2 s without it.
bool Exchange(int fd) {
  if (::write(fd, kRequest, sizeof kRequest) != static_cast<ssize_t>(sizeof kRequest)) {
    return false;
  }
  std::size_t got = 0;
  while (got < kReplySize) {
    pollfd in{fd, POLLIN, 0};
    if (::poll(&in, 1, 2000) <= 0) return false;
    std::uint8_t buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return got == kReplySize;
}

int Main(int argc, char** argv) {
  long exchanges = 20'000;
  std::string sim = KARVELLO_SIM_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--exchanges" && i + 1 < argc) {
      exchanges = std::atol(argv[++i]);
    } else if (arg == "--sim" && i + 1 < argc) {
      sim = argv[++i];
    } else {
      std::puts(
          "karvello-bench-sim-memory [--exchanges N] [--sim PATH]\n"
          "Sends karvello-sim (PATH, default the one built beside this program) N voltage\n"
          "requests (default 20000) over its pseudo-terminal, one after another, and prints the\n"
          "program's resident memory (VmRSS) after 100 exchanges, at every 1000th and at the\n"
          "last, each once the program has printed every exchange so far. Exits 1 when a reply\n"
          "does not come or the program did not print every exchange.");
      return arg == "--help" ? 0 : 2;
    }
  }
  if (exchanges < kWarmUp) exchanges = kWarmUp;

  int out[2];
  if (::pipe(out) != 0) return 1;
  const pid_t pid = ::fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(sim.c_str(), sim.c_str(), "--address", "1", static_cast<char*>(nullptr));
    std::fprintf(stderr, "cannot run %s: %s\n", sim.c_str(), std::strerror(errno));
    ::_exit(127);
  }
  ::close(out[1]);
  int status = 0;
  bool ok = true;
  std::vector<std::pair<long, long>> memory;  // exchanges, KiB
  const auto begun = Clock::now();
  {
    Output output(out[0]);
    const std::string path = output.Path();
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "karvello-sim served no pseudo-terminal\n");
      ::kill(pid, SIGTERM);
      ::waitpid(pid, &status, 0);
      return 1;
    }
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    for (long n = 1; n <= exchanges && ok; ++n) {
      ok = Exchange(fd);
      if (ok && (n == kWarmUp || n % kBlock == 0 || n == exchanges)) {
        ok = output.WaitForPrinted(n, 10s);
        if (const auto rss = StatusKiB(pid, "VmRSS")) memory.emplace_back(n, *rss);
      }
    }
    ::close(fd);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &status, 0);
    const std::string stopped = "Stopped after " + std::to_string(exchanges) + " request(s).";
    ok = ok && output.Printed() == exchanges && output.Last().rfind(stopped, 0) == 0;
    std::printf("exchanges %ld, printed by karvello-sim %ld, its last line: %s", exchanges,
                output.Printed(), output.Last().c_str());
  }
  std::printf("%.1f s\n", Ms(Clock::now() - begun) / 1000.0);
  std::printf("resident memory of karvello-sim (VmRSS), KiB at exchanges:\n");
  for (const auto& [n, kib] : memory) std::printf("  %6ld  %6ld\n", n, kib);
  if (!memory.empty()) {
    std::printf("drift from %ld to %ld exchanges: %+ld KiB\n", memory.front().first,
                memory.back().first, memory.back().second - memory.front().second);
  }
  if (!ok) std::printf("FAILED: a reply did not come, or not every exchange was printed\n");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  return karvello::bench::Main(argc, argv);
}
