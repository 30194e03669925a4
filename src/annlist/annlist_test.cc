#include "annlist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "locate.h"

namespace {

class AnnList : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(init_annlist(), 1); }
  void TearDown() override { release_annlist(); }

  // aux: null for none; else the counted text, length byte first.
  static void set_annot(int32_t time, int8_t type, const std::string* aux = nullptr,
                        uint8_t channel = 0, int8_t number = 0, int8_t subtype = 0) {
    static unsigned char buf[300];
    annot = {time, type, subtype, channel, number, nullptr};
    if (aux) {
      memcpy(buf, aux->data(), aux->size());
      buf[aux->size()] = 0;
      annot.aux = buf;
    }
  }
  static void insert(int32_t time, int8_t type = 1, const std::string* aux = nullptr,
                     uint8_t channel = 0, int8_t number = 0) {
    set_annot(time, type, aux, channel, number);
    ASSERT_EQ(insert_ann(), 1);
  }
  // The list head to tail as "time:type:channel:number[:aux]", checking the links.
  static std::vector<std::string> contents() {
    std::vector<std::string> v;
    const ann_node* prev = aphead;
    for (const ann_node* p = aphead->next; p; prev = p, p = p->next) {
      EXPECT_EQ(p->prev, prev);
      EXPECT_LE(prev == aphead ? INT64_MIN : prev->key, p->key);
      nesk_ann a;
      decode_key(p->key, &a);
      char fields[64];
      snprintf(fields, sizeof fields, "%d:%d:%d:%d", a.time, p->type, a.channel, a.number);
      std::string s = fields;
      if (p->aux) s.append(":").append((const char*)p->aux + 1, p->aux[0]);
      v.push_back(s);
    }
    EXPECT_EQ(aptail, prev);
    return v;
  }
};

TEST(SortKey, OrdersByTimeThenChannelThenSignedNumberAndDecodesBack) {
  struct {
    int32_t time;
    uint8_t channel;
    int8_t number;
  } ascending[] = {
      {INT32_MIN, 0, -128}, {-1, 255, 127}, {0, 0, -128}, {0, 0, -1}, {0, 0, 0},
      {0, 1, -128},         {1, 0, -128},   {65536, 0, 0}, {INT32_MAX, 255, 127},
  };
  int64_t last = INT64_MIN;
  for (const auto& c : ascending) {
    int64_t key = make_key(c.time, c.channel, c.number);
    EXPECT_LT(last, key) << c.time << " " << +c.channel << " " << +c.number;
    last = key;
    nesk_ann a = {};
    decode_key(key, &a);
    EXPECT_EQ(a.time, c.time);
    EXPECT_EQ(a.channel, c.channel);
    EXPECT_EQ(a.number, c.number);
  }
  EXPECT_EQ(make_key(0, 0, -128), 0);
}

TEST_F(AnnList, KeepsCanonicalOrderWhateverTheInsertionOrder) {
  insert(70000);
  insert(5, 1, nullptr, 2, 0);
  insert(5, 1, nullptr, 1, 3);
  insert(5, 1, nullptr, 1, -1);
  insert(-3);
  insert(0, 1, nullptr, 0, -128);  // the sentinel's own key
  insert(INT32_MIN);
  EXPECT_EQ(contents(), (std::vector<std::string>{"-2147483648:1:0:0", "-3:1:0:0",
                                                  "0:1:0:-128", "5:1:1:-1", "5:1:1:3",
                                                  "5:1:2:0", "70000:1:0:0"}));
}

TEST_F(AnnList, NewAnnotationGoesBeforeEqualKeys) {
  insert(10, 1);
  insert(10, 2);
  insert(20, 1);
  insert(10, 3);
  insert(0, 4, nullptr, 0, -128);
  insert(0, 5, nullptr, 0, -128);
  EXPECT_EQ(contents(), (std::vector<std::string>{"0:5:0:-128", "0:4:0:-128", "10:3:0:0",
                                                  "10:2:0:0", "10:1:0:0", "20:1:0:0"}));
}

TEST_F(AnnList, AuxIsCopiedAsCountedAndAnEmptyAuxIsNotKept) {
  std::string empty("\0", 1), inner("\x03" "a\0b", 4), longer("\x02" "ab" "cd", 5);
  insert(1, 22, &empty);
  insert(2, 22, &inner);
  insert(3, 22, &longer);  // only the counted bytes are kept
  EXPECT_EQ(contents(), (std::vector<std::string>{"1:22:0:0", std::string("2:22:0:0:a\0b", 12),
                                                  "3:22:0:0:ab"}));
}

