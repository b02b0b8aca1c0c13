// Comparing texts without regard to the case of ASCII letters, as keywords,
// options and file names are matched.
#ifndef QUON_TEXT_CASEFOLD_H
#define QUON_TEXT_CASEFOLD_H

// Compares at most n characters, folding only 'A' to 'Z'; stops with
// equality only where both texts end together. Returns 1 when equal. Used
// for the options (n = 2) and the keywords (n = 1 or 2).
int prefixmatch(const char *text, const char *with, int n);

// 1 when the two whole texts differ at most in the case of 'A' to 'Z'.
int samefolded(const char *a, const char *b);

#endif
