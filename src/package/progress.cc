#include <unistd.h>

#include <ctime>

#include "package/package.h"

namespace {

int64_t now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int percent_of(const progress_meter& meter) {
  if (meter.total == 0 || meter.done >= meter.total) return 100;
  // Whole percents without overflow for any 64-bit total.
  return static_cast<int>(meter.done / (meter.total / 100 + 1));
}

// A percentage is always four columns, "  0%" to "100%", so four
// backspaces take the cursor back to its start.
void draw(progress_meter* meter, int percent) {
  if (meter->shown >= 0) fputs("\b\b\b\b", meter->out);
  fprintf(meter->out, "%3d%%", percent);
  fflush(meter->out);
  meter->shown = percent;
  meter->drawn_at_ms = now_ms();
}

}  // namespace

void progress_start(progress_meter* meter, FILE* out, uint64_t total) {
  *meter = progress_meter{};
  if (out == nullptr || !isatty(fileno(out))) return;
  meter->out = out;
  meter->total = total;
  draw(meter, 0);
}

void progress_advance(progress_meter* meter, uint64_t bytes) {
  if (meter == nullptr || meter->out == nullptr) return;
  meter->done += bytes;
  const int percent = percent_of(*meter);
  if (percent == meter->shown) return;
  if (now_ms() - meter->drawn_at_ms < 1000 / PROGRESS_PER_SECOND) return;
  draw(meter, percent);
}

void progress_end(progress_meter* meter) {
  if (meter == nullptr || meter->out == nullptr) return;
  if (meter->shown >= 0) fputs("\b\b\b\b\x1b[K", meter->out);
  fflush(meter->out);
  meter->out = nullptr;
  meter->shown = -1;
}
