// annfile dump --csv and load --csv end to end: the rows load refuses, the
// forms it takes, and the round trip through a pandas DataFrame.
#include <string>

#include "run.h"

namespace {

using Csv = ScratchDir;

const std::string header = "time,type,mnemonic,subtype,channel,number,aux\n";

TEST_F(Csv, LoadRefusesABadRowByItsLineAndWritesNothing) {
  struct {
    std::string text;
    std::string err;
  } cases[] = {
      {"", "the text is empty, without even a header row"},
      {"\n1,1\n", "line 1: the header row is empty"},
      {"time,Type\n",
       "line 1: unknown column 'Type' (the columns are time, seconds, type, mnemonic, subtype, "
       "channel, number and aux)"},
      {"time,type,time\n", "line 1: column 'time' is given twice"},
      {"type,aux\n", "line 1: no column 'time'"},
      {"time,aux\n", "line 1: no column 'type' or 'mnemonic'"},
      {header + "1,1,N,0,0,0,\n5,1\n", "line 3: 2 fields where the header has 7"},
      {header + "1,1,N,0,0,0,\n5,31,N,0,0,0,\n",
       "line 3: type 31 and mnemonic 'N' disagree (N is type 1)"},
      {header + "1,1,N,0,0,0,\n5,,Q,0,0,0,\n", "line 3: unknown mnemonic 'Q'"},
      {header + "1,1,N,0,0,0,\n5,,,0,0,0,\n",
       "line 3: no type: the type and the mnemonic are both empty"},
      {header + "1,1,N,0,0,0,\n,1,N,0,0,0,\n",
       "line 3: bad time '' (a whole number from -2147483648 to 2147483647)"},
      {header + "1,1,N,0,0,0,\n5,1,N,0,256,0,\n",
       "line 3: bad channel '256' (a whole number from 0 to 255)"},
      {header + "1,1,N,0,0,0,\n5,1.0,,0,0,0,\n",
       "line 3: bad type '1.0' (a whole number from -128 to 127, or a mnemonic)"},
      {header + "1,1,N,0,0,0,\n5,1,N,0,0,0,\"a\"b\n",
       "line 3: a quoted field goes on after its closing quote"},
      {header + "1,1,N,0,0,0,\n5,1,N,0,0,0,a\"b\"\n",
       "line 3: a quote inside a field that does not begin with one"},
      {header + "1,1,N,0,0,0,\n5,1,N,0,0,0,a\rb\n",
       "line 3: a line end inside a field that is not quoted"},
      {header + "1,1,N,0,0,0,\n5,1,N,0,0,0,\"open\nand on\n",
       "line 3: a quoted field is never closed"},
      {header + "1,1,N,0,0,0,\n5,1,N,0,0,0,\"" + std::string(9000, '\n') + "\"\n",
       "line 3: a row longer than 8192 bytes"},
  };
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  const std::string old = read_file(path("rec.atr"));
  for (const auto& c : cases) {
    run_result r = annfile({"load", "--csv", "rec", "atr"}, c.text);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, "annfile: " + c.err + "\n");
    EXPECT_EQ(read_file(path("rec.atr")), old);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
  }
  run_result r = annfile({"load", "--csv", "rec", "atr"}, header + "1,1,N,0,0,0,\n",
                         {.input_fails_at_end = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "annfile: can't read standard input: Resource temporarily unavailable\n");
  EXPECT_EQ(read_file(path("rec.atr")), old);
}

TEST_F(Csv, LoadTakesColumnsByNameAndFieldsAsRfc4180HasThem) {
  struct {
    std::string text;
    std::string tsv;  // what dump then prints
  } cases[] = {
      // Any order; columns left out are 0 or no aux; seconds is ignored.
      {"mnemonic,aux,time,seconds\r\nART,moved,5,0.1\r\nN,,7,x\r\n",
       "5\t2\t0\t0\t0\tmoved\n7\t1\t0\t0\t0\n"},
      {"\xef\xbb\xbftime,type,channel\n5,ART,3\n\n6,100,\n", "5\t2\t0\t3\t0\n6\t100\t0\t0\t0\n"},
      // Quoted fields hold commas, quotes and line ends; escapes stand for
      // their bytes, an empty quoted aux is an empty aux.
      {header + "5,22,NOTE,0,0,0,\"a,\"\"b\"\"\nc\r\nd\"\n6,22,,0,0,0,\"\"\n"
                "7,1,N,0,0,0,\\x80\\t\\\\\xc3\xa9\n",
       "5\t22\t0\t0\t0\ta,"
       "\"b\"\\nc\\r\\nd\n6\t22\t0\t0\t0\t\n7\t1\t0\t0\t0\t\x80\\t\\\\\xc3\xa9\n"},
      {"\"time\",\"type\"\n\"-5\",\"+1\"\n", "-5\t1\t0\t0\t0\n"},
      {"time,type\n", ""},
  };
  for (const auto& c : cases) {
    run_result r = annfile({"load", "--csv", "rec", "atr"}, c.text);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dump("rec", "atr"), c.tsv) << c.text;
  }
}

