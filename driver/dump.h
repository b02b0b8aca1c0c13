// The dump (-d): the token table and each thread's first token on standard
// output, with a key pause after each of the two sections.
#ifndef QUON_DRIVER_DUMP_H
#define QUON_DRIVER_DUMP_H

void showdump(void);

#endif
