#include "core/formats.h"

#include <limits.h>
#include <stdio.h>

#include "iidc/iidc.h"

bool vz_size_dims(int size, int *w, int *h) {
  static const int dims[][2] = {{640, 480},  {320, 240},  {160, 120},
                                {512, 384},  {1024, 768}, {1280, 960}};
  if (size < 0 || size > 5) return false;
  *w = dims[size][0];
  *h = dims[size][1];
  return true;
}

bool vz_size_delivered(int size) {
  return size == S_640x480 || size == S_320x240 || size == S_160x120 ||
         size == S_1280x960;
}

int vz_type_bpp(int type) {
  if (type == S_MONO || type == S_BAYER) return 1;
  if (type == S_RGB24) return 3;
  return 0;
}

const char *vz_type_name(int type) {
  switch (type) {
    case S_MONO: return "Mono";
    case S_RGB24: return "RGB24";
    case S_YUV422: return "YUV422";
    case S_YUV411: return "YUV411";
    case S_BAYER: return "Bayer";
  }
  return "unknown type";
}

double vz_speed_fps(int speed) {
  static const double fps[] = {30, 60, 15, 10, 7.5, 5, 3.75};
  if (speed < 0 || speed > 6) return 0;
  return fps[speed];
}

const char *vz_speed_name(int speed) {
  static const char *names[] = {"30", "60", "15", "10", "7.5", "5", "3.75"};
  if (speed < 0 || speed > 6) return "unknown";
  return names[speed];
}

int vz_iidc_rate_code(int speed) {
  static const int codes[] = {vz::iidc::RATE_30, vz::iidc::RATE_60, vz::iidc::RATE_15, -1,
                              vz::iidc::RATE_7_5, -1, vz::iidc::RATE_3_75};
  if (speed < 0 || speed > 6) return -1;
  return codes[speed];
}

uint32_t vz_iso_packet_max(int bus_speed) {
  return bus_speed > 0 ? (uint32_t)(4096LL * bus_speed / 400) : 0;
}

double vz_bus_bytes_per_sec(int bus_speed) {
  return 8000.0 * vz_iso_packet_max(bus_speed);
}

int vz_iso_units(uint32_t bytes, int bus_speed) {
  if (bus_speed <= 0) return INT_MAX;
  return (int)(((uint64_t)(bytes + 3) / 4 + 3) * 1600 / (uint64_t)bus_speed);
}

bool vz_iso_fits(uint32_t bytes, int bus_speed) {
  return bytes <= vz_iso_packet_max(bus_speed) &&
         vz_iso_units(bytes, bus_speed) <= VZ_ISO_UNITS;
}

int vz_scale_to_raw(int v, int lo, int hi) {
  if (v < 0) v = 0;
  if (v > 100) v = 100;
  return lo + (v * (hi - lo) + 50) / 100;
}

int vz_raw_to_scale(int raw, int lo, int hi) {
  if (hi <= lo) return 0;
  if (raw < lo) raw = lo;
  if (raw > hi) raw = hi;
  return ((raw - lo) * 100 + (hi - lo) / 2) / (hi - lo);
}
