// Stretches of the input file in the list: what passes whole, and that a
// run with them writes exactly what a run with a node per annotation writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "annlib/format.h"
#include "annlib/test_dir.h"
#include "annlist.h"

namespace {

struct ann {
  int32_t time;
  int8_t type, subtype;
  uint8_t channel;
  int8_t number;
  bool has_aux;
  std::string aux;
};

// How a record is coded another way than our writer codes it.
enum recoding { plain, long_time_step, zero_subtype, same_type };

// The file image of anns, each record coded as `how` says (plain when empty).
std::string make_file(const std::vector<ann>& anns, const std::vector<recoding>& how = {}) {
  std::string file(ann_header_size, 0);
  encode_header((unsigned char*)file.data());
  ann_codec c;
  init_codec(&c);
  for (size_t i = 0; i < anns.size(); i++) {
    const ann& a = anns[i];
    std::string counted = std::string(1, (char)a.aux.size()) + a.aux;
    nesk_ann n = {a.time,    a.type,   a.subtype,
                  a.channel, a.number, a.has_aux ? (unsigned char*)counted.data() : nullptr};
    int8_t before = c.type;
    unsigned char rec[ann_record_max];
    std::string r((char*)rec, encode_ann(&c, &n, rec));
    size_t step_end = 1;
    while (r[step_end] & 0x80) step_end++;
    step_end++;
    recoding h = i < how.size() ? how[i] : plain;
    if (h == long_time_step) {
      r[step_end - 1] |= (char)0x80;
      r.insert(step_end, 1, '\0');
    } else if (h == zero_subtype && a.subtype == 0) {
      r[0] |= has_subtype;
      r.insert(step_end + (r[0] & has_type ? 1 : 0), 1, '\0');
    } else if (h == same_type && a.type == before) {
      r[0] |= has_type;
      r.insert(step_end, 1, (char)a.type);
    }
    file += r;
  }
  unsigned char trailer[ann_trailer_size];
  encode_trailer(anns.size(),
                 crc_bytes(crc_bytes(0, nullptr, 0), (unsigned char*)file.data(), file.size()),
                 trailer);
  return file + std::string((char*)trailer, ann_trailer_size);
}

struct edit {
  bool insert;
  ann a;
};

class Stretches : public InScratchDir {
 protected:
  static void write_input(const std::string& image) {
    std::ofstream("rec.in", std::ios::binary) << image;
  }

