#include "ai/detector.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "ai/model.h"
#include "ai/model_writer.h"
#include "support/test_support.h"

namespace {

// A one-leaf detection model whose score is sigmoid(leaf), so a score tells
// which file was applied.
ai::Model leaf_model(double leaf, std::string objective = "binary sigmoid:1") {
  ai::Model m;
  m.objective = std::move(objective);
  m.max_feature_idx = 2567;
  ai::Tree t;
  t.num_leaves = 1;
  t.leaf_value = {leaf};
  m.trees = {t};
  return m;
}
double score_of(double leaf) { return 1.0 / (1.0 + std::exp(-leaf)); }

void put(const test::TempDir& dir, const std::string& name, const ai::Model& m) {
  std::string error;
  ASSERT_TRUE(ai::save_model(m, dir.file(name), ai::format_for_path(name), &error)) << error;
}

const std::string kElf = std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(64, 'e');
const std::string kApk = std::string("PK\x03\x04", 4) + "AndroidManifest.xml....classes.dex";
const std::string kPdf = "%PDF-1.7\n1 0 obj\n";
const std::string kMz = std::string("MZ\x90\x00", 4) + std::string(60, '\0');

TEST(ModelKinds, FromFileNames) {
  struct Case {
    const char* stem;
    std::vector<std::string> kinds;
  } cases[] = {
      {"win64_model", {"Win64"}},
      {"pe-general", {"PE", "all"}},
      {"family_win32", {}},
      {"Win32.PE", {"PE", "Win32"}},
      {"WIN32-win32", {"Win32"}},
      {"dotnet_net", {".NET"}},
      {"linux-elf", {"ELF"}},
      {"android apk", {"APK"}},
      {"pdf", {"PDF"}},
      {"all+combined", {"all"}},
      {"readme", {}},
      {"malware_tags_pdf", {}},
      {"behaviour-win64", {}},
      {"x86win32", {}},
      {"win32_packer", {}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ai::model_kinds(c.stem), c.kinds) << c.stem;
}

TEST(Detector, FolderNamingRulesAndLog) {
  test::TempDir dir;
  put(dir, "win64.avm", leaf_model(1.0));
  put(dir, "win64.txt", leaf_model(-1.0));     // same stem: the .avm wins
  put(dir, "a_win32.avm", leaf_model(2.0));
  put(dir, "b_win32.avm", leaf_model(3.0));    // counted, but Win32 stays with a_win32
  put(dir, "family_win32.avm", leaf_model(4.0));
  ai::Model multi = leaf_model(0.0, "multiclass num_class:3");
  multi.num_class = 3;
  put(dir, "multi_elf.avm", multi);
  put(dir, "regress_pdf.model", leaf_model(0.0, "regression"));
  dir.write("broken_apk.avm", std::string(ai::kBinaryMagic, 8));
  dir.write("notes_pdf.md", "not a model");
  dir.write("upper_pdf.AVM", ai::write_model_binary(leaf_model(5.0)));
  ASSERT_EQ(::mkdir(dir.file("sub_elf.avm").c_str(), 0755), 0);

  ai::Detector d;
  std::string log;
  EXPECT_EQ(d.load(dir.path(), &log), 3);
  EXPECT_EQ(log,
            "loaded a_win32 [Win32] trees=1\n"
            "loaded b_win32 [Win32] trees=1\n"
            "failed broken_apk.avm: corrupt model file " + dir.file("broken_apk.avm") + "\n"
            "skipped family_win32.avm (not a detection model)\n"
            "skipped multi_elf.avm (objective multiclass num_class:3)\n"
            "skipped regress_pdf.model (objective regression)\n"
            "loaded win64 [Win64] trees=1\n");
  EXPECT_EQ(d.model_names(), (std::vector<std::string>{"a_win32", "b_win32", "win64"}));
  EXPECT_TRUE(d.ready());
  // Nothing serves ELF, APK or PDF; the bytes are still examined.
  const ai::DetectorResult r = d.score(as_bytes(kElf));
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(r.info.kind, ember::FileKind::ELF);

  // A second load starts from scratch.
  EXPECT_EQ(d.load(dir.file("absent"), &log), 0);
  EXPECT_FALSE(d.ready());
  EXPECT_TRUE(d.model_names().empty());
  EXPECT_EQ(log.substr(log.rfind("no model folder")), "no model folder: " + dir.file("absent") + "\n");
}

TEST(Detector, BinaryNameIsKeptAndLoadWithoutLog) {
  test::TempDir dir;
  ai::Model m = leaf_model(0.5);
  m.name = "Shipped ELF model";
  put(dir, "elf.avm", m);
  ai::Detector d;
  EXPECT_EQ(d.load(dir.path()), 1);
  const ai::DetectorResult r = d.score(as_bytes(kElf));
  ASSERT_TRUE(r.valid);
  EXPECT_EQ(r.model, "Shipped ELF model");
  EXPECT_DOUBLE_EQ(r.score, score_of(0.5));
}

TEST(Detector, ModelAndTextOfOneStemFollowDirectoryOrder) {
  test::TempDir dir;
  put(dir, "pdf.model", leaf_model(1.0));
  put(dir, "pdf.txt", leaf_model(2.0));
  std::vector<DirEntry> entries;
  ASSERT_TRUE(list_directory(dir.path(), entries));
  const bool model_first = entries.front().name == "pdf.model";
  ai::Detector d;
  std::string log;
  EXPECT_EQ(d.load(dir.path(), &log), 1);
  EXPECT_EQ(log, "loaded pdf [PDF] trees=1\n");
  const ai::DetectorResult r = d.score(as_bytes(kPdf));
  ASSERT_TRUE(r.valid);
  EXPECT_DOUBLE_EQ(r.score, score_of(model_first ? 1.0 : 2.0));
}

TEST(Detector, GeneralModelAloneServesEveryKind) {
  test::TempDir dir;
  put(dir, "general.avm", leaf_model(1.5));
  ai::Detector d;
  ASSERT_EQ(d.load(dir.path()), 1);
  EXPECT_TRUE(d.ready());
  for (const std::string& bytes : {kElf, kApk, kPdf}) {
    const ai::DetectorResult r = d.score(as_bytes(bytes));
    ASSERT_TRUE(r.valid) << bytes.substr(0, 4);
    EXPECT_DOUBLE_EQ(r.score, score_of(1.5));
    EXPECT_EQ(r.model, "general");
  }
  // An MZ file the PE parser does not accept is kind Other: no score.
  const ai::DetectorResult mz = d.score(as_bytes(kMz));
  EXPECT_FALSE(mz.valid);
  EXPECT_EQ(mz.info.kind, ember::FileKind::Other);
  // A ZIP that is not an Android package is examined but not scored.
  EXPECT_FALSE(d.score(as_bytes(std::string("PK\x03\x04", 4) + "plain zip")).valid);
}

TEST(Detector, KindModelBeatsGeneralAndPeAloneIsNotReady) {
  test::TempDir dir;
  put(dir, "all.avm", leaf_model(1.0));
  put(dir, "elf_linux.avm", leaf_model(2.0));
  ai::Detector d;
  ASSERT_EQ(d.load(dir.path()), 2);
  EXPECT_DOUBLE_EQ(d.score(as_bytes(kElf)).score, score_of(2.0));
  EXPECT_DOUBLE_EQ(d.score(as_bytes(kPdf)).score, score_of(1.0));

  test::TempDir pe_only;
  put(pe_only, "pe.avm", leaf_model(1.0));
  ASSERT_EQ(d.load(pe_only.path()), 1);
  EXPECT_FALSE(d.ready());
  EXPECT_EQ(d.model_names(), std::vector<std::string>{"pe"});
}

TEST(Detector, OnlyRecognisedInputsAreExamined) {
  test::TempDir dir;
  put(dir, "general.avm", leaf_model(0.0));
  ai::Detector d;
  ASSERT_EQ(d.load(dir.path()), 1);
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {std::string(1000, ' ') + "%PDF-1.4 tail", true},
      {std::string(1019, ' ') + "%PDF-1.4 tail", true},
      {std::string(1020, ' ') + "%PDF-1.4 tail", false},
      {"%PDF-", true},
      {"%PDF", false},
      {"\x7f" "EL", false},
      {"plain text file", false},
      {"", false},
  };
  for (const Case& c : cases) {
    const ai::DetectorResult r = d.score(as_bytes(c.bytes));
    EXPECT_EQ(r.valid, c.valid) << c.bytes.size();
    if (c.valid) {
      EXPECT_DOUBLE_EQ(r.score, 0.5);
    } else {
      EXPECT_EQ(r.info.kind, ember::FileKind::Other);
    }
  }
}

TEST(Detector, ModelWantingMoreFeaturesIsNeverApplied) {
  test::TempDir dir;
  ai::Model wide = leaf_model(1.0);
  wide.max_feature_idx = 2568;
  ai::Tree split;
  split.num_leaves = 2;
  split.split_feature = {2568};
  split.threshold = {0.0};
  split.decision_type = {0};
  split.left_child = {-1};
  split.right_child = {-2};
  split.leaf_value = {1, 2};
  wide.trees.push_back(split);
  put(dir, "general.avm", wide);
  ai::Detector d;
  ASSERT_EQ(d.load(dir.path()), 1);
  EXPECT_TRUE(d.ready());
  const ai::DetectorResult r = d.score(as_bytes(kElf));
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(r.model, "");
  EXPECT_EQ(r.info.kind, ember::FileKind::ELF);
}

}  // namespace