TEST_F(AnnList, DeleteMatchesKeyTypeSubtypeAndAuxExactly) {
  std::string x("\x01x", 2), y("\x01y", 2), empty("\0", 1), zero_a("\x02\0a", 3),
      zero_b("\x02\0b", 3);
  struct {
    const char* what;
    int32_t time;
    int8_t type;
    const std::string* aux;
    uint8_t channel;
    int8_t subtype;
    bool removed;
  } cases[] = {
      {"exact, no aux", 10, 1, nullptr, 0, 0, true},
      {"other time", 11, 1, nullptr, 0, 0, false},
      {"other channel", 10, 1, nullptr, 1, 0, false},
      {"other type", 10, 2, nullptr, 0, 0, false},
      {"other subtype", 10, 1, nullptr, 0, 1, false},
      {"aux where none is stored", 10, 1, &x, 0, 0, false},
      {"empty aux where none is stored", 10, 1, &empty, 0, 0, false},
      {"exact aux", 20, 22, &x, 0, 0, true},
      {"other aux", 20, 22, &y, 0, 0, false},
      {"no aux where one is stored", 20, 22, nullptr, 0, 0, false},
      {"aux with a zero byte, exact", 30, 22, &zero_a, 0, 0, true},
      {"aux differing after a zero byte", 30, 22, &zero_b, 0, 0, false},
  };
  for (const auto& c : cases) {
    release_annlist();
    ASSERT_EQ(init_annlist(), 1);
    insert(10, 1);
    insert(20, 22, &x);
    insert(30, 22, &zero_a);
    set_annot(c.time, c.type, c.aux, c.channel, 0, c.subtype);
    EXPECT_EQ(delete_ann(), c.removed ? 1 : 0) << c.what;
    EXPECT_EQ(contents().size(), c.removed ? 2u : 3u) << c.what;
  }
}

TEST_F(AnnList, DeleteRemovesTheMatchNearestTheTail) {
  std::string a("\x01" "a", 2), b("\x01" "b", 2);
  insert(10, 22, &a);  // stored first, so it ends up nearest the tail
  insert(10, 22, &b);
  insert(10, 22, &a);
  set_annot(10, 22, &a);
  EXPECT_EQ(delete_ann(), 1);
  EXPECT_EQ(contents(), (std::vector<std::string>{"10:22:0:0:a", "10:22:0:0:b"}));
  EXPECT_EQ(delete_ann(), 1);
  EXPECT_EQ(delete_ann(), 0);
  set_annot(10, 22, &b);
  EXPECT_EQ(delete_ann(), 1);
  EXPECT_EQ(contents(), std::vector<std::string>{});
  EXPECT_EQ(aptail, aphead);
}

// A run of one time, channel and number as long as a log can make it: a
// delete finds its match, or that there is none, without walking the run,
// and queued edits there walk no more than a batch's allowance before the
// index takes over.
TEST_F(AnnList, DeletesInALongRunOfOnePlaceWalkLittleOfIt) {
  const int n = 100000;
  auto aux_of = [](int i) {
    char text[16];
    return std::string(1, (char)snprintf(text, sizeof text, "a%d", i)) + text;
  };
  auto none = [](int) { return std::string(); };
  auto other = [](int) { return std::string("\x01z", 2); };
  const struct {
    const char* what;
    std::function<std::string(int)> inserted, deleted;  // the aux of the i-th; "" for none
    int removed;
  } cases[] = {
      {"deletes that match nothing", none, other, 0},
      {"each its own value, the newest deleted first", aux_of,
       [&](int i) { return aux_of(n - 1 - i); }, n},
      // The first half lies nearest the tail, so every match lies past it.
      {"the second half's value", [&](int i) { return i < n / 2 ? std::string() : other(i); },
       other, n / 2},
  };
  for (bool queued : {false, true})
    for (const auto& c : cases) {
      release_annlist();
      ASSERT_EQ(init_annlist(), 1);
      steps_walked = 0;
      for (int i = 0; i < n; i++) {
        std::string aux = c.inserted(i);
        set_annot(5000, 22, aux.empty() ? nullptr : &aux);
        ASSERT_EQ(queued ? queue_ann(1) : insert_ann(), 1);
      }
      int removed = 0;
      for (int i = 0; i < n; i++) {
        std::string aux = c.deleted(i);
        set_annot(5000, 22, aux.empty() ? nullptr : &aux);
        removed += queued ? queue_ann(2) : delete_ann();
      }
      apply_queue();
      long batches = queued ? (2L * n + queue_room - 1) / queue_room : 0;
      EXPECT_LE(steps_walked, (long)(n * std::log2(n)) + batches * 16L * queue_room) << c.what;
      std::vector<std::string> left = contents();
      if (queued) removed = n - (int)left.size();
      EXPECT_EQ(removed, c.removed) << c.what;
      ASSERT_EQ(left.size(), (size_t)(n - c.removed)) << c.what;
      for (const std::string& s : left) ASSERT_EQ(s, "5000:22:0:0") << c.what;
    }
}

TEST_F(AnnList, WriteOutReleasesEverythingEvenWhenEmpty) {
  write_annlist();
  EXPECT_EQ(aphead, nullptr);
  EXPECT_EQ(aptail, nullptr);
  ASSERT_EQ(init_annlist(), 1);
  insert(1);
  write_annlist();
  EXPECT_EQ(aptail, nullptr);
  EXPECT_EQ(annot.aux, nullptr);
}

}  // namespace