  // Loads rec.in, by stretches or one annotation at a time, applies the
  // edits, at once or queued in batches of `room`, and returns the file
  // written.
  std::string run(bool stretches, const std::vector<edit>& edits, uint32_t room = 0) {
    EXPECT_EQ(init_annlist(), 1);
    annotator_info ai = {"in", ann_read};
    EXPECT_EQ(annopen("rec", &ai, 1), 0);
    if (stretches)
      load_annlist();
    else
      while (getann(0, &annot) == 0) insert_ann();
    for (const ann_node* p = aphead->next; p; p = p->next)
      long_stretches += p->type == stretch_node && p->stretch->count > 64;
    ai = {"out", ann_write};
    EXPECT_EQ(annopen("rec", &ai, 1), 0);
    for (const edit& e : edits) {
      std::string counted = std::string(1, (char)e.a.aux.size()) + e.a.aux;
      annot = {e.a.time,    e.a.type,   e.a.subtype,
               e.a.channel, e.a.number, e.a.has_aux ? (unsigned char*)counted.data() : nullptr};
      if (room)
        queue_ann(e.insert ? 1 : 2);
      else if (e.insert)
        insert_ann();
      else
        delete_ann();
    }
    write_annlist();
    EXPECT_EQ(neskquit(), 0);
    std::ifstream f("rec.out", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  int long_stretches = 0;  // loaded with more than two marks in them
};

// What the list holds after loading: "S3" a stretch of 3, "n" an annotation.
std::string loaded_shape() {
  std::string s;
  for (const ann_node* p = aphead->next; p; p = p->next) {
    if (p->type != stretch_node) {
      s += 'n';
      continue;
    }
    s += 'S';
    s += std::to_string(p->stretch->count);
  }
  return s;
}

TEST_F(Stretches, WhatPassesWhole) {
  auto at = [](int32_t t) { return ann{t, 1, 0, 0, 0, false, ""}; };
  ann empty_aux = at(35);
  empty_aux.has_aux = true;
  const struct {
    const char* what;
    std::vector<ann> anns;
    std::vector<recoding> how;
    const char* shape;
  } cases[] = {
      {"ascending", {at(10), at(20), at(30), at(40)}, {}, "S4"},
      {"two at one place", {at(10), at(20), at(20), at(30), at(40)}, {}, "S1nnS2"},
      {"a step back", {at(10), at(20), at(30), at(40), at(15), at(50), at(60)}, {}, "S1nS3S2"},
      {"a step back into three", {at(10), at(20), at(30), at(15), at(40), at(50)}, {}, "nnnnS2"},
      {"an empty aux", {at(10), at(20), empty_aux, at(40)}, {}, "S2nS1"},
      {"a long time step",
       {at(10), at(20), at(30), at(40)},
       {plain, plain, long_time_step},
       "S2S2"},
      {"a subtype of 0 coded", {at(10), at(20), at(30)}, {plain, zero_subtype}, "S1S2"},
      {"a type coded again", {at(10), at(20), at(30)}, {plain, plain, same_type}, "S2S1"},
  };
  for (const auto& c : cases) {
    write_input(make_file(c.anns, c.how));
    ASSERT_EQ(init_annlist(), 1);
    annotator_info ai = {"in", ann_read};
    ASSERT_EQ(annopen("rec", &ai, 1), 0);
    EXPECT_EQ(load_annlist(), (long)c.anns.size()) << c.what;
    EXPECT_EQ(loaded_shape(), c.shape) << c.what;
    release_annlist();
    neskquit();
  }
}

// A run of stretches writes, byte for byte, what a node per annotation writes,
// whatever the file and wherever the edits land, and so do edits queued.
TEST_F(Stretches, WriteWhatANodePerAnnotationWrites) {
  std::mt19937 rng(3);
  const std::string auxes[] = {"a", std::string("z\0y", 3), "", std::string(255, 'q')};
  auto random_ann = [&](int32_t time) {
    ann a = {time,
             (int8_t)(rng() % 8 ? 1 : 2 + rng() % 3),
             (int8_t)(rng() % 6 ? 0 : 1),
             (uint8_t)(rng() % 5 ? 0 : 1),
             (int8_t)(rng() % 5 ? 0 : -1),
             rng() % 6 == 0,
             ""};
    int which = (int)(rng() % 20);  // an empty aux, which breaks a stretch, seldom
    if (a.has_aux) a.aux = auxes[which < 9 ? 0 : which < 18 ? 1 : which - 16];
    return a;
  };
  for (int round = 0; round < 150; round++) {
    std::vector<ann> anns;
    std::vector<recoding> how;
    int32_t t = (int32_t)(rng() % 3) - 1;
    const int odd[] = {1, 13, 40};  // in a hundred: records that break a stretch
    int scale = odd[rng() % 3];
    for (int n = rng() % 400; n > 0; n--) {
      int r = (int)(rng() % 100) * 13 / scale;
      if (r < 4 && !anns.empty()) {
        anns.push_back(anns[rng() % anns.size()]);  // a repeated annotation
      } else if (r < 10 && !anns.empty()) {
        anns.push_back(random_ann(anns.back().time));  // at the same time
      } else if (r < 13) {
        anns.push_back(random_ann(t - (int32_t)(rng() % 500)));  // a step back
      } else {
        t += 1 + rng() % 9;
        anns.push_back(random_ann(t));
      }
      how.push_back(rng() % (300 / scale) ? plain : (recoding)(1 + rng() % 3));
    }
    std::vector<edit> edits;
    // Every third round is dense, two edits an annotation: stretches are cut
    // to pieces, pieces of a few are melted into nodes, and edits among
    // those cut the stretches beside them again.
    for (int n = round % 3 == 1 ? (int)anns.size() * 2 : (int)(rng() % 40); n > 0; n--) {
      int r = rng() % 4;
      if (r == 0 && !anns.empty()) {
        edits.push_back({false, anns[rng() % anns.size()]});  // deletes what is there
      } else if (r == 1 && !anns.empty()) {
        ann a = anns[rng() % anns.size()];
        a.number = (int8_t)(a.number + (int)(rng() % 3) - 1);  // beside what is there
        edits.push_back({rng() % 2 == 0, a});
      } else {
        edits.push_back({rng() % 3 != 0, random_ann((int32_t)(rng() % (t + 20)))});
      }
    }
    // A long run at one place, of a few values repeated: deletes of the
    // last value match nothing there and walk the whole run.
    if (round % 4 == 0 && !anns.empty()) {
      ann at = anns[rng() % anns.size()];
      ann values[4] = {at, at, at, at};
      values[1].aux = "b", values[1].has_aux = true;
      values[2].type = (int8_t)(at.type + 1);
      values[3].subtype = (int8_t)(at.subtype + 1);
      for (int n = 60 + rng() % 200; n > 0; n--) {
        bool insert = rng() % 100 < 55;
        edits.push_back({insert, values[rng() % (insert ? 3 : 4)]});
      }
    }
    write_input(make_file(anns, how));
    std::string one_by_one = run(false, edits);
    ASSERT_FALSE(one_by_one.empty());
    ASSERT_EQ(run(true, edits), one_by_one) << "round " << round;
    // Queued edits, applied in order of place a batch at a time: batches of
    // one, small batches whose walks run out and build the index, and one
    // batch for the whole log.
    const uint32_t rooms[] = {1, 3, 17, 1 << 16};
    queue_room = rooms[round / 3 % 4];
    ASSERT_EQ(run(true, edits, queue_room), one_by_one) << "round " << round << " queued";
    queue_room = 1 << 16;
  }
  EXPECT_GT(long_stretches, 20);
}

}  // namespace
