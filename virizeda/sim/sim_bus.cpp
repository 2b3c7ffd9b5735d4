// The simulated IIDC bus: the cameras of the configuration, each with its
// own device state.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string.h>

#include <vector>

#include "diag.h"
#include "sim_camera.h"
#include "sim_config.h"
#include "sim_internal.h"
#include "sim_state.h"

namespace {

class SimBus : public dSystem {
 public:
  explicit SimBus(const BusConfig &conf);
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
  std::vector<SimCamera *> cams_;
  std::vector<bool> opened_;
  std::vector<char *> names_, ids_;  // null-terminated lists
};

SimBus::SimBus(const BusConfig &conf) {
  for (size_t i = 0; i < conf.cams.size(); ++i) {
    cams_.push_back(new SimCamera(this, (int)i, conf.cams[i], conf.bus_speed));
    names_.push_back(strdup(conf.cams[i].name.c_str()));
    ids_.push_back(strdup(conf.cams[i].chip_id.c_str()));
  }
  opened_.assign(cams_.size(), false);
  names_.push_back(nullptr);
  ids_.push_back(nullptr);
  initialized = true;
}

SimBus::~SimBus() {
  for (SimCamera *c : cams_) delete c;
  for (char *s : names_) free(s);
  for (char *s : ids_) free(s);
}

void SimBus::Reset() {
  vz_log_call("Bus.Reset()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
}

dCamera *SimBus::InitCamera(int num) {
  vz_log_call("InitCamera(%d)", num);
  if (num < 0 || num >= (int)cams_.size()) {
    vz_diag("no camera %d on the bus (%d cameras)", num, (int)cams_.size());
    return nullptr;
  }
  if (!cams_[num]->open()) return nullptr;
  opened_[num] = true;
  return cams_[num];
}

dCamera *SimBus::InitCamera(char *id) {
  vz_log_call("InitCamera(%s)", id ? id : "null");
  if (id)
    for (size_t i = 0; i < cams_.size(); ++i)
      if (cams_[i]->conf().chip_id == id || cams_[i]->conf().name == id) {
        if (!cams_[i]->open()) return nullptr;
        opened_[i] = true;
        return cams_[i];
      }
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
  const char *path = getenv("VIRIZEDA_SIM_CONFIG");
  std::string err;
  if (path && *path) {
    if (!vz_load_config(path, &conf, &err)) {
      vz_diag("configuration %s: %s", path, err.c_str());
      return nullptr;
    }
  } else {
    conf = vz_default_bus();
  }
  if (conf.bus_fail) {
    vz_diag("simulated bus cannot be opened (bus_fail in %s)", path);
    return nullptr;
  }
  std::string dir = vz_state_dir();
  struct stat st;
  if (!dir.empty()) {
    const char *why = nullptr;
    if (stat(dir.c_str(), &st) != 0 || access(dir.c_str(), W_OK | X_OK) != 0)
      why = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
      why = "not a directory";
    if (why)
      vz_diag("state directory %s cannot be used: %s; device state will not "
              "persist", dir.c_str(), why);
  }
  dSystem *bus = new SimBus(conf);
  vz_diag("simulated bus opened at S%d with %d camera%s", conf.bus_speed,
          (int)conf.cams.size(), conf.cams.size() == 1 ? "" : "s");
  return bus;
}
