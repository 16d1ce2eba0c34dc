// Scans a generated corpus (default 10,000 files of 1 KiB to 8 MiB, most of
// them small) with the AI and archive steps off, warm cache, and compares the
// time with `openssl dgst -sha256` over the same files.
//   scan_corpus_bench [FILES] [CORPUS_DIR]
// The corpus is kept in CORPUS_DIR (default $TMPDIR/kav-scan-corpus) between runs.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "ai/detector.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "platform/file_system.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 2 ? argv[2] : std::string(tmp && *tmp ? tmp : "/tmp") + "/kav-scan-corpus";
  create_directories(dir);

  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<std::string> paths;
  std::uint64_t total = 0;
  std::string block(8 << 20, '\0');
  for (auto& c : block) c = static_cast<char>(rng());
  for (std::size_t i = 0; i < count; ++i) {
    // Sizes from 1 KiB to 8 MiB, skewed towards small files as on a real disk.
    const double x = u(rng);
    const std::size_t size = static_cast<std::size_t>(1024.0 * std::pow(8192.0, x * x * x));
    const std::string p = dir + "/f" + std::to_string(i) + ".bin";
    FileStatus st;
    if (!file_status(p, st) || static_cast<std::size_t>(st.size) != size) {
      const std::size_t off = static_cast<std::size_t>(rng() % (block.size() - size + 1));
      if (!write_file_atomic(p, std::string_view(block.data() + off, size))) return 1;
    }
    paths.push_back(p);
    total += size;
  }

  auto db = std::make_shared<av::SignatureDB>();
  db->load_bytes(as_bytes(av::encode_signature_feed(1, {})));
  av::Scanner scanner(db, std::make_shared<ai::Detector>());
  av::ScanOptions o;
  o.ai_enabled = false;
  o.scan_archives = false;
  double scan_best = 1e9;
  for (int round = 0; round < 3; ++round) {
    scanner.set_options(o);  // empties the result cache: every file is read and hashed
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& p : paths) {
      if (scanner.scan_file(p).sha256.size() != 64) return 1;
    }
    scan_best = std::min(scan_best, seconds_since(t0));
  }

  // openssl hashes many files per process, so process start-up is a small share.
  const std::string list = dir + "/list.txt";
  std::string names;
  for (const auto& p : paths) names += p + "\n";
  write_file_atomic(list, names);
  double openssl_best = 1e9;
  for (int round = 0; round < 3; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string cmd = "xargs -a '" + list + "' -n 500 openssl dgst -sha256 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
    openssl_best = std::min(openssl_best, seconds_since(t0));
  }
  std::printf("corpus: %zu files, %.1f MB in %s\n", paths.size(), total / 1e6, dir.c_str());
  std::printf("scan (AI and archives off, warm cache): %.3f s, %.0f files/s, %.0f MB/s\n", scan_best,
              paths.size() / scan_best, total / 1e6 / scan_best);
  std::printf("openssl dgst -sha256: %.3f s, %.0f MB/s\n", openssl_best, total / 1e6 / openssl_best);
  std::printf("scan / hash time: %.2fx\n", scan_best / openssl_best);
  return 0;
}
