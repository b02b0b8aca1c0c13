/* ioprobe: the guest's independent view of the emulated parallel ports.
 *
 * The hardware check must not trust quon to report on itself, so this small
 * static helper reads and writes the same registers and the same BIOS data
 * area word by its own code path. One job per run:
 *
 *   peek ADDR            print the byte at I/O address ADDR ("%02x")
 *   poke ADDR VALUE      write VALUE to I/O address ADDR
 *   inputs BASE CTL      write CTL to BASE+2, read BASE+2 then BASE+1 (the
 *                        order quon's diagnostic line uses), print
 *                        "STATUS CONTROL" as two "%02x" bytes
 *   noperm ADDR          read ADDR WITHOUT asking for access: prints
 *                        "granted XX" and exits 0 when the process already
 *                        held I/O permission, "denied" and exits 3 when the
 *                        processor refused the read
 *   inherit ADDR         gain access to ADDR, then fork and exec "noperm
 *                        ADDR": shows that access really passes to children
 *                        on this kernel, so a "denied" elsewhere means
 *                        something took it away; exits with the child's status
 *   bda                  print the BIOS data area word of the first parallel
 *                        port ("%04x"), read through /dev/mem
 *   setbda VALUE         overwrite that word
 *   asuser UID CMD ARGS  drop to uid/gid UID with no supplementary groups
 *                        and no capabilities, then exec CMD
 *   ppclaim DEVICE       claim a /dev/parportN exclusively (PPEXCL, PPCLAIM)
 *                        as another ppdev user would: prints "claimed", or
 *                        "refused" (exit 4) while someone else has the port
 *   gpiohold CHIP LINE SECONDS [CONSUMER]
 *                        hold line LINE of GPIO chip CHIP (a path) as an
 *                        input with consumer CONSUMER (default "rig-holder")
 *                        for SECONDS
 *   squat SECONDS NAME...
 *                        bind each NAME in the abstract socket namespace,
 *                        listening on none, for SECONDS: what any user can
 *                        do to a QUON's port lock names
 *   atexit SHELLCMD CMD ARGS
 *                        run CMD traced; when it stops on its way out (its
 *                        exit handlers done, its descriptors still open, so
 *                        GPIO lines it requested still held), run SHELLCMD
 *                        with /bin/sh, then let it end; exits with CMD's
 *                        status
 *   cost CHIP IN OUT ADDR N
 *                        the cost of one access, each averaged over N: a
 *                        GPIO input (line IN) and output (line OUT) of CHIP
 *                        by the v2 ioctls, and inb/outb at I/O address ADDR;
 *                        prints "gpio-in NS gpio-out NS port-in NS port-out NS"
 *   pulls PULL GAPMS...  write pull-up, then pull-down, up, ... to gpio-sim's
 *                        pull file PULL: the first at once, each next GAPMS
 *                        after the one before (0: at once); prints each
 *                        write's time in us after the first
 *   pullwait PULL VALUE N
 *                        N times: pull up, wait until the output line's
 *                        VALUE file reads 1, pull down, wait for 0; prints
 *                        "mean US max US" of the time from a pull-up to the 1
 *   share PID SECONDS    the processor share of process PID over SECONDS,
 *                        in percent with one decimal
 *   typekey MS KEY CMD ARGS
 *                        run CMD with a new pseudo-terminal as its
 *                        controlling terminal and standard input, type KEY
 *                        on it after MS milliseconds; exits with CMD's status
 *
 * Numbers take C syntax (0x378, 888). Any failure prints one line on
 * standard error and exits 2. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/gpio.h>
#include <linux/ppdev.h>
#include <sys/ptrace.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define BDA_PORT_WORD 0x408L /* segment 0x40, offset 8 */

static void die(const char *what) {
  fprintf(stderr, "ioprobe: %s: %s\n", what, strerror(errno));
  exit(2);
}

static unsigned long number(const char *text, unsigned long max) {
  char *end = NULL;
  errno = 0;
  unsigned long value = strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || value > max) {
    fprintf(stderr, "ioprobe: bad number '%s'\n", text);
    exit(2);
  }
  return value;
}

static void grantio(unsigned long addr, unsigned long count) {
  if (ioperm(addr, count, 1) != 0) die("ioperm");
}

static void denied(int sig) {
  (void)sig;
  static const char text[] = "denied\n";
  (void)!write(STDOUT_FILENO, text, sizeof text - 1);
  _exit(3);
}

