#include "tests/support/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

std::string readall(const std::string &path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void writeall(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror(path.c_str());
    return;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string maketempdir(const std::string &prefix) {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (mkdtemp(&pattern[0]) == nullptr) return std::string();
  return pattern;
}

namespace {
std::string olddir;   // the current directory before entertempdir()
std::string tempdir;  // the folder entertempdir() made
}  // namespace

std::string entertempdir(void) {
  char cwd[PATH_MAX];
  olddir = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
  tempdir = maketempdir("quontest");
  if (tempdir.empty() || chdir(tempdir.c_str()) != 0) perror("temporary folder");
  return tempdir;
}

void leavetempdir(void) {
  if (!olddir.empty() && chdir(olddir.c_str()) != 0) perror("chdir");
  if (!tempdir.empty()) {
    std::error_code error;
    std::filesystem::remove_all(tempdir, error);
  }
  tempdir.clear();
}

std::vector<std::string> tempsleft(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("QUON.INI.", 0) == 0 && name.size() == 15) names.push_back(name);
  }
  return names;
}

int exitstatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string capture(const std::string &command, int *status) {
  std::string text;
  *status = -1;
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) text.append(chunk, n);
  int raw = pclose(p);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}
