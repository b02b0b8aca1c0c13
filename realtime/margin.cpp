#include "realtime/margin.h"

#include <cstring>

namespace {

int32_t bucketof(int64_t us) {
  int64_t b = us / MARGIN_BUCKETUS;
  return b >= MARGIN_BUCKETS ? MARGIN_BUCKETS - 1 : static_cast<int32_t>(b);
}

// The 99.9th percentile of the window: the upper edge of the lowest bucket
// above which no more than one in a thousand overshoots lie.
uint32_t percentile(const Margin &m) {
  int32_t allowed = static_cast<int32_t>(static_cast<int64_t>(m.filled) * (1000 - MARGIN_PERMILLE) / 1000);
  int32_t above = 0;
  int32_t b = m.top;
  for (; b > 0; --b) {
    above += m.count[b];
    if (above > allowed) break;
  }
  return static_cast<uint32_t>(b + 1) * MARGIN_BUCKETUS;
}

}  // namespace

void marginreset(Margin *m) {
  m->marginus = MARGIN_STARTUS;
  m->filled = m->next = m->top = 0;
  memset(m->window, 0, sizeof m->window);
  memset(m->count, 0, sizeof m->count);
}

uint32_t marginlearn(Margin *m, int64_t overshootus) {
  if (overshootus < 0) return m->marginus;
  if (m->filled == MARGIN_SAMPLES) {
    int32_t old = m->window[m->next];
    --m->count[old];
    while (m->top > 0 && m->count[m->top] == 0) --m->top;
  } else {
    ++m->filled;
  }
  int32_t b = bucketof(overshootus);
  m->window[m->next] = static_cast<uint16_t>(b);
  ++m->count[b];
  if (b > m->top) m->top = b;
  m->next = (m->next + 1) % MARGIN_SAMPLES;
  uint32_t learned = percentile(*m);
  if (m->filled < MARGIN_WARMUP && learned < MARGIN_STARTUS) learned = MARGIN_STARTUS;
  if (learned < MARGIN_FLOORUS) learned = MARGIN_FLOORUS;
  if (learned > MARGIN_CEILUS) learned = MARGIN_CEILUS;
  return m->marginus = learned;
}

void budgetstart(Budget *b, unsigned percent, uint64_t now) {
  b->percent = percent;
  b->creditus = static_cast<int64_t>(BUDGET_WINDOWUS * percent / 100);
  b->at = now;
}

uint32_t budgetmargin(Budget *b, uint32_t learnedus, uint64_t now, bool *cut) {
  int64_t most = static_cast<int64_t>(BUDGET_WINDOWUS * b->percent / 100);
  if (now > b->at) {
    uint64_t grown = (now - b->at) * b->percent / 100;
    b->creditus = grown >= static_cast<uint64_t>(most) ? most : b->creditus + static_cast<int64_t>(grown);
    if (b->creditus > most) b->creditus = most;
  }
  b->at = now;
  int64_t allowed = b->creditus > 0 ? b->creditus : 0;
  *cut = allowed < static_cast<int64_t>(learnedus);
  return *cut ? static_cast<uint32_t>(allowed) : learnedus;
}

void budgetspend(Budget *b, uint64_t us) {
  b->creditus -= us > BUDGET_WINDOWUS ? static_cast<int64_t>(BUDGET_WINDOWUS) : static_cast<int64_t>(us);
}

void marginlate(RealtimeFigures *f, int64_t lateus) {
  ++f->deadlines;
  if (lateus <= 0) return;
  uint32_t late = lateus > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(lateus);
  if (late > f->worstlateus) f->worstlateus = late;
  if (late > 100) ++f->lateover100;
  if (late > 1000) ++f->lateover1000;
}