static int noperm(unsigned long addr) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = denied;
  sigaction(SIGSEGV, &sa, NULL);
  sigaction(SIGBUS, &sa, NULL);
  unsigned char value = inb((unsigned short)addr);
  printf("granted %02x\n", value);
  return 0;
}

static int inherit(unsigned long addr) {
  grantio(addr, 1);
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    char text[16];
    snprintf(text, sizeof text, "%#lx", addr);
    execl("/proc/self/exe", "ioprobe", "noperm", text, (char *)NULL);
    _exit(2);
  }
  int status = 0;
  if (waitpid(child, &status, 0) < 0) die("waitpid");
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

static void bdaword(int write, unsigned *word) {
  int fd = open("/dev/mem", write ? O_RDWR | O_SYNC : O_RDONLY);
  if (fd < 0) die("/dev/mem");
  unsigned char bytes[2];
  if (write) {
    bytes[0] = (unsigned char)(*word & 0xFF);
    bytes[1] = (unsigned char)(*word >> 8);
    if (pwrite(fd, bytes, 2, BDA_PORT_WORD) != 2) die("write /dev/mem");
  } else {
    if (pread(fd, bytes, 2, BDA_PORT_WORD) != 2) die("read /dev/mem");
    *word = bytes[0] | (unsigned)bytes[1] << 8;
  }
  close(fd);
}

/* After setuid() away from root the kernel clears every capability; check
 * it anyway, since the whole point of the caller is "no CAP_SYS_RAWIO". */
static void nocapabilities(void) {
  FILE *f = fopen("/proc/self/status", "r");
  if (f == NULL) die("/proc/self/status");
  char line[256];
  int found = 0;
  while (fgets(line, sizeof line, f) != NULL) {
    unsigned long long caps = 0;
    if (sscanf(line, "CapEff: %llx", &caps) == 1) {
      found = 1;
      if (caps != 0) {
        fprintf(stderr, "ioprobe: capabilities left after dropping root: %llx\n", caps);
        exit(2);
      }
    }
  }
  fclose(f);
  if (!found) {
    fprintf(stderr, "ioprobe: no CapEff line in /proc/self/status\n");
    exit(2);
  }
}

static int asuser(unsigned long uid, char **command) {
  if (setgroups(0, NULL) != 0) die("setgroups");
  if (setgid((gid_t)uid) != 0) die("setgid");
  if (setuid((uid_t)uid) != 0) die("setuid");
  nocapabilities();
  execv(command[0], command);
  die(command[0]);
  return 2;
}

/* Requests line offset of chip as one line set; returns its descriptor. */
static int gpioline(const char *chip, unsigned offset, unsigned long long flags,
                    const char *consumer) {
  int fd = open(chip, O_RDWR | O_CLOEXEC);
  if (fd < 0) die(chip);
  struct gpio_v2_line_request r;
  memset(&r, 0, sizeof r);
  r.offsets[0] = offset;
  r.num_lines = 1;
  r.config.flags = flags;
  snprintf(r.consumer, sizeof r.consumer, "%s", consumer);
  if (ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &r) != 0) die("GPIO_V2_GET_LINE_IOCTL");
  close(fd);
  return r.fd;
}

static int squat(unsigned seconds, char **names) {
  for (; *names != NULL; ++names) {
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    size_t length = strlen(*names);
    if (length + 1 >= sizeof a.sun_path) die("name too long");
    memcpy(a.sun_path + 1, *names, length);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a,
                       (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + length)) != 0) {
      die(*names);
    }
  }
  sleep(seconds);
  return 0;
}

static int traceexit(const char *shellcmd, char **command) {
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) die("PTRACE_TRACEME");
    raise(SIGSTOP);
    execv(command[0], command);
    die(command[0]);
  }
  int status = 0;
  if (waitpid(child, &status, 0) < 0 || !WIFSTOPPED(status)) die("waitpid");
  long options = PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
  if (ptrace(PTRACE_SETOPTIONS, child, NULL, (void *)options) != 0) die("PTRACE_SETOPTIONS");
  int deliver = 0;
  for (;;) {
    if (ptrace(PTRACE_CONT, child, NULL, (void *)(long)deliver) != 0) die("PTRACE_CONT");
    if (waitpid(child, &status, 0) < 0) die("waitpid");
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    deliver = 0;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      fflush(stdout);
      if (system(shellcmd) == -1) die("system");
    } else if (status >> 8 != (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
      deliver = WSTOPSIG(status);
    }
  }
}

