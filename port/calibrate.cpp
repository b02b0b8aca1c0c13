#include "port/calibrate.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/fatal.h"
#include "core/tables.h"
#include "platform/files.h"
#include "platform/keys.h"
#include "port/port.h"
#include "port/safe.h"

namespace {
// The values are written under a temporary name and renamed into place only
// once complete: a failed, interrupted or killed calibration then leaves no
// QUON.INI behind that would block every later start. The temporary name is
// new each time and created exclusively, so a name that someone planted in
// the folder (a link to a file elsewhere) is never opened; the rename puts
// the file in place of whatever QUON.INI was, a link included, without
// following it.
const char *const INI_NAME = "QUON.INI";
const char *const INI_TEMP_PREFIX = "QUON.INI.";
std::string initemp;  // the temporary file's name while it exists

constexpr uint16_t CONTROL_BYTES = 8;  // control bytes 0 to 7 are tried
constexpr int PATTERNS = 8;            // 0x01, 0x03, ... 0xFF

unsigned long readport0(void) { return portinput(0); }

// One attempt under prog.calctl: measures prog.calinv with every data line
// at 0, then walks the data lines up one by one. Returns 1 when every
// input bit followed its data bit.
int attempt(void) {
  portwrite(0, 0);
  prog.calinv = 0;
  prog.calinv = portinput(0);
  if (prog.portdebug) {
    unsigned long input = readport0();
    printf("Ctl = %02x, Pat = 00, Inp = %02lx, Inv = %02lx\n",
           static_cast<unsigned>(prog.calctl), input,
           static_cast<unsigned long>(prog.calinv));
  }
  unsigned pattern = 0;
  for (int k = 0; k < PATTERNS; ++k) {
    pattern = pattern * 2 + 1;
    portwrite(0, static_cast<uint8_t>(pattern));
    int mismatch = portinput(0) != pattern;
    if (prog.portdebug) {
      unsigned long first = readport0();  // its difference shows as Inv
      unsigned long second = readport0();
      printf("            Pat = %02x, Inp = %02lx, Inv = %02lx\n", pattern,
             second, first ^ pattern);
    }
    if (mismatch) return 0;
  }
  return 1;
}

// 1 when the temporary file can be created (the trial file is removed
// again) and no folder named QUON.INI would refuse the rename onto it.
int cancreatefile(void) {
  if (isfolder(INI_NAME)) return 0;
  std::string trialname;
  FILE *trial = createtempfile(INI_TEMP_PREFIX, &trialname);
  if (trial == nullptr) return 0;
  fclose(trial);
  removefile(trialname.c_str());
  return 1;
}

// Puts the written values in place. Returns 1 when QUON.INI now holds them.
int commitfile(void) {
  int written =
      fprintf(prog.inifile, "%02x\n%04x\n", static_cast<unsigned>(prog.calctl),
              static_cast<unsigned>(prog.calinv)) > 0;
  // On disk before the rename, so a crash never leaves an empty QUON.INI.
  written = finishfile(prog.inifile) == 0 && written;
  prog.inifile = nullptr;
  if (written && replacefile(initemp.c_str(), INI_NAME) == 0) return 1;
  removefile(initemp.c_str());
  fputs("Could not write QUON.INI!\n", stderr);
  return 0;
}
}  // namespace

int calibrate(void) {
  // Tried before the first prompt and before the port is touched, so a
  // folder that cannot take the file fails at once, and so does a folder
  // standing where QUON.INI would be put.
  if (!cancreatefile()) fatal("Could not open QUON.INI for output!\n");

  fputs("\nInstall test connector on parallel port.\n", stdout);
  fputs("<enter> to continue\n", stdout);
  fflush(stdout);
  (void)readkey();  // any key goes on, ESC included
  keyboardrelease();

  // Created only once the user has gone on: interrupting the first prompt
  // leaves no temporary file behind.
  prog.inifile = createtempfile(INI_TEMP_PREFIX, &initemp);
  if (prog.inifile == nullptr) fatal("Could not open QUON.INI for output!\n");

  int found = 0;
  for (prog.calctl = 0; prog.calctl < CONTROL_BYTES; ++prog.calctl) {
    if (attempt()) {
      found = 1;
      break;
    }
  }

  int result;
  if (found) {
    fputs("\nCalibration successful.\n", stdout);
    result = commitfile();
  } else {
    fputs("\nUnable to determine proper masking!\n", stdout);
    fclose(prog.inifile);
    prog.inifile = nullptr;
    removefile(initemp.c_str());
    result = 0;
  }

  safeapplyport0();  // the card goes back on lines at their declared safe state
  fputs("\nRemove test plug from parallel port, and reconnect IO card.\n",
        stdout);
  fputs("<enter> to continue, <ESC> to quit\n", stdout);
  fflush(stdout);
  if (readkey() == KEY_ESC) exit(0);
  keyboardrelease();  // the script may be typed at the terminal next
  return result;
}
