// What the real-time mode asks of the kernel: memory locked, a real-time
// scheduling class, one processor, the processors' wake-up latency held at
// its lowest; and what a SPAWN'd command must not inherit of it.
// Provider: rtsched_linux.cpp. Each call returns 0 or an errno.
#ifndef QUON_PLATFORM_RTSCHED_H
#define QUON_PLATFORM_RTSCHED_H

#include <string>

// mlockall of what is mapped and will be, then a touch of the stack the
// loop will use, so no page fault comes later.
int rtlockmemory(void);

// SCHED_FIFO at priority for the whole process.
int rtscheduler(int priority);

// The processor to run on: cpu when >= 0, else, among the processors the
// process was started on, the first the kernel keeps isolated
// (/sys/devices/system/cpu/isolated), else the last one. *chosen gets the
// processor; *isolated whether it is an isolated one. The starting set is
// kept for rtrelease.
int rtpin(int cpu, int *chosen, bool *isolated);

// The processors the kernel has online ("0-1"; "" when it does not say),
// and whether cpu is one of them (true when it does not say).
std::string rtprocessors(void);
bool rtprocessor(int cpu);

// /dev/cpu_dma_latency held at 0 for the run (its descriptor stays open).
int rtlatency(void);

// Undoes all of it (after a refusal) and in a SPAWN'd command's process,
// which gets the processors the run was started on back.
void rtrelease(void);

// The kernel's preemption model ("PREEMPT_RT", "PREEMPT_DYNAMIC", ...) and
// its real-time throttling ("950000 of 1000000 us", "off").
std::string rtkernel(void);
std::string rtthrottling(void);

// Sleeps us microseconds (a slice given back to the kernel), resumed to
// its end when a signal interrupts it.
void rtsleep(unsigned us);

#endif
