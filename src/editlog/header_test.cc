#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "editlog.h"
#include "test_feed.h"

// Feeds text to the edit-log reader as its standard input.
void feed_editlog(const std::string& text) {
  static int fd = -1;
  if (fd >= 0) close(fd);
  fd = memfd_create("log", 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
  lseek(fd, 0, SEEK_SET);
  reset_editlog(fd);
}

namespace {

const std::string line1 = "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)\n";

struct header_case {
  const char* what;
  std::string input;
  int accepted;
  const char* record;
  const char* annotator;
  double sps;
  std::string next;  // what the next read of the log gives
};

TEST(ParseLogHeader, AcceptsAndRejectsAsTheLayoutSays) {
  const std::string long_record(480, 'r');
  const header_case cases[] = {
      {"plain", line1 + "\n-100\n", 1, "rec", "atr", 360, "-100\n"},
      {"CRLF", "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)\r\n\r\n1\n", 1,
       "rec", "atr", 360, "1\n"},
      {"line 2 CR then text", line1 + "\rtext\n5\n", 1, "rec", "atr", 360, "5\n"},
      {"empty record", "[RQEditLog-1.0] Record , annotator atr (1 samples/second)\n\n", 1, "",
       "atr", 1, ""},
      {"record with spaces and a subfolder",
       "[RQEditLog-1.0] Record my study/rec 1, annotator atr (250.5 samples/second)\n\n", 1,
       "my study/rec 1", "atr", 250.5, ""},
      {"empty annotator", "[RQEditLog-1.0] Record rec, annotator  (360 samples/second)\n\n", 1,
       "rec", "", 360, ""},
      {"frequency not a number", "[RQEditLog-1.0] Record rec, annotator atr (fast samples/second)\n\n",
       1, "rec", "atr", 0, ""},
      {"rest of line 1 not examined",
       "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)junk\n\n", 1, "rec", "atr",
       360, ""},
      {"empty input", "", 0, nullptr, nullptr, 0, ""},
      {"magic in other case", "[rqeditlog-1.0] Record rec, annotator atr (360 samples/second)\n\n",
       0, nullptr, nullptr, 0, ""},
      {"no comma", "[RQEditLog-1.0] Record rec annotator atr (360 samples/second)\n\n", 0,
       nullptr, nullptr, 0, ""},
      {"annotator label misspelt", "[RQEditLog-1.0] Record rec, Annotator atr (360 samples/second)\n\n",
       0, nullptr, nullptr, 0, ""},
      {"two spaces before the name", "[RQEditLog-1.0] Record rec, annotator  atr (360 samples/second)\n\n",
       0, nullptr, nullptr, 0, ""},
      {"no space after the name", "[RQEditLog-1.0] Record rec, annotator atr\n\n", 0, nullptr,
       nullptr, 0, ""},
      {"no ( after the name", "[RQEditLog-1.0] Record rec, annotator atr 360 samples/second)\n\n",
       0, nullptr, nullptr, 0, ""},
      {"unit misspelt", "[RQEditLog-1.0] Record rec, annotator atr (360 samples/sec)\n\n", 0,
       nullptr, nullptr, 0, ""},
      {"ends after line 1", line1, 0, nullptr, nullptr, 0, ""},
      {"line 2 with text", line1 + "text\n", 0, nullptr, nullptr, 0, ""},
      {"line 2 starts with a zero byte", line1 + std::string("\0\n", 2), 0, nullptr, nullptr, 0,
       ""},
      {"line 1 cut by the 499-byte read before its comma",
       "[RQEditLog-1.0] Record " + long_record + ", annotator a (1 samples/second)\n\n", 0,
       nullptr, nullptr, 0, ""},
  };
  for (const header_case& c : cases) {
    feed_editlog(c.input);
    EXPECT_EQ(parse_log_header(), c.accepted) << c.what;
    EXPECT_STREQ(record, c.record) << c.what;
    EXPECT_STREQ(annotator, c.annotator) << c.what;
    if (c.accepted) {
      EXPECT_EQ(sps, c.sps) << c.what;
      read_log_line();
      EXPECT_EQ(std::string(logtext), c.next) << c.what;
    }
  }
}

TEST(ParseLogHeader, LineOneLongerThan499LeavesItsRestForTheSecondRead) {
  // 499 characters fill the first read exactly; the rest is only the line end.
  std::string head = "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)";
  std::string fits = head + std::string(499 - head.size(), 'x');
  feed_editlog(fits + "\n\n");
  EXPECT_EQ(parse_log_header(), 1);
  feed_editlog(fits + "y\n\n");
  EXPECT_EQ(parse_log_header(), 0);
}

TEST(ParseLogHeader, SaysWhyItRefusesAHeader) {
  const struct {
    std::string input;
    const char* why;
  } cases[] = {
      {"", "the log is empty"},
      {"[RQEditLog-1.1] Record rec, annotator a (1 samples/second)\n\n",
       "the log does not begin with \"[RQEditLog-1.0] Record \""},
      {"\xef\xbb\xbf[RQEditLog-1.0] Record rec, annotator a (1 samples/second)\n\n",
       "the log begins with a UTF-8 byte order mark; save it without one"},
      {"[RQEditLog-1.0] Record rec annotator a (1 samples/second)\n\n",
       "no \", annotator \" follows the record name"},
      {"[RQEditLog-1.0] Record rec, annotator a(1 samples/second)\n\n",
       "no \" (\" follows the annotator name"},
      {"[RQEditLog-1.0] Record rec, annotator a (1 samples)\n\n",
       "no \" samples/second)\" follows the frequency"},
      {line1, "the log ends after its first line"},
      {line1 + "x\n", "line 2 is not empty"},
  };
  for (const auto& c : cases) {
    feed_editlog(c.input);
    EXPECT_EQ(parse_log_header(), 0) << c.input;
    EXPECT_STREQ(notes.why, c.why) << c.input;
  }
}

TEST(FormatLogHeader, WritesWhatTheReaderTakesBackOrSaysWhyNot) {
  const std::string longest(499 - 56, 'r');  // line 1 then holds 499 bytes, "\n" included
  const struct {
    std::string record, annotator, freq;
    const char* why;
  } cases[] = {
      {"rec", "atr", "360", nullptr},
      {"my study/rec 1", "a,b(c", "250.5", nullptr},
      {"", "", "1", nullptr},
      {longest, "a", "1", nullptr},
      {longest + "r", "a", "1", "a header line longer than 499 bytes"},
      {"a,b", "atr", "1", "a record name with \",\" or a line feed"},
      {"a\nb", "atr", "1", "a record name with \",\" or a line feed"},
      {"rec", "a b", "1", "an annotator name with a space or a line feed"},
      {"rec", "atr", "3 6", "a frequency that is empty or holds a space"},
      {"rec", "atr", "", "a frequency that is empty or holds a space"},
  };
  for (const auto& c : cases) {
    char out[header_text_max];
    const char* why = format_log_header(out, c.record.c_str(), c.annotator.c_str(), c.freq.c_str());
    EXPECT_STREQ(why, c.why) << c.record;
    if (why) continue;
    feed_editlog(std::string(out) + "5\n");
    ASSERT_EQ(parse_log_header(), 1) << out;
    EXPECT_EQ(record, c.record);
    EXPECT_EQ(annotator, c.annotator);
    EXPECT_EQ(read_log_line(), 2u) << out;
  }
}

TEST(ReadLogLine, TakesAtMost499BytesAndStopsAfterALineEnd) {
  feed_editlog(std::string(600, 'a') + std::string("\nb\0c\nlast", 9));
  EXPECT_EQ(read_log_line(), 499u);
  EXPECT_EQ(read_log_line(), 102u);
  EXPECT_EQ(read_log_line(), 4u);
  EXPECT_EQ(std::string(logtext, 4), std::string("b\0c\n", 4));
  EXPECT_EQ(read_log_line(), 4u);
  EXPECT_STREQ(logtext, "last");
  EXPECT_EQ(read_log_line(), 0u);
  EXPECT_STREQ(logtext, "");
}

}  // namespace
