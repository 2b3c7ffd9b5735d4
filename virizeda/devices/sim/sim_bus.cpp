#include "devices/sim/sim_bus.h"

#include <memory>
#include <string>
#include <vector>

#include "core/camera_bus.h"
#include "core/diag.h"
#include "devices/sim/sim_device.h"
#include "devices/sim/sim_faults.h"

namespace {

class SimBus : public vz::CameraBus {
 public:
  SimBus(const BusConfig &conf,
         std::vector<std::unique_ptr<vz::SimDevice>> devices)
      : conf_(conf) {
    std::vector<std::unique_ptr<vz::Device>> devs;
    std::vector<std::string> names, ids;
    for (size_t i = 0; i < devices.size(); ++i) {
      devs.emplace_back(std::move(devices[i]));
      names.push_back(conf_.cams[i].name);
      ids.push_back(conf_.cams[i].chip_id);
    }
    add(std::move(devs), names, ids);
  }

 protected:
  bool openable(size_t i) override {
    if (!vz::SimFaults(conf_.cams[i]).refuses_open()) return true;
    vz_diag("camera %d \"%s\" cannot be opened (fail_open)", (int)i,
            name(i));
    return false;
  }

 private:
  BusConfig conf_;
};

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
