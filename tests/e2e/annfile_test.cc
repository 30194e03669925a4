// annfile end to end: load and dump as inverses, and the refusals.
#include <sys/stat.h>

#include <string>

#include "run.h"

namespace {

using Annfile = ScratchDir;

TEST_F(Annfile, DumpGivesBackWhatLoadTook) {
  // Lines may end in CR LF, as text written on other systems does.
  const std::string tsv =
      "# a comment, then an empty line\r\n"
      "\r\n"
      "-2147483648\t-128\t-128\t0\t-128\r\n"
      "2147483647\t127\t127\t255\t127\n"
      "5\tN\t0\t0\t0\t\r\n"
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
      {"5\t1\t0\t0\t0\r\r",
       "annfile: line 3: bad number '0\r' (a whole number from -128 to 127)\n"},
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

const char dump_usage[] = "usage: annfile dump [--csv [--sps F]] RECORD ANNOTATOR";
const char load_usage[] = "usage: annfile load [--csv] [--codes FILE] RECORD ANNOTATOR < TEXT";

TEST_F(Annfile, WrongCommandLinesNameWhatIsWrongAndGiveTheUsage) {
  struct {
    std::vector<std::string> args;
    const char* why;
    const char* usage;  // the usage's first line after it
  } cases[] = {
      {{}, "missing command", dump_usage},
      {{"dump"}, "dump: wrong number of arguments", dump_usage},
      {{"dump", "rec"}, "dump: wrong number of arguments", dump_usage},
      {{"load", "a", "b", "c"}, "load: wrong number of arguments", load_usage},
      {{"codes", "x"}, "codes: wrong number of arguments", "usage: annfile codes [RECORD ANNOTATOR]"},
      {{"--version", "x"}, "wrong number of arguments", dump_usage},
      {{"frobnicate"}, "unknown command 'frobnicate'", dump_usage},
      {{"--Version"}, "unknown option '--Version'", dump_usage},
      {{"dump", "-x", "a", "b"}, "dump: unknown option '-x'", dump_usage},
      {{"dump", "a", "b", "--codes=5"}, "dump: unknown option '--codes=5'", dump_usage},
      {{"dump", "a", "b", "--sps=5"}, "dump: --sps goes with --csv", dump_usage},
      {{"dump", "--csv", "--sps", "1e3", "a", "b"},
       "dump: --sps needs a positive decimal number, not '1e3'",
       dump_usage},
      {{"load", "--csv=yes", "a", "b"}, "load: option '--csv=yes' takes no value", load_usage},
      {{"diff", "a", "b", "c", "--sps"}, "diff: option '--sps' needs a value",
       "usage: annfile diff [--exact] [--sps F] RECORD FROM TO"},
      {{"diff", "--sps=0", "a", "b", "c"}, "diff: --sps needs a positive decimal number, not '0'",
       "usage: annfile diff [--exact] [--sps F] RECORD FROM TO"},
      {{"help", "nope"}, "help: unknown command 'nope'", dump_usage},
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
  // dump --csv --sps, and load --csv, in every form.
  load("rec", "c", "1\t22\t0\t0\t0\ta\n");
  const std::string csv =
      "time,seconds,type,mnemonic,subtype,channel,number,aux\n1,0.004,22,NOTE,0,0,0,a\n";
  const std::vector<std::string> csv_forms[] = {
      {"dump", "--csv", "--sps=250", "rec", "c"},
      {"dump", "rec", "c", "--sps", "250", "--csv"},
      {"dump", "rec", "--csv", "c", "--sps=250"},
  };
  for (const auto& args : csv_forms) {
    run_result r = annfile(args);
    EXPECT_EQ(r.status, 0) << args[1] << r.err;
    EXPECT_EQ(r.out, csv) << args[1];
  }
  ASSERT_EQ(annfile({"load", "rec", "d", "--csv"}, csv).status, 0);
  EXPECT_EQ(read_file(path("rec.d")), read_file(path("rec.c")));
  for (const std::vector<std::string>& help :
       {std::vector<std::string>{"help", "dump"}, {"dump", "--help"}, {"dump", "-h"}, {"-h", "dump"}}) {
    run_result r = annfile(help);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(dump_usage + std::string("\n\ndump   prints"), 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("load"), std::string::npos);
  }
}

TEST_F(Annfile, HelpAndVersionGoToStandardOutput) {
  for (const char* help : {"--help", "-h", "help"}) {
    run_result r = annfile({help});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(dump_usage + std::string("\n"), 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n       annfile --version\n"), std::string::npos) << r.out;
  }
  for (const char* version : {"--version", "-V"}) {
    run_result r = annfile({version});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "annfile " ANNAPPLY_VERSION "\n");
  }
}

// Names typed on annfile's command line open what the user named, an
// absolute record name or one with ".." as well; only a "/" in an annotator
// name is refused. (Names from a log's header stay confined: see check.)
TEST_F(Annfile, NamesOnTheCommandLineAreTheUsersOwn) {
  ASSERT_EQ(mkdir(path("work").c_str(), 0755), 0);
  write_file(path("t.codes"), "31\tV\tventricular\n");
  const std::string abs = path("rec");
  const struct {
    std::vector<std::string> args;
    std::string input, out;
    int status;
  } cases[] = {
      {{"load", abs, "atr"}, "1\t1\t0\t0\t0\n", "", 0},
      {{"load", "--csv", "../rec", "b"}, "time,type\n2,1\n", "", 0},
      {{"dump", "../work/../rec", "atr"}, "", "1\t1\t0\t0\t0\n", 0},
      {{"diff", abs, "atr", "b"},
       "",
       "[RQEditLog-1.0] Record " + abs + ", annotator atr (360 samples/second)\n\n-1,N\n2,N\n",
       1},
      {{"codes", "--set", "../t.codes", "../rec", "atr"}, "", "", 0},
      {{"load", "..", "a/b"}, "", "", 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {ANNFILE_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    run_result r = run_program(argv, c.input, path("work"), "annfile");
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
  }
  EXPECT_NE(annfile({"codes", abs, "atr"}).out.find("31\tV\tventricular\town\n"),
            std::string::npos);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.b", "t.codes", "work"}));
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
