#include "tests/testutil.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/loader.h"
#include "driver/tables.h"

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
char olddir[PATH_MAX];
std::string tempdir;
}  // namespace

std::string entertempdir(void) {
  if (getcwd(olddir, sizeof olddir) == nullptr) olddir[0] = '\0';
  char pattern[] = "/tmp/quontestXXXXXX";
  const char *made = mkdtemp(pattern);
  tempdir = made != nullptr ? made : "/tmp";
  if (chdir(tempdir.c_str()) != 0) perror("chdir");
  return tempdir;
}

void leavetempdir(void) {
  if (olddir[0] != '\0' && chdir(olddir) != 0) perror("chdir");
  if (!tempdir.empty() && tempdir != "/tmp") {
    std::string cmd = "rm -rf '" + tempdir + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  tempdir.clear();
}

std::string readfile(const std::string &path) {
  std::string out;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

void writefile(const std::string &path, const std::string &content) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}
