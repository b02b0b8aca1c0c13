// The testbench file: every statement form and what it reads as, and every
// message a malformed bench gives, through the parser's own entry point.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/files.h"
#include "testbench/testbench.h"

namespace {

// A bench as text: its end, then its drives, keys and expectations in the
// order the parser keeps them.
std::string describe(const Testbench &b) {
  char text[160];
  std::string out = "end " + std::to_string(b.end);
  if (b.skipspawns) out += "; spawns skipped";
  for (const BenchDrive &d : b.drives) {
    snprintf(text, sizeof text, "; drive %llu p%d %02x/%02x line %d",
             static_cast<unsigned long long>(d.us), d.port, d.mask, d.value, d.line);
    out += text;
  }
  for (const BenchKeys &k : b.keys) {
    out += "; key " + std::to_string(k.us);
    for (size_t i = 0; i < k.codes.size(); ++i) out += (i ? "," : " ") + std::to_string(k.codes[i]);
    out += " line " + std::to_string(k.line);
  }
  for (const BenchExpect &e : b.expects) {
    const char *kind = e.kind == CHECK_AT       ? "at"
                       : e.kind == CHECK_WINDOW ? "window"
                       : e.kind == CHECK_NOTE   ? "note"
                                                : "spawn";
    snprintf(text, sizeof text, "; %s %llu-%llu p%d %04x '%s' '%s' line %d", kind,
             static_cast<unsigned long long>(e.from), static_cast<unsigned long long>(e.to),
             e.port, e.pattern, e.word.c_str(), e.text.c_str(), e.line);
    out += text;
  }
  for (const std::string &r : b.replays) out += "; replay " + r;
  return out;
}

struct Case {
  std::string bench;
  const char *result;  // the description of the bench, or the error message
  const char *name = "b.qtb";
};

using namespace std::string_literals;  // "..."s keeps a NUL inside

const Case CASES[] = {
    // ---------------------------------------------------------- statements
    {"end 3\n", "end 3000000"},
    {"# a comment\n\n  end 1.5   # to the end of the line\n", "end 1500000"},
    {"end 0", "end 0"},
    {"end 2\nat 0.5 input 1 1..0\nat 0.25 input 0 .......1\n",
     "end 2000000; drive 250000 p0 01/01 line 3; drive 500000 p1 09/08 line 2"},
    {"end 2\nat 1 expect 0 ....1111\nfrom 0.5 to 1.5 expect 1 1.......\n",
     "end 2000000; at 1000000-1000000 p0 0f0f '....1111' '' line 2; "
     "window 500000-1500000 p1 8080 '1.......' '' line 3"},
    {"end 2\nfrom 1 to 1 expect 0 0\n", "end 2000000; window 1000000-1000000 p0 0100 '0' '' line 2"},
    {"end 2\nby 2 note  sequence:  done \t\r\n",
     "end 2000000; note 2000000-2000000 p0 0000 '' 'sequence:  done' line 2"},
    {"end\t2\nby\t1\tnote\tdone,\tall \n", "end 2000000; note 1000000-1000000 p0 0000 '' "
                                              "'done,\tall' line 2"},
    {"end 9\nat 3 key a\nat 1 key ESC\nat 2 key f5\nat 4 key Enter\nat 5 key BackSpace\n"
     "at 6 key tab\nat 7 key Up\nat 7.5 key del\nat 8 key F12\nat 8.5 key 1\n",
     "end 9000000; key 1000000 27 line 3; key 2000000 0,63 line 4; key 3000000 97 line 2; "
     "key 4000000 13 line 5; key 5000000 127 line 6; key 6000000 9 line 7; "
     "key 7000000 0,72 line 8; key 7500000 0,83 line 9; key 8000000 0,134 line 10; "
     "key 8500000 49 line 11"},
    {"end 2\nspawn skip\nby 1 spawn touch  a\tb \n",
     "end 2000000; spawns skipped; spawn 1000000-1000000 p0 0000 '' 'touch  a\tb' line 3"},
    {"spawn run\nend 1\n", "end 1000000"},
    // A replayed change after the end is no event of the bench's own.
    {"end 3\nreplay t.vcd\nat 1 input 0 1\n",
     "end 3000000; drive 500000 p0 01/01 line 0; drive 1000000 p0 01/01 line 3; "
     "drive 2000000 p1 08/00 line 0; drive 5000000 p0 01/00 line 0; replay t.vcd"},
    // A replay named without a folder: beside the bench first, then here.
    {"end 3\nreplay t.vcd\n", "end 3000000; drive 7 p0 02/02 line 0; replay sub/t.vcd",
     "sub/b.qtb"},
    {"end 3\nreplay ./t.vcd\n",
     "end 3000000; drive 500000 p0 01/01 line 0; drive 2000000 p1 08/00 line 0; "
     "drive 5000000 p0 01/00 line 0; replay ./t.vcd",
     "sub/b.qtb"},
    {"end 3\nreplay outs.vcd\n", "sub/b.qtb:2: replay file outs.vcd holds no traced input bits",
     "sub/b.qtb"},

    // ------------------------------------------------------------ messages
    {"end 1\nend 2\n", "b.qtb:2: a second end"},
    {"end\n", "b.qtb:1: end needs one time"},
    {"end 1 2\n", "b.qtb:1: end needs one time"},
    {"end -1\n", "b.qtb:1: end needs one time"},
    {"end 1e10\n", "b.qtb:1: end needs one time"},
    {"end 1s\n", "b.qtb:1: end needs one time"},
    {"end nan\n", "b.qtb:1: end needs one time"},
    {"replay\n", "b.qtb:1: replay needs one file name"},
    {"replay a.vcd b.vcd\n", "b.qtb:1: replay needs one file name"},
    {"end 1\nreplay none.vcd\n",
     "b.qtb:2: cannot read replay file none.vcd (No such file or directory)"},
    {"end 1\nreplay outs.vcd\n", "b.qtb:2: replay file outs.vcd holds no traced input bits"},
    {"end 1\nreplay sub\n", "b.qtb:2: cannot read replay file sub (a folder, not a regular file)"},
    {"end 1\nreplay huge.vcd\n", "b.qtb:2: cannot read replay file huge.vcd (larger than 256 MiB)"},
    // Bytes an editor does not show are named, in a comment too.
    {"end 1\0.5\n"s, "b.qtb:1: a NUL byte (0x00) in the line"},
    {"end 1\n# \0\n"s, "b.qtb:2: a NUL byte (0x00) in the line"},
    {"\xEF\xBB\xBF"
     "end 1\n",
     "b.qtb:1: a UTF-8 byte-order mark (EF BB BF): save the file without it"},
    {"wait 1\n", "b.qtb:1: unknown word 'wait'"},
    {"at 1 press a\n", "b.qtb:1: unknown word 'press'"},
    {"from 1 to 2 key a\n", "b.qtb:1: unknown word 'key'"},
    {"at\n", "b.qtb:1: bad time after at"},
    {"at x input 0 1\n", "b.qtb:1: bad time after at"},
    {"by -1 note x\n", "b.qtb:1: bad time after by"},
    {"from 1 expect 0 1\n", "b.qtb:1: from needs 'from T1 to T2' with T2 not before T1"},
    {"from 1 until 2 expect 0 1\n", "b.qtb:1: from needs 'from T1 to T2' with T2 not before T1"},
    {"from 2 to 1 expect 0 1\n", "b.qtb:1: from needs 'from T1 to T2' with T2 not before T1"},
    {"from 1 to x expect 0 1\n", "b.qtb:1: from needs 'from T1 to T2' with T2 not before T1"},
    {"at 1\n", "b.qtb:1: nothing to do after the time"},
    {"from 1 to 2\n", "b.qtb:1: nothing to do after the time"},
    {"by 1 expect 0 1\n", "b.qtb:1: by needs 'note TEXT' or 'spawn TEXT'"},
    {"by 1 note\n", "b.qtb:1: by needs 'note TEXT' or 'spawn TEXT'"},
    {"end 1\nspawn run\nspawn skip\n", "b.qtb:3: a second spawn line"},
    {"spawn\n", "b.qtb:1: spawn needs 'run' or 'skip'"},
    {"spawn skip now\n", "b.qtb:1: spawn needs 'run' or 'skip'"},
    // Flag banks are the run's (--flags=); this one has none.
    {"at 1 flag 2 1\n", "b.qtb:1: port 2 is no flag bank of this run (--flags=2 makes it one)"},
    {"at 1 expect 9 1\n", "b.qtb:1: port 9 is no flag bank of this run (--flags=9 makes it one)"},
    {"from 0 to 1 flag 2 1\n", "b.qtb:1: flag takes 'at T'"},
    {"at 1 flag 22 1\n", "b.qtb:1: port out of range: 22"},
    {"at 1 key\n", "b.qtb:1: key needs one character or key name"},
    {"at 1 key ab\n", "b.qtb:1: key needs one character or key name"},
    {"at 1 key a b\n", "b.qtb:1: key needs one character or key name"},
    {"at 1 key #\n", "b.qtb:1: key needs one character or key name"},  // a comment
    {"at 1 input 0\n", "b.qtb:1: input needs a port and a pattern"},
    {"at 1 expect 0 1 1\n", "b.qtb:1: expect needs a port and a pattern"},
    {"at 1 input 2 1\n", "b.qtb:1: port out of range: 2"},
    {"at 1 expect 01 1\n", "b.qtb:1: port out of range: 01"},
    {"at 1 input 0 1x\n", "b.qtb:1: bad pattern: 1x"},
    {"at 1 expect 0 111111111\n", "b.qtb:1: bad pattern: 111111111"},
    {"from 1 to 2 input 0 1\n", "b.qtb:1: input takes 'at T'"},
    {"at 1 input 0 1\n", "b.qtb:1: no 'end T' line"},
    {"", "b.qtb:0: no 'end T' line"},
    {"end 1\nbogus\nalso bogus\n", "b.qtb:2: unknown word 'bogus'"},
    // The first line of an event after the end, whatever its kind.
    {"end 1\nat 0.5 expect 0 1\nat 1.5 key a\nat 2 expect 0 1\n", "b.qtb:3: an event after end"},
    {"end 1\nat 2 expect 0 1\nat 1.5 key a\n", "b.qtb:2: an event after end"},
    {"end 1\nat 3 input 0 1\n", "b.qtb:2: an event after end"},
    {"end 1\nfrom 0.5 to 1.5 expect 0 1\n", "b.qtb:2: an event after end"},
    {"end 1\nby 2 note x\n", "b.qtb:2: an event after end"},
};

class TestbenchParse : public ::testing::Test {
 protected:
  void SetUp() override {
    entertempdir();
    // In microseconds, as traces are stamped: port 0's in0 and port 1's in3.
    writeall("t.vcd",
             "$scope module port0 $end\n$var wire 1 ! in0 $end\n$upscope $end\n"
             "$scope module port1 $end\n$var wire 1 \" in3 $end\n$upscope $end\n"
             "$enddefinitions $end\n#500000\n1!\n#2000000\n0\"\n#5000000\n0!\n");
    writeall("outs.vcd",
             "$scope module port0 $end\n$var wire 1 ! out0 $end\n$upscope $end\n"
             "$enddefinitions $end\n#1\n1!\n");
    mkdir("sub", 0755);
    writeall("sub/t.vcd", "$scope module port0 $end\n$var wire 1 ! in1 $end\n$upscope $end\n"
                          "$enddefinitions $end\n#7\n1!\n");
    // Past the bounds without a byte on the disk.
    writeall("huge.vcd", "");
    writeall("huge.qtb", "");
    ASSERT_EQ(truncate("huge.vcd", (256 << 20) + 1), 0);
    ASSERT_EQ(truncate("huge.qtb", (16 << 20) + 1), 0);
  }
  void TearDown() override { leavetempdir(); }
};

TEST_F(TestbenchParse, EachBenchReadsAsItsStatementsOrGivesItsMessage) {
  for (const Case &c : CASES) {
    SCOPED_TRACE(c.bench);
    Testbench bench;
    std::string error;
    int result = testbenchparse(c.name, c.bench, &bench, &error);
    EXPECT_EQ(result == 0 ? describe(bench) : error, c.result);
    EXPECT_EQ(result == 0, error.empty());
  }
}

TEST_F(TestbenchParse, AFileThatCannotBeReadNamesTheReason) {
  const std::pair<const char *, const char *> cases[] = {
      {"none.qtb", "none.qtb:0: cannot read the testbench (No such file or directory)"},
      {"sub", "sub:0: cannot read the testbench (a folder, not a regular file)"},
      {"huge.qtb", "huge.qtb:0: cannot read the testbench (larger than 16 MiB)"},
  };
  for (const auto &c : cases) {
    Testbench bench;
    std::string error;
    EXPECT_EQ(testbenchread(c.first, &bench, &error), -1);
    EXPECT_EQ(error, c.second);
  }
}

}  // namespace
