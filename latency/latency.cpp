#include "latency/latency.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/fatal.h"
#include "core/tables.h"
#include "executor/pass.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/rtsched.h"
#include "realtime/realtime.h"

namespace {

// One thread, one DELAY of 1 ms, again and again: no port, no output.
const char SCRIPT[] = "DELAY 0.001\n$\n$\n";

void refuse(const LatencyChoices &c) {
  const char *other = c.bench ? "--testbench" : c.check ? "--check" : c.trace ? "--trace" : nullptr;
  if (other != nullptr) {
    fatal("--latency-test runs no script and no port: it cannot be combined with %s\n", other);
  }
  if (c.script) {
    fatal("--latency-test runs a script of its own: leave the script name out\n");
  }
}

void loadown(const LatencyChoices &c) {
  FILE *in = fmemopen(const_cast<char *>(SCRIPT), strlen(SCRIPT), "r");
  if (in == nullptr) fatal("--latency-test: no memory for its script (%s)\n", strerror(errno));
  prog.infile = in;
  c.load();
  fclose(in);
  prog.infile = nullptr;
}

// The DELAYs of one loop for seconds: each one's lateness, the time the
// pass that ended it saw minus its deadline. *status gets ESC when the
// user ended the test early.
std::vector<double> measure(int seconds, bool realtime, const char *name, int *status) {
  std::vector<double> late;
  late.reserve(static_cast<size_t>(seconds) * 1100);
  bool progress = isatty(STDERR_FILENO) != 0;
  parkthreads();
  keyboardstart();  // ESC ends the test early, as it ends a run
  uint64_t start = clockus(), end = start + static_cast<uint64_t>(seconds) * 1000000;
  uint64_t shown = 0;
  uint32_t deadline = prog.threadtimer[0];
  for (uint64_t now = start; now < end; now = clockus()) {
    *status = runpass(keyavailable() ? readkey() : -1);
    if (*status != 0) break;
    uint32_t timer = prog.threadtimer[0];
    if (timer != deadline) {
      if (deadline != 0 && timer == 0) {
        late.push_back(static_cast<double>(clockus()) - static_cast<double>(deadline) * 1000.0);
      }
      deadline = timer;
    }
    if (progress && (now - start) / 1000000 != shown) {
      shown = (now - start) / 1000000;
      fprintf(stderr, "\rlatency test: %s, %llu of %d s ", name,
              static_cast<unsigned long long>(shown), seconds);
    }
    if (realtime) realtimewait();
  }
  if (progress) fprintf(stderr, "\r%60s\r", "");
  return late;
}

// A bound a script can plan with: the smallest of 0.1, 1 and 10 ms the
// worst DELAY kept to.
std::string bound(double us) {
  if (us <= 100) return "0.1 ms";
  if (us <= 1000) return "1 ms";
  if (us <= 10000) return "10 ms";
  char text[32];
  snprintf(text, sizeof text, "%.0f ms", std::ceil(us / 1000.0));
  return text;
}

std::string ms(double us) {
  char text[32];
  snprintf(text, sizeof text, us < 1000 ? "%.0f us" : "%.1f ms", us < 1000 ? us : us / 1000.0);
  return text;
}

// Text for JSON: quotes, backslashes and control bytes escaped.
std::string jsontext(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string jsonfigures(const LatencyFigures &f, bool realtime) {
  char text[512];
  snprintf(text, sizeof text,
           "{\"measured\":%s,\"delays\":%zu,\"median_us\":%.1f,\"p99_us\":%.1f,\"p999_us\":%.1f,"
           "\"worst_us\":%.1f,\"over_100us\":%zu,\"over_1ms\":%zu",
           f.measured ? "true" : "false", f.delays, f.median, f.p99, f.p999, f.worst, f.over100,
           f.over1000);
  std::string out = text;
  if (realtime) {
    snprintf(text, sizeof text, ",\"applied\":%s,\"margin_us\":%u,\"budget_short\":%s",
             realtimeon ? "true" : "false", f.marginus, f.budgetshort ? "true" : "false");
    out += text;
  }
  return out + "}";
}

void textrow(const char *name, const LatencyFigures &f) {
  printf("  %-12s %7zu %9.1f %9.1f %9.1f %9.1f %9zu %7zu", name, f.delays, f.median, f.p99, f.p999,
         f.worst, f.over100, f.over1000);
  if (f.marginus != 0) printf("   margin %u us%s", f.marginus, f.budgetshort ? " (budget short)" : "");
  printf("\n");
}

}  // namespace

LatencyFigures latencyfigures(std::vector<double> *late) {
  LatencyFigures f;
  std::vector<double> &v = *late;
  if (v.empty()) return f;
  std::sort(v.begin(), v.end());
  auto rank = [&v](double q) {
    size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[i == 0 ? 0 : i - 1];
  };
  f.measured = true;
  f.delays = v.size();
  f.median = rank(0.5);
  f.p99 = rank(0.99);
  f.p999 = rank(0.999);
  f.worst = v.back();
  for (double us : v) {
    f.over100 += us > 100 ? 1 : 0;
    f.over1000 += us > 1000 ? 1 : 0;
  }
  return f;
}

std::string latencyverdict(const LatencyFigures &plain, const LatencyFigures *realtime) {
  auto part = [](const LatencyFigures &f) {
    return "DELAYs ending within " + bound(f.worst) + " of their time (worst " + ms(f.worst) +
           ", 99 in 100 within " + bound(f.p99) + ")";
  };
  if (realtime == nullptr || !realtime->measured) {
    return "In the plain loop a script here can count on " + part(plain) +
           "; the real-time mode was not applied, so it was not measured.";
  }
  return "With --realtime a script here can count on " + part(*realtime) + "; in the plain loop on " +
         part(plain) + ".";
}

int latencytest(const LatencyChoices &c) {
  refuse(c);
  loadown(c);
  int status = 0;
  std::vector<double> plainlate = measure(c.seconds, false, "plain loop", &status);
  LatencyFigures plain = latencyfigures(&plainlate);
  LatencyFigures realtime;
  if (status == 0) {
    realtimestart(c.priority != 0 ? c.priority : REALTIME_PRIORITY, c.cpu,
                  c.budget != 0 ? static_cast<unsigned>(c.budget) : BUDGET_DEFAULT);
  }
  if (realtimeon) {
    std::vector<double> rtlate = measure(c.seconds, true, "real-time mode", &status);
    realtime = latencyfigures(&rtlate);
    realtime.marginus = realtimefigures.marginus;
    realtime.budgetshort = realtimefigures.budgetshort;
  }
  const LatencyFigures *applied = realtimeon && realtime.measured ? &realtime : nullptr;
  std::string verdict = latencyverdict(plain, applied);
  if (c.json) {
    printf("{\"seconds\":%d,\"kernel\":%s,\"throttling\":%s,\"plain\":%s,\"realtime\":%s,"
           "\"verdict\":%s}\n",
           c.seconds, jsontext(rtkernel()).c_str(), jsontext(rtthrottling()).c_str(),
           jsonfigures(plain, false).c_str(), jsonfigures(realtime, true).c_str(),
           jsontext(verdict).c_str());
  } else {
    printf("Latency test: DELAYs of 1 ms for %d s in each loop; kernel %s, throttling %s\n",
           c.seconds, rtkernel().c_str(), rtthrottling().c_str());
    printf("  lateness, us   DELAYs    median      99th    99.9th     worst  >100 us  >1 ms\n");
    textrow("plain loop", plain);
    if (applied != nullptr) textrow("--realtime", realtime);
    else if (status != 0) printf("  --realtime   not measured (ended with ESC)\n");
    else printf("  --realtime   not applied (SCHED_FIFO refused: it needs root or CAP_SYS_NICE)\n");
    printf("Verdict: %s\n", verdict.c_str());
  }
  fflush(stdout);
  return status;
}
