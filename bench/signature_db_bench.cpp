// Builds a feed of 1,000,000 random signatures, then reports how long loading
// it takes and how many lookups per second it answers (hits and misses).
//   signature_db_bench [ENTRIES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "av/signature_db.h"
#include "platform/file_system.h"
#include "platform/random.h"

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::vector<av::FeedEntry> entries(n);
  const Bytes rnd = random_bytes(n * 32);
  for (std::size_t i = 0; i < n; ++i) {
    std::copy(rnd.begin() + static_cast<std::ptrdiff_t>(i * 32), rnd.begin() + static_cast<std::ptrdiff_t>(i * 32 + 32),
              entries[i].digest.begin());
    entries[i].name = "Bench.Family" + std::to_string(i % 5000);
  }
  std::vector<Digest> probes;
  for (std::size_t i = 0; i < n; i += 2) probes.push_back(entries[i].digest);
  const std::size_t hits_wanted = probes.size();
  const Bytes miss = random_bytes(hits_wanted * 32);
  for (std::size_t i = 0; i < hits_wanted; ++i) {
    Digest d;
    std::copy(miss.begin() + static_cast<std::ptrdiff_t>(i * 32), miss.begin() + static_cast<std::ptrdiff_t>(i * 32 + 32), d.begin());
    probes.push_back(d);
  }
  const std::string feed = av::encode_signature_feed(1, std::move(entries));
  const std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/kav-bench-feed-" + random_hex(4) + ".avsg";
  if (!write_file_atomic(path, feed)) return 1;

  av::SignatureDB db;
  double best_ms = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string error;
    if (!db.load(path, &error)) {
      std::fprintf(stderr, "load failed: %s\n", error.c_str());
      return 1;
    }
    best_ms = std::min(best_ms, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::size_t hits = 0;
  std::string name;
  const auto t0 = std::chrono::steady_clock::now();
  for (int rep = 0; rep < 4; ++rep)
    for (const Digest& d : probes) hits += db.lookup(d, name);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("feed: %zu entries, %.1f MB\n", n, feed.size() / 1e6);
  std::printf("load: %.1f ms (best of 5, file cached)\n", best_ms);
  std::printf("lookups: %.2f million/s (%zu lookups, %zu hits)\n", probes.size() * 4 / secs / 1e6, probes.size() * 4, hits);
  remove_file(path);
  return 0;
}
