// The indexed list must give exactly what the plain tail walk gives, for any
// sequence of insertions and deletions.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "annlist.h"
#include "locate.h"

namespace {

struct model_ann {
  int64_t key;
  int type;
  std::string aux;  // "" stands for none: an empty aux is never kept
};

// The tail walk, plainly: a new annotation goes before its equal keys, a
// deletion takes the match nearest the tail.
struct tail_walk_model {
  std::vector<model_ann> anns;

  void insert(const model_ann& a) {
    size_t i = anns.size();
    while (i > 0 && anns[i - 1].key >= a.key) i--;
    anns.insert(anns.begin() + i, a);
  }
  bool erase(const model_ann& a) {
    for (size_t i = anns.size(); i-- > 0 && anns[i].key >= a.key;) {
      if (anns[i].key == a.key && anns[i].type == a.type && anns[i].aux == a.aux) {
        anns.erase(anns.begin() + i);
        return true;
      }
    }
    return false;
  }
};

std::vector<model_ann> list_contents() {
  std::vector<model_ann> v;
  const ann_node* prev = aphead;
  for (const ann_node* p = aphead->next; p; prev = p, p = p->next) {
    EXPECT_EQ(p->prev, prev);
    v.push_back({p->key, p->type, p->aux ? std::string((char*)p->aux + 1, p->aux[0]) : ""});
  }
  EXPECT_EQ(aptail, prev);
  return v;
}

void set_annot(const model_ann& a, unsigned char* auxbuf) {
  nesk_ann n = {};
  decode_key(a.key, &n);
  annot = n;
  annot.type = (int8_t)a.type;
  annot.aux = nullptr;
  if (!a.aux.empty()) {
    auxbuf[0] = (unsigned char)a.aux.size();
    memcpy(auxbuf + 1, a.aux.data(), a.aux.size());
    auxbuf[a.aux.size() + 1] = 0;
    annot.aux = auxbuf;
  }
}

// Keys come from a small range, so that equal keys, runs of them and deletes
// that match nothing are common; the list stays long enough that most
// operations land far from the tail and go through the index.
void drive(std::mt19937& rng, int start_size, int steps, int key_range) {
  static const char* const auxes[] = {"", "a", "b", "ab"};
  tail_walk_model model;
  ASSERT_EQ(init_annlist(), 1);
  unsigned char auxbuf[300];
  auto random_ann = [&] {
    int64_t key = make_key((int32_t)(rng() % key_range) - key_range / 4, (uint8_t)(rng() % 2),
                           (int8_t)(rng() % 2 ? 0 : -128));
    return model_ann{key, (int)(rng() % 2) + 1, auxes[rng() % 4]};
  };
  // A sorted load first, as a stored record arrives.
  std::vector<model_ann> stored;
  for (int i = 0; i < start_size; i++) stored.push_back(random_ann());
  std::stable_sort(stored.begin(), stored.end(),
                   [](const model_ann& a, const model_ann& b) { return a.key < b.key; });
  for (const model_ann& a : stored) {
    set_annot(a, auxbuf);
    insert_ann();
    model.insert(a);
  }
  for (int step = 0; step < steps; step++) {
    bool from_list = rng() % 3 == 0 && !model.anns.empty();
    model_ann a = from_list ? model.anns[rng() % model.anns.size()] : random_ann();
    bool inserting = rng() % 2 == 0;
    set_annot(a, auxbuf);
    if (inserting) {
      insert_ann();
      model.insert(a);
    } else {
      ASSERT_EQ(delete_ann(), model.erase(a) ? 1 : 0) << "step " << step;
    }
    if (step % 500 == 0 || step == steps - 1) {
      std::vector<model_ann> got = list_contents();
      ASSERT_EQ(got.size(), model.anns.size()) << "step " << step;
      for (size_t i = 0; i < got.size(); i++) {
        ASSERT_EQ(got[i].key, model.anns[i].key) << "step " << step << " at " << i;
        ASSERT_EQ(got[i].type, model.anns[i].type) << "step " << step << " at " << i;
        ASSERT_EQ(got[i].aux, model.anns[i].aux) << "step " << step << " at " << i;
      }
    }
  }
  release_annlist();
}

TEST(IndexedList, GivesWhatTheTailWalkGives) {
  std::mt19937 rng(20261208);
  struct {
    int start_size, steps, key_range;
  } runs[] = {
      {0, 20000, 50},         // everything near the tail, long runs of equal keys
      {5000, 40000, 3000},    // a long record edited anywhere
      {20000, 20000, 200},    // runs of about a hundred equal keys
      {3000, 30000, 100000},  // few equal keys
      {2000, 20000, 4},       // runs of about a thousand, eight values in each
  };
  for (const auto& r : runs) drive(rng, r.start_size, r.steps, r.key_range);
}

// A lookup descends the index and then walks over a few nodes, not over
// what edits added since the index was built.
TEST(IndexedList, ALookupWalksFewNodes) {
  std::mt19937 rng(17);
  unsigned char auxbuf[300];
  ASSERT_EQ(init_annlist(), 1);
  auto random_key = [&] { return make_key((int32_t)(rng() % 1000000), 0, 0); };
  // The index is built while the list is short, then the list grows.
  for (int i = 0; i < 100000; i++) {
    set_annot({random_key(), 1, ""}, auxbuf);
    insert_ann();
  }
  steps_walked = 0;
  const int ops = 100000;
  for (int i = 0; i < ops; i++) {
    set_annot({random_key(), 1, ""}, auxbuf);
    if (i % 2)
      insert_ann();
    else
      delete_ann();
  }
  EXPECT_LE(steps_walked, 8L * ops);
  release_annlist();
}

}  // namespace
