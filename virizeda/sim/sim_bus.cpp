#include "sim/sim_bus.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "core/call_log.h"
#include "core/camera.h"
#include "core/diag.h"
#include "sim/sim_device.h"

namespace {

class SimBus : public dSystem {
 public:
  SimBus(const BusConfig &conf,
         std::vector<std::unique_ptr<vz::SimDevice>> devices);
  ~SimBus() override;
  void Reset() override;
  int NumCameras() override { return (int)cams_.size(); }
  char **Names() override { return names_.data(); }
  char **ChipIDs() override { return ids_.data(); }
  dCamera *InitCamera(char *id) override;
  dCamera *InitCamera(int num) override;
  bool Start() override;
  bool Stop() override;

 private:
  dCamera *open(size_t i);

  BusConfig conf_;
  std::vector<std::unique_ptr<vz::SimDevice>> devices_;
  std::vector<std::unique_ptr<vz::Camera>> cams_;
  std::vector<bool> opened_;
  std::vector<char *> names_, ids_;  // null-terminated lists
};

SimBus::SimBus(const BusConfig &conf,
               std::vector<std::unique_ptr<vz::SimDevice>> devices)
    : conf_(conf), devices_(std::move(devices)) {
  for (size_t i = 0; i < devices_.size(); ++i) {
    cams_.emplace_back(new vz::Camera(this, (int)i, devices_[i].get()));
    names_.push_back(strdup(conf_.cams[i].name.c_str()));
    ids_.push_back(strdup(conf_.cams[i].chip_id.c_str()));
  }
  opened_.assign(cams_.size(), false);
  names_.push_back(nullptr);
  ids_.push_back(nullptr);
  initialized = true;
}

SimBus::~SimBus() {
  cams_.clear();  // before the devices they drive
  for (char *s : names_) free(s);
  for (char *s : ids_) free(s);
}

void SimBus::Reset() {
  vz_log_call("Bus.Reset()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
}

dCamera *SimBus::open(size_t i) {
  const CamConfig &c = conf_.cams[i];
  if (c.fail_open) {
    vz_diag("camera %d \"%s\" cannot be opened (fail_open)", (int)i,
            c.name.c_str());
    cams_[i]->initialized = false;
    return nullptr;
  }
  cams_[i]->open();
  opened_[i] = true;
  return cams_[i].get();
}

dCamera *SimBus::InitCamera(int num) {
  vz_log_call("InitCamera(%d)", num);
  if (num < 0 || num >= (int)cams_.size()) {
    vz_diag("no camera %d on the bus (%d cameras)", num, (int)cams_.size());
    return nullptr;
  }
  return open((size_t)num);
}

dCamera *SimBus::InitCamera(char *id) {
  vz_log_call("InitCamera(%s)", id ? id : "null");
  if (id)
    for (size_t i = 0; i < cams_.size(); ++i)
      if (conf_.cams[i].chip_id == id || conf_.cams[i].name == id)
        return open(i);
  vz_diag("no camera \"%s\" on the bus", id ? id : "(null)");
  return nullptr;
}

bool SimBus::Start() {
  vz_log_call("Bus.Start()");
  bool ok = true;
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i] && !cams_[i]->Start()) ok = false;
  return ok;
}

bool SimBus::Stop() {
  vz_log_call("Bus.Stop()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
  return true;
}

}  // namespace

dSystem *vz_sim_bus_open() {
  BusConfig conf;
  std::vector<std::unique_ptr<vz::SimDevice>> devices;
  std::string why;
  if (!vz::sim_bus_devices(&conf, &devices, &why)) {
    vz_diag("%s", why.c_str());
    return nullptr;
  }
  dSystem *bus = new SimBus(conf, std::move(devices));
  vz_diag("simulated bus opened at S%d with %d camera%s", conf.bus_speed,
          (int)conf.cams.size(), conf.cams.size() == 1 ? "" : "s");
  return bus;
}
