// annapply end to end under faults: a file system that fills up, a process
// killed while it writes, a directory it may not write to, memory or standard
// input that give out. Whatever happens, the file the run would replace stays
// exactly as it was.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "run.h"

namespace {

using Faults = ScratchDir;

const std::string old_output = "5\t1\t0\t0\t0\n";
const char write_error[] = "annapply: can't write output annotation file 'rec.atr_\n";

// n annotations a second apart at 360 samples a second, each with an aux of
// aux_len bytes when aux_len is not 0.
std::string many_annotations(int n, size_t aux_len = 0) {
  std::string tsv, aux = aux_len ? "\t" + std::string(aux_len, 'a') : "";
  for (int i = 0; i < n; i++) tsv += std::to_string(i * 360) + "\t1\t0\t0\t0" + aux + "\n";
  return tsv;
}

TEST_F(Faults, FullFileSystemKeepsTheOldOutputAndLeavesNoTemporaryFile) {
  // A small file system of its own, mounted where no one else sees it: in a
  // mount namespace private to this test process and the programs it starts.
  std::string fs = path("fs");
  ASSERT_EQ(mkdir(fs.c_str(), 0777), 0);
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("annapply-test", fs.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "can't mount a small file system here: " << strerror(errno);
  std::string saved = dir;
  dir = fs;
  load("rec", "atr", many_annotations(40000));  // about 120 KB
  load("rec", "atr_", old_output);
  std::string input = read_file(path("rec.atr")), old = read_file(path("rec.atr_"));
  // Fill what is left, less than the output needs.
  std::string block(4096, 'f');
  FILE* filler = fopen(path("filler").c_str(), "w");
  ASSERT_NE(filler, nullptr);
  while (fwrite(block.data(), 1, block.size(), filler) == block.size() && fflush(filler) == 0) {
  }
  fclose(filler);

  run_result r = annapply(log_header("rec", "atr") + "7\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, write_error);
  EXPECT_EQ(read_file(path("rec.atr_")), old);
  EXPECT_EQ(read_file(path("rec.atr")), input);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"filler", "rec.atr", "rec.atr_"}));

  // With room again the same run succeeds.
  ASSERT_EQ(unlink(path("filler").c_str()), 0);
  EXPECT_EQ(annapply(log_header("rec", "atr") + "7\n").status, 0);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
  dir = saved;
  EXPECT_EQ(umount2(fs.c_str(), MNT_DETACH), 0);
}

// The temporary output file beside rec.atr_, or "" when there is none.
std::string find_temporary(const std::string& dir) {
  for (const std::string& name : list_dir(dir))
    if (name.rfind("rec.atr_.", 0) == 0) return dir + "/" + name;
  return "";
}