// A dump read back is the same file, own codes, an empty aux and all.
TEST_F(Csv, DumpReadBackIsTheSameFileByteForByte) {
  write_file(path("t.codes"), "31\tV\tventricular\n40\tQ\"\tquoted\n");
  ASSERT_EQ(annfile({"load", "--codes", "t.codes", "rec", "atr"},
                    "5\tV\t0\t0\t0\n6\tQ\"\t1\t2\t-3\t\n7\t100\t0\t0\t0\ta,\\\\\\n\\x80\n")
                .status,
            0);
  const std::string stored = read_file(path("rec.atr"));
  run_result d = annfile({"dump", "--csv", "rec", "atr"});
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out, header +
                       "5,31,V,0,0,0,\n"
                       "6,40,\"Q\"\"\",1,2,-3,\"\"\n"
                       "7,100,,0,0,0,\"a,\\\\\\n\\x80\"\n");
  run_result l = annfile({"load", "--csv", "rec", "atr"}, d.out);
  EXPECT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(read_file(path("rec.atr")), stored);
  run_result s = annfile({"dump", "--csv", "--sps", "2.5", "rec", "atr"});
  EXPECT_EQ(s.out.substr(0, s.out.find('\n', header.size() + 8) + 1),
            "time,seconds,type,mnemonic,subtype,channel,number,aux\n5,2,31,V,0,0,0,\n");
}

// The Python that has pandas: the one CMake found, or Debian's.
std::string find_pandas(const std::string& dir) {
  std::vector<std::string> pythons = {"/usr/bin/python3"};
#ifdef PYTHON3_BIN
  pythons.insert(pythons.begin(), PYTHON3_BIN);
#endif
  for (const std::string& python : pythons)
    if (file_exists(python) && run_program({python, "-c", "import pandas"}, "", dir).status == 0)
      return python;
  return "";
}

// What a data scientist does: dump --csv, read it into a DataFrame, edit it
// or not, write it back and load it. Every awkward aux survives, and the
// edits are exactly the changes.
TEST_F(Csv, PandasRoundTripKeepsEveryByteAndOnlyTheEdits) {
  const std::string python = find_pandas(dir);
  if (python.empty()) GTEST_SKIP() << "python3-pandas is not installed: no pandas round trip";
  write_file(path("t.codes"),
             "30\tS\tsupra\n31\tV\tventricular\n40\tNA\tnot assessed\n"
             "41\t1e5\tlooks like a number\n42\tQ\"\tquoted\n");
  const std::string tsv =
      "100\tN\t0\t0\t0\n"
      "200\tV\t0\t0\t0\n"
      "250\tNA\t0\t0\t0\tNA\n"
      "260\t1e5\t5\t2\t-3\tnull\n"
      "270\tQ\"\t0\t0\t0\tNaN\n"
      "300\tNOTE\t0\t0\t0\tsay \"hi\", twice\n"
      "301\tNOTE\t0\t0\t0\tnull\n"
      "302\tNOTE\t0\t0\t0\ttab\\there\n"
      "303\tNOTE\t0\t0\t0\tline\\nfeed\\r\n"
      "304\tNOTE\t0\t0\t0\t\xc3\xa9 \xe2\x82\xac \xc2\x85\n"
      "305\tNOTE\t0\t0\t0\t\\x80\xff\xed\xa0\x80\xc3\n"
      "306\tNOTE\t0\t0\t0\tC:\\\\path\n"
      "307\t100\t0\t0\t0\t007\n"
      "308\t100\t0\t0\t0\t None \n";
  ASSERT_EQ(annfile({"load", "--codes", "t.codes", "rec", "atr"}, tsv).status, 0);
  // Columns that look like numbers throughout stay text.
  ASSERT_EQ(annfile({"load", "--codes", "t.codes", "num", "atr"},
                    "1\t1e5\t0\t0\t0\t007\n2\t1e5\t0\t0\t0\t1.50\n")
                .status,
            0);
  const std::string stored = read_file(path("rec.atr")), num = read_file(path("num.atr"));
  write_file(path("rec.orig"), stored);
  for (const char* record : {"rec", "num"}) {
    run_result d = annfile({"dump", "--csv", "--sps", "360", record, "atr"});
    ASSERT_EQ(d.status, 0) << d.err;
    write_file(path(record + std::string(".csv")), d.out);
  }
  // The README's lines, and the edits: a row dropped, an aux and a class
  // changed, a row added.
  const std::string script =
      "import pandas as pd\n"
      "for name in ['num', 'rec']:\n"
      "    df = pd.read_csv(name + '.csv', keep_default_na=False, dtype={'mnemonic': str, 'aux': "
      "str})\n"
      "    df.to_csv(name + '-same.csv', index=False)\n"
      "df = df.drop(df.index[df.time == 301])\n"
      "df.loc[df.time == 300, 'aux'] = 'edited, \"again\"'\n"
      "df.loc[df.time == 200, ['type', 'mnemonic']] = [30, 'S']\n"
      "new = pd.DataFrame([{'time': 150, 'type': 1, 'mnemonic': 'N', 'subtype': 0,\n"
      "                     'channel': 0, 'number': 0, 'aux': ''}])\n"
      "df = pd.concat([df, new]).sort_values('time', kind='stable')\n"
      "df.to_csv('edited.csv', index=False)\n";
  run_result p = run_program({python, "-c", script}, "", dir);
  ASSERT_EQ(p.status, 0) << p.err;
  run_result l = annfile({"load", "--csv", "num", "atr"}, read_file(path("num-same.csv")));
  ASSERT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(read_file(path("num.atr")), num);
  l = annfile({"load", "--csv", "rec", "atr"}, read_file(path("rec-same.csv")));
  ASSERT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(read_file(path("rec.atr")), stored);
  l = annfile({"load", "--csv", "rec", "atr"}, read_file(path("edited.csv")));
  ASSERT_EQ(l.status, 0) << l.err;
  run_result diff = annfile({"diff", "rec", "orig", "atr"});
  EXPECT_EQ(diff.status, 1) << diff.err;
  EXPECT_EQ(diff.out, log_header("rec", "orig") +
                          "150,N\n"
                          "-200,V\n"
                          "200,S\n"
                          "-300,NOTE,say \"hi\", twice\n"
                          "300,NOTE,edited, \"again\"\n"
                          "-301,NOTE,null\n");
}

}  // namespace
