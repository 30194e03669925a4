// The entry reader over arbitrary log lines, with the list applying each
// entry as annapply does. After every entry the list must be whole (its links
// agree both ways and aptail is its last node), in order, and equal to a
// plain model: a vector where an insert goes before every equal key and a
// delete removes the match nearest the end.
#include <algorithm>
#include <string>
#include <vector>

#include "annlist/annlist.h"
#include "fuzz_support.h"

namespace {

struct model_ann {
  int64_t key;
  int32_t type;
  int8_t subtype;
  std::string aux;  // "" when absent: the list never keeps an empty aux
};

std::string aux_text(const unsigned char* aux) {
  return aux && aux[0] ? std::string((const char*)aux + 1, aux[0]) : std::string();
}

void insert_model(std::vector<model_ann>& m) {
  model_ann a = {make_key(annot.time, annot.channel, annot.number), annot.type, annot.subtype,
                 aux_text(annot.aux)};
  auto at = std::lower_bound(m.begin(), m.end(), a.key,
                             [](const model_ann& x, int64_t key) { return x.key < key; });
  m.insert(at, a);
}

// An entry whose aux is present but empty matches only a stored empty aux,
// and the list keeps none, so such a delete removes nothing.
bool delete_model(std::vector<model_ann>& m) {
  int64_t key = make_key(annot.time, annot.channel, annot.number);
  bool empty_aux = annot.aux && annot.aux[0] == 0;
  for (size_t i = m.size(); i-- > 0;) {
    const model_ann& a = m[i];
    if (a.key == key && a.type == annot.type && a.subtype == annot.subtype && !empty_aux &&
        a.aux == aux_text(annot.aux)) {
      m.erase(m.begin() + (long)i);
      return true;
    }
  }
  return false;
}

void check_list(const std::vector<model_ann>& m) {
  FUZZ_CHECK(aphead && !aphead->prev);
  size_t i = 0;
  ann_node* last = aphead;
  for (ann_node* p = aphead->next; p; last = p, p = p->next, i++) {
    FUZZ_CHECK(p->prev == last);
    FUZZ_CHECK(last == aphead || last->key <= p->key);
    FUZZ_CHECK(!p->aux || p->aux[0] != 0);
    FUZZ_CHECK(i < m.size());
    FUZZ_CHECK(p->key == m[i].key && p->type == m[i].type && p->subtype == m[i].subtype);
    FUZZ_CHECK(aux_text(p->aux) == m[i].aux);
  }
  FUZZ_CHECK(aptail == last);
  FUZZ_CHECK(i == m.size());
}

}  // namespace

// The warnings of the entry reader would drown the fuzzer's own output; they
// go through stdio's stderr, which alone is sent away.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FILE* null = fopen("/dev/null", "w");
  FUZZ_CHECK(null);
  stderr = null;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  feed_log(data, size);
  FUZZ_CHECK(init_annlist());
  std::vector<model_ann> model;
  long line = 0;
  for (int verdict; (verdict = get_log_entry()) != 0;) {
    FUZZ_CHECK(verdict == 1 || verdict == 2 || verdict == -1);
    // Every refused line has a reason and no other; each entry is a line further on.
    FUZZ_CHECK((verdict == -1) == (notes.why != nullptr));
    FUZZ_CHECK(notes.line > line);
    line = notes.line;
    if (verdict == 1) {
      FUZZ_CHECK(insert_ann() == 1);
      insert_model(model);
    }
    if (verdict == 2) FUZZ_CHECK(delete_ann() == (int)delete_model(model));
    check_list(model);
  }
  FUZZ_CHECK(log_read_error() == 0);
  // Nothing is open for output, so the write-out only walks and releases.
  write_annlist();
  FUZZ_CHECK(!aphead && !aptail);
  return 0;
}