TEST_F(Faults, KillWhileTheOutputIsWrittenLeavesTheOldOutputWhole) {
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  load("rec", "atr_", old_output);
  std::string old = read_file(path("rec.atr_"));
  // About 25 MB of output, written in 64 KiB pieces after the whole log is read.
  std::string log = log_header("rec", "atr");
  std::string aux(250, 'k');
  for (int i = 0; i < 100000; i++) log += std::to_string(i * 7) + ",N," + aux + "\n";
  running_program p = start_program({ANNAPPLY_BIN}, log, dir, "annapply");
  // Kill as soon as the first piece has reached the temporary file.
  off_t written = 0;
  for (int polls = 0; polls < 600000 && written == 0; polls++) {
    std::string temp = find_temporary(dir);
    struct stat st;
    if (!temp.empty() && stat(temp.c_str(), &st) == 0) written = st.st_size;
    if (written == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  ASSERT_GT(written, 0) << "the output never started";
  kill(p.pid, SIGKILL);
  run_result r = finish_program(p);
  ASSERT_EQ(r.status, 128 + SIGKILL) << "the run ended before it could be killed";
  EXPECT_EQ(read_file(path("rec.atr_")), old);
  // A killed process cannot remove its temporary file; it stays, incomplete,
  // and the next run is not disturbed by it.
  std::string temp = find_temporary(dir);
  ASSERT_NE(temp, "");
  EXPECT_LT(read_file(temp).size(), 25000000u);
  EXPECT_EQ(annapply(log_header("rec", "atr") + "9\n").status, 0);
  EXPECT_EQ(dump("rec", "atr_"), "1\t1\t0\t0\t0\n9\t1\t0\t0\t0\n");
}

TEST_F(Faults, DirectoryWithoutWritePermissionGivesStatus2AndChangesNothing) {
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  load("rec", "atr_", old_output);
  ASSERT_EQ(mkdir(path("empty").c_str(), 0777), 0);
  bool root = getuid() == 0;
  if (root) {
    // Root writes anywhere, so the programs run as nobody in a directory
    // that nobody may read but not write.
    run_result probe = annfile({"codes"}, "", {.unprivileged = true});
    if (probe.status != 0)
      GTEST_SKIP() << "can't run the programs as user 65534 (status " << probe.status << ")";
  }
  const std::string dirs[] = {dir, path("empty")};
  for (const std::string& d : dirs) ASSERT_EQ(chmod(d.c_str(), 0555), 0);
  std::vector<std::string> before = list_dir(dir);
  std::string input = read_file(path("rec.atr")), old = read_file(path("rec.atr_"));
  struct {
    std::string record;
    std::string err;
  } cases[] = {
      {"rec", write_error},
      // No input: the output goes to the annotator's own name.
      {"empty/rec", "annapply: can't write output annotation file 'empty/rec.atr\n"},
  };
  for (const auto& c : cases) {
    run_result r = annapply(log_header(c.record, "atr") + "7\n", {.unprivileged = true});
    EXPECT_EQ(r.status, 2) << c.record;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(list_dir(dir), before);
  EXPECT_EQ(list_dir(path("empty")), std::vector<std::string>{});
  EXPECT_EQ(read_file(path("rec.atr_")), old);
  EXPECT_EQ(read_file(path("rec.atr")), input);
  for (const std::string& d : dirs) chmod(d.c_str(), 0755);
}

TEST_F(Faults, OutOfMemoryGivesStatus1AndKeepsTheOldOutput) {
#ifdef UNDER_ASAN
  GTEST_SKIP() << "the address sanitizer reserves more address space than any limit leaves";
#endif
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  load("rec", "atr_", old_output);
  std::string old = read_file(path("rec.atr_"));
  // Far more entries than 64 MB of address space can hold in the list.
  std::string log = log_header("rec", "atr");
  for (int i = 0; i < 3000000; i++) log += std::to_string(i) + "\n";
  run_result r = annapply(log, {.as = 64 << 20});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.rfind("NESK: can't allocate (1*", 0) == 0 &&
              r.err.find(") bytes for apthis\n") != std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(path("rec.atr_")), old);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
}

TEST_F(Faults, StandardInputFailingPartWayGivesStatus1AndKeepsTheOldOutput) {
  load("rec", "atr", "1\t1\t0\t0\t0\n");
  load("rec", "atr_", old_output);
  std::string old = read_file(path("rec.atr_"));
  // The log is read up to "3", and then the next read fails.
  run_result r = annapply(log_header("rec", "atr") + "2\n3\n", {.input_fails_at_end = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "annapply: can't read the edit log: Resource temporarily unavailable\n");
  EXPECT_EQ(read_file(path("rec.atr_")), old);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.atr", "rec.atr_"}));
}

// Only an input that is not there sends the result to the annotator's own
// name; one that is there but cannot be read stops the run before anything
// is written, and annfile check foretells it.
TEST_F(Faults, InputThatCannotBeReadIsNeverTakenForAMissingOne) {
  load("rec", "atr", "1\t1\t0\t0\t0\n2\t1\t0\t0\t0\n");
  std::string input = read_file(path("rec.atr"));
  bool root = getuid() == 0;
  if (root && annfile({"codes"}, "", {.unprivileged = true}).status != 0)
    GTEST_SKIP() << "can't run the programs as user 65534";
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(path("rec.atr").c_str(), 0), 0);
  const std::string log = log_header("rec", "atr") + "7\n";
  run_result r = annapply(log, {.unprivileged = true});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "annapply: can't write output annotation file 'rec.atr\n");
  run_result c = annfile({"check"}, log, {.unprivileged = true});
  EXPECT_EQ(c.status, 2);
  EXPECT_EQ(c.err,
            "annfile: <stdin>: can't read rec.atr: Permission denied (annapply would end with "
            "status 2)\n");
  chmod(path("rec.atr").c_str(), 0644);
  EXPECT_EQ(read_file(path("rec.atr")), input);
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.atr"});
}

TEST_F(Faults, ReadErrorOnTheHeaderIsSaidToBeOne) {
  // Standard input a directory: every read of it fails.
  run_result r = run_program({"/bin/sh", "-c", "exec \"$0\" < .", ANNAPPLY_BIN}, "", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(ANNAPPLY_BIN) + ": can't read the edit log: Is a directory\n");
  run_result l =
      run_program({"/bin/sh", "-c", "exec \"$0\" load rec atr < .", ANNFILE_BIN}, "", dir);
  EXPECT_EQ(l.status, 1);
  EXPECT_EQ(l.err, std::string(ANNFILE_BIN) + ": can't read standard input: Is a directory\n");
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
}

}  // namespace
