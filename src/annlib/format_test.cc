#include "format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>
#include <string>
#include <vector>

namespace {

struct sample {
  int32_t time;
  int8_t type, subtype;
  uint8_t channel;
  int8_t number;
  const char* aux;  // null: absent
  size_t auxlen;
};

const sample samples[] = {
    {0, 1, 0, 0, 0, nullptr, 0},
    {INT32_MAX, 127, 127, 255, 127, nullptr, 0},
    {INT32_MIN, -128, -128, 0, -128, nullptr, 0},  // the largest step back
    {INT32_MAX, 0, 0, 0, 0, "", 0},                // present but empty
    {-1, 22, 0, 7, -1, "a\0b\n\xff", 5},           // a zero byte inside
    {360, 1, 1, 0, 0, nullptr, 0},
};

// A whole file of anns, with the header given, else one encode_header writes.
std::vector<unsigned char> encode_file(const std::vector<nesk_ann>& anns,
                                       const ann_codes* codes = nullptr,
                                       const std::vector<unsigned char>* header = nullptr) {
  std::vector<unsigned char> file(ann_header_size + ann_codes_max);
  file.resize(encode_header(file.data(), codes));
  if (header) file = *header;
  ann_codec c;
  init_codec(&c);
  for (const nesk_ann& a : anns) {
    unsigned char rec[ann_record_max];
    size_t n = encode_ann(&c, &a, rec);
    file.insert(file.end(), rec, rec + n);
  }
  unsigned char trailer[ann_trailer_size];
  encode_trailer(anns.size(), crc_bytes(crc_bytes(0, nullptr, 0), file.data(), file.size()), trailer);
  file.insert(file.end(), trailer, trailer + ann_trailer_size);
  return file;
}

std::vector<nesk_ann> sample_anns(std::vector<std::vector<unsigned char>>& auxes) {
  std::vector<nesk_ann> anns;
  for (const sample& s : samples) {
    nesk_ann a = {s.time, s.type, s.subtype, s.channel, s.number, nullptr};
    if (s.aux) {
      auxes.emplace_back(1, (unsigned char)s.auxlen);
      auxes.back().insert(auxes.back().end(), s.aux, s.aux + s.auxlen);
      auxes.back().push_back(0);
    }
    anns.push_back(a);
  }
  size_t k = 0;
  for (size_t i = 0; i < anns.size(); i++)
    if (samples[i].aux) anns[i].aux = auxes[k++].data();
  return anns;
}

TEST(Format, RoundTripKeepsEveryFieldAndEveryAuxByte) {
  std::vector<std::vector<unsigned char>> auxes;
  auxes.reserve(16);
  std::vector<nesk_ann> anns = sample_anns(auxes);
  std::vector<unsigned char> file = encode_file(anns);
  ASSERT_EQ(check_annfile(file.data(), file.size()), nullptr);
  ann_codec c;
  init_codec(&c);
  size_t pos = ann_header_size, end = file.size() - ann_trailer_size;
  for (const nesk_ann& want : anns) {
    nesk_ann got;
    unsigned char auxbuf[257];
    ASSERT_EQ(decode_ann(&c, file.data(), end, &pos, &got, auxbuf), 0);
    EXPECT_EQ(got.time, want.time);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.subtype, want.subtype);
    EXPECT_EQ(got.channel, want.channel);
    EXPECT_EQ(got.number, want.number);
    ASSERT_EQ(got.aux == nullptr, want.aux == nullptr);
    if (want.aux) {
      EXPECT_EQ(memcmp(got.aux, want.aux, want.aux[0] + 1u), 0);
      EXPECT_EQ(got.aux[want.aux[0] + 1], 0);
    }
  }
  EXPECT_EQ(pos, end);
}

TEST(Format, SortedRecordWithoutAuxTakesAtMostFourBytesAnAnnotation) {
  std::vector<nesk_ann> anns;
  for (int i = 0; i < 10000; i++) {
    // A beat every 250 to 450 samples, now and then another type.
    int32_t t = anns.empty() ? 0 : anns.back().time + 250 + (i * 7919) % 200;
    anns.push_back({t, (int8_t)(i % 50 == 0 ? 5 : 1), 0, 0, 0, nullptr});
  }
  std::vector<unsigned char> file = encode_file(anns);
  double per = (double)(file.size() - ann_header_size - ann_trailer_size) / anns.size();
  EXPECT_LE(per, 4.0);
}

