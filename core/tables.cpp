#include "core/tables.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/fatal.h"

// Every field starts at the initial value its declaration gives.
ProgramTables prog;

namespace {
void freetexts(char **texts, int32_t count) {
  if (texts == nullptr) return;
  for (int32_t i = 0; i < count; ++i) free(texts[i]);
}

void closestream(FILE *f) {
  if (f != nullptr && f != stdin && f != stdout && f != stderr) fclose(f);
}
}  // namespace

void resettables(void) {
  freetexts(prog.strings, prog.stringcount);
  // Unused entries of a grown table are null, so every entry can be freed.
  freetexts(prog.threadname, prog.threadmax);
  free(prog.tokens);
  free(prog.tokenline);
  free(prog.strings);
  free(prog.threadstart);
  free(prog.threadname);
  free(prog.threadcurrent);
  free(prog.threadtimer);
  free(prog.killfirst);
  free(prog.killcount);
  free(prog.killthread);
  closestream(prog.infile);
  closestream(prog.logfile);
  closestream(prog.inifile);
  prog = ProgramTables{};
}

void *growtable(void *table, int32_t *max, size_t entrysize) {
  // Counts and indexes are 32-bit: a table already at the top of that range
  // cannot take more entries, however much memory there is.
  if (*max > INT32_MAX - TABLE_GROWTH) outofmemory();
  // realloc may extend in place, so growing by a fixed step stays cheap for
  // the large tables of long scripts.
  int32_t newmax = *max + TABLE_GROWTH;
  void *grown = realloc(table, static_cast<size_t>(newmax) * entrysize);
  if (grown == nullptr) outofmemory();
  // New entries start zeroed, so no table ever holds an undefined entry.
  memset(static_cast<char *>(grown) + static_cast<size_t>(*max) * entrysize, 0,
         TABLE_GROWTH * entrysize);
  *max = newmax;
  return grown;
}

char *copytext(const char *text) {
  char *copy = strdup(text);
  if (copy == nullptr) outofmemory();
  return copy;
}
