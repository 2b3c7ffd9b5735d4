// Fuzzes the simulated bus's configuration parser: any text either gives a
// bus within its limits or one error line, never a crash or a hang.
// The parser's source is compiled in here so that the fuzzer sees its
// branches; the rest comes from virizeda.so.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../virizeda/devices/sim/sim_config.cpp"
#include "core/diag.h"

static int lines_seen;
static void one_line(char *line) {
  lines_seen++;
  if (!line || strchr(line, '\n') || strchr(line, '\r')) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text((const char *)data, size), err;
  BusConfig bus;
  if (!vz_parse_config(text, &bus, &err)) {
    // the reason may quote a key with any character in it; what the
    // library promises is one line to dcamDebug, sent as dSysInit sends it
    if (err.empty()) abort();
    vz_diag_set_sink(one_line);
    lines_seen = 0;
    vz_diag("configuration %s: %s", "fuzz.json", err.c_str());
    if (lines_seen != 1) abort();
    return 0;
  }
  if (bus.cams.size() > (size_t)VZ_MAX_CAMERAS) abort();
  if (bus.bus_speed != 400 && bus.bus_speed != 800) abort();
  for (const CamConfig &c : bus.cams) {
    const CamValues &v = c.v;
    if (c.name.empty() || c.name.size() > 1023 || c.chip_id.empty()) abort();
    if (v.y_offset > v.max_y_offset || v.frame_div > v.max_frame_div ||
        v.frame_div < 1 || v.exposure > v.max_exposure || v.exposure < 0)
      abort();
    if (v.max_width < 160 || v.max_width > 1280 || v.max_height < 120 ||
        v.max_height > 960)
      abort();
    if (c.frames_stop_after < -1) abort();
  }
  return 0;
}