TEST(Format, EveryTruncationAndEveryFlippedBitIsRefused) {
  std::vector<std::vector<unsigned char>> auxes;
  auxes.reserve(16);
  std::vector<unsigned char> file = encode_file(sample_anns(auxes));
  for (size_t len = 0; len < file.size(); len++)
    EXPECT_NE(check_annfile(file.data(), len), nullptr) << "cut at " << len;
  for (size_t bit = 0; bit < file.size() * 8; bit++) {
    std::vector<unsigned char> bad = file;
    bad[bit / 8] ^= (unsigned char)(1 << bit % 8);
    EXPECT_NE(check_annfile(bad.data(), bad.size()), nullptr) << "bit " << bit;
  }
}

TEST(Format, RefusalsSayWhy) {
  std::vector<unsigned char> empty = encode_file({});
  EXPECT_EQ(check_annfile(empty.data(), empty.size()), nullptr);
  std::vector<unsigned char> v3 = empty;
  v3[7] = 3;
  EXPECT_STREQ(check_annfile(v3.data(), v3.size()), "unsupported annotation file version");
  const unsigned char text[] = "hello, world";
  EXPECT_STREQ(check_annfile(text, sizeof text), "not an annotation file");
  EXPECT_STREQ(check_annfile(empty.data(), 5), "truncated annotation file");
}

TEST(Format, RecordsThatRunPastTheirEndAreRefusedByTheDecoder) {
  const unsigned char cases[][4] = {
      {0x20, 0x00, 0, 0},        // an unknown flag
      {0x00, 0x80, 0x80, 0x80},  // a time that never ends
      {0x01, 0x02, 0, 0},        // type flag, no type byte left (end is 2)
      {0x10, 0x02, 0x05, 0},     // an aux longer than what is left
  };
  size_t ends[] = {4, 4, 2, 4};
  for (size_t i = 0; i < 4; i++) {
    ann_codec c;
    init_codec(&c);
    size_t pos = 0;
    nesk_ann a;
    unsigned char auxbuf[257];
    EXPECT_EQ(decode_ann(&c, cases[i], ends[i], &pos, &a, auxbuf), -1) << i;
    EXPECT_EQ(pos, 0u);
  }
}

// Records are read a word at a time where eight bytes or more are left, and
// byte by byte near the end: both ways must agree on every record.
TEST(Format, ReadingAWordAtATimeAgreesWithReadingByteByByte) {
  std::mt19937 rng(9);
  for (int i = 0; i < 200000; i++) {
    unsigned char bytes[8 + 16] = {};
    size_t len = 1 + rng() % 8;
    bytes[0] = (unsigned char)(rng() % 8 ? rng() % 32 : rng());
    for (size_t k = 1; k < len; k++) bytes[k] = (unsigned char)(rng() % 3 ? rng() | 0x80 : rng());
    for (size_t k = len; k < sizeof bytes; k++) bytes[k] = (unsigned char)rng();
    ann_codec start = {(int32_t)(rng() % 4 ? rng() % 1000 : rng()), (int8_t)rng()};
    ann_codec cw = start, cb = start;
    size_t pw = 0, pb = 0;
    ann_record rw = {}, rb = {};
    int word = read_record(&cw, bytes, sizeof bytes, &pw, &rw);  // eight or more left
    int byte = read_record(&cb, bytes, len, &pb, &rb);           // fewer than eight left
    if (byte == 0) {
      ASSERT_EQ(word, 0) << i;
      EXPECT_EQ(pw, pb);
      EXPECT_EQ(std::make_tuple(rw.ann.time, rw.ann.type, rw.ann.subtype, rw.ann.channel,
                                rw.ann.number, rw.aux_len, rw.canonical),
                std::make_tuple(rb.ann.time, rb.ann.type, rb.ann.subtype, rb.ann.channel,
                                rb.ann.number, rb.aux_len, rb.canonical))
          << i;
      EXPECT_EQ(std::make_tuple(cw.time, cw.type), std::make_tuple(cb.time, cb.type));
    } else if (word == 0) {
      EXPECT_GT(pw, len) << i;  // the record runs past what the byte reader had
    }
  }
}

