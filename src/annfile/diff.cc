// annfile diff: the shortest edit log that turns one annotator of a record
// into another. FROM is loaded into the list exactly as annapply loads it;
// the list and TO are then walked side by side, one run of equal keys at a
// time, since an entry only ever touches the run of its own key.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "annfile.h"
#include "annlib/annlib.h"
#include "annlist/annlist.h"
#include "editlog/editlog.h"
#include "fewest.h"
#include "tsv.h"

namespace {

// One annotation of a run. Its value (type, subtype and aux) is what a
// delete entry must match; the key is the run's.
struct member {
  int8_t type, subtype;
  bool has_aux;
  std::string aux;  // the counted bytes

  std::string value() const { return std::string{(char)type, (char)subtype, (char)has_aux} + aux; }
  bool operator==(const member& o) const = default;
};

member member_of(const ann_node* n) {
  member m = {(int8_t)n->type, n->subtype, n->aux != nullptr, ""};
  if (n->aux) m.aux.assign((const char*)n->aux + 1, n->aux[0]);
  return m;
}

member member_of(const nesk_ann* a) {
  member m = {a->type, a->subtype, a->aux != nullptr, ""};
  if (a->aux) m.aux.assign((const char*)a->aux + 1, a->aux[0]);
  return m;
}

struct diff_state {
  const char* prog;
  const char* record;
  const char* from;
  std::string log;  // what goes to standard output once all is well
  long entries;
  long unwritable;  // annotations that must change but that no entry can carry
};

// Appends the entry that inserts or deletes m at key, or reports why none can.
void add_entry(diff_state* d, int64_t key, const member& m, bool del, const char* annotator) {
  unsigned char aux[257];
  nesk_ann a;
  decode_key(key, &a);
  a.type = m.type;
  a.subtype = m.subtype;
  a.aux = nullptr;
  if (m.has_aux) {
    aux[0] = (unsigned char)m.aux.size();
    memcpy(aux + 1, m.aux.data(), m.aux.size());
    a.aux = aux;
  }
  if (const char* why = check_entry_text(&a)) {
    fprintf(stderr, "%s: %s.%s: ", d->prog, d->record, annotator);
    describe_ann(stderr, &a);
    fprintf(stderr, ": must be %s, but %s", del ? "deleted" : "inserted", why);
    // The entries name types by the table annapply will read them with.
    if (!annstr(a.type)) fprintf(stderr, " in the table of %s.%s", d->record, d->from);
    fputc('\n', stderr);
    d->unwritable++;
    return;
  }
  char line[entry_line_max];
  d->log.append(line, format_log_entry(line, &a, del));
  d->entries++;
}

// The entries that turn run `from` (list order) into run `to` (file order):
// deletes of what does not stay, then inserts, last first, of what goes
// before it.
void diff_run(diff_state* d, int64_t key, const std::vector<member>& from,
              const std::vector<member>& to, const char* fname, const char* tname) {
  // Nearly every run holds one annotation or none.
  if (from.size() <= 1 && to.size() <= 1) {
    if (from.size() == 1 && to.size() == 1 && from[0] == to[0]) return;
    for (const member& m : from) add_entry(d, key, m, true, fname);
    for (const member& m : to) add_entry(d, key, m, false, tname);
    return;
  }
  std::unordered_map<std::string, uint32_t> ids;
  std::vector<uint32_t> a, b;
  for (const member& m : from)
    a.push_back(ids.emplace(m.value(), (uint32_t)ids.size()).first->second);
  for (const member& m : to)
    b.push_back(ids.emplace(m.value(), (uint32_t)ids.size()).first->second);
  size_t kept = find_kept_suffix(a, b);
  // Of each value, the first occurrences stay, as many as the end of `to` holds.
  std::vector<uint32_t> stays(ids.size()), seen(ids.size());
  for (size_t i = to.size() - kept; i < to.size(); i++) stays[b[i]]++;
  std::vector<bool> goes(from.size());
  for (size_t i = 0; i < from.size(); i++) goes[i] = seen[a[i]]++ >= stays[a[i]];
  for (size_t i = from.size(); i-- > 0;)
    if (goes[i]) add_entry(d, key, from[i], true, fname);
  for (size_t i = to.size() - kept; i-- > 0;) add_entry(d, key, to[i], false, tname);
}

int fail_diff(const char* prog) {
  fprintf(stderr, "%s: can't read %s\n", prog, nesk_reason());
  release_annlist();
  neskquit();
  return 2;
}

}  // namespace

int diff_annotators(const char* prog, const char* sps, const char* record, const char* from,
                    const char* to) {
  char header[header_text_max];
  if (const char* why = format_log_header(header, record, from, sps)) {
    fprintf(stderr, "%s: no edit log header can name record '%s' and annotator '%s': %s\n", prog,
            record, from, why);
    return 2;
  }
  neskquiet();
  if (!init_annlist()) return 2;
  annotator_info ai = {from, ann_read};
  if (annopen(record, &ai, 1) != 0) return fail_diff(prog);
  while (getann(0, &annot) == 0) insert_ann();
  // The log's types are named as annapply will read them: by FROM's table.
  static ann_codes from_codes;
  from_codes = *own_codes();
  ai.name = to;
  if (annopen(record, &ai, 1) != 0) return fail_diff(prog);
  set_own_codes(&from_codes);

  diff_state d = {prog, record, from, header, 0, 0};
  std::vector<member> a, b;
  nesk_ann next;
  bool more = getann(0, &next) == 0;
  int64_t last = INT64_MIN;
  const ann_node* p = aphead->next;
  while (p || more) {
    int64_t key = INT64_MAX;
    if (p) key = p->key;
    if (more) key = std::min(key, make_key(next.time, next.channel, next.number));
    a.clear();
    b.clear();
    for (; p && p->key == key; p = p->next) a.push_back(member_of(p));
    for (; more && make_key(next.time, next.channel, next.number) == key;
         more = getann(0, &next) == 0) {
      b.push_back(member_of(&next));
      last = key;
    }
    if (more && make_key(next.time, next.channel, next.number) < last) {
      fprintf(stderr, "%s: %s.%s: ", prog, record, to);
      describe_ann(stderr, &next);
      fprintf(stderr, ": comes after time %ld, channel %d, number %d; no log can give this order\n",
              (long)(last >> 16), (int)((last >> 8) & 0xff), (int)(last & 0xff) - 128);
      d.unwritable++;
      break;
    }
    diff_run(&d, key, a, b, from, to);
  }
  release_annlist();
  neskquit();
  if (d.unwritable) return 2;
  fwrite(d.log.data(), 1, d.log.size(), stdout);
  if (finish_stdout(prog) != 0) return 2;
  return d.entries ? 1 : 0;
}
