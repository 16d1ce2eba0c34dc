// The shipped models do not flag benign files they never saw in training:
// held-out benign files of this machine's packages, copied out of the system
// folders (so the trust exemption cannot hide a false positive), score below
// the malware threshold with the detector and scan clean with the console scan.
#include <gtest/gtest.h>

#include <fstream>

#include "ai/detector.h"
#include "support/test_support.h"

namespace {

constexpr double kMalwareThreshold = 0.8;
constexpr std::size_t kMaxFiles = 300;

std::vector<std::string> held_out_benign_files() {
  std::ifstream in(std::string(KAV_SOURCE_DIR) + "/tools/model-holdout-benign.list");
  std::vector<std::string> all, present;
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') all.push_back(line);
  for (const auto& p : all)
    if (path_exists(to_native(p))) present.push_back(p);
  // An even spread over the list (it is sorted by path, so by package).
  if (present.size() <= kMaxFiles) return present;
  std::vector<std::string> pick;
  for (std::size_t i = 0; i < kMaxFiles; ++i) pick.push_back(present[i * present.size() / kMaxFiles]);
  return pick;
}

TEST(ShippedModels, HeldOutBenignFilesOutsideSystemFoldersAreNotMalware) {
  const std::string models = std::string(KAV_BINARY_DIR) + "/models";
  auto detector = std::make_shared<ai::Detector>();
  std::string log;
  ASSERT_GE(detector->load(to_native(models), &log), 5) << log;
  ASSERT_TRUE(detector->ready()) << log;

  const auto files = held_out_benign_files();
  if (files.size() < 20) GTEST_SKIP() << "fewer than 20 held-out benign files exist on this machine";

  test::TempDir dir;
  std::size_t copied = 0, scored = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string bytes = read_whole_file(to_native(files[i]));
    if (bytes.size() < 4) continue;
    const ai::DetectorResult r = detector->score(as_bytes(bytes));
    const int kind = static_cast<int>(r.info.kind);
    // Every kind the detector examines has a model in the shipped set.
    EXPECT_TRUE(r.valid || kind < 1 || kind > 6) << files[i] << " of kind " << kind << " was not scored";
    if (r.valid) {
      ++scored;
      EXPECT_LT(r.score, kMalwareThreshold) << files[i] << " scored by " << r.model;
    }
    dir.write("benign/" + std::to_string(i) + "_" + file_name(to_native(files[i])), bytes);
    ++copied;
  }
  EXPECT_GE(scored * 2, copied);

  const auto run = test::run({KAV_EXE, "--scan", dir.file("benign")}, {"AV_DATA_DIR=" + dir.file("data")}, 600000);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("0 threat(s) found, 0 scan error(s)."), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("MALWARE"), std::string::npos) << run.out;
}

}  // namespace
