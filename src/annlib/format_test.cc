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

std::vector<unsigned char> encode_file(const std::vector<nesk_ann>& anns) {
  std::vector<unsigned char> file(ann_header_size);
  encode_header(file.data());
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
  std::vector<unsigned char> v2 = empty;
  v2[7] = 2;
  EXPECT_STREQ(check_annfile(v2.data(), v2.size()), "unsupported annotation file version");
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

}  // namespace
