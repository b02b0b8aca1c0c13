// The clean start of every unit test (record, ports, simulated adapters and
// the test doubles), scripts from strings, and whole runs of the program.
#include "tests/testutil.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "driver/loader.h"
#include "driver/mainloop.h"
#include "driver/startup.h"
#include "core/tables.h"
#include "executor/step.h"
#include "tests/fakes/fakes.h"
#include "sim/simport.h"
#include "port/port.h"

void resetall(void) {
  resetrun();
  simreset();
  fakekeysreset();
  fakeshellreset();
  fakeclock = 0;
  fakeclockus = 0;
  prog.logfile = tmpfile();
}

void resetloopback(void) {
  resetall();
  prog.calctl = 4;
  prog.calinv = 0x83;
}

void loadscript(const std::string &text) {
  FILE *in = tmpfile();
  fwrite(text.data(), 1, text.size(), in);
  rewind(in);
  prog.infile = in;
  loadprogram();
}

void startscript(const std::string &text) {
  loadscript(text);
  mainloopinit();
}

std::string capturestep(int32_t t) {
  testing::internal::CaptureStdout();
  stepthread(t);
  return testing::internal::GetCapturedStdout();
}

void LoopbackTest::stepsat(int32_t t, const std::vector<At> &steps) {
  for (const At &s : steps) {
    fakeclock = s.clock;
    EXPECT_EQ(capturestep(t), s.out) << "thread " << t << " at " << s.clock << " ms";
  }
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::string logtext(void) {
  std::string out;
  if (prog.logfile == nullptr) return out;
  fflush(prog.logfile);
  long at = ftell(prog.logfile);
  rewind(prog.logfile);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, prog.logfile)) > 0) out.append(buf, n);
  fseek(prog.logfile, at, SEEK_SET);
  return out;
}

namespace {
// Makes path the descriptor fd of a child about to run the program.
void childfile(const char *path, int fd, int flags) {
  int f = open(path, flags | O_CLOEXEC, 0644);
  if (f < 0) _exit(126);
  dup2(f, fd);
  close(f);
}
}  // namespace

QuonRun runquon(std::vector<std::string> args, const std::string &input,
                const std::vector<int> &keys) {
  writefile("stdin.txt", input);
  // The child reports, after the main loop, whether the log was still open.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return QuonRun{-1, "", "", false};
  fflush(stdout);  // nothing of the test's own output is printed twice
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    childfile("stdin.txt", 0, O_RDONLY);
    childfile("stdout.txt", 1, O_WRONLY | O_CREAT | O_TRUNC);
    childfile("stderr.txt", 2, O_WRONLY | O_CREAT | O_TRUNC);
    resettables();
    fakekeysreset();
    for (int key : keys) fakekeyspush(key);
    args.insert(args.begin(), "quon");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int status = quonmain(static_cast<int>(args.size()), argv.data());
    char open = prog.logfile != nullptr ? 'o' : 'c';
    if (write(report[1], &open, 1) != 1) _exit(125);
    exit(status);
  }
  close(report[1]);
  char open = 'c';
  if (read(report[0], &open, 1) != 1) open = 'c';
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return QuonRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readfile("stdout.txt"),
                 readfile("stderr.txt"), open == 'o'};
}
