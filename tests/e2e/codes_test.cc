// An annotator's own codes end to end: the tables annfile takes and refuses,
// their mnemonics in annapply's logs, in annfile check and in annfile diff,
// and the table carried from the stored annotator into the new one.
#include <string>

#include "run.h"

namespace {

using OwnCodes = ScratchDir;

const std::string beats =
    "# heartbeat classes\n"
    "\n"
    "30\tS\tsupraventricular premature beat\n"
    "31\tV\tventricular premature beat\r\n"
    "1\tN\tnormal event\n";  // a built-in row, given again as it is

const std::string stored = "100\t1\t0\t0\t0\n200\tV\t0\t0\t0\n300\tS\t0\t0\t0\n";

// The rows of `annfile codes RECORD ANNOTATOR` marked as own.
std::string own_rows(const std::string& listing) {
  std::string own;
  for (size_t at = 0, end; (end = listing.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = listing.substr(at, end - at);
    if (line.size() > 4 && line.compare(line.size() - 4, 4, "\town") == 0) own += line + "\n";
  }
  return own;
}

TEST_F(OwnCodes, TablesThatBreakARuleAreRefusedByFileAndLine) {
  struct {
    std::string row;
    std::string why;
  } cases[] = {
      {"2\tX\tx", "code 2 is built in, as ART (artifact)"},
      {"1\tN\tanother normal", "code 1 is built in, as N (normal event)"},
      {"0\tX\tx", "code 0 is outside 1 to 127"},
      {"128\tX\tx", "code 128 is outside 1 to 127"},
      {"x\tX\tx", "bad code 'x' (a whole number from 1 to 127)"},
      {"40\tNOTE\tx", "mnemonic NOTE is built in, for code 22"},
      {"31\tW\tx", "code 31 is given twice"},
      {"40\tV\tx", "mnemonic V is given twice"},
      {"40\t\tx", "a mnemonic is never empty"},
      {"40\t-12\tx", "a mnemonic is never a whole number"},
      {"40\tA B\tx", "a mnemonic is printable ASCII without white space, \",\" or \"{\""},
      {"40\tA,B\tx", "a mnemonic is printable ASCII without white space, \",\" or \"{\""},
      {"40\t\xc3\xa9\tx", "a mnemonic is printable ASCII without white space, \",\" or \"{\""},
      {"40\t" + std::string(17, 'x') + "\tx", "a mnemonic is at most 16 bytes long"},
      {"40\tX\t" + std::string(256, 'd'), "a description is at most 255 bytes long"},
      {"40\tX\ta\x01", "a description holds no control byte"},
      {"40\tX", "2 fields where 3 are needed (code, mnemonic, description)"},
      {"40\tX\tx\town\textra", "5 fields where 3 are needed (code, mnemonic, description)"},
      {"40\tX\tx\tmine", "a fourth field, when given, is \"own\""},
  };
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  const std::string before = read_file(path("rec.atr"));
  for (const auto& c : cases) {
    write_file(path("t.codes"), "30\tS\ts\n31\tV\tv\n" + c.row + "\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"load", "--codes", "t.codes", "rec", "atr"},
          {"codes", "--set", "t.codes", "rec", "atr"}}) {
      run_result r = annfile(args, "5\t1\t0\t0\t0\n");
      EXPECT_EQ(r.status, 1) << c.row;
      EXPECT_EQ(r.err, "annfile: t.codes:3: " + c.why + "\n") << args[0];
      EXPECT_EQ(read_file(path("rec.atr")), before) << c.row;
      EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "t.codes"}));
    }
  }
}

