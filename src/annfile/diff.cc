// annfile diff: an edit log from one annotator of a record to another. Both
// are read place by place, what they hold alike in stretches passed over as
// bytes. By default the annotations at a place are compared as a multiset;
// with --exact, the log is the shortest after which annapply writes TO byte
// for byte: FROM's run at a place is what loading makes of it (the file's
// order reversed), and only an entry that is needed to reorder it is added.
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
#include "places.h"
#include "tsv.h"

namespace {

struct diff_state {
  const char* prog;
  const char* record;
  const char* from;
  const char* to;
  std::string log;  // what goes to standard output once all is well
  long entries;
  long unwritable;  // annotations that must change but that no entry can carry
};

// Appends the entry that inserts or deletes value v at place, or reports why
// none can.
void add_entry(diff_state* d, int64_t place, const std::string& v, bool del) {
  unsigned char aux[257];
  nesk_ann a;
  annotation_of(place, v, &a, aux);
  if (const char* why = check_entry_text(&a)) {
    fprintf(stderr, "%s: %s.%s: ", d->prog, d->record, del ? d->from : d->to);
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

// The entries that make the multiset `from` into `to`: a delete for each
// value `from` holds more often, an insert for each that `to` holds more
// often.
void diff_multiset(diff_state* d, int64_t place, std::vector<std::string>& from,
                   std::vector<std::string>& to) {
  std::sort(from.begin(), from.end());
  std::sort(to.begin(), to.end());
  std::vector<std::string> gone, added;
  std::set_difference(from.begin(), from.end(), to.begin(), to.end(), std::back_inserter(gone));
  std::set_difference(to.begin(), to.end(), from.begin(), from.end(), std::back_inserter(added));
  for (const std::string& v : gone) add_entry(d, place, v, true);
  for (const std::string& v : added) add_entry(d, place, v, false);
}

// The entries that turn run `from` (list order) into run `to` (file order):
// deletes of what does not stay, then inserts, last first, of what goes
// before it.
void diff_run(diff_state* d, int64_t place, const std::vector<std::string>& from,
              const std::vector<std::string>& to) {
  // Nearly every run holds one annotation or none.
  if (from.size() <= 1 && to.size() <= 1) {
    if (from.size() == 1 && to.size() == 1 && from[0] == to[0]) return;
    for (const std::string& v : from) add_entry(d, place, v, true);
    for (const std::string& v : to) add_entry(d, place, v, false);
    return;
  }
  std::unordered_map<std::string, uint32_t> ids;
  std::vector<uint32_t> a, b;
  for (const std::string& v : from) a.push_back(ids.emplace(v, (uint32_t)ids.size()).first->second);
  for (const std::string& v : to) b.push_back(ids.emplace(v, (uint32_t)ids.size()).first->second);
  size_t kept = find_kept_suffix(a, b);
  // Of each value, the first occurrences stay, as many as the end of `to` holds.
  std::vector<uint32_t> stays(ids.size()), seen(ids.size());
  for (size_t i = to.size() - kept; i < to.size(); i++) stays[b[i]]++;
  std::vector<bool> goes(from.size());
  for (size_t i = 0; i < from.size(); i++) goes[i] = seen[a[i]]++ >= stays[a[i]];
  for (size_t i = from.size(); i-- > 0;)
    if (goes[i]) add_entry(d, place, from[i], true);
  for (size_t i = to.size() - kept; i-- > 0;) add_entry(d, place, to[i], false);
}

int fail_diff(const char* prog) {
  fprintf(stderr, "%s: can't read %s\n", prog, nesk_reason());
  neskquit();
  return 2;
}

}  // namespace

int diff_annotators(const char* prog, const char* sps, bool exact, const char* record,
                    const char* from, const char* to) {
  char header[header_text_max];
  if (const char* why = format_log_header(header, record, from, sps)) {
    fprintf(stderr, "%s: no edit log header can name record '%s' and annotator '%s': %s\n", prog,
            record, from, why);
    return 2;
  }
  neskquiet();
  static place_walk f, t;
  annotator_info ai = {from, ann_read};
  if (annopen(record, &ai, 1) != 0) return fail_diff(prog);
  read_walk(&f);
  // The log's types are named as annapply will read them: by FROM's table.
  static ann_codes from_codes;
  from_codes = *own_codes();
  ai.name = to;
  if (annopen(record, &ai, 1) != 0) return fail_diff(prog);
  read_walk(&t);
  set_own_codes(&from_codes);

  diff_state d = {prog, record, from, to, header, 0, 0};
  if (exact && !t.sorted) {
    fprintf(stderr, "%s: %s.%s: ", prog, record, to);
    describe_ann(stderr, &t.out_of_order);
    nesk_ann before;
    decode_key(t.came_after, &before);
    fprintf(stderr, ": comes after time %ld, channel %d, number %d; no log can give this order\n",
            (long)before.time, before.channel, before.number);
    d.unwritable++;
  }
  std::vector<std::string> a, b;
  while (!exact || t.sorted) {
    skip_shared(&f, &t);
    int64_t place = std::min(next_place(&f), next_place(&t));
    if (place == INT64_MAX) break;
    a.clear();
    b.clear();
    // Loading drops an empty aux; by default TO's counts as none too.
    take_place(&f, place, true, &a);
    take_place(&t, place, !exact, &b);
    if (!exact) {
      diff_multiset(&d, place, a, b);
      continue;
    }
    // Loading puts each annotation before those at its place.
    std::reverse(a.begin(), a.end());
    diff_run(&d, place, a, b);
  }
  neskquit();
  if (d.unwritable) return 2;
  fwrite(d.log.data(), 1, d.log.size(), stdout);
  if (finish_stdout(prog) != 0) return 2;
  return d.entries ? 1 : 0;
}
