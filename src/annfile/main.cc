// annfile: creates, lists and inspects annotation files as text. Every
// command's options are read here, in one way: before or after the names,
// as --opt=value or --opt value.
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "annfile.h"
#include "annlib/annlib.h"

namespace {

// What the command line asked for, options and names.
struct request {
  const char* prog;
  const char* codes = nullptr;  // load --codes FILE, codes --set FILE
  const char* sps = nullptr;    // diff --sps F, dump --csv --sps F
  bool csv = false;             // dump --csv, load --csv
  bool exact = false;           // diff --exact
  long window = 0;              // merge --window N
  int count = 0;                // names after the options
  char** names = nullptr;
};

struct command {
  const char* name;
  const char* usage;  // its lines of the usage text
  const char* help;   // its paragraph of the help text
  const option* options;
  int min_names, max_names;
  int (*run)(const request& r);
};

const option no_options[] = {{nullptr, 0, nullptr, 0}};
const option dump_options[] = {{"csv", no_argument, nullptr, 'C'},
                               {"sps", required_argument, nullptr, 's'},
                               {nullptr, 0, nullptr, 0}};
const option load_options[] = {{"codes", required_argument, nullptr, 'c'},
                               {"csv", no_argument, nullptr, 'C'},
                               {nullptr, 0, nullptr, 0}};
const option diff_options[] = {{"sps", required_argument, nullptr, 's'},
                               {"exact", no_argument, nullptr, 'x'},
                               {nullptr, 0, nullptr, 0}};
const option merge_options[] = {{"window", required_argument, nullptr, 'w'},
                                {nullptr, 0, nullptr, 0}};
const option codes_options[] = {{"set", required_argument, nullptr, 'c'},
                                {nullptr, 0, nullptr, 0}};

// Digits, at most one ".", and a value above 0: a frequency any reader takes.
bool is_frequency(const char* text) {
  size_t digits = strspn(text, "0123456789");
  const char* rest = text + digits;
  if (*rest == '.') rest += 1 + strspn(rest + 1, "0123456789");
  return digits > 0 && *rest == 0 && strspn(text, "0.") < strlen(text);
}

int fail_usage(const char* prog, const command* c, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
const command* find_command(const char* name);

// The names of dump, load, diff and codes are the user's own, as typed; those
// of check come from a log's header and stay within the working directory.
int run_dump(const request& r) {
  if (r.sps && !r.csv) return fail_usage(r.prog, find_command("dump"), "--sps goes with --csv");
  accept_user_names();
  return dump_annotations(r.prog, r.csv, r.sps ? strtod(r.sps, nullptr) : 0, r.names[0],
                          r.names[1]);
}

int run_load(const request& r) {
  accept_user_names();
  return load_annotations(r.prog, r.codes, r.csv, r.names[0], r.names[1]);
}

int run_check(const request& r) { return check_logs(r.prog, r.count, r.names); }

int run_merge(const request& r) { return merge_logs(r.prog, r.window, r.count, r.names); }

int run_diff(const request& r) {
  accept_user_names();
  return diff_annotators(r.prog, r.sps ? r.sps : "360", r.exact, r.names[0], r.names[1],
                         r.names[2]);
}

int run_codes(const request& r) {
  if (r.codes && r.count != 2) return -1;
  if (r.count == 1) return -1;
  accept_user_names();
  if (r.codes) return set_codes(r.prog, r.codes, r.names[0], r.names[1]);
  return print_codes(r.prog, r.count ? r.names[0] : nullptr, r.count ? r.names[1] : nullptr);
}

int run_help(const request& r);

const command commands[] = {
    {"dump", "annfile dump [--csv [--sps F]] RECORD ANNOTATOR",
     "dump   prints the annotations of file RECORD.ANNOTATOR, one line each, in file\n"
     "       order: time, type, subtype, channel, number and, when present, the aux,\n"
     "       separated by TAB. In the aux, \\\\ \\t \\n \\r and \\xHH stand for a\n"
     "       backslash, TAB, LF, CR and any other control byte. --csv prints CSV\n"
     "       instead, with a header row time,type,mnemonic,subtype,channel,number,aux;\n"
     "       its aux is UTF-8 text, with the same escapes for control characters\n"
     "       and for bytes that are not UTF-8. --sps F adds seconds (time / F).\n",
     dump_options, 2, 2, run_dump},
    {"load", "annfile load [--csv] [--codes FILE] RECORD ANNOTATOR < TEXT",
     "load   writes RECORD.ANNOTATOR from lines of that form on standard input, in\n"
     "       their order; the type may be a mnemonic. Empty lines and lines that\n"
     "       start with # are skipped. A bad line writes nothing. The annotator\n"
     "       keeps the own codes it had, or takes those FILE lists (code TAB\n"
     "       mnemonic TAB description a line), whose mnemonics the text may use.\n"
     "       --csv reads CSV as dump --csv writes it: columns by name, in any order;\n"
     "       time and type or mnemonic needed (both must agree), the rest optional.\n",
     load_options, 2, 2, run_load},
    {"check", "annfile check [LOG...]",
     "check  reads each edit log LOG (standard input without one, or for -) and\n"
     "       tells, line by line, what annapply would do with it, writing nothing:\n"
     "       lines it skips, deletes that match nothing, and warnings, as NAME:LINE:\n"
     "       KIND: DETAIL, then a summary and the file annapply would write; and\n"
     "       warns when two logs write one file, or the file a log's result replaces\n"
     "       holds what the result does not. Exit status, the worst of the logs':\n"
     "       0: every entry takes full effect; 1: findings; 2: annapply would fail.\n",
     no_options, 0, 1 << 20, run_check},
    {"diff", "annfile diff [--exact] [--sps F] RECORD FROM TO",
     "diff   prints an edit log of what changed from RECORD.FROM to RECORD.TO: at\n"
     "       each time, channel and number, a delete for each annotation FROM holds\n"
     "       more often than TO, an insert for each TO holds more often, their order\n"
     "       there not counted. With --exact, the shortest log after which annapply\n"
     "       writes RECORD.FROM_ byte for byte as RECORD.TO. F is the frequency in\n"
     "       its header (default 360). Exit status 0: no entries; 1: entries;\n"
     "       2: trouble.\n",
     diff_options, 3, 3, run_diff},
    {"merge", "annfile merge [--window N] LOG...",
     "merge  applies each edit log LOG, all of one record and annotator, to the\n"
     "       stored annotator, and prints one log that makes every change they agree\n"
     "       on: at each time, channel and number (or with --window N, in each group\n"
     "       of such places at most N samples apart) a change one log made, or that\n"
     "       all that changed it made alike, is taken; where they differ, the stored\n"
     "       annotations stay and each line there is reported as LOG:LINE: conflict.\n"
     "       Exit status 0: merged; 1: merged with conflicts; 2: trouble.\n",
     merge_options, 1, 1 << 20, run_merge},
    {"codes",
     "annfile codes [RECORD ANNOTATOR]\n"
     "       annfile codes --set FILE RECORD ANNOTATOR",
     "codes  prints the mnemonic table: code, mnemonic and description; with RECORD\n"
     "       ANNOTATOR, that annotator's whole table, its own codes marked \"own\" in a\n"
     "       fourth column. --set FILE gives the annotator the own codes FILE lists,\n"
     "       its annotations unchanged.\n",
     codes_options, 0, 2, run_codes},
    {"help", "annfile help [COMMAND]",
     "help   prints this text, or what COMMAND does. annfile --help and -h print\n"
     "       this text too; annfile --version and -V print the version.\n",
     no_options, 0, 1, run_help},
};

const command* find_command(const char* name) {
  for (const command& c : commands)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

void print_usage(FILE* f, const command* only) {
  const char* lead = "usage: ";
  for (const command& c : commands) {
    if (only && &c != only) continue;
    fprintf(f, "%s%s\n", lead, c.usage);
    lead = "       ";
  }
  if (!only) fprintf(f, "%sannfile --help\n%sannfile --version\n", lead, lead);
}

int run_help(const request& r) {
  const command* only = r.count ? find_command(r.names[0]) : nullptr;
  if (r.count && !only) {
    fprintf(stderr, "%s: help: unknown command '%s'\n", r.prog, r.names[0]);
    print_usage(stderr, nullptr);
    return 2;
  }
  print_usage(stdout, only);
  putchar('\n');
  for (const command& c : commands)
    if (!only || &c == only) fputs(c.help, stdout);
  return finish_stdout(r.prog);
}

// Says what is wrong with the command line, then how it is used.
int fail_usage(const char* prog, const command* c, const char* fmt, ...) {
  fprintf(stderr, "%s: ", prog);
  if (c) fprintf(stderr, "%s: ", c->name);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  print_usage(stderr, c);
  return 2;
}

int run_command(const command* c, int argc, char** argv, request& r) {
  // Short options: none but -h; the long ones stand alone.
  opterr = 0;
  optind = 1;
  const option help_option = {"help", no_argument, nullptr, 'h'};
  option longs[8];
  int n = 0;
  for (const option* o = c->options; o->name; o++) longs[n++] = *o;
  longs[n++] = help_option;
  longs[n] = {nullptr, 0, nullptr, 0};
  for (int opt; (opt = getopt_long(argc, argv, ":h", longs, nullptr)) != -1;) {
    const char* word = argv[optind - 1];
    if (opt == 'h') {
      request h = {r.prog};
      char* name = const_cast<char*>(c->name);
      h.count = 1;
      h.names = &name;
      return run_help(h);
    }
    if (opt == '?') {
      // A long option that takes no value has its letter in optopt too.
      if (optopt && word[1] == '-')
        return fail_usage(r.prog, c, "option '%s' takes no value", word);
      if (optopt) return fail_usage(r.prog, c, "unknown option '-%c'", optopt);
      return fail_usage(r.prog, c, "unknown option '%s'", word);
    }
    if (opt == ':') return fail_usage(r.prog, c, "option '%s' needs a value", word);
    if (opt == 'c') r.codes = optarg;
    if (opt == 'C') r.csv = true;
    if (opt == 'x') r.exact = true;
    if (opt == 'w') {
      char* end;
      errno = 0;
      r.window = strtol(optarg, &end, 10);
      if (!isdigit((unsigned char)optarg[0]) || *end || errno || r.window > INT32_MAX)
        return fail_usage(r.prog, c, "--window needs a whole number of samples, not '%s'", optarg);
    }
    if (opt == 's') {
      if (!is_frequency(optarg))
        return fail_usage(r.prog, c, "--sps needs a positive decimal number, not '%s'", optarg);
      r.sps = optarg;
    }
  }
  r.count = argc - optind;
  r.names = argv + optind;
  if (r.count < c->min_names || r.count > c->max_names)
    return fail_usage(r.prog, c, "%s", "wrong number of arguments");
  int status = c->run(r);
  if (status < 0) return fail_usage(r.prog, c, "%s", "wrong number of arguments");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const char* prog = argc > 0 && argv[0] ? argv[0] : "annfile";
  // No file of this run may take the number of a closed standard stream.
  if (open_std_streams() != 0) return 2;
  request r = {prog};
  if (argc < 2) return fail_usage(prog, nullptr, "%s", "missing command");
  const char* word = argv[1];
  bool help = strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0;
  bool version = strcmp(word, "--version") == 0 || strcmp(word, "-V") == 0;
  if (help && argc <= 3) {
    r.count = argc - 2;
    r.names = argv + 2;
    return run_help(r);
  }
  if (version && argc == 2) {
    fputs("annfile " ANNAPPLY_VERSION "\n", stdout);
    return finish_stdout(prog);
  }
  if (help || version) return fail_usage(prog, nullptr, "%s", "wrong number of arguments");
  if (word[0] == '-') return fail_usage(prog, nullptr, "unknown option '%s'", word);
  const command* c = find_command(word);
  if (!c) return fail_usage(prog, nullptr, "unknown command '%s'", word);
  // The command's own arguments, its name standing in for the program's.
  return run_command(c, argc - 1, argv + 1, r);
}
