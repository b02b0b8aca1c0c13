// The statement counts behind a bench run's coverage: how many times a
// thread reached each token. Each thread step tells which tokens it ran
// (core/watch.h); a statement a thread stays parked at, a WAIT tried at
// every pass, counts once for each time the thread arrived there, so a
// statement in a loop counts exactly the rounds that reached it.
#include <map>
#include <vector>

#include "compiler/token.h"
#include "core/tables.h"
#include "core/watch.h"
#include "testbench/testbench.h"

namespace {

struct Coverage {
  std::vector<uint64_t> runs;    // per token: the arrivals counted
  std::vector<int32_t> counted;  // per thread: where it is parked, counted; -1 none
  // The threads a KILL sent back since the last step ended: the step that
  // ends next is their killer's, whose own statements it tells.
  std::vector<int32_t> killed;
};
Coverage cover;

bool parks(Token token) {
  uint8_t op = tokenop(token);
  return op == OP_WAIT || op == OP_DELAY || op == OP_KEY;
}

void seeran(int32_t t, int32_t from, int32_t to) {
  // The step's tokens are the thread's own, in range: the executor ran them.
  int32_t *counted = cover.counted.data();
  uint64_t *runs = cover.runs.data();
  // The place a thread was parked at was counted when it arrived there.
  for (int32_t i = counted[t] == from ? from + 1 : from; i <= to; ++i) ++runs[i];
  counted[t] = parks(prog.tokens[to]) ? to : -1;
  if (__builtin_expect(!cover.killed.empty(), 0)) {
    // The killed ones stand at their starts, not yet reached; the killer
    // itself among them was told just now.
    for (int32_t k : cover.killed) {
      if (k != t) counted[k] = -1;
    }
    cover.killed.clear();
  }
}

void seeloop(int32_t t, bool killed) {
  if (killed) cover.killed.push_back(t);
}

const Watcher listener = {
    nullptr,  // pass
    nullptr,  // passend
    nullptr,  // key
    nullptr,  // input
    nullptr,  // output
    nullptr,  // thread
    nullptr,  // note
    seeloop,  // loop
    nullptr,  // slept
    nullptr,  // flag
    nullptr,  // keyin
    seeran,   // ran
};

}  // namespace

void coveragestart(void) {
  cover = Coverage{};
  cover.runs.assign(static_cast<size_t>(prog.tokencount > 0 ? prog.tokencount : 0), 0);
  coverageparked();
  watchadd(&listener);
}

void coverageparked(void) {
  cover.counted.assign(static_cast<size_t>(prog.threadcount > 0 ? prog.threadcount : 0), -1);
  cover.killed.clear();
}

void coveragestop(void) { watchremove(&listener); }

const std::vector<uint64_t> &coveragecounts(void) { return cover.runs; }

std::string coveragelcov(const std::string &source, int *lines, int *reached) {
  std::map<int32_t, uint64_t> byline;  // a line's statements, summed
  for (size_t i = 0; i < cover.runs.size(); ++i) {
    if (tokenop(prog.tokens[i]) == OP_SEPARATOR) continue;
    byline[prog.tokenline[i]] += cover.runs[i];
  }
  std::string text = "TN:testbench\nSF:" + source + "\n";
  *lines = *reached = 0;
  for (const auto &line : byline) {
    text += "DA:" + std::to_string(line.first) + "," + std::to_string(line.second) + "\n";
    ++*lines;
    if (line.second != 0) ++*reached;
  }
  text += "LF:" + std::to_string(*lines) + "\nLH:" + std::to_string(*reached) +
          "\nend_of_record\n";
  return text;
}
