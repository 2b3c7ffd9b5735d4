#include "core/clock.h"

#include <time.h>

// Hot: read on every frame, so it lies with the frame path's code.
[[gnu::hot]] int64_t vz_mono_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t vz_wall_us() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void vz_sleep_until(int64_t mono_us) {
  struct timespec ts;
  ts.tv_sec = mono_us / 1000000;
  ts.tv_nsec = (mono_us % 1000000) * 1000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}
