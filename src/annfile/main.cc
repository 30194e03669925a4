// annfile: creates, lists and inspects annotation files as text.
#include <cstdio>
#include <cstring>

#include "annfile.h"
#include "annlib/annlib.h"

namespace {

const char usage[] =
    "usage: annfile dump RECORD ANNOTATOR\n"
    "       annfile load RECORD ANNOTATOR < TEXT\n"
    "       annfile check [LOG]\n"
    "       annfile diff [--sps F] RECORD FROM TO\n"
    "       annfile codes\n"
    "       annfile --help\n"
    "       annfile --version\n";

const char help[] =
    "\n"
    "dump   prints the annotations of file RECORD.ANNOTATOR, one line each, in file\n"
    "       order: time, type, subtype, channel, number and, when present, the aux,\n"
    "       separated by TAB. In the aux, \\\\ \\t \\n \\r and \\xHH stand for a\n"
    "       backslash, TAB, LF, CR and any other control byte.\n"
    "load   writes RECORD.ANNOTATOR from lines of that form on standard input, in\n"
    "       their order; the type may be a mnemonic. Empty lines and lines that\n"
    "       start with # are skipped. A bad line writes nothing.\n"
    "check  reads the edit log LOG (standard input without it, or for -) and tells,\n"
    "       line by line, what annapply would do with it, writing nothing: lines it\n"
    "       skips, deletes that match nothing, and warnings, as NAME:LINE: KIND:\n"
    "       DETAIL, then a summary and the file annapply would write. Exit status\n"
    "       0: every entry takes full effect; 1: findings; 2: annapply would fail.\n"
    "diff   prints the shortest edit log that makes annapply turn RECORD.FROM into\n"
    "       a copy of RECORD.TO (as RECORD.FROM_), with frequency F in its header\n"
    "       (default 360). Exit status 0: no entries; 1: entries; 2: trouble.\n"
    "codes  prints the mnemonic table: code, mnemonic and description.\n"
    "\n"
    "--help prints this text; --version prints the version.\n";

int fail_usage(const char* prog, const char* why) {
  fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", prog, why, prog);
  return 2;
}

// Digits, at most one ".", and a value above 0: a frequency any reader takes.
bool is_frequency(const char* text) {
  size_t digits = strspn(text, "0123456789");
  const char* rest = text + digits;
  if (*rest == '.') rest += 1 + strspn(rest + 1, "0123456789");
  return digits > 0 && *rest == 0 && strspn(text, "0.") < strlen(text);
}

}  // namespace

int main(int argc, char** argv) {
  const char* prog = argc > 0 && argv[0] ? argv[0] : "annfile";
  // No file of this run may take the number of a closed standard stream.
  if (open_std_streams() != 0) return 2;
  if (argc < 2) return fail_usage(prog, "missing command");
  const char* cmd = argv[1];
  if (strcmp(cmd, "--help") == 0 && argc == 2) {
    fputs(usage, stdout);
    fputs(help, stdout);
    return finish_stdout(prog);
  }
  if (strcmp(cmd, "--version") == 0 && argc == 2) {
    fputs("annfile " ANNAPPLY_VERSION "\n", stdout);
    return finish_stdout(prog);
  }
  if (strcmp(cmd, "check") == 0 && argc <= 3) return check_log(prog, argc == 3 ? argv[2] : nullptr);
  if (strcmp(cmd, "diff") == 0 && (argc == 5 || argc == 7)) {
    const char* sps = "360";
    if (argc == 7) {
      if (strcmp(argv[2], "--sps") != 0) return fail_usage(prog, "unknown option");
      if (!is_frequency(argv[3])) return fail_usage(prog, "--sps needs a positive decimal number");
      sps = argv[3];
    }
    return diff_annotators(prog, sps, argv[argc - 3], argv[argc - 2], argv[argc - 1]);
  }
  bool dump = strcmp(cmd, "dump") == 0, load = strcmp(cmd, "load") == 0;
  if ((dump || load) && argc == 4)
    return dump ? dump_annotations(prog, argv[2], argv[3]) : load_annotations(prog, argv[2], argv[3]);
  if (strcmp(cmd, "codes") == 0 && argc == 2) return print_codes(prog);
  if (dump || load || strcmp(cmd, "codes") == 0 || strcmp(cmd, "--help") == 0 ||
      strcmp(cmd, "--version") == 0 || strcmp(cmd, "check") == 0 || strcmp(cmd, "diff") == 0)
    return fail_usage(prog, "wrong number of arguments");
  return fail_usage(prog, "unknown command");
}
