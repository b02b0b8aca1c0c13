// Files and folders for the tests: one way to read, write and make them,
// shared by the unit, platform and end-to-end tests.
#ifndef QUON_TESTS_SUPPORT_FILES_H
#define QUON_TESTS_SUPPORT_FILES_H

#include <string>
#include <vector>

// Whole content of a file ("" when missing).
std::string readall(const std::string &path);
// Replaces a file's content; a link planted in its place is not followed.
void writeall(const std::string &path, const std::string &text);
bool exists(const std::string &path);

// The unit tests' names for the same two.
inline std::string readfile(const std::string &path) { return readall(path); }
inline void writefile(const std::string &path, const std::string &content) {
  writeall(path, content);
}

// A fresh folder of the test's own under the temporary folder ("" when none
// could be made); its name starts with prefix.
std::string maketempdir(const std::string &prefix);

// A fresh temporary folder, made the current directory for the test;
// returns its path. The previous directory comes back at leavetempdir(),
// which also removes the folder.
std::string entertempdir(void);
void leavetempdir(void);

// Temporary calibration files ("QUON.INI." and six characters) in dir.
std::vector<std::string> tempsleft(const std::string &dir);

int exitstatus(int status);  // the exit status, -1 when ended by a signal

// Standard output and error of a shell command; its exit status in *status
// (-1 when it did not exit).
std::string capture(const std::string &command, int *status);

#endif
