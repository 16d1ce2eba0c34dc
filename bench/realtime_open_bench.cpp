// The time on-access blocking adds to opening a clean file whose verdict is
// already cached: a child process opens and closes the same file many times,
// first with no watcher, then with a blocking watcher on its folder. The
// child does the opens because the watcher never asks about its own process.
// Prints the median, 90th and 99th percentiles of both runs and the added
// median. Usage: realtime-open-bench [opens]  (default 20000)
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ai/detector.h"
#include "av/realtime.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "platform/random.h"

namespace {

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Times `count` open+close pairs of `path` in a forked child; nanoseconds each.
std::vector<std::int64_t> time_opens_in_child(const std::string& path, int count) {
  std::vector<std::int64_t> times(static_cast<std::size_t>(count));
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(60);  // never outlive a stuck run
    for (int i = 0; i < count; ++i) {
      const std::int64_t t0 = now_ns();
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) _exit(3);
      close(fd);
      times[static_cast<std::size_t>(i)] = now_ns() - t0;
    }
    const char* p = reinterpret_cast<const char*>(times.data());
    std::size_t left = times.size() * sizeof(std::int64_t);
    while (left > 0) {
      const ssize_t n = write(fds[1], p, left);
      if (n <= 0) _exit(4);
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  char* p = reinterpret_cast<char*>(times.data());
  std::size_t left = times.size() * sizeof(std::int64_t);
  while (left > 0) {
    const ssize_t n = read(fds[0], p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (left != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return times;
}

struct Summary {
  double median_us, p90_us, p99_us;
};
Summary summarize(std::vector<std::int64_t> t) {
  std::sort(t.begin(), t.end());
  const auto at = [&](double q) { return static_cast<double>(t[static_cast<std::size_t>(q * (t.size() - 1))]) / 1000.0; };
  return {at(0.5), at(0.9), at(0.99)};
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  const std::string root = std::filesystem::temp_directory_path().string() + "/kav-open-bench-" + random_hex(6);
  std::filesystem::create_directories(root + "/data");
  const std::string file = root + "/clean.txt";
  {
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return 1;
    const std::string content(64 * 1024, 'c');
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }

  const std::vector<std::int64_t> base = time_opens_in_child(file, count);
  if (base.empty()) {
    std::puts("baseline run failed");
    return 1;
  }
  auto scanner = std::make_shared<av::Scanner>(std::make_shared<av::SignatureDB>(), std::make_shared<ai::Detector>());
  av::Realtime rt(scanner, av::Realtime::QuarantineFn(), root + "/data");
  rt.set_paths({root});
  rt.start();
  if (!rt.blocking) {
    std::printf("on-access blocking unavailable, nothing to measure: %s\n", rt.notice().c_str());
    rt.stop();
    std::filesystem::remove_all(root);
    return 0;
  }
  scanner->scan_file(file);  // the verdict is cached, as for any file opened before
  const std::vector<std::int64_t> guarded = time_opens_in_child(file, count);
  rt.stop();
  std::filesystem::remove_all(root);
  if (guarded.empty()) {
    std::puts("guarded run failed");
    return 1;
  }
  const Summary a = summarize(base), b = summarize(guarded);
  std::printf("opens per run: %d (64 KiB clean file, verdict cached)\n", count);
  std::printf("no watcher:       median %.1f us  p90 %.1f us  p99 %.1f us\n", a.median_us, a.p90_us, a.p99_us);
  std::printf("blocking watcher: median %.1f us  p90 %.1f us  p99 %.1f us\n", b.median_us, b.p90_us, b.p99_us);
  std::printf("added to the median open: %.1f us (target under 50 us)\n", b.median_us - a.median_us);
  return 0;
}
