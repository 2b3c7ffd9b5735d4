#include "devices/aravis/aravis_bus.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "core/camera_bus.h"
#include "core/diag.h"
#include "devices/aravis/aravis_device.h"
#include "devices/aravis/aravis_log.h"

namespace vz {

namespace {

bool is_address(const std::string &id) {
  struct in_addr a;
  return inet_pton(AF_INET, id.c_str(), &a) == 1;
}

class AravisBus : public CameraBus {
 public:
  explicit AravisBus(std::vector<std::unique_ptr<AravisDevice>> devices) {
    for (auto &d : devices) ids_given_.push_back(d->id());
    add(std::move(devices));
  }

 protected:
  // A camera whose control was lost is looked for again at its address.
  bool openable(size_t i) override {
    auto *d = static_cast<AravisDevice *>(device(i));
    if (!d->gone()) return true;
    std::string why;
    if (d->reconnect(&why)) {
      vz_diag("camera %d \"%s\" is back", (int)i, name(i));
      return true;
    }
    vz_diag("camera %d \"%s\" is gone: %s", (int)i, name(i), why.c_str());
    return false;
  }

  // By the 16 hex digits of ChipIDs, the name, or the aravis id or
  // address it was opened by.
  bool matches(size_t i, const char *id) override {
    return guid_or_name(i, id) || ids_given_[i] == id;
  }

 private:
  std::vector<std::string> ids_given_;
};

int g_discoveries = 0;

void take(AravisProbe *p, std::unique_ptr<AravisDevice> d) {
  for (auto &have : p->devices)
    if (have->guid() == d->guid()) return;
  p->devices.push_back(std::move(d));
}

// The devices an interface lists after looking (USB3 Vision: the USB
// devices of this machine; GigE Vision: a broadcast).
int open_listed(AravisProbe *p, ArvInterface *iface) {
  if (iface == arv_gv_interface_get_instance()) ++g_discoveries;
  arv_interface_update_device_list(iface);
  int n = 0;
  for (unsigned i = 0; i < arv_interface_get_n_devices(iface); ++i) {
    std::string why;
    const char *id = arv_interface_get_device_id(iface, i);
    auto d = AravisDevice::open(id ? id : "", iface, &why);
    if (!d) {
      vz_diag("GenICam camera %s", why.c_str());
      continue;
    }
    ++n;
    take(p, std::move(d));
  }
  return n;
}

}  // namespace

AravisProbe::AravisProbe() = default;
AravisProbe::~AravisProbe() = default;

std::vector<std::string> genicam_ids(const char *list) {
  std::vector<std::string> out;
  std::string s = list ? list : "";
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    if (comma == std::string::npos) comma = s.size();
    std::string id = s.substr(pos, comma - pos);
    id.erase(0, id.find_first_not_of(" \t"));
    id.erase(id.find_last_not_of(" \t") + 1);
    if (!id.empty()) out.push_back(id);
    pos = comma + 1;
  }
  return out;
}

void aravis_probe(AravisProbe *p, const char *ids, bool usb3, bool discover) {
  aravis_route_log();
  bool listed = false;
  for (const std::string &id : genicam_ids(ids)) {
    p->named.push_back(id);
    // an address is reached directly; any other id would make aravis's
    // GigE Vision side broadcast to find it, so it goes to the others
    ArvInterface *iface = is_address(id) ? arv_gv_interface_get_instance()
                        : !strncmp(id.c_str(), "Fake_", 5) ? arv_fake_interface_get_instance()
                        : arv_uv_interface_get_instance();
    if (iface == arv_uv_interface_get_instance() && !listed) {
      arv_interface_update_device_list(iface);  // USB only
      listed = true;
    }
    std::string why;
    auto d = AravisDevice::open(id, iface, &why);
    if (d) {
      ++p->listed;
      take(p, std::move(d));
    } else
      vz_diag("GenICam camera %s%s", why.c_str(),
              is_address(id) || discover ? "" : " (a GigE Vision camera is named by its IP address)");
  }
  if (usb3 || discover) p->usb3 = open_listed(p, arv_uv_interface_get_instance());
  if (discover) p->discovered = open_listed(p, arv_gv_interface_get_instance());
  aravis_flush_log();
}

dSystem *vz_aravis_bus_open(AravisProbe *p) {
  size_t n = p->devices.size();
  dSystem *bus = new AravisBus(std::move(p->devices));
  p->devices.clear();
  vz_diag("GenICam bus (aravis) opened with %zu camera%s", n, n == 1 ? "" : "s");
  return bus;
}

int aravis_discoveries() { return g_discoveries; }

}  // namespace vz

namespace {

std::unique_ptr<vz::AravisProbe> g_probe;  // the last one, until its bus is opened

std::string cameras(int n, const char *what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// "it finds 1 camera of VIRIZEDA_GENICAM_DEVICES=Fake_1 and 2 USB3 Vision
// cameras", or what it did not find
std::string finds(const vz::AravisProbe &p, const char *ids) {
  std::string list = std::string("VIRIZEDA_GENICAM_DEVICES=") + (ids ? ids : "");
  std::vector<std::string> found;
  if (p.listed) found.push_back(cameras(p.listed, "camera") + " of " + list);
  if (p.usb3) found.push_back(cameras(p.usb3, "USB3 Vision camera"));
  if (p.discovered) found.push_back(cameras(p.discovered, "GigE Vision camera"));
  if (found.empty())
    return p.named.empty() ? "no USB3 Vision camera"
                           : "no USB3 Vision camera, and no camera of " + list + " answers";
  std::string s = "it finds " + found[0];
  for (size_t i = 1; i < found.size(); ++i) s += " and " + found[i];
  return s;
}

}  // namespace

bool vz_aravis_probe(bool named, std::string *why) {
  const char *ids = getenv("VIRIZEDA_GENICAM_DEVICES");
  bool listed = !vz::genicam_ids(ids).empty();
  g_probe.reset(new vz::AravisProbe);
  // a named list is exactly those cameras; only a bare VIRIZEDA_BUS=genicam
  // broadcasts
  vz::aravis_probe(g_probe.get(), ids, !(named && listed), named && !listed);
  bool take = !g_probe->devices.empty();
  *why = take ? "GenICam bus: " + finds(*g_probe, ids) : finds(*g_probe, ids);
  if (!take && !named) g_probe.reset();  // not opened: its cameras are let go
  return take;
}

dSystem *vz_aravis_open() {
  if (!g_probe) g_probe.reset(new vz::AravisProbe);  // unprobed: no camera
  std::unique_ptr<vz::AravisProbe> p = std::move(g_probe);
  return vz::vz_aravis_bus_open(p.get());
}