static double nsnow(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}

static int cost(const char *chip, unsigned in, unsigned out, unsigned long addr, unsigned long n) {
  int infd = gpioline(chip, in, GPIO_V2_LINE_FLAG_INPUT, "rig-holder");
  int outfd = gpioline(chip, out, GPIO_V2_LINE_FLAG_OUTPUT, "rig-holder");
  grantio(addr, 2);
  struct gpio_v2_line_values v = {0, 1};
  double t0 = nsnow();
  for (unsigned long i = 0; i < n; ++i) {
    if (ioctl(infd, GPIO_V2_LINE_GET_VALUES_IOCTL, &v) != 0) die("GET_VALUES");
  }
  double t1 = nsnow();
  for (unsigned long i = 0; i < n; ++i) {
    v.bits = i & 1;
    if (ioctl(outfd, GPIO_V2_LINE_SET_VALUES_IOCTL, &v) != 0) die("SET_VALUES");
  }
  double t2 = nsnow();
  volatile unsigned char sink = 0;
  for (unsigned long i = 0; i < n; ++i) sink = inb((unsigned short)(addr + 1));
  double t3 = nsnow();
  for (unsigned long i = 0; i < n; ++i) outb((unsigned char)i, (unsigned short)addr);
  double t4 = nsnow();
  (void)sink;
  printf("gpio-in %.0f gpio-out %.0f port-in %.0f port-out %.0f\n", (t1 - t0) / n,
         (t2 - t1) / n, (t3 - t2) / n, (t4 - t3) / n);
  return 0;
}

static void writefile(const char *path, const char *text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) die(path);
  if (write(fd, text, strlen(text)) != (ssize_t)strlen(text)) die(path);
  close(fd);
}

static void sleepuntil(double ns) {
  struct timespec t = {(time_t)(ns / 1e9), (long)(ns - (double)(time_t)(ns / 1e9) * 1e9)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
  }
}

static int pulls(const char *pull, int count, char **gaps) {
  double at[64];
  double next = nsnow();
  if (count > 63) count = 63;
  for (int i = 0; i <= count; ++i) {
    if (i > 0) {
      next += (double)number(gaps[i - 1], 100000) * 1e6;
      sleepuntil(next);
    }
    at[i] = nsnow();
    writefile(pull, i % 2 == 0 ? "pull-up" : "pull-down");
  }
  for (int i = 0; i <= count; ++i) printf("%s%.0f", i ? " " : "", (at[i] - at[0]) / 1e3);
  printf("\n");
  return 0;
}

/* Polls path every 100 us until its first byte is want, for 5 s at most. */
static void waitvalue(const char *path, char want) {
  double until = nsnow() + 5e9;
  for (;;) {
    char c = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(path);
    if (read(fd, &c, 1) != 1) die(path);
    close(fd);
    if (c == want) return;
    if (nsnow() > until) die("no change of the output line within 5 s");
    usleep(100);
  }
}

static int pullwait(const char *pull, const char *value, unsigned long n) {
  double sum = 0, most = 0;
  for (unsigned long i = 0; i < n; ++i) {
    double t0 = nsnow();
    writefile(pull, "pull-up");
    waitvalue(value, '1');
    double us = (nsnow() - t0) / 1e3;
    sum += us;
    if (us > most) most = us;
    usleep(100000);
    writefile(pull, "pull-down");
    waitvalue(value, '0');
    usleep(100000);
  }
  printf("mean %.0f max %.0f\n", sum / (double)n, most);
  return 0;
}

/* utime + stime of process pid, in clock ticks. */
static unsigned long long ticksof(long pid) {
  char path[64], text[1024];
  snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) die(path);
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) die(path);
  text[n] = '\0';
  char *p = strrchr(text, ')');
  unsigned long long utime = 0, stime = 0;
  if (p == NULL || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                          &utime, &stime) != 2) {
    die("stat fields");
  }
  return utime + stime;
}

static int share(long pid, unsigned long seconds) {
  unsigned long long before = ticksof(pid);
  double t0 = nsnow();
  sleep((unsigned)seconds);
  unsigned long long after = ticksof(pid);
  double elapsed = (nsnow() - t0) / 1e9;
  printf("%.1f\n", (double)(after - before) * 100.0 / (double)sysconf(_SC_CLK_TCK) / elapsed);
  return 0;
}