TEST_F(OwnCodes, AnnapplySpeaksTheInputsCodesAndCarriesThemIntoTheOutput) {
  write_file(path("beats.codes"), beats);
  ASSERT_EQ(annfile({"load", "--codes", "beats.codes", "rec", "atr"}, stored).status, 0);
  const std::string table = own_rows(annfile({"codes", "rec", "atr"}).out);
  EXPECT_EQ(table,
            "30\tS\tsupraventricular premature beat\town\n"
            "31\tV\tventricular premature beat\town\n");
  // The log corrects a beat's class, and a word that is no mnemonic of the
  // record still makes a note.
  run_result r = annapply(log_header("rec", "atr") + "-200,V\n200,S\n400,v\n-300,S\n300,V{0/1/0}\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dump("rec", "atr_"),
            "100\t1\t0\t0\t0\n200\t30\t0\t0\t0\n300\t31\t0\t1\t0\n400\t22\t0\t0\t0\tv\n");
  EXPECT_EQ(own_rows(annfile({"codes", "rec", "atr_"}).out), table);
  // Without a stored annotator only the built-in codes apply.
  r = annapply(log_header("rec", "new") + "200,V\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dump("rec", "new"), "200\t22\t0\t0\t0\tV\n");
  EXPECT_EQ(own_rows(annfile({"codes", "rec", "new"}).out), "");
  // A load that gives no table keeps the one of the annotator it replaces,
  // whose mnemonics its text may use.
  load("rec", "atr", "5\tV\t0\t0\t0\n");
  EXPECT_EQ(dump("rec", "atr"), "5\t31\t0\t0\t0\n");
  EXPECT_EQ(own_rows(annfile({"codes", "rec", "atr"}).out), table);
  run_result l = annfile({"load", "rec", "other"}, "5\tV\t0\t0\t0\n");
  EXPECT_EQ(l.status, 1);
  EXPECT_EQ(l.err,
            "annfile: line 1: bad type 'V' (a whole number from -128 to 127, or a mnemonic)\n");
}

TEST_F(OwnCodes, SetGivesANewTableAndKeepsEveryAnnotationByteForByte) {
  write_file(path("beats.codes"), beats);
  ASSERT_EQ(annfile({"load", "--codes", "beats.codes", "rec", "atr"}, stored).status, 0);
  const std::string with_table = read_file(path("rec.atr"));
  // The same annotations without a table are the file of version 1.
  load("rec", "plain", "100\t1\t0\t0\t0\n200\t31\t0\t0\t0\n300\t30\t0\t0\t0\n");
  const std::string plain = read_file(path("rec.plain"));

  // Dropping V, which an annotation uses, is refused and writes nothing.
  write_file(path("s.codes"), "30\tS\tsupraventricular\n");
  run_result r = annfile({"codes", "--set", "s.codes", "rec", "atr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "annfile: s.codes: the table drops code 31 (V), which rec.atr still uses: time 200, "
            "type 31, subtype 0, channel 0, number 0\n");
  EXPECT_EQ(read_file(path("rec.atr")), with_table);

  // A table that keeps V and renames S: the annotations stay as they were.
  write_file(path("v.codes"), "31\tV\tventricular\n30\tSV\tsupraventricular\n40\tX\tnew\n");
  r = annfile({"codes", "--set", "v.codes", "rec", "atr"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(own_rows(annfile({"codes", "rec", "atr"}).out),
            "30\tSV\tsupraventricular\town\n31\tV\tventricular\town\n40\tX\tnew\town\n");
  EXPECT_EQ(dump("rec", "atr"), dump("rec", "plain"));
  // An empty table gives the plain file back, once no annotation needs one.
  write_file(path("none.codes"), "# nothing\n");
  EXPECT_EQ(annfile({"codes", "--set", "none.codes", "rec", "plain"}).status, 0);
  EXPECT_EQ(read_file(path("rec.plain")), plain);
  load("rec", "atr", "100\t1\t0\t0\t0\n");
  load("rec", "one", "100\t1\t0\t0\t0\n");
  EXPECT_NE(read_file(path("rec.atr")), read_file(path("rec.one")));
  EXPECT_EQ(annfile({"codes", "--set", "none.codes", "rec", "atr"}).status, 0);
  EXPECT_EQ(read_file(path("rec.atr")), read_file(path("rec.one")));
}

TEST_F(OwnCodes, CheckWarnsOfMistypedMnemonicsButNotOfProse) {
  write_file(path("beats.codes"), beats);
  ASSERT_EQ(annfile({"load", "--codes", "beats.codes", "rec", "atr"}, stored).status, 0);
  const std::string log = log_header("rec", "atr") +
                          "500,v\n"
                          "501,NN\n"
                          "502,Vx\n"
                          "503,SV\n"
                          "504,Lead II checked,fine\n"
                          "505,checked\n"
                          "506,V\n"
                          "-507,14\n";
  run_result r = annfile({"check"}, log);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "<stdin>:3: warning: 'v' is no mnemonic, so the entry inserts a NOTE with that text; "
            "did you mean V?\n"
            "<stdin>:4: warning: 'NN' is no mnemonic, so the entry inserts a NOTE with that text; "
            "did you mean N?\n"
            "<stdin>:5: warning: 'Vx' is no mnemonic, so the entry inserts a NOTE with that text; "
            "did you mean V?\n"
            "<stdin>:6: warning: 'SV' is no mnemonic, so the entry inserts a NOTE with that text; "
            "did you mean S?\n"
            "<stdin>:10: warning: '14' is no mnemonic, so the entry deletes a NOTE with that text\n"
            "<stdin>:10: unmatched: no annotation matches 507,NOTE,14\n"
            "<stdin>: 8 entry lines: 7 applied (7 inserted, 0 deleted), 0 skipped, 1 unmatched; 5 "
            "warnings\n"
            "<stdin>: annapply would write rec.atr_ with 10 annotations (3 read from rec.atr)\n");
  // A header that names an annotator that does not exist.
  r = annfile({"check"}, log_header("rec", "atx") + "5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
            "<stdin>:1: warning: rec.atx does not exist, so annapply makes it from this log "
            "alone\n");
}

TEST_F(OwnCodes, DiffWritesTheMnemonicsOfFromsTable) {
  write_file(path("beats.codes"), beats);
  ASSERT_EQ(annfile({"load", "--codes", "beats.codes", "rec", "atr"}, stored).status, 0);
  ASSERT_EQ(annapply(log_header("rec", "atr") + "-200,V\n200,S\n").status, 0);
  run_result r = annfile({"diff", "rec", "atr", "atr_"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, log_header("rec", "atr") + "-200,V\n200,S\n");
  EXPECT_EQ(annfile({"diff", "rec", "atr", "atr"}).out, log_header("rec", "atr"));
  // TO may use a code FROM's table lacks: no log can name it.
  load("rec", "plain", "100\t1\t0\t0\t0\n");
  r = annfile({"diff", "rec", "plain", "atr"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "annfile: rec.atr: time 200, type 31, subtype 0, channel 0, number 0: must be "
            "inserted, but its type has no mnemonic in the table of rec.plain\n"
            "annfile: rec.atr: time 300, type 30, subtype 0, channel 0, number 0: must be "
            "inserted, but its type has no mnemonic in the table of rec.plain\n");
}

}  // namespace
