// annfile merge: several reviewers' edit logs of one record and annotator
// combined into one. Each log is applied, as annapply would apply it, to the
// stored annotator (BASE); then the places the logs changed are compared,
// their annotations taken as a multiset, in groups of places near each
// other. A group that one log changed, or that every log changing it changed
// alike, takes that change once; any other keeps BASE and is a conflict.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "annfile.h"
#include "annlib/annlib.h"
#include "annlist/annlist.h"
#include "editlog/editlog.h"
#include "places.h"
#include "tsv.h"

namespace {

using values = std::vector<std::string>;  // sorted: a multiset of values

struct reviewer {
  const char* name;                            // the log as findings name it
  std::map<int64_t, values> changed;           // place -> what the log makes of it
  std::vector<std::pair<int64_t, long>> lines;  // each applied entry line: its place and number
};

struct finding {
  size_t log;
  long line;
  std::string text;
};

std::vector<finding> findings;

void add_finding(size_t log, long line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void add_finding(size_t log, long line, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  findings.push_back({log, line, buf});
}

// An entry's text with control bytes escaped, as check shows it.
std::string entry_text(int64_t place, const std::string& v, bool del) {
  unsigned char aux[257];
  nesk_ann a;
  annotation_of(place, v, &a, aux);
  char line[entry_line_max];
  size_t n = format_log_entry(line, &a, del);
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  if (!f) return std::string(line, n - 1);
  write_escaped(f, (const unsigned char*)line + del, n - 1 - del);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

// Applies the log on fd's entries to the list, as annapply does, noting the
// place of each applied line and the lines annfile check would report.
void apply_log(reviewer* r, size_t index) {
  for (int verdict; (verdict = get_log_entry()) != 0;) {
    if (verdict == -1) {
      add_finding(index, notes.line, "skipped: %s", notes.why);
      continue;
    }
    int64_t place = place_of(annot.time, annot.channel, annot.number);
    if (verdict == 1) {
      insert_ann();
    } else if (!delete_ann()) {
      add_finding(index, notes.line, "unmatched: no annotation matches %s",
                  entry_text(place, value_of(&annot, false), false).c_str());
      continue;
    }
    r->lines.push_back({place, notes.line});
  }
}

// The places where `after` differs from `base`, with what `after` holds there.
void find_changes(place_walk* base, place_walk* after, std::map<int64_t, values>* changed,
                  std::map<int64_t, values>* base_at) {
  values a, b;
  for (;;) {
    skip_shared(base, after);
    int64_t place = std::min(next_place(base), next_place(after));
    if (place == INT64_MAX) return;
    a.clear();
    b.clear();
    take_place(base, place, true, &a);
    take_place(after, place, true, &b);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    if (a == b) continue;
    (*changed)[place] = b;
    (*base_at)[place] = a;
  }
}

// "deletes X and Y and inserts Z": what `to` makes of `from` at place.
void describe_change(std::string* out, int64_t place, const values& from, const values& to,
                     size_t* shown) {
  values gone, added;
  std::set_difference(from.begin(), from.end(), to.begin(), to.end(), std::back_inserter(gone));
  std::set_difference(to.begin(), to.end(), from.begin(), from.end(), std::back_inserter(added));
  for (const std::string& v : gone) {
    if ((*shown)++ < 6) *out += (out->empty() ? "" : " ") + std::string("-") + entry_text(place, v, true);
  }
  for (const std::string& v : added) {
    if ((*shown)++ < 6) *out += (out->empty() ? "" : " ") + entry_text(place, v, false);
  }
}

int fail_merge(const char* prog, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int fail_merge(const char* prog, const char* fmt, ...) {
  fprintf(stderr, "%s: ", prog);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  release_annlist();
  release_header();
  neskquit();
  return 2;
}

}  // namespace

int merge_logs(const char* prog, long window, int count, char** logs) {
  neskquiet();
  quiet_warnings = true;
  findings.clear();
  std::vector<reviewer> reviewers(count);
  std::string rec, ann, freq;
  static place_walk base;
  base = place_walk{};
  std::vector<place_walk> results(count);
  std::map<int64_t, values> base_at;
  for (int i = 0; i < count; i++) {
    reviewer& r = reviewers[i];
    r.name = log_name(logs[i]);
    int fd = open_log(prog, logs[i]);
    if (fd < 0) {
      neskquit();
      return 2;
    }
    reset_editlog(fd);
    int ok = parse_log_header();
    int e = log_read_error();
    if (!ok && e) return fail_merge(prog, "can't read %s: %s", r.name, strerror(e));
    if (!ok)
      return fail_merge(prog, "%s:%ld: the header is not readable: %s", r.name, notes.line, notes.why);
    if (i == 0) {
      rec = record, ann = annotator, freq = freqtext;
    } else if (rec != record || ann != annotator) {
      return fail_merge(prog, "%s names record '%s', annotator '%s', but %s names record '%s', "
                        "annotator '%s': a merge is of logs of one annotator",
                        r.name, record, annotator, reviewers[0].name, rec.c_str(), ann.c_str());
    }
    // BASE, loaded for each log as annapply loads it.
    if (!init_annlist()) return 2;
    annotator_info ai = {annotator, ann_read};
    if (annopen(record, &ai, 1) == 0)
      load_annlist();
    else if (!nesk_missing())
      return fail_merge(prog, "can't read %s", nesk_reason());
    if (i == 0) list_walk(&base);
    apply_log(&r, i);
    if (int err = log_read_error()) return fail_merge(prog, "can't read %s: %s", r.name, strerror(err));
    list_walk(&results[i]);
    release_annlist();
    if (fd > 0) close(fd);
  }
  for (int i = 0; i < count; i++) {
    place_walk from = base;
    find_changes(&from, &results[i], &reviewers[i].changed, &base_at);
  }

  // The changed places, in groups: a place alone, or with a window, every
  // run of places whose times lie at most `window` apart.
  std::vector<int64_t> places;
  for (auto& [place, v] : base_at) places.push_back(place);
  std::map<int64_t, values> merged;
  bool conflicts = false;
  for (size_t g = 0; g < places.size();) {
    size_t end = g + 1;
    if (window > 0)
      while (end < places.size() && (places[end] >> 16) - (places[end - 1] >> 16) <= window) end++;
    // What each log that changed the group makes of it, place by place.
    std::vector<int> changers;
    std::vector<std::vector<const values*>> made(count);
    for (int i = 0; i < count; i++) {
      bool changed = false;
      for (size_t k = g; k < end; k++) {
        auto it = reviewers[i].changed.find(places[k]);
        changed |= it != reviewers[i].changed.end();
        made[i].push_back(it != reviewers[i].changed.end() ? &it->second : &base_at[places[k]]);
      }
      if (changed) changers.push_back(i);
    }
    auto same = [&](int x, int y) {
      for (size_t k = 0; k < made[x].size(); k++)
        if (*made[x][k] != *made[y][k]) return false;
      return true;
    };
    bool agree = true;
    for (int i : changers) agree &= same(i, changers[0]);
    if (agree) {
      for (size_t k = g; k < end; k++) merged[places[k]] = *made[changers[0]][k - g];
    } else {
      conflicts = true;
      for (int i : changers) {
        std::string others, change;
        for (int j : changers)
          if (!same(i, j)) others += std::string(others.empty() ? "" : ", ") + reviewers[j].name;
        size_t shown = 0;
        for (size_t k = g; k < end; k++)
          describe_change(&change, places[k], base_at[places[k]], *made[i][k - g], &shown);
        if (shown > 6) change += " and " + std::to_string(shown - 6) + " more";
        long from = places[g] >> 16, to = places[end - 1] >> 16;
        char span[64];
        if (from == to)
          snprintf(span, sizeof span, "at %ld", from);
        else
          snprintf(span, sizeof span, "from %ld to %ld", from, to);
        for (auto& [place, line] : reviewers[i].lines)
          if (std::binary_search(places.begin() + g, places.begin() + end, place))
            add_finding(i, line,
                        "conflict: %s, this log makes %s but %s %s otherwise; the stored "
                        "annotations stay",
                        span, change.c_str(), others.c_str(),
                        others.find(',') == std::string::npos ? "makes it" : "make it");
      }
    }
    g = end;
  }

  // One log against BASE that gives the merged result.
  char header[header_text_max];
  if (format_log_header(header, rec.c_str(), ann.c_str(), freq.c_str()) &&
      format_log_header(header, rec.c_str(), ann.c_str(), "360"))
    return fail_merge(prog, "no edit log header can name record '%s' and annotator '%s'",
                      rec.c_str(), ann.c_str());
  std::string out = header;
  long unwritable = 0;
  for (auto& [place, to] : merged) {
    const values& from = base_at[place];
    values gone, added;
    std::set_difference(from.begin(), from.end(), to.begin(), to.end(), std::back_inserter(gone));
    std::set_difference(to.begin(), to.end(), from.begin(), from.end(), std::back_inserter(added));
    for (int pass = 0; pass < 2; pass++) {
      for (const std::string& v : pass == 0 ? gone : added) {
        unsigned char aux[257];
        nesk_ann a;
        annotation_of(place, v, &a, aux);
        if (const char* why = check_entry_text(&a)) {
          fprintf(stderr, "%s: %s.%s: ", prog, rec.c_str(), ann.c_str());
          describe_ann(stderr, &a);
          fprintf(stderr, ": must be %s, but %s\n", pass == 0 ? "deleted" : "inserted", why);
          unwritable++;
          continue;
        }
        char line[entry_line_max];
        out.append(line, format_log_entry(line, &a, pass == 0));
      }
    }
  }
  release_header();
  neskquit();
  if (unwritable) return 2;
  std::stable_sort(findings.begin(), findings.end(), [](const finding& x, const finding& y) {
    return x.log != y.log ? x.log < y.log : x.line < y.line;
  });
  for (const finding& f : findings)
    fprintf(stderr, "%s:%ld: %s\n", reviewers[f.log].name, f.line, f.text.c_str());
  fwrite(out.data(), 1, out.size(), stdout);
  if (finish_stdout(prog) != 0) return 2;
  return conflicts ? 1 : 0;
}
