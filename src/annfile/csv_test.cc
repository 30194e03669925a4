#include "csv.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tsv.h"

namespace {

std::string escape(const std::string& bytes) {
  std::string out(4 * bytes.size(), '\0');
  out.resize(escape_csv_text((const unsigned char*)bytes.data(), bytes.size(), out.data()));
  return out;
}

std::string format_csv(const nesk_ann& a, double sps) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  write_csv_header(f, sps > 0);
  EXPECT_EQ(write_csv_row(f, &a, sps), 0);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

// Whether text is valid UTF-8 to the C library's strict decoder, a second
// opinion beside the one the escapes are made with.
bool is_utf8(const std::string& text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  EXPECT_NE(cd, (iconv_t)-1);
  std::string in = text, out(4 * text.size() + 4, '\0');
  char *from = in.data(), *to = out.data();
  size_t left = in.size(), room = out.size();
  size_t r = iconv(cd, &from, &left, &to, &room);
  iconv_close(cd);
  return r != (size_t)-1 && left == 0;
}

TEST(CsvText, EscapesWhatIsNoValidUtf8TextAndNothingElse) {
  struct {
    std::string bytes, text;
  } cases[] = {
      {"plain, \"quoted\" {text}", "plain, \"quoted\" {text}"},
      {"back\\slash", "back\\\\slash"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {std::string("\0\x01\x1f\x7f", 4), "\\x00\\x01\\x1f\\x7f"},
      // Two, three and four bytes of valid UTF-8 pass, the C1 controls do not.
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"\xc2\x85\xc2\x9f\xc2\xa0", "\\xc2\\x85\\xc2\\x9f\xc2\xa0"},
      // A lone byte from 0x80 up, an overlong form, a surrogate, a code
      // above U+10FFFF and a sequence cut short are each byte escaped.
      {"\x80\xff", "\\x80\\xff"},
      {"\xc0\x80\xe0\x80\x80", "\\xc0\\x80\\xe0\\x80\\x80"},
      {"\xed\xa0\x80\xed\x9f\xbf", "\\xed\\xa0\\x80\xed\x9f\xbf"},
      {"\xf4\x90\x80\x80\xf4\x8f\xbf\xbf", "\\xf4\\x90\\x80\\x80\xf4\x8f\xbf\xbf"},
      {"\xe2\x82x\xe2\x82", "\\xe2\\x82x\\xe2\\x82"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escape(c.bytes), c.text) << c.text;
    EXPECT_TRUE(is_utf8(c.text));
  }
  EXPECT_FALSE(is_utf8("\xed\xa0\x80"));
  EXPECT_FALSE(is_utf8("\xc0\x80"));
}

// Any annotation, any aux bytes: the row is one line of text without a
// control byte, and reads back as the same annotation.
TEST(CsvText, EveryAnnotationReadsBackFromItsRow) {
  std::mt19937 rng(16);
  // Bytes that matter most come often: quotes, commas, backslashes, line
  // ends, lead and continuation bytes.
  const std::string often = "\"\\,\n\r\t x\xc2\xe2\xed\xf0\xf4\x80\x85\x9f\xa0\xbf";
  for (int round = 0; round < 20000; round++) {
    unsigned char aux[257];
    size_t len = rng() % (round % 10 == 0 ? 256 : 12);
    aux[0] = (unsigned char)len;
    for (size_t i = 1; i <= len; i++)
      aux[i] = rng() % 2 ? (unsigned char)often[rng() % often.size()] : (unsigned char)rng();
    aux[len + 1] = 0;
    nesk_ann a = {(int32_t)rng(), (int8_t)rng(), (int8_t)rng(),
                  (uint8_t)rng(), (int8_t)rng(), rng() % 4 ? aux : nullptr};
    std::string text = format_csv(a, round % 2 ? 250 : 0);
    size_t nl = text.find('\n');
    ASSERT_EQ(text.find('\n', nl + 1), text.size() - 1);
    for (unsigned char c : text.substr(0, text.size() - 1))
      ASSERT_TRUE((c >= 0x20 && c != 0x7f) || c == '\n') << text;
    ASSERT_TRUE(is_utf8(text)) << text;
    std::string header = text.substr(0, nl), row = text.substr(nl + 1, text.size() - nl - 2);
    csv_columns columns;
    char why[200];
    ASSERT_EQ(parse_csv_header(header.data(), header.size(), &columns, why), nullptr) << header;
    nesk_ann back;
    unsigned char backaux[257];
    ASSERT_EQ(parse_csv_row(row.data(), row.size(), &columns, &back, backaux, why), nullptr)
        << why << ": " << row;
    EXPECT_EQ(back.time, a.time);
    EXPECT_EQ(back.type, a.type);
    EXPECT_EQ(back.subtype, a.subtype);
    EXPECT_EQ(back.channel, a.channel);
    EXPECT_EQ(back.number, a.number);
    ASSERT_EQ(back.aux == nullptr, a.aux == nullptr) << row;
    if (a.aux) {
      EXPECT_EQ(std::string((char*)back.aux, back.aux[0] + 1u), std::string((char*)aux, len + 1))
          << row;
    }
  }
}

}  // namespace
