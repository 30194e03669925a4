// The annotation library's reader over arbitrary file contents: annopen
// accepts exactly what the format check accepts, and so does the check of a
// file in an output's way; getann hands out exactly the counted records, and
// whatever was read writes back through putann and reads back the same; and
// the list loaded by stretches writes, with edits, exactly what it writes
// loaded one annotation at a time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "annlib/annlib.h"
#include "annlib/format.h"
#include "annlist/annlist.h"
#include "fuzz_support.h"

namespace {

// An annotation copied out of the library's memory; a.aux is not kept.
struct held_ann {
  nesk_ann a;
  bool has_aux;
  std::string aux;
};

std::string scratch_dir;

void remove_scratch_dir() {
  std::filesystem::remove_all(scratch_dir);
}

// The library refuses absolute names, so the fuzzer works in a directory of
// its own (in memory where the machine has one, which makes fsync free).
void enter_scratch_dir() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  scratch_dir = std::string(base) + "/annfile-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(scratch_dir.data()));
  FUZZ_CHECK(chdir(scratch_dir.c_str()) == 0);
  atexit(remove_scratch_dir);
}

void write_input(const uint8_t* data, size_t size) {
  int fd = open("rec.in", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(size == 0 || write(fd, data, size) == (ssize_t)size);
  FUZZ_CHECK(close(fd) == 0);
}

// Every annotation of the annotator open for reading.
std::vector<held_ann> read_all() {
  std::vector<held_ann> anns;
  nesk_ann a;
  while (getann(0, &a) == 0) {
    held_ann h = {a, a.aux != nullptr, ""};
    if (a.aux) {
      h.aux.assign((const char*)a.aux + 1, a.aux[0]);
      FUZZ_CHECK(a.aux[a.aux[0] + 1] == 0);
    }
    h.a.aux = nullptr;
    anns.push_back(h);
  }
  return anns;
}

bool same(const held_ann& x, const held_ann& y) {
  return x.a.time == y.a.time && x.a.type == y.a.type && x.a.subtype == y.a.subtype &&
         x.a.channel == y.a.channel && x.a.number == y.a.number && x.has_aux == y.has_aux &&
         x.aux == y.aux;
}

std::string read_output() {
  std::ifstream f("rec.out", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Loads annotator "in" by stretches or one at a time, deletes every third
// annotation and inserts each fifth again a step later, and returns what the
// list writes.
std::string rewrite(bool stretches, const std::vector<held_ann>& anns) {
  FUZZ_CHECK(init_annlist());
  annotator_info in = {"in", ann_read};
  FUZZ_CHECK(annopen("rec", &in, 1) == 0);
  if (stretches)
    FUZZ_CHECK(load_annlist() == (long)anns.size());
  else
    while (getann(0, &annot) == 0) insert_ann();
  annotator_info out = {"out", ann_write};
  FUZZ_CHECK(annopen("rec", &out, 1) == 0);
  for (size_t i = 0; i < anns.size(); i++) {
    if (i % 3 && i % 5) continue;
    std::string counted = std::string(1, (char)anns[i].aux.size()) + anns[i].aux;
    annot = anns[i].a;
    annot.aux = anns[i].has_aux ? (unsigned char*)counted.data() : nullptr;
    if (i % 3 == 0) {
      delete_ann();
    } else {
      annot.time = annot.time == INT32_MAX ? annot.time : annot.time + 1;
      insert_ann();
    }
  }
  write_annlist();
  FUZZ_CHECK(neskquit() == 0);
  return read_output();
}

// Opens data as annotator "in" of record "rec" and checks all of the above.
void check_file(const uint8_t* data, size_t size) {
  write_input(data, size);
  annotator_info in = {"in", ann_read};
  bool valid = check_annfile(data, size) == nullptr;
  annotator_info over = {"in", ann_write};
  FUZZ_CHECK((check_annopen("rec", &over) == 0) == valid);
  FUZZ_CHECK((annopen("rec", &in, 1) == 0) == valid);
  if (!valid) return;

  uint64_t count = 0;
  for (int i = 0; i < 8; i++) count |= (uint64_t)data[size - ann_trailer_size + i] << (8 * i);
  std::vector<held_ann> anns = read_all();
  FUZZ_CHECK(anns.size() == count);

  annotator_info out = {"out", ann_write};
  FUZZ_CHECK(annopen("rec", &out, 1) == 0);
  for (const held_ann& h : anns) {
    std::string counted = std::string(1, (char)h.aux.size()) + h.aux;
    nesk_ann a = h.a;
    if (h.has_aux) a.aux = (unsigned char*)counted.data();
    FUZZ_CHECK(putann(0, &a) == 0);
  }
  FUZZ_CHECK(neskquit() == 0);
  annotator_info back = {"out", ann_read};
  FUZZ_CHECK(annopen("rec", &back, 1) == 0);
  std::vector<held_ann> again = read_all();
  FUZZ_CHECK(again.size() == anns.size());
  for (size_t i = 0; i < anns.size(); i++) FUZZ_CHECK(same(anns[i], again[i]));
  FUZZ_CHECK(neskquit() == 0);

  FUZZ_CHECK(rewrite(true, anns) == rewrite(false, anns));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_scratch_dir();
  neskquiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_file(data, size);
  // A mutated file almost never keeps a right checksum, which would leave the
  // record decoder behind the checksum unexplored; so each input is tried a
  // second time with its checksum made right.
  if (size < ann_header_size + ann_trailer_size) return 0;
  std::vector<uint8_t> fixed(data, data + size);
  uint32_t crc = crc_bytes(crc_bytes(0, nullptr, 0), fixed.data(), size - 8);
  for (int i = 0; i < 4; i++) fixed[size - 8 + i] = (uint8_t)(crc >> (8 * i));
  if (memcmp(fixed.data(), data, size) != 0) check_file(fixed.data(), size);
  return 0;
}
