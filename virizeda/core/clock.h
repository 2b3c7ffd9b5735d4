// Time as every part of the library reads it: one monotonic clock for
// pacing and waits, and the wall clock for frame times.
#ifndef VIRIZEDA_CORE_CLOCK_H
#define VIRIZEDA_CORE_CLOCK_H

#include <stdint.h>

int64_t vz_mono_us();
int64_t vz_wall_us();
// Sleeps on the caller's thread until the monotonic time given.
void vz_sleep_until(int64_t mono_us);

#endif
