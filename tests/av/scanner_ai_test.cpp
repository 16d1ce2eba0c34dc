// The scanner's AI step over a real detector loaded from a temporary model folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "ai/detector.h"
#include "ai/model.h"
#include "ai/model_writer.h"
#include "av/scanner.h"
#include "support/test_support.h"

namespace {

// A general detection model whose every score is sigmoid(leaf).
std::shared_ptr<ai::Detector> detector_scoring(const test::TempDir& models, double leaf, const std::string& file = "general.avm") {
  ai::Model m;
  m.objective = "binary sigmoid:1";
  m.max_feature_idx = 2567;
  ai::Tree t;
  t.num_leaves = 1;
  t.leaf_value = {leaf};
  m.trees = {t};
  EXPECT_TRUE(ai::save_model(m, models.file(file), ai::ModelFormat::Binary));
  auto d = std::make_shared<ai::Detector>();
  d->load(models.path());
  return d;
}

const std::string kElf = std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(200, 'x');

struct ThresholdCase {
  double malicious, suspicious;
  av::Verdict verdict;
  const char* name;
  const char* detail;
};

TEST(ScannerAi, ThresholdsAreAtOrAbove) {
  test::TempDir models, files;
  av::Scanner scanner(nullptr, detector_scoring(models, 0.0));  // every score is exactly 0.5
  const std::string path = files.write("prog", kElf);
  const ThresholdCase cases[] = {
      {0.5, 0.3, av::Verdict::Malware, "ELF/AI.Malicious", "AI model, 50% confident this is malware"},
      {0.9, 0.5, av::Verdict::Suspicious, "ELF/AI.Suspicious", "AI model flagged this as suspicious (50%)"},
      {0.9, 0.5000001, av::Verdict::Clean, "", ""},
  };
  for (const ThresholdCase& c : cases) {
    av::ScanOptions o;
    o.ai_malicious = c.malicious;
    o.ai_suspicious = c.suspicious;
    scanner.set_options(o);
    const av::ScanResult r = scanner.scan_file(path);
    EXPECT_EQ(r.verdict, c.verdict) << c.malicious << " " << c.suspicious;
    EXPECT_EQ(r.name, c.name);
    EXPECT_EQ(r.detail, c.detail);
    EXPECT_EQ(r.ai_score, 0.5);
    EXPECT_EQ(r.file_type, "ELF");
  }
}

TEST(ScannerAi, DefaultThresholdsAndRounding) {
  test::TempDir models, files;
  const std::string path = files.write("doc.pdf", "%PDF-1.4\n%%EOF\n");
  // sigmoid(log(0.93 / 0.07)) = 0.93 up to rounding: malware at the default 0.8.
  av::Scanner high(nullptr, detector_scoring(models, std::log(0.93 / 0.07)));
  av::ScanResult r = high.scan_file(path);
  EXPECT_EQ(r.verdict, av::Verdict::Malware);
  EXPECT_EQ(r.name, "PDF/AI.Malicious");
  EXPECT_EQ(r.detail, "AI model, 93% confident this is malware");
  test::TempDir models2;
  av::Scanner mid(nullptr, detector_scoring(models2, std::log(0.6 / 0.4)));
  r = mid.scan_file(path);
  EXPECT_EQ(r.verdict, av::Verdict::Suspicious);
  EXPECT_EQ(r.detail, "AI model flagged this as suspicious (60%)");
}

TEST(ScannerAi, NaNScoreMeetsNeitherThreshold) {
  test::TempDir models, files;
  av::Scanner scanner(nullptr, detector_scoring(models, std::nan("")));
  const av::ScanResult r = scanner.scan_file(files.write("prog", kElf));
  EXPECT_EQ(r.verdict, av::Verdict::Clean);
  EXPECT_TRUE(std::isnan(r.ai_score));
  EXPECT_EQ(r.file_type, "ELF");
}

TEST(ScannerAi, ScriptKindIsReplacedOnlyWhenTheAiRuns) {
  test::TempDir models, files;
  av::Scanner scanner(nullptr, detector_scoring(models, 0.0));
  const std::string script = "#!/bin/sh\necho hello\n";
  const std::string path = files.write("run.sh", script);
  av::ScanResult r = scanner.scan_file(path);
  EXPECT_EQ(r.file_type, "Other");
  EXPECT_EQ(r.ai_score, -1.0);  // not examined: no score
  av::ScanOptions off;
  off.ai_enabled = false;
  scanner.set_options(off);
  r = scanner.scan_file(path);
  EXPECT_EQ(r.file_type, "Shell");
}

TEST(ScannerAi, NoAiStepWithoutAKindOrGeneralModel) {
  test::TempDir models, files;
  av::Scanner scanner(nullptr, detector_scoring(models, 5.0, "pe.avm"));
  const av::ScanResult r = scanner.scan_file(files.write("prog", kElf));
  EXPECT_EQ(r.verdict, av::Verdict::Clean);
  EXPECT_EQ(r.file_type, "");
  EXPECT_EQ(r.ai_score, -1.0);
}

TEST(ScannerAi, SystemFileScoringHighStaysClean) {
  const std::string path = "/usr/bin/true";
  if (access("/var/lib/dpkg/info/coreutils.md5sums", R_OK) != 0 || access(path.c_str(), R_OK) != 0) {
    GTEST_SKIP() << "no Debian package database";
  }
  test::TempDir models;
  av::Scanner scanner(nullptr, detector_scoring(models, std::log(0.9 / 0.1)));
  const av::ScanResult r = scanner.scan_file(path);
  EXPECT_EQ(r.verdict, av::Verdict::Clean);
  // Verified by the package database: signed, score kept. Otherwise it is
  // still an operating-system file: exempt, score dropped.
  if (r.detail.rfind("Signed by ", 0) == 0) {
    EXPECT_NEAR(r.ai_score, 0.9, 1e-12);
  } else {
    EXPECT_EQ(r.detail, "Operating-system file");
    EXPECT_EQ(r.ai_score, -1.0);
  }
}

}  // namespace
