// annfile end to end: load and dump as inverses, and the refusals.
#include <string>

#include "run.h"

namespace {

using Annfile = ScratchDir;

TEST_F(Annfile, DumpGivesBackWhatLoadTook) {
  const std::string tsv =
      "# a comment, then an empty line\n"
      "\n"
      "-2147483648\t-128\t-128\t0\t-128\n"
      "2147483647\t127\t127\t255\t127\n"
      "5\tN\t0\t0\t0\t\n"
      "5\tNOTE\t0\t0\t0\ttab\\there\\nnl\\rcr\\\\bs\\x00nul\\x7f\\x1b\xc3\xa9\n";
  const std::string expected =
      "-2147483648\t-128\t-128\t0\t-128\n"
      "2147483647\t127\t127\t255\t127\n"
      "5\t1\t0\t0\t0\t\n"
      "5\t22\t0\t0\t0\ttab\\there\\nnl\\rcr\\\\bs\\x00nul\\x7f\\x1b\xc3\xa9\n";
  load("rec", "atr", tsv);
  EXPECT_EQ(dump("rec", "atr"), expected);
}

TEST_F(Annfile, LoadRefusesABadLineAndWritesNothing) {
  struct {
    const char* line;
    const char* err;
  } cases[] = {
      {"5\t1\t0\t0", "annfile: line 3: 4 fields where 5 or 6 are needed\n"},
      {"5\t1\t0\t0\t0\ta\tb", "annfile: line 3: more than 6 fields\n"},
      {"2147483648\t1\t0\t0\t0",
       "annfile: line 3: bad time '2147483648' (a whole number from -2147483648 to 2147483647)\n"},
      {"5\tHello\t0\t0\t0",
       "annfile: line 3: bad type 'Hello' (a whole number from -128 to 127, or a mnemonic)\n"},
      {"5\t1\t0\t256\t0", "annfile: line 3: bad channel '256' (a whole number from 0 to 255)\n"},
      {"5\t1\t0\t0\t0\r", "annfile: line 3: bad number '0\r' (a whole number from -128 to 127)\n"},
      {"5\t1\t0\t0\t 1", "annfile: line 3: bad number ' 1' (a whole number from -128 to 127)\n"},
      {"5\t1\t0\t0\t0\ta\\q", "annfile: line 3: unknown escape in the aux (known: \\\\ \\t \\n \\r \\xHH)\n"},
      {"5\t1\t0\t0\t0\t\\x4", "annfile: line 3: \\x in the aux needs two hex digits\n"},
      {"5\t1\t0\t0\t0\ta\rb", "annfile: line 3: a control character in the aux must be escaped\n"},
      {"5\t1\t0\t0\t0\tx\\", "annfile: line 3: the aux ends in a lone backslash\n"},
  };
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  std::string old = read_file(path("rec.atr"));
  for (const auto& c : cases) {
    run_result r = annfile({"load", "rec", "atr"}, "1\t1\t0\t0\t0\n\n" + std::string(c.line) + "\n");
    EXPECT_EQ(r.status, 1) << c.line;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(path("rec.atr")), old);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
  }
  run_result r = annfile({"load", "rec", "new"}, "5\t1\t0\t0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
}

TEST_F(Annfile, AuxOfMoreThan255BytesIsRefused) {
  std::string aux255(255, 'a');
  load("rec", "atr", "1\t1\t0\t0\t0\t" + aux255 + "\n");
  EXPECT_EQ(dump("rec", "atr"), "1\t1\t0\t0\t0\t" + aux255 + "\n");
  run_result r = annfile({"load", "rec", "atr"}, "1\t1\t0\t0\t0\t" + aux255 + "a\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "annfile: line 1: the aux is longer than 255 bytes\n");
}

TEST_F(Annfile, DumpOfAMissingOrDamagedFileFails) {
  run_result r = annfile({"dump", "rec", "atr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "annfile: can't read rec.atr: No such file or directory\n");
  write_file(path("rec.atr"), "not an annotation file\n");
  r = annfile({"dump", "rec", "atr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "annfile: can't read rec.atr: not an annotation file\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Annfile, CodesListsTheMnemonicTable) {
  run_result r = annfile({"codes"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("1\tN\tnormal event\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\n22\tNOTE\t"), std::string::npos);
}

TEST_F(Annfile, WrongCommandLinesNameWhatIsWrongAndGiveTheUsage) {
  struct {
    std::vector<std::string> args;
    const char* why;
    const char* usage;  // the usage's first line after it
  } cases[] = {
      {{}, "missing command", "usage: annfile dump RECORD ANNOTATOR"},
      {{"dump"}, "dump: wrong number of arguments", "usage: annfile dump RECORD ANNOTATOR"},
      {{"dump", "rec"}, "dump: wrong number of arguments", "usage: annfile dump RECORD ANNOTATOR"},
      {{"load", "a", "b", "c"}, "load: wrong number of arguments",
       "usage: annfile load [--codes FILE] RECORD ANNOTATOR < TEXT"},
      {{"codes", "x"}, "codes: wrong number of arguments", "usage: annfile codes [RECORD ANNOTATOR]"},
      {{"--version", "x"}, "wrong number of arguments", "usage: annfile dump RECORD ANNOTATOR"},
      {{"frobnicate"}, "unknown command 'frobnicate'", "usage: annfile dump RECORD ANNOTATOR"},
      {{"--Version"}, "unknown option '--Version'", "usage: annfile dump RECORD ANNOTATOR"},
      {{"dump", "-x", "a", "b"}, "dump: unknown option '-x'", "usage: annfile dump RECORD ANNOTATOR"},
      {{"dump", "a", "b", "--sps=5"}, "dump: unknown option '--sps=5'",
       "usage: annfile dump RECORD ANNOTATOR"},
      {{"diff", "a", "b", "c", "--sps"}, "diff: option '--sps' needs a value",
       "usage: annfile diff [--exact] [--sps F] RECORD FROM TO"},
      {{"diff", "--sps=0", "a", "b", "c"}, "diff: --sps needs a positive decimal number, not '0'",
       "usage: annfile diff [--exact] [--sps F] RECORD FROM TO"},
      {{"help", "nope"}, "help: unknown command 'nope'", "usage: annfile dump RECORD ANNOTATOR"},
  };
  for (const auto& c : cases) {
    run_result r = annfile(c.args);
    EXPECT_EQ(r.status, 2) << c.why;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n', r.err.find('\n') + 1)),
              "annfile: " + std::string(c.why) + "\n" + c.usage)
        << r.err;
  }
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
}

// An option goes before or after the names, as --opt=value or --opt value.
TEST_F(Annfile, OptionsAreTakenWhereverTheyStand) {
  load("rec", "a", "1\t1\t0\t0\t0\n");
  const std::string header = "[RQEditLog-1.0] Record rec, annotator a (250 samples/second)\n\n";
  const std::vector<std::string> forms[] = {
      {"diff", "--sps=250", "rec", "a", "a"},
      {"diff", "--sps", "250", "rec", "a", "a"},
      {"diff", "rec", "a", "a", "--sps", "250"},
      {"diff", "rec", "--sps=250", "a", "a"},
  };
  for (const auto& args : forms) {
    run_result r = annfile(args);
    EXPECT_EQ(r.status, 0) << args[1] << r.err;
    EXPECT_EQ(r.out, header) << args[1];
  }
  for (const std::vector<std::string>& help :
       {std::vector<std::string>{"help", "dump"}, {"dump", "--help"}, {"dump", "-h"}, {"-h", "dump"}}) {
    run_result r = annfile(help);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: annfile dump RECORD ANNOTATOR\n\ndump   prints", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("load"), std::string::npos);
  }
}

TEST_F(Annfile, HelpAndVersionGoToStandardOutput) {
  for (const char* help : {"--help", "-h", "help"}) {
    run_result r = annfile({help});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("usage: annfile dump RECORD ANNOTATOR\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n       annfile --version\n"), std::string::npos) << r.out;
  }
  for (const char* version : {"--version", "-V"}) {
    run_result r = annfile({version});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "annfile " ANNAPPLY_VERSION "\n");
  }
}

// A line's memory is bounded: an endless line is refused by its number as
// soon as it passes the bound, and nothing is written.
TEST_F(Annfile, LoadRefusesAnEndlessLineWithoutHoldingIt) {
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  std::string old = read_file(path("rec.atr"));
  const std::string endless[] = {std::string(1 << 20, '\0'),
                                 "5\t1\t0\t0\t0\t" + std::string(9000, 'a')};
  for (const std::string& text : endless) {
    run_result r =
        annfile({"load", "rec", "atr"}, "1\t1\t0\t0\t0\n" + text, {.measure_memory = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "annfile: line 2: longer than 8192 bytes\n");
    EXPECT_EQ(read_file(path("rec.atr")), old);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
  }
  // Leading zeros are as many as a line has room for.
  load("rec", "atr", std::string(8000, '0') + "5\t01\t-0\t000\t+0\n");
  EXPECT_EQ(dump("rec", "atr"), "5\t1\t0\t0\t0\n");
}

}  // namespace
