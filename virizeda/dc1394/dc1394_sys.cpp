#include "dc1394_sys.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <memory>
#include <vector>

#include "core/call_log.h"
#include "core/camera.h"
#include "core/diag.h"
#include "dc1394_device.h"

namespace {

class Dc1394Bus : public dSystem {
 public:
  explicit Dc1394Bus(std::vector<std::unique_ptr<vz::Dc1394Device>> devices);
  ~Dc1394Bus() override;
  void Reset() override;
  int NumCameras() override { return (int)cams_.size(); }
  char **Names() override { return names_.data(); }
  char **ChipIDs() override;
  dCamera *InitCamera(char *id) override;
  dCamera *InitCamera(int num) override;
  bool Start() override;
  bool Stop() override;

 private:
  dCamera *open(size_t i);

  std::vector<std::unique_ptr<vz::Dc1394Device>> devices_;
  std::vector<std::unique_ptr<vz::Camera>> cams_;
  std::vector<bool> opened_;
  std::vector<char *> names_;  // null-terminated
  std::vector<char *> ids_;    // null-terminated, 16 hex digits each
};

Dc1394Bus::Dc1394Bus(std::vector<std::unique_ptr<vz::Dc1394Device>> devices)
    : devices_(std::move(devices)) {
  for (size_t i = 0; i < devices_.size(); ++i) {
    cams_.emplace_back(new vz::Camera(this, (int)i, devices_[i].get()));
    std::string name = devices_[i]->vendor();
    if (!devices_[i]->model().empty())
      name += (name.empty() ? "" : " ") + devices_[i]->model();
    names_.push_back(strdup(name.c_str()));
    ids_.push_back((char *)calloc(17, 1));
  }
  opened_.assign(cams_.size(), false);
  names_.push_back(nullptr);
  ids_.push_back(nullptr);
  initialized = true;
}

Dc1394Bus::~Dc1394Bus() {
  cams_.clear();  // before the devices they drive
  devices_.clear();
  for (char *s : names_) free(s);
  for (char *s : ids_) free(s);
}

// The GUID as the device has it now: programming the ROM changes it.
char **Dc1394Bus::ChipIDs() {
  for (size_t i = 0; i < devices_.size(); ++i)
    snprintf(ids_[i], 17, "%016" PRIx64, devices_[i]->guid());
  return ids_.data();
}

void Dc1394Bus::Reset() {
  vz_log_call("Bus.Reset()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
}

dCamera *Dc1394Bus::open(size_t i) {
  if (devices_[i]->gone()) {
    vz_diag("camera %d \"%s\" is gone from the bus", (int)i, names_[i]);
    cams_[i]->initialized = false;
    return nullptr;
  }
  cams_[i]->open();
  opened_[i] = true;
  return cams_[i].get();
}

dCamera *Dc1394Bus::InitCamera(int num) {
  vz_log_call("InitCamera(%d)", num);
  if (num < 0 || num >= (int)cams_.size()) {
    vz_diag("no camera %d on the bus (%d cameras)", num, (int)cams_.size());
    return nullptr;
  }
  return open((size_t)num);
}

// By GUID (16 hex digits, as ChipIDs gives them; 0x and capitals allowed)
// or by name.
dCamera *Dc1394Bus::InitCamera(char *id) {
  vz_log_call("InitCamera(%s)", id ? id : "null");
  if (id) {
    const char *hex = !strncasecmp(id, "0x", 2) ? id + 2 : id;
    char *end = nullptr;
    uint64_t guid = strtoull(hex, &end, 16);
    bool is_hex = *hex && end && !*end && strlen(hex) <= 16;
    for (size_t i = 0; i < cams_.size(); ++i)
      if ((is_hex && devices_[i]->guid() == guid) || !strcmp(names_[i], id))
        return open(i);
  }
  vz_diag("no camera \"%s\" on the bus", id ? id : "(null)");
  return nullptr;
}

bool Dc1394Bus::Start() {
  vz_log_call("Bus.Start()");
  bool ok = true;
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i] && !cams_[i]->Start()) ok = false;
  return ok;
}

bool Dc1394Bus::Stop() {
  vz_log_call("Bus.Stop()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
  return true;
}

}  // namespace

dSystem *vz_dc1394_bus_open(vz::BusProbe *probe) {
  if (!probe->ctx) {
    vz_diag("libdc1394 cannot start: it finds no FireWire or USB camera "
            "interface on this machine");
    return nullptr;
  }
  auto devices = vz::open_cameras(probe, "/dev");
  size_t n = devices.size();
  dSystem *bus = new Dc1394Bus(std::move(devices));
  vz_diag("libdc1394 bus opened with %zu camera%s", n, n == 1 ? "" : "s");
  return bus;
}
