#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "annlist/annlist.h"
#include "editlog.h"
#include "test_feed.h"

namespace {

// One entry's result in words: "insert 100 type 1 {1/2/3} aux 5 'Hello'".
std::string describe(int verdict) {
  if (verdict == 0) return "end";
  if (verdict == -1) return std::string("malformed: ") + (notes.why ? notes.why : "(no reason)");
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
      {"100-200,N{1/2}\n", "malformed: no / follows the channel", warn_tf},
      {"100-50,N\n", "malformed: the end time is before the time"},
      {"100-\n", "malformed: the end time is missing"},
      {"100-x\n", "malformed: the end time is missing"},
      {"100-2147483648\n", "malformed: the end time is above 2147483647"},
  };
  check_entries(cases, std::size(cases));
}

TEST(GetLogEntry, MalformedLinesAreSkippedSilentlyWithAReason) {
  const entry_case cases[] = {
      {"\n", "malformed: the line is empty"},
      {"\r\n", "malformed: the line is empty"},
      {"x100\n", "malformed: the time is missing"},
      {"+100\n", "malformed: the time is missing"},
      {" 100\n", "malformed: the time is missing"},
      {"-\n", "malformed: the time is missing"},
      {"--100\n", "malformed: the time is missing"},
      {"2147483648\n", "malformed: the time is above 2147483647"},
      {"99999999999999999999999\n", "malformed: the time is above 2147483647"},
      {"100x,\n", "malformed: the time is followed by 'x', not by ',' or '-'"},
      {"100;N\n", "malformed: the time is followed by ';', not by ',' or '-'"},
      {"100\tN\n", "malformed: the time is followed by '\\x09', not by ',' or '-'"},
      {"100,N{1}\n", "malformed: no / follows the subtype"},
      {"100,N{1/2}\n", "malformed: no / follows the channel"},
      {"100,N{1/2/3\n", "malformed: no } closes the attributes"},
      {std::string("100,N\0x\n", 8), "malformed: the line holds a zero byte"},
      {std::string("100\0\n", 5), "malformed: the line holds a zero byte"},
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

namespace {

nesk_ann make_ann(int32_t time, int type, int subtype, int channel, int number,
                  const std::string* aux, unsigned char* buf) {
  nesk_ann a = {time, (int8_t)type, (int8_t)subtype, (uint8_t)channel, (int8_t)number, nullptr};
  if (aux) {
    buf[0] = (unsigned char)aux->size();
    memcpy(buf + 1, aux->data(), aux->size());
    buf[1 + aux->size()] = 0;
    a.aux = buf;
  }
  return a;
}

TEST(FormatLogEntry, WritesThePlainestLineOrSaysWhyThereIsNone) {
  const std::string text = "a,b{c}", empty, lf = "a\nb", nul("a\0b", 3), cr_end = "ab\r",
                    cr_mid = "a\rb";
  const struct {
    int32_t time;
    int type, subtype, channel, number;
    const std::string* aux;
    bool del;
    const char* line;  // null: no line can carry it
    const char* why;
  } cases[] = {
      {100, 1, 0, 0, 0, nullptr, false, "100,N\n", nullptr},
      {100, 2, 0, 1, 0, nullptr, true, "-100,ART{0/1/0}\n", nullptr},
      {0, 22, -1, 255, -128, nullptr, false, "0,NOTE{-1/255/-128}\n", nullptr},
      {7, 1, 0, 0, 0, &text, false, "7,N,a,b{c}\n", nullptr},
      {7, 1, 0, 0, 0, &cr_mid, false, "7,N,a\rb\n", nullptr},
      {-1, 1, 0, 0, 0, nullptr, false, nullptr, "its time is negative"},
      {5, 50, 0, 0, 0, nullptr, false, nullptr, "its type has no mnemonic"},
      {5, 1, 0, 0, 0, &empty, false, nullptr, "its aux is present but empty"},
      {5, 1, 0, 0, 0, &lf, false, nullptr, "its aux holds a line feed"},
      {5, 1, 0, 0, 0, &nul, false, nullptr, "its aux holds a zero byte"},
      {5, 1, 0, 0, 0, &cr_end, false, nullptr, "its aux ends in a carriage return"},
  };
  for (const auto& c : cases) {
    unsigned char buf[257];
    nesk_ann a = make_ann(c.time, c.type, c.subtype, c.channel, c.number, c.aux, buf);
    EXPECT_STREQ(check_entry_text(&a), c.why) << c.time;
    char line[entry_line_max];
    if (c.line) {
      EXPECT_EQ(std::string(line, format_log_entry(line, &a, c.del)), c.line);
    }
  }
}

// Every annotation an entry line can carry reads back as itself.
TEST(FormatLogEntry, ReadsBackAsTheSameAnnotation) {
  std::mt19937 rng(7);
  const auto codes = list_ann_codes();
  const char bytes[] = {'a', ',', '{', '}', '/', ' ', '\r', '\n', '\0', '-', '\x80', ':'};
  int written = 0;
  for (int i = 0; i < 20000; i++) {
    std::string aux;
    bool has_aux = rng() % 2;
    for (size_t n = rng() % 3 ? rng() % 6 : rng() % 256; has_aux && aux.size() < n;)
      aux += bytes[rng() % sizeof bytes];
    unsigned char buf[257];
    nesk_ann a =
        make_ann((int32_t)(rng() % 3 ? rng() % 1000 : rng()), codes[rng() % codes.size()].code,
                 (int)(rng() % 4) - 1, rng() % 3 ? 0 : (int)(rng() % 256), (int)(rng() % 4) - 2,
                 has_aux ? &aux : nullptr, buf);
    if (rng() % 50 == 0) a.type = (int8_t)(100 + rng() % 20);
    if (check_entry_text(&a)) continue;
    written++;
    bool del = rng() % 2;
    char line[entry_line_max];
    size_t len = format_log_entry(line, &a, del);
    ASSERT_LE(len, 499u);
    feed_editlog(std::string(line, len));
    nesk_ann want = a;
    ASSERT_EQ(get_log_entry(), del ? 2 : 1) << std::string(line, len);
    EXPECT_EQ(std::make_tuple(annot.time, annot.type, annot.subtype, annot.channel, annot.number),
              std::make_tuple(want.time, want.type, want.subtype, want.channel, want.number))
        << std::string(line, len);
    ASSERT_EQ(annot.aux != nullptr, want.aux != nullptr) << std::string(line, len);
    if (want.aux) {
      EXPECT_EQ(std::string((char*)annot.aux, annot.aux[0] + 1),
                std::string((char*)want.aux, want.aux[0] + 1));
    }
  }
  EXPECT_GT(written, 10000);
}

}  // namespace
