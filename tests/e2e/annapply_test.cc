// annapply end to end: the header, the load and rewrite, the output's name,
// and every way the output can fail.
#include <string>

#include "run.h"

namespace {

using Annapply = ScratchDir;

const std::string stored =  // unsorted, with equal keys and aux texts
    "300\t1\t0\t0\t0\n"
    "100\t1\t0\t1\t0\n"
    "100\t5\t0\t0\t0\tfirst\n"
    "100\t1\t0\t0\t-1\n"
    "100\t6\t0\t0\t0\tsecond\n"
    "70000\t1\t2\t3\t4\n"
    "-5\t1\t0\t0\t0\n"
    "0\t1\t0\t0\t-128\n";

// Canonical order: time, channel, number; equal keys in the reverse of their stored order.
const std::string canonical =
    "-5\t1\t0\t0\t0\n"
    "0\t1\t0\t0\t-128\n"
    "100\t1\t0\t0\t-1\n"
    "100\t6\t0\t0\t0\tsecond\n"
    "100\t5\t0\t0\t0\tfirst\n"
    "100\t1\t0\t1\t0\n"
    "300\t1\t0\t0\t0\n"
    "70000\t1\t2\t3\t4\n";

TEST_F(Annapply, RewritesStoredAnnotationsInCanonicalOrderUnderANewName) {
  load("rec", "atr", stored);
  std::string before = read_file(path("rec.atr"));
  run_result r = annapply(log_header("rec", "atr"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dump("rec", "atr_"), canonical);
  EXPECT_EQ(read_file(path("rec.atr")), before);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
}

TEST_F(Annapply, ReplacesAnEarlierOutput) {
  load("rec", "atr", stored);
  load("rec", "atr_", "1\t1\t0\t0\t0\n");
  EXPECT_EQ(annapply(log_header("rec", "atr")).status, 0);
  EXPECT_EQ(dump("rec", "atr_"), canonical);
}

TEST_F(Annapply, MissingInputIsWrittenUnderTheAnnotatorsOwnName) {
  run_result r = annapply(log_header("rec", "atr"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
  EXPECT_EQ(dump("rec", "atr"), "");
}

TEST_F(Annapply, EmptyInputStillGoesToTheNewName) {
  load("rec", "atr", "");
  EXPECT_EQ(annapply(log_header("rec", "atr")).status, 0);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
}

TEST_F(Annapply, RecordInASubfolder) {
  ASSERT_EQ(mkdir(path("study").c_str(), 0777), 0);
  load("study/rec", "atr", stored);
  EXPECT_EQ(annapply(log_header("study/rec", "atr")).status, 0);
  EXPECT_EQ(dump("study/rec", "atr_"), canonical);
}

TEST_F(Annapply, RejectedHeaderNamesTheProgramAsInvokedAndWritesNothing) {
  const char* logs[] = {"", "[rqeditlog-1.0] Record rec, annotator atr (360 samples/second)\n\n",
                        "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)\n",
                        "[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)\nx\n"};
  for (const char* log : logs) {
    run_result r = run_program({ANNAPPLY_BIN}, log, dir, "./bin/annapply");
    EXPECT_EQ(r.status, 1) << log;
    EXPECT_EQ(r.err, "./bin/annapply: can't parse input file (format error)\n") << log;
  }
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
}

TEST_F(Annapply, AtATerminalSaysWhereItReadsTheLogFrom) {
  const char hint[] = "annapply: reading the edit log from standard input; end it with Ctrl-D\n";
  run_result r = annapply("", {.input_is_terminal = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(hint) + "annapply: can't parse input file (format error)\n");
  r = annapply(log_header("rec", "atr") + "5\n", {.input_is_terminal = true});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, hint);
  EXPECT_EQ(dump("rec", "atr"), "5\t1\t0\t0\t0\n");
}

TEST_F(Annapply, CrlfHeaderIsAccepted) {
  load("rec", "atr", stored);
  run_result r =
      annapply("[RQEditLog-1.0] Record rec, annotator atr (360 samples/second)\r\n\r\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dump("rec", "atr_"), canonical);
}

TEST_F(Annapply, OutputThatCannotBeOpenedGivesStatus2) {
  struct {
    const char* record;
    const char* annotator;
    const char* err;
  } cases[] = {
      {"nodir/rec", "atr", "annapply: can't write output annotation file 'nodir/rec.atr\n"},
      {"/tmp/rec", "atr", "annapply: can't write output annotation file '/tmp/rec.atr\n"},
      {"../rec", "atr", "annapply: can't write output annotation file '../rec.atr\n"},
      {"a/../../rec", "atr", "annapply: can't write output annotation file 'a/../../rec.atr\n"},
      {"rec", "a/b", "annapply: can't write output annotation file 'rec.a/b\n"},
  };
  ASSERT_EQ(mkdir(path("a").c_str(), 0777), 0);
  for (const auto& c : cases) {
    run_result r = annapply(log_header(c.record, c.annotator));
    EXPECT_EQ(r.status, 2) << c.record;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"a"});
  EXPECT_EQ(list_dir(path("a")), std::vector<std::string>{});
  EXPECT_FALSE(file_exists("/tmp/rec.atr"));
}

TEST_F(Annapply, NamesThatLeadOutOfTheWorkingDirectoryNeitherReadNorWriteThere) {
  // A valid annotator just outside the working directory, where each of these
  // names points: were it read, the output would be named "atr_".
  load("rec", "atr", stored);
  const std::string outside = read_file(path("rec.atr"));
  ASSERT_EQ(mkdir(path("work").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("work/a").c_str(), 0777), 0);
  const std::string absolute = dir + "/rec";
  struct {
    std::string record;
    std::string annotator;
    std::string shown;  // how the message names the file
  } cases[] = {
      {absolute, "atr", absolute + ".atr"},
      {"../rec", "atr", "../rec.atr"},
      {"a/../../rec", "atr", "a/../../rec.atr"},
      {"", "./rec.atr", "../rec.atr"},  // the name and the record's "." together
      {"", ".", ".."},
      {"a/", ".", "a/.."},
  };
  for (const auto& c : cases) {
    run_result r = run_program({ANNAPPLY_BIN}, log_header(c.record, c.annotator) + "7\n",
                               path("work"), "annapply");
    EXPECT_EQ(r.status, 2) << c.shown;
    EXPECT_EQ(r.err, "annapply: can't write output annotation file '" + c.shown + "\n");
  }
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "work"}));
  EXPECT_EQ(read_file(path("rec.atr")), outside);
  EXPECT_EQ(list_dir(path("work")), std::vector<std::string>{"a"});
  EXPECT_EQ(list_dir(path("work/a")), std::vector<std::string>{});
}

TEST_F(Annapply, CorruptInputIsNeverOverwritten) {
  load("rec", "atr", stored);
  std::string good = read_file(path("rec.atr"));
  std::string bad = good;
  bad[bad.size() / 2] ^= 0x10;
  const std::string damaged[] = {bad, good.substr(0, good.size() - 1), "", "plain text\n"};
  for (const std::string& content : damaged) {
    write_file(path("rec.atr"), content);
    run_result r = annapply(log_header("rec", "atr"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "annapply: can't write output annotation file 'rec.atr\n");
    EXPECT_EQ(read_file(path("rec.atr")), content);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
  }
}

TEST_F(Annapply, WriteFailureKeepsTheOldOutputAndLeavesNoTemporaryFile) {
  // About 120 KB of output, so that it goes out in more than one write.
  std::string many;
  for (int i = 0; i < 40000; i++) many += std::to_string(i * 300) + "\t1\t0\t0\t0\n";
  load("rec", "atr", many);
  ASSERT_EQ(annapply(log_header("rec", "atr")).status, 0);
  const rlim_t size = read_file(path("rec.atr_")).size();
  load("rec", "atr_", "5\t1\t0\t0\t0\n");
  std::string old = read_file(path("rec.atr_"));
  // The file-size limit cuts the output at each of these places: before its
  // first byte, inside and at the end of its header, at the edges of its
  // first 64 KiB write, inside its last write, and inside its trailer.
  const rlim_t limits[] = {0, 1, 7, 8, 65535, 65536, 65537, 100000, size - 16, size - 1};
  for (rlim_t limit : limits) {
    run_result r = annapply(log_header("rec", "atr"), {.fsize = limit});
    EXPECT_EQ(r.status, 2) << limit;
    EXPECT_EQ(r.err, "annapply: can't write output annotation file 'rec.atr_\n") << limit;
    EXPECT_EQ(read_file(path("rec.atr_")), old) << limit;
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"})) << limit;
  }
  // A limit of exactly the output's size is no failure.
  EXPECT_EQ(annapply(log_header("rec", "atr"), {.fsize = size}).status, 0);
  EXPECT_EQ(read_file(path("rec.atr_")).size(), size);
}

TEST_F(Annapply, AppliesEveryWellFormedEntryInOrder) {
  load("rec", "atr",
       "100\t1\t0\t0\t0\n"
       "200\t1\t0\t0\t0\n"
       "200\t22\t0\t0\t0\tcheck this\n"
       "300\t5\t0\t0\t0\n"
       "400\t1\t1\t2\t3\n");
  const std::string entries =
      "-200,NOTE,check this\n"  // removes the note, keeps the beat
      "-300,N\n"                // type differs: nothing removed
      "-400,N{1/2/3}\n"
      "150,Hello,world\n"
      "150,ART{0/1/0}\n"
      "250-260,N\n"             // warns, inserts at 250
      "not an entry\n"
      "50,N,\n"                 // an empty aux is not kept
      "500\n"
      "-500\n"
      "-600\n"                  // matches nothing
      "60,N{1/2}\n";            // malformed after the warning-free part
  run_result r = annapply(log_header("rec", "atr") + entries);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "annapply(warning): no support for tf at 250");
  EXPECT_EQ(dump("rec", "atr_"),
            "50\t1\t0\t0\t0\n"
            "100\t1\t0\t0\t0\n"
            "150\t22\t0\t0\t0\tHello:world\n"
            "150\t2\t0\t1\t0\n"
            "200\t1\t0\t0\t0\n"
            "250\t1\t0\t0\t0\n"
            "300\t5\t0\t0\t0\n");
}

TEST_F(Annapply, WithoutAnInputTheLogAloneMakesTheAnnotator) {
  run_result r = annapply(log_header("rec", "atr") + "30,N\n10,NOTE,first\n-30\n20\n-20,N,x\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
  EXPECT_EQ(dump("rec", "atr"), "10\t22\t0\t0\t0\tfirst\n20\t1\t0\t0\t0\n");
}

TEST_F(Annapply, WarningsGoOutInLogOrderWithoutLineEnds) {
  std::string long_aux(300, 'a');
  run_result r = annapply(log_header("rec", "atr") + "100-200,N\n200,N," + long_aux +
                          "\n300-250\n400-500,N{1}\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "annapply(warning): no support for tf at 100"
            "annapply(warning): aux will be truncated at 200"
            "annapply(warning): no support for tf at 400");
  EXPECT_EQ(dump("rec", "atr"), "100\t1\t0\t0\t0\n200\t1\t0\t0\t0\t" + long_aux.substr(0, 255) + "\n");
}

TEST_F(Annapply, DeletesTheStoredAnnotationWhoseAuxWasCutAt255) {
  std::string long_aux(300, 'a');
  ASSERT_EQ(annapply(log_header("rec", "atr") + "100,N," + long_aux + "\n").status, 0);
  run_result r = annapply(log_header("rec", "atr") + "-100,N," + long_aux + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dump("rec", "atr_"), "");
}

}  // namespace
