// The base-address lookup over fake memory and fake kernel files: the BIOS
// word first, the kernel's first parport where that word is missing or 0,
// and the hint line when neither names a port.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/biosbase.h"
#include "tests/support/files.h"

namespace {

constexpr int NONE = -1;  // no such fake file

class BiosBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = entertempdir();
    mem = dir + "/mem";
    parport = dir + "/base-addr";
  }
  void TearDown() override { leavetempdir(); }

  // Makes the fake memory file hold image and the kernel's file hold text,
  // afresh; nullptr leaves that file out.
  void makefiles(const std::string *image, const char *text) {
    unlink(mem.c_str());
    unlink(parport.c_str());
    if (image != nullptr) writefile(mem, *image);
    if (text != nullptr) writefile(parport, text);
  }

  std::string dir;
  std::string mem;      // stands for /dev/mem
  std::string parport;  // stands for the kernel's base-addr file
};

// A memory image of size bytes, zero except the word at BIOS_PORT_WORD.
std::string memimage(size_t size, int word) {
  std::string image(size, '\0');
  if (size >= BIOS_PORT_WORD + 2) {
    image[BIOS_PORT_WORD] = static_cast<char>(word & 0xFF);
    image[BIOS_PORT_WORD + 1] = static_cast<char>(word >> 8);
  }
  return image;
}

struct LookupCase {
  const char *why;
  int memsize;          // bytes of the fake memory file; NONE for none
  int word;             // the word at offset 0x408
  const char *parport;  // the kernel file's text; nullptr for none
  int32_t base;
  const char *const *hint;  // expected hint when base is -1
};

TEST_F(BiosBaseTest, LookupOrderAndFailures) {
  const LookupCase cases[] = {
      {"BIOS word", 0x500, 0x378, nullptr, 0x378, nullptr},
      {"BIOS word wins over the kernel", 0x500, 0x3BC, "888\t1912\n", 0x3BC, nullptr},
      {"high byte of the word", 0x40A, 0xBC00, nullptr, 0xBC00, nullptr},
      {"word 0 means none: the kernel's port", 0x500, 0, "888\t1912\n", 888, nullptr},
      {"no memory file", NONE, 0, "632\n", 632, nullptr},
      {"memory too short for the word", 0x409, 0, "888\n", 888, nullptr},
      {"kernel text with leading blanks", NONE, 0, "  888\n", 888, nullptr},
      {"kernel text without line end", NONE, 0, "49152", 49152, nullptr},
      {"largest address", NONE, 0, "65535\n", 65535, nullptr},
      {"word 0 and no kernel port", 0x500, 0, nullptr, -1, &HINT_NOPORT},
      {"nothing at all", NONE, 0, nullptr, -1, &HINT_NOPORT},
      {"kernel says 0", NONE, 0, "0\n", -1, &HINT_NOPORT},
      {"kernel number too large", NONE, 0, "65536\n", -1, &HINT_NOPORT},
      {"kernel number far too large", NONE, 0, "99999999999999999999\n", -1, &HINT_NOPORT},
      {"kernel text not a number", NONE, 0, "abc\n", -1, &HINT_NOPORT},
      {"kernel number with junk", NONE, 0, "888x\n", -1, &HINT_NOPORT},
      {"kernel file empty", NONE, 0, "", -1, &HINT_NOPORT},
      {"negative kernel number", NONE, 0, "-888\n", -1, &HINT_NOPORT},
  };
  for (const LookupCase &c : cases) {
    SCOPED_TRACE(c.why);
    std::string image = c.memsize != NONE ? memimage(static_cast<size_t>(c.memsize), c.word) : "";
    makefiles(c.memsize != NONE ? &image : nullptr, c.parport);
    const char *hint = "untouched";
    EXPECT_EQ(lookupportbase(mem.c_str(), parport.c_str(), &hint), c.base);
    if (c.hint != nullptr) {
      EXPECT_EQ(hint, *c.hint);
    } else {
      EXPECT_STREQ(hint, "untouched");
    }
  }
}

TEST(BiosBaseHintTest, HintsAreSingleLines) {
  for (const char *hint : {HINT_NOPORT, HINT_PERMISSION}) {
    EXPECT_GT(strlen(hint), 0u);
    EXPECT_EQ(strchr(hint, '\n'), nullptr) << hint;
  }
  EXPECT_NE(strstr(HINT_PERMISSION, "CAP_SYS_RAWIO"), nullptr);
  EXPECT_NE(strstr(HINT_PERMISSION, "Secure Boot"), nullptr);
}

struct RefusedCase {
  const char *why;
  const char *parport;  // kernel file text, readable; nullptr for none
  int32_t base;
  int permissionhint;   // 1: expect HINT_PERMISSION, 0: untouched
};

// A memory file the kernel will not let us read is a matter of privilege:
// the hint says so, unless the kernel names a port anyway. Runs in a child
// that drops root first, since root reads the file regardless.
TEST_F(BiosBaseTest, RefusedMemoryReadAsksForPrivilege) {
  const RefusedCase cases[] = {
      {"refused and no kernel port", nullptr, -1, 1},
      {"refused but the kernel knows a port", "888\n", 888, 0},
  };
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  for (const RefusedCase &c : cases) {
    SCOPED_TRACE(c.why);
    std::string image = memimage(0x500, 0x378);
    makefiles(&image, c.parport);
    ASSERT_EQ(chmod(mem.c_str(), 0), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (geteuid() == 0 && setuid(65534) != 0) _exit(90);
      const char *hint = nullptr;
      int32_t base = lookupportbase(mem.c_str(), parport.c_str(), &hint);
      int code = base == c.base ? 0 : 10;
      if (c.permissionhint && hint != HINT_PERMISSION) code += 1;
      if (!c.permissionhint && hint != nullptr) code += 2;
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "90: could not drop root; 10+: wrong base; 1/2: hint";
  }
}

}  // namespace
