// The test hooks of virizeda_sim.h.
#include "virizeda_sim.h"

#include <typeinfo>

#include "core/call_log.h"
#include "core/camera.h"
#include "devices/sim/scene.h"
#include "devices/sim/sim_device.h"

namespace {

// exact type checks: cheaper than dynamic_cast on the benchmarks' path
vz::Camera *ours(dCamera *cam) {
  return cam && typeid(*cam) == typeid(vz::Camera)
             ? static_cast<vz::Camera *>(cam) : nullptr;
}

vz::SimDevice *device_of(dCamera *cam) {
  vz::Camera *c = ours(cam);
  vz::Device *d = c ? c->device() : nullptr;
  return d && typeid(*d) == typeid(vz::SimDevice)
             ? static_cast<vz::SimDevice *>(d) : nullptr;
}

}  // namespace

namespace vzsim {

std::vector<std::string> calls() { return vz_call_log(); }

void clear_calls() { vz_call_log_clear(); }

bool called(const std::string &text) {
  for (const std::string &c : vz_call_log())
    if (c == text) return true;
  return false;
}

bool set_device_value(dCamera *cam, const char *name, int value) {
  vz::SimDevice *d = device_of(cam);
  if (!d || !name || !d->set_device_value(name, value)) return false;
  ours(cam)->sync_from_device();
  return true;
}

long dropped_frames(dCamera *cam) {
  vz::Camera *c = ours(cam);
  return c && device_of(cam) ? c->dropped() : -1;
}

int barcode(const unsigned char *row, int width, int bytes_per_pixel) {
  return vz_barcode_read(row, width, bytes_per_pixel);
}

unsigned char *make_frame(dCamera *cam, unsigned seq) {
  vz::SimDevice *d = device_of(cam);
  return d ? d->make_frame(seq) : nullptr;
}

}  // namespace vzsim
