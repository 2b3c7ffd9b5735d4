// The call log and the test hooks of virizeda_sim.h.
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "scene.h"
#include "sim_camera.h"
#include "sim_internal.h"
#include "virizeda_sim.h"

static std::vector<std::string> call_log;
const size_t LOG_MAX = 100000;

void vz_log_call(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  // a long-running program must not grow without bound
  if (call_log.size() >= LOG_MAX)
    call_log.erase(call_log.begin(), call_log.begin() + LOG_MAX / 2);
  call_log.push_back(buf);
}

int64_t vz_mono_us() {
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

namespace vzsim {

std::vector<std::string> calls() { return call_log; }

void clear_calls() { call_log.clear(); }

bool called(const std::string &text) {
  for (const std::string &c : call_log)
    if (c == text) return true;
  return false;
}

bool set_device_value(dCamera *cam, const char *name, int value) {
  SimCamera *sc = dynamic_cast<SimCamera *>(cam);
  return sc && name && sc->set_device_value(name, value);
}

long dropped_frames(dCamera *cam) {
  SimCamera *sc = dynamic_cast<SimCamera *>(cam);
  return sc ? sc->dropped() : -1;
}

int barcode(const unsigned char *row, int width, int bytes_per_pixel) {
  return vz_barcode_read(row, width, bytes_per_pixel);
}

unsigned char *make_frame(dCamera *cam, unsigned seq) {
  SimCamera *sc = dynamic_cast<SimCamera *>(cam);
  return sc ? sc->make_frame(seq) : nullptr;
}

}  // namespace vzsim