static int typekey(unsigned long ms, const char *key, char **command) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("posix_openpt");
  const char *name = ptsname(master);
  if (name == NULL) die("ptsname");
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    setsid();
    int slave = open(name, O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) die("controlling terminal");
    dup2(slave, 0);
    close(slave);
    close(master);
    execv(command[0], command);
    die(command[0]);
  }
  usleep((useconds_t)(ms * 1000));
  if (write(master, key, 1) != 1) die("typing");
  int status = 0;
  /* The terminal's echo and modes go nowhere: its output is read away. */
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (;;) {
    char sink[256];
    while (read(master, sink, sizeof sink) > 0) {
    }
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0) die("waitpid");
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "peek") == 0) {
    unsigned long addr = number(argv[2], 0xFFFF);
    grantio(addr, 1);
    printf("%02x\n", inb((unsigned short)addr));
    return 0;
  }
  if (argc >= 4 && strcmp(argv[1], "poke") == 0) {
    unsigned long addr = number(argv[2], 0xFFFF);
    unsigned long value = number(argv[3], 0xFF);
    grantio(addr, 1);
    outb((unsigned char)value, (unsigned short)addr);
    return 0;
  }
  if (argc >= 4 && strcmp(argv[1], "inputs") == 0) {
    unsigned long base = number(argv[2], 0xFFFD);
    unsigned long control = number(argv[3], 0xFF);
    grantio(base, 3);
    outb((unsigned char)control, (unsigned short)(base + 2));
    unsigned char ctl = inb((unsigned short)(base + 2));
    unsigned char sts = inb((unsigned short)(base + 1));
    printf("%02x %02x\n", sts, ctl);
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "noperm") == 0) {
    return noperm(number(argv[2], 0xFFFF));
  }
  if (argc >= 3 && strcmp(argv[1], "inherit") == 0) {
    return inherit(number(argv[2], 0xFFFF));
  }
  if (argc >= 2 && strcmp(argv[1], "bda") == 0) {
    unsigned word = 0;
    bdaword(0, &word);
    printf("%04x\n", word);
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "setbda") == 0) {
    unsigned word = (unsigned)number(argv[2], 0xFFFF);
    bdaword(1, &word);
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "ppclaim") == 0) {
    int fd = open(argv[2], O_RDWR);
    if (fd < 0) die("open");
    if (ioctl(fd, PPEXCL) != 0 || ioctl(fd, PPCLAIM) != 0) {
      printf("refused\n");
      return 4;
    }
    ioctl(fd, PPRELEASE);
    printf("claimed\n");
    return 0;
  }
  if (argc >= 4 && strcmp(argv[1], "asuser") == 0) {
    return asuser(number(argv[2], 65534), argv + 3);
  }
  if (argc >= 5 && strcmp(argv[1], "gpiohold") == 0) {
    int fd = gpioline(argv[2], (unsigned)number(argv[3], 63), GPIO_V2_LINE_FLAG_INPUT,
                      argc >= 6 ? argv[5] : "rig-holder");
    sleep((unsigned)number(argv[4], 3600));
    close(fd);
    return 0;
  }
  if (argc >= 4 && strcmp(argv[1], "squat") == 0) {
    return squat((unsigned)number(argv[2], 3600), argv + 3);
  }
  if (argc >= 4 && strcmp(argv[1], "atexit") == 0) {
    return traceexit(argv[2], argv + 3);
  }
  if (argc >= 7 && strcmp(argv[1], "cost") == 0) {
    return cost(argv[2], (unsigned)number(argv[3], 63), (unsigned)number(argv[4], 63),
                number(argv[5], 0xFFFD), number(argv[6], 10000000));
  }
  if (argc >= 4 && strcmp(argv[1], "pulls") == 0) return pulls(argv[2], argc - 3, argv + 3);
  if (argc >= 5 && strcmp(argv[1], "pullwait") == 0) {
    return pullwait(argv[2], argv[3], number(argv[4], 1000));
  }
  if (argc >= 4 && strcmp(argv[1], "share") == 0) {
    return share((long)number(argv[2], 4194304), number(argv[3], 3600));
  }
  if (argc >= 5 && strcmp(argv[1], "typekey") == 0) {
    return typekey(number(argv[2], 600000), argv[3], argv + 4);
  }
  fprintf(stderr, "usage: ioprobe peek|poke|inputs|noperm|inherit|bda|setbda|asuser|ppclaim|"
          "gpiohold|squat|atexit|cost|pulls|pullwait|share|typekey ...\n");
  return 2;
}
