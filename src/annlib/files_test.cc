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
  // The temporary file is made only when the first bytes go out.
  EXPECT_EQ(names(), std::vector<std::string>{"rec.atr"});
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

// What a write open found at its target, what stands there when the output
// completes, and what becomes of it: a file that appeared or changed in
// between is never replaced.
TEST_F(AnnFiles, TargetThatAppearedOrChangedSinceTheOpenIsNeverReplaced) {
  const std::string text = "someone's notes\n";
  enum before { none, valid };
  enum change { nothing, text_appears, valid_appears, renamed_over, rewritten, removed };
  struct {
    const char* what;
    int mode;
    before at_open;
    change meanwhile;
    bool large;          // the temporary file exists before the change
    const char* reason;  // null: the output takes the target's place
  } cases[] = {
      {"new, nothing there", ann_write, none, nothing, false, nullptr},
      {"new, a text appears", ann_write, none, text_appears, false,
       "rec.atr: appeared while the output was written, so it is not replaced"},
      {"new, an annotator appears", ann_write, none, valid_appears, true,
       "rec.atr: appeared while the output was written, so it is not replaced"},
      {"replace, unchanged", ann_write, valid, nothing, true, nullptr},
      {"replace, another file renamed over it", ann_write, valid, renamed_over, false,
       "rec.atr: changed while the output was written, so it is not replaced"},
      {"replace, rewritten in place", ann_write, valid, rewritten, true,
       "rec.atr: changed while the output was written, so it is not replaced"},
      {"replace, removed", ann_write, valid, removed, false, nullptr},
      {"create, nothing there", ann_create, none, nothing, true, nullptr},
      {"create, an annotator appears", ann_create, none, valid_appears, false,
       "rec.atr: appeared while the output was written, so it is not replaced"},
  };
  // Another writer's annotator, put in place while the output is open.
  ASSERT_EQ(write_times("other", {7}), 0);
  const std::string other = contents("rec.other");
  std::filesystem::remove("rec.other");
  for (const auto& c : cases) {
    std::filesystem::remove("rec.atr");
    if (c.at_open == valid) {
      ASSERT_EQ(write_times("atr", {1}), 0);
    }
    annotator_info ai = {"atr", c.mode};
    ASSERT_EQ(annopen("rec", &ai, 1), 0) << c.what;
    for (int i = 0; i < (c.large ? 50000 : 1); i++) {
      nesk_ann a = {100 + i, 1, 0, 0, 0, nullptr};
      putann(0, &a);
    }
    if (c.large) {
      EXPECT_EQ(names().size(), c.at_open == valid ? 2u : 1u) << c.what;
    }
    std::string expected;
    if (c.meanwhile == text_appears) std::ofstream("rec.atr") << text;
    if (c.meanwhile == rewritten) std::ofstream("rec.atr", std::ios::binary | std::ios::app) << "x";
    if (c.meanwhile == removed) std::filesystem::remove("rec.atr");
    if (c.meanwhile == valid_appears || c.meanwhile == renamed_over) {
      std::ofstream("rec.new", std::ios::binary) << other;
      std::filesystem::rename("rec.new", "rec.atr");
    }
    expected = contents("rec.atr");
    EXPECT_EQ(neskquit(), c.reason ? -1 : 0) << c.what;
    if (c.reason) {
      EXPECT_STREQ(nesk_reason(), c.reason) << c.what;
      EXPECT_EQ(contents("rec.atr"), expected) << c.what;
    } else {
      EXPECT_EQ(read_times("rec", "atr").size(), c.large ? 50000u : 1u) << c.what;
    }
    EXPECT_EQ(names(), std::vector<std::string>{"rec.atr"}) << c.what;
  }
  // A new annotator is not even begun where a file stands.
  annotator_info ai = {"atr", ann_create};
  EXPECT_NE(annopen("rec", &ai, 1), 0);
  EXPECT_STREQ(nesk_reason(), "rec.atr: exists, and a new annotator never replaces a file");
}

// Only a file that is not there is missing; every other failure of a read
// open is one of reading.
TEST_F(AnnFiles, OnlyAnAbsentFileIsMissing) {
  ASSERT_EQ(mkdir("rec.dir", 0777), 0);
  std::ofstream("rec.bad") << "not ours\n";
  ASSERT_EQ(write_times("atr", {1}), 0);
  const std::string too_long(300, 'a');
  struct {
    const char* record;
    const char* annotator;
    int missing;
  } cases[] = {
      {"rec", "none", 1},
      {"nosuch/rec", "atr", 1},
      {"rec", "dir", 0},
      {"rec", "bad", 0},
      {"rec.atr/x", "y", 0},
      {"../rec", "atr", 0},
      {"rec", too_long.c_str(), 0},
  };
  for (const auto& c : cases) {
    annotator_info ai = {c.annotator, ann_read};
    EXPECT_NE(annopen(c.record, &ai, 1), 0) << c.record;
    EXPECT_EQ(nesk_missing(), c.missing) << c.record << "." << c.annotator << ": " << nesk_reason();
  }
}

// The temporary file's name is never longer than the target's where the
// folder takes no longer one, so a name that fits can always be written.
TEST_F(AnnFiles, NamesAtTheLengthLimitCanBeWritten) {
  for (size_t len : {240u, 248u, 249u, 251u}) {
    std::string name(len, 'n');  // "rec." and the name: len + 4 bytes
    annotator_info ai = {name.c_str(), ann_write};
    EXPECT_EQ(check_annopen("rec", &ai), 0) << len << ": " << nesk_reason();
    ASSERT_EQ(annopen("rec", &ai, 1), 0) << len << ": " << nesk_reason();
    nesk_ann a = {5, 1, 0, 0, 0, nullptr};
    putann(0, &a);
    EXPECT_EQ(neskquit(), 0) << len << ": " << nesk_reason();
    EXPECT_EQ(read_times("rec", name.c_str()), std::vector<int32_t>{5}) << len;
    std::filesystem::remove("rec." + name);
  }
  std::string name(252, 'n');
  annotator_info ai = {name.c_str(), ann_write};
  EXPECT_NE(check_annopen("rec", &ai), 0);
  EXPECT_NE(annopen("rec", &ai, 1), 0);
  EXPECT_EQ(names(), std::vector<std::string>{});
}

}  // namespace
