#include "devices/dc1394/dc1394_bus.h"

#include <memory>
#include <utility>
#include <vector>

#include "core/camera_bus.h"
#include "core/diag.h"
#include "devices/dc1394/dc1394_device.h"
#include "devices/dc1394/dc1394_probe.h"

namespace {

class Dc1394Bus : public vz::CameraBus {
 public:
  explicit Dc1394Bus(std::vector<std::unique_ptr<vz::Dc1394Device>> devices) {
    add(std::move(devices));
  }

  // The GUID as the device has it now: programming the ROM changes it.
  char **ChipIDs() override {
    for (size_t i = 0; i < count(); ++i) set_id(i, guid_text(device(i)->guid()));
    return CameraBus::ChipIDs();
  }

 protected:
  bool openable(size_t i) override {
    if (!static_cast<vz::Dc1394Device *>(device(i))->gone()) return true;
    vz_diag("camera %d \"%s\" is gone from the bus", (int)i, name(i));
    return false;
  }

  bool matches(size_t i, const char *id) override { return guid_or_name(i, id); }
};

}  // namespace

namespace {

vz::BusProbe g_probe;  // the last one, until its bus is opened

}  // namespace

bool vz_dc1394_probe(bool named, std::string *why) {
  g_probe = vz::BusProbe();
  vz::probe_bus(&g_probe, "/dev");
  bool take = vz::dc1394_probe_says(g_probe, why);
  if (!take && !named) g_probe = vz::BusProbe();  // not opened: libdc1394 stops
  return take;
}

dSystem *vz_dc1394_open() {
  vz::BusProbe probe = std::move(g_probe);
  g_probe = vz::BusProbe();
  vz::probe_bus(&probe, "/dev");  // nothing when probed already
  for (const vz::FwNode &n : probe.nodes)
    if (n.open_errno) vz_diag("%s", vz::fw_node_problem(n).c_str());
  vz::dc1394_release_log(&probe);
  if (!probe.ctx) {
    vz_diag("libdc1394 cannot start: it finds no FireWire or USB camera "
            "interface on this machine");
    return nullptr;
  }
  auto devices = vz::open_cameras(&probe, "/dev");
  size_t n = devices.size();
  dSystem *bus = new Dc1394Bus(std::move(devices));
  vz_diag("libdc1394 bus opened with %zu camera%s", n, n == 1 ? "" : "s");
  return bus;
}
