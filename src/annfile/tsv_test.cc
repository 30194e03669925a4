#include "tsv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string format_line(const nesk_ann& a) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  EXPECT_EQ(write_ann_line(f, &a), 0);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

TEST(AnnLine, AuxEscapesAreExactAndReadBack) {
  struct {
    std::string aux;  // the stored bytes, without the length byte
    std::string text;
  } cases[] = {
      {"", ""},
      {"plain text, {braces}", "plain text, {braces}"},
      {"\\", "\\\\"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {std::string("\0\x01\x1f\x7f", 4), "\\x00\\x01\\x1f\\x7f"},
      {"\x80\xff\xc3\xa9 ~", "\x80\xff\xc3\xa9 ~"},
  };
  for (const auto& c : cases) {
    unsigned char aux[257] = {(unsigned char)c.aux.size()};
    memcpy(aux + 1, c.aux.data(), c.aux.size());
    nesk_ann a = {-7, 22, -1, 200, 127, aux};
    std::string line = format_line(a);
    EXPECT_EQ(line, "-7\t22\t-1\t200\t127\t" + c.text + "\n");
    nesk_ann back;
    unsigned char backaux[257];
    char why[200];
    ASSERT_EQ(parse_ann_line(line.data(), line.size() - 1, &back, backaux, why), nullptr) << why;
    ASSERT_NE(back.aux, nullptr);
    EXPECT_EQ(std::string((char*)back.aux + 1, back.aux[0]), c.aux);
    EXPECT_EQ(back.time, -7);
    EXPECT_EQ(back.channel, 200);
  }
  nesk_ann none = {1, 1, 0, 0, 0, nullptr};
  EXPECT_EQ(format_line(none), "1\t1\t0\t0\t0\n");
}

TEST(AnnLine, NumbersAreWholeFieldsWithinTheirRange) {
  struct {
    const char* line;
    bool ok;
  } cases[] = {
      {"+5\t-0\t0\t0\t0", true},   {"5\tN\t0\t0\t0", true},      {"5\tNOTE\t0\t0\t0", true},
      {"5x\t1\t0\t0\t0", false},   {"\t1\t0\t0\t0", false},      {"5\t128\t0\t0\t0", false},
      {"5\t-129\t0\t0\t0", false}, {"5\t1\t0\t-1\t0", false},    {"5\t1\t0\t0\t0x1", false},
      {"5\tn\t0\t0\t0", false},    {"99999999999\t1\t0\t0\t0", false},
  };
  for (const auto& c : cases) {
    nesk_ann a;
    unsigned char aux[257];
    char why[200];
    EXPECT_EQ(parse_ann_line(c.line, strlen(c.line), &a, aux, why) == nullptr, c.ok) << c.line;
  }
}

}  // namespace
