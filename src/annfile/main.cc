// annfile: creates, lists and inspects annotation files as text.
#include <cstdio>
#include <cstring>

#include "annfile.h"

namespace {

const char usage[] =
    "usage: annfile dump RECORD ANNOTATOR\n"
    "       annfile load RECORD ANNOTATOR < TEXT\n"
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
    "codes  prints the mnemonic table: code, mnemonic and description.\n"
    "\n"
    "--help prints this text; --version prints the version.\n";

int fail_usage(const char* prog, const char* why) {
  fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", prog, why, prog);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* prog = argc > 0 && argv[0] ? argv[0] : "annfile";
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
  bool dump = strcmp(cmd, "dump") == 0, load = strcmp(cmd, "load") == 0;
  if ((dump || load) && argc == 4)
    return dump ? dump_annotations(prog, argv[2], argv[3]) : load_annotations(prog, argv[2], argv[3]);
  if (strcmp(cmd, "codes") == 0 && argc == 2) return print_codes(prog);
  if (dump || load || strcmp(cmd, "codes") == 0 || strcmp(cmd, "--help") == 0 ||
      strcmp(cmd, "--version") == 0)
    return fail_usage(prog, "wrong number of arguments");
  return fail_usage(prog, "unknown command");
}
