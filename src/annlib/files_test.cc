#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "annlib.h"
#include "test_dir.h"

namespace {

class AnnFiles : public InScratchDir {
 protected:
  std::vector<std::string> names() {
    std::vector<std::string> v;
    for (const auto& e : std::filesystem::directory_iterator(".")) v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
  }
  static std::string contents(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  // Writes annotations at the given times to record "rec".
  static int write_times(const char* name, std::vector<int32_t> times) {
    annotator_info ai = {name, ann_write};
    if (annopen("rec", &ai, 1) != 0) return -1;
    for (int32_t t : times) {
      nesk_ann a = {t, 1, 0, 0, 0, nullptr};
      putann(0, &a);
    }
    return neskquit();
  }
  static std::vector<int32_t> read_times(const char* record, const char* name) {
    annotator_info ai = {name, ann_read};
    std::vector<int32_t> times;
    if (annopen(record, &ai, 1) != 0) return {-999};
    nesk_ann a;
    while (getann(0, &a) == 0) times.push_back(a.time);
    return times;
  }
};

TEST_F(AnnFiles, WrittenAnnotationsReadBackInWriteOrder) {
  ASSERT_EQ(write_times("atr", {5, 3, 1000000, -7}), 0);
  EXPECT_EQ(read_times("rec", "atr"), (std::vector<int32_t>{5, 3, 1000000, -7}));
  nesk_ann a;
  EXPECT_EQ(getann(0, &a), -1);
  EXPECT_EQ(getann(1, &a), -1);
}

TEST_F(AnnFiles, TargetChangesOnlyWhenTheOutputIsCompleted) {
  ASSERT_EQ(write_times("atr", {1}), 0);
  std::string before = contents("rec.atr");
  annotator_info ai = {"atr", ann_write};
  ASSERT_EQ(annopen("rec", &ai, 1), 0);
  nesk_ann a = {2, 1, 0, 0, 0, nullptr};
  putann(0, &a);
  EXPECT_EQ(contents("rec.atr"), before);
  EXPECT_EQ(names().size(), 2u);  // the target and the temporary file beside it
  ASSERT_EQ(neskquit(), 0);
  EXPECT_EQ(names(), std::vector<std::string>{"rec.atr"});
  EXPECT_EQ(read_times("rec", "atr"), std::vector<int32_t>{2});
}

void write_then_exit() {
  annotator_info ai = {"atr", ann_write};
  if (annopen("rec", &ai, 1) != 0) exit(3);
  nesk_ann a = {2, 1, 0, 0, 0, nullptr};
  putann(0, &a);
  exit(1);
}

TEST_F(AnnFiles, OutputAbandonedByAnEarlyExitLeavesTheOldFileAndNoTemporary) {
  ASSERT_EQ(write_times("atr", {1}), 0);
  std::string before = contents("rec.atr");
  EXPECT_EXIT(write_then_exit(), testing::ExitedWithCode(1), "");
  EXPECT_EQ(contents("rec.atr"), before);
  EXPECT_EQ(names(), std::vector<std::string>{"rec.atr"});
}

TEST_F(AnnFiles, WriteOpenNeverReplacesWhatIsNotAnAnnotationFile) {
  std::ofstream("rec.atr") << "someone's notes\n";
  EXPECT_NE(write_times("atr", {1}), 0);
  EXPECT_STREQ(nesk_reason(), "rec.atr: exists and is not a valid annotation file, so it is not replaced");
  EXPECT_EQ(contents("rec.atr"), "someone's notes\n");
  ASSERT_EQ(mkdir("rec.dir", 0777), 0);
  EXPECT_NE(write_times("dir", {1}), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"rec.atr", "rec.dir"}));
}

TEST_F(AnnFiles, NamesThatLeaveTheWorkingDirectoryAreRefused) {
  struct {
    const char* record;
    const char* annotator;
    const char* reason;
  } refused[] = {
      {"/tmp/rec", "atr", "/tmp/rec.atr: absolute record names are refused"},
      {"..", "atr", "...atr: \"..\" in a record name is refused"},
      {"../rec", "atr", "../rec.atr: \"..\" in a record name is refused"},
      {"sub/../../rec", "atr", "sub/../../rec.atr: \"..\" in a record name is refused"},
      {"sub/..", "atr", "sub/...atr: \"..\" in a record name is refused"},
      {"rec", "a/b", "rec.a/b: \"/\" in an annotator name is refused"},
      {"", ".", "..: \".\" and \"..\" are no file names"},
      {"sub/", "", "sub/.: \".\" and \"..\" are no file names"},
  };
  ASSERT_EQ(mkdir("sub", 0777), 0);
  for (const auto& c : refused) {
    for (int mode : {ann_read, ann_write}) {
      annotator_info ai = {c.annotator, mode};
      EXPECT_NE(annopen(c.record, &ai, 1), 0) << c.record;
      EXPECT_STREQ(nesk_reason(), c.reason);
    }
  }
  const char* allowed[] = {"..rec", "rec..", "sub/rec", "sub/./rec", ""};
  for (const char* record : allowed) {
    annotator_info ai = {"atr", ann_write};
    EXPECT_EQ(annopen(record, &ai, 1), 0) << record;
    EXPECT_EQ(neskquit(), 0);
    EXPECT_EQ(read_times(record, "atr"), std::vector<int32_t>{}) << record;
  }
}

TEST_F(AnnFiles, ReadOpenFailuresSayWhy) {
  EXPECT_EQ(read_times("rec", "atr"), std::vector<int32_t>{-999});
  EXPECT_STREQ(nesk_reason(), "rec.atr: No such file or directory");
  ASSERT_EQ(write_times("atr", {1, 2, 3}), 0);
  std::string good = contents("rec.atr");
  std::ofstream("rec.atr", std::ios::binary) << good.substr(0, good.size() - 3);
  EXPECT_EQ(read_times("rec", "atr"), std::vector<int32_t>{-999});
  EXPECT_STREQ(nesk_reason(), "rec.atr: truncated or damaged annotation file");
}

}  // namespace