// A table of own codes travels in the header: version 2 only when there is
// one, read back row for row, and refused whole when any row breaks a rule,
// whatever its checksum says.
TEST(Format, TableOfOwnCodesRoundTripsAndABadOneIsRefused) {
  ann_codes codes = {};
  ASSERT_EQ(add_own_code(&codes, 40, "W", "wake"), nullptr);
  ASSERT_EQ(add_own_code(&codes, 30, "V", "ventricular beat"), nullptr);
  ASSERT_EQ(add_own_code(&codes, 127, std::string(16, 'x').c_str(), std::string(255, 'd').c_str()),
            nullptr);
  std::vector<std::vector<unsigned char>> auxes;
  auxes.reserve(16);
  std::vector<nesk_ann> anns = sample_anns(auxes);
  std::vector<unsigned char> plain = encode_file(anns), file = encode_file(anns, &codes);
  EXPECT_EQ(plain[7], 1);
  EXPECT_EQ(file[7], 2);
  ASSERT_EQ(check_annfile(file.data(), file.size()), nullptr);
  ann_codes back;
  size_t pos = ann_header_size;
  ASSERT_EQ(decode_codes(file.data(), file.size() - ann_trailer_size, &pos, &back), nullptr);
  ASSERT_EQ(back.count, 3);
  EXPECT_EQ(memcmp(&back, &codes, sizeof codes), 0);
  // The records follow the table exactly as they follow a plain header.
  EXPECT_EQ(std::vector<unsigned char>(file.begin() + pos, file.end() - ann_trailer_size),
            std::vector<unsigned char>(plain.begin() + ann_header_size, plain.end() - ann_trailer_size));
  for (size_t len = 0; len < file.size(); len++)
    EXPECT_NE(check_annfile(file.data(), len), nullptr) << "cut at " << len;
  for (size_t bit = 0; bit < (pos + 8) * 8; bit++) {
    std::vector<unsigned char> bad = file;
    bad[bit / 8] ^= (unsigned char)(1 << bit % 8);
    EXPECT_NE(check_annfile(bad.data(), bad.size()), nullptr) << "bit " << bit;
  }

  // Tables with a right checksum that break a rule.
  auto row = [](int code, std::string m, std::string d) {
    std::string r(1, (char)code);
    return r + (char)m.size() + m + (char)d.size() + d;
  };
  struct {
    const char* what;
    std::string table;  // after the version byte
  } bad[] = {
      {"no rows", std::string(1, '\0')},
      {"a built-in code", "\x01" + row(1, "X", "")},
      {"a built-in mnemonic", "\x01" + row(30, "NOTE", "")},
      {"code 0", "\x01" + row(0, "X", "")},
      {"code 128", "\x01" + row(128, "X", "")},
      {"rows out of order", "\x02" + row(31, "X", "") + row(30, "Y", "")},
      {"a code twice", "\x02" + row(30, "X", "") + row(30, "Y", "")},
      {"a mnemonic twice", "\x02" + row(30, "X", "") + row(31, "X", "")},
      {"an empty mnemonic", "\x01" + row(30, "", "")},
      {"a number", "\x01" + row(30, "-12", "")},
      {"a space", "\x01" + row(30, "A B", "")},
      {"a zero byte", "\x01" + row(30, std::string("A\0B", 3), "")},
      {"17 bytes", "\x01" + row(30, std::string(17, 'x'), "")},
      {"a control byte in a description", "\x01" + row(30, "X", "a\tb")},
      {"more rows than it holds", "\x02" + row(30, "X", "")},
      {"a length past the end", "\x01" + row(30, "X", "").substr(0, 3) + "\x09"},
  };
  for (const auto& c : bad) {
    std::string text((const char*)plain.data(), ann_header_size - 1);
    text += '\x02' + c.table;
    std::vector<unsigned char> header(text.begin(), text.end());
    std::vector<unsigned char> f = encode_file({}, nullptr, &header);
    EXPECT_STREQ(check_annfile(f.data(), f.size()), "damaged annotation file (bad table of codes)")
        << c.what;
  }
}

}  // namespace
