#include <gtest/gtest.h>

#include <string>

#include "annlist/annlist.h"
#include "editlog.h"
#include "test_feed.h"

namespace {

// One entry's result in words: "insert 100 type 1 {1/2/3} aux 5 'Hello'".
std::string describe(int verdict) {
  if (verdict == 0) return "end";
  if (verdict == -1) return "malformed";
  std::string s = (verdict == 1 ? "insert " : "delete ") + std::to_string(annot.time) + " type " +
                  std::to_string(annot.type) + " {" + std::to_string(annot.subtype) + "/" +
                  std::to_string(annot.channel) + "/" + std::to_string(annot.number) + "}";
  if (annot.aux)
    s += " aux " + std::to_string(annot.aux[0]) + " '" +
         std::string((const char*)annot.aux + 1, annot.aux[0]) + "'";
  return s;
}

struct entry_case {
  std::string line;  // fed as it stands: add "\n" where the line has one
  std::string result;
  std::string err = "";
};

void check_entries(const entry_case* cases, size_t n) {
  for (size_t k = 0; k < n; k++) {
    const entry_case& c = cases[k];
    feed_editlog(c.line);
    progname = "annapply";
    testing::internal::CaptureStderr();
    std::string got = describe(get_log_entry());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.line;
    EXPECT_EQ(got, c.result) << c.line;
    EXPECT_EQ(get_log_entry(), 0) << c.line;
    EXPECT_EQ(annot.aux, nullptr);
  }
}

const char warn_tf[] = "annapply(warning): no support for tf at 100";
const char warn_aux[] = "annapply(warning): aux will be truncated at 100";

TEST(GetLogEntry, EachShapeOfTheGrammar) {
  const entry_case cases[] = {
      {"100\n", "insert 100 type 1 {0/0/0}"},
      {"-100\n", "delete 100 type 1 {0/0/0}"},
      {"000100\n", "insert 100 type 1 {0/0/0}"},
      {"0\n", "insert 0 type 1 {0/0/0}"},
      {"2147483647\n", "insert 2147483647 type 1 {0/0/0}"},
      {"100,N\n", "insert 100 type 1 {0/0/0}"},
      {"100,NOTE\n", "insert 100 type 22 {0/0/0}"},
      {"-100,ART\n", "delete 100 type 2 {0/0/0}"},
      {"100,N{1/2/3}\n", "insert 100 type 1 {1/2/3}"},
      {"100,N{//}\n", "insert 100 type 1 {0/0/0}"},
      {"100,N{-1/300/255}\n", "insert 100 type 1 {-1/44/-1}"},
      {"100,N{ +5/\t7x/-}\n", "insert 100 type 1 {5/7/0}"},
      {"100,N{99999999999999999999/-99999999999999999999/0}\n", "insert 100 type 1 {-1/1/0}"},
      {"100,N{1/2/3/4}\n", "insert 100 type 1 {1/2/3}"},
      {"100,N{1/2/3}xyz\n", "insert 100 type 1 {1/2/3}"},
      {"100,N{1/2/3}xyz,abc\n", "insert 100 type 1 {1/2/3}"},
      {"100,Hello\n", "insert 100 type 22 {0/0/0} aux 5 'Hello'"},
      {"100,Hello,world\n", "insert 100 type 22 {0/0/0} aux 11 'Hello:world'"},
      {"100,Hello{1/2/3},world\n", "insert 100 type 22 {1/2/3} aux 11 'Hello:world'"},
      {"100,Hello{1/2/3}\n", "insert 100 type 22 {1/2/3} aux 5 'Hello'"},
      {"100,Hello,\n", "insert 100 type 22 {0/0/0} aux 6 'Hello:'"},
      {"100,N,\n", "insert 100 type 1 {0/0/0} aux 0 ''"},
      {"100,N,a,b{c}\n", "insert 100 type 1 {0/0/0} aux 6 'a,b{c}'"},
      {"100,N{1/2/3},x\n", "insert 100 type 1 {1/2/3} aux 1 'x'"},
      {"100,\n", "insert 100 type 22 {0/0/0} aux 0 ''"},
      {"100,,x\n", "insert 100 type 22 {0/0/0} aux 2 ',x'"},
      {"100, N\n", "insert 100 type 22 {0/0/0} aux 2 ' N'"},
      {"100,N ,x\n", "insert 100 type 22 {0/0/0} aux 4 'N :x'"},
      {"-100,N,abc\n", "delete 100 type 1 {0/0/0} aux 3 'abc'"},
  };
  check_entries(cases, std::size(cases));
}

TEST(GetLogEntry, EndTimesWarnAndThenAnyCharacterSeparates) {
  const entry_case cases[] = {
      {"100-200,N\n", "insert 100 type 1 {0/0/0}", warn_tf},
      {"100-100\n", "insert 100 type 1 {0/0/0}", warn_tf},
      {"-100-200\n", "delete 100 type 1 {0/0/0}", warn_tf},
      {"100-200x,N\n", "insert 100 type 22 {0/0/0} aux 2 ',N'", warn_tf},
      {"100-200{1/2/3}\n", "insert 100 type 22 {0/0/0} aux 6 '1/2/3}'", warn_tf},
      {"100-200,N{1/2}\n", "malformed", warn_tf},
      {"100-50,N\n", "malformed"},
      {"100-\n", "malformed"},
      {"100-x\n", "malformed"},
      {"100-2147483648\n", "malformed"},
  };
  check_entries(cases, std::size(cases));
}

TEST(GetLogEntry, MalformedLinesAreSkippedSilently) {
  const entry_case cases[] = {
      {"\n", "malformed"},         {"\r\n", "malformed"},         {"100x,\n", "malformed"},
      {"x100\n", "malformed"},     {"+100\n", "malformed"},       {" 100\n", "malformed"},
      {"100;N\n", "malformed"},    {"-\n", "malformed"},          {"--100\n", "malformed"},
      {"100,N{1/2}\n", "malformed"}, {"100,N{1/2/3\n", "malformed"}, {"2147483648\n", "malformed"},
      {"99999999999999999999999\n", "malformed"},
      {std::string("100,N\0x\n", 8), "malformed"},
      {std::string("100\0\n", 5), "malformed"},
  };
  check_entries(cases, std::size(cases));
}

TEST(GetLogEntry, LineEndsAndTheEndOfTheText) {
  const entry_case cases[] = {
      {"100,Hello,world\r\n", "insert 100 type 22 {0/0/0} aux 11 'Hello:world'"},
      {"100\r\n", "insert 100 type 1 {0/0/0}"},
      {"100\rjunk\n", "insert 100 type 1 {0/0/0}"},
      {"100,Hello\r\r\n", "insert 100 type 22 {0/0/0} aux 6 'Hello\r'"},
      // A last line without "\n" ends where a line end would be.
      {"100", "insert 100 type 1 {0/0/0}"},
      {"-100", "delete 100 type 1 {0/0/0}"},
      {"100-200", "insert 100 type 1 {0/0/0}", warn_tf},
      {"100-200x", "insert 100 type 22 {0/0/0} aux 0 ''", warn_tf},
      {"100,", "insert 100 type 22 {0/0/0} aux 0 ''"},
      {"100,N,", "insert 100 type 1 {0/0/0} aux 0 ''"},
      {"100,N{1/2/3}", "insert 100 type 1 {1/2/3}"},
      {"100,N\r", "insert 100 type 1 {0/0/0}"},
      {"100,N,x\r", "insert 100 type 1 {0/0/0} aux 1 'x'"},
      {"100,\r", "insert 100 type 22 {0/0/0} aux 0 ''"},
  };
  check_entries(cases, std::size(cases));
}

TEST(GetLogEntry, LongTextIsCountedAt255) {
  std::string x300(300, 'x'), x255(255, 'x');
  const entry_case cases[] = {
      {"100,N," + x255 + "\n", "insert 100 type 1 {0/0/0} aux 255 '" + x255 + "'"},
      {"100,N," + x300 + "\n", "insert 100 type 1 {0/0/0} aux 255 '" + x255 + "'", warn_aux},
      {"100,Hello," + x300 + "\n",
       "insert 100 type 22 {0/0/0} aux 255 'Hello:" + x255.substr(6) + "'", warn_aux},
      {"100," + x300 + "\n", "insert 100 type 22 {0/0/0} aux 255 '" + x255 + "'", warn_aux},
      {"100-200,N," + x300 + "\n", "insert 100 type 1 {0/0/0} aux 255 '" + x255 + "'",
       std::string(warn_tf) + warn_aux},
  };
  check_entries(cases, std::size(cases));
}

TEST(GetLogEntry, LineOver499BytesIsOneEntryWhateverItsRestHolds) {
  // The first 499 bytes are the entry; the rest, however long, is never an entry.
  std::string head = "100,N," + std::string(493, 'x');
  feed_editlog(head + "-100," + std::string(5000000, 'y') + "\n200\n" + head + "-300");
  testing::internal::CaptureStderr();
  EXPECT_EQ(describe(get_log_entry()), "insert 100 type 1 {0/0/0} aux 255 '" + std::string(255, 'x') + "'");
  EXPECT_EQ(describe(get_log_entry()), "insert 200 type 1 {0/0/0}");
  EXPECT_EQ(get_log_entry(), 1);
  EXPECT_EQ(get_log_entry(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(warn_aux) + warn_aux);
  // A CR LF that the 499-byte read cuts between its two bytes is still a line end.
  feed_editlog(std::string(493, '0') + "100,N\r\n");
  EXPECT_EQ(describe(get_log_entry()), "insert 100 type 1 {0/0/0}");
  feed_editlog(head + std::string("tail\0", 5) + "\n5\n");
  EXPECT_EQ(get_log_entry(), -1);
  EXPECT_EQ(describe(get_log_entry()), "insert 5 type 1 {0/0/0}");
}

}  // namespace
