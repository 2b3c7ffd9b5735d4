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

namespace vzsim {

std::vector<std::string> calls() { return vz_call_log(); }

void clear_calls() { vz_call_log_clear(); }

bool called(const std::string &text) {
  for (const std::string &c : vz_call_log())
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
