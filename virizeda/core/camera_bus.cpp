#include "core/camera_bus.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/call_log.h"
#include "core/diag.h"

namespace vz {

void CameraBus::add(std::vector<std::unique_ptr<Device>> devices,
                    const std::vector<std::string> &names,
                    const std::vector<std::string> &ids) {
  devices_ = std::move(devices);
  for (size_t i = 0; i < devices_.size(); ++i) {
    cams_.emplace_back(new Camera(this, (int)i, devices_[i].get()));
    names_.push_back(strdup(names[i].c_str()));
    ids_.push_back(strdup(ids[i].c_str()));
  }
  opened_.assign(cams_.size(), false);
  names_.push_back(nullptr);
  ids_.push_back(nullptr);
  initialized = true;
}

void CameraBus::add(std::vector<std::unique_ptr<Device>> devices) {
  std::vector<std::string> names, ids;
  for (auto &d : devices) {
    std::string name = d->vendor();
    if (!d->model().empty()) name += (name.empty() ? "" : " ") + d->model();
    names.push_back(name);
    ids.push_back(guid_text(d->guid()));
  }
  add(std::move(devices), names, ids);
}

std::string CameraBus::guid_text(uint64_t guid) {
  char id[17];
  snprintf(id, sizeof id, "%016" PRIx64, guid);
  return id;
}

CameraBus::~CameraBus() {
  cams_.clear();  // before the devices they drive
  devices_.clear();
  for (char *s : names_) free(s);
  for (char *s : ids_) free(s);
}

// In place when the length stays, so a list the program holds stays valid.
void CameraBus::set_id(size_t i, const std::string &id) {
  if (strlen(ids_[i]) == id.size()) {
    memcpy(ids_[i], id.data(), id.size());
    return;
  }
  free(ids_[i]);
  ids_[i] = strdup(id.c_str());
}

void CameraBus::number_from(int first) {
  for (size_t i = 0; i < cams_.size(); ++i) cams_[i]->renumber(first + (int)i);
}

bool CameraBus::matches(size_t i, const char *id) {
  return !strcmp(ids_[i], id) || !strcmp(names_[i], id);
}

bool CameraBus::guid_or_name(size_t i, const char *id) const {
  const char *hex = !strncasecmp(id, "0x", 2) ? id + 2 : id;
  char *end = nullptr;
  uint64_t guid = strtoull(hex, &end, 16);
  bool is_hex = *hex && end && !*end && strlen(hex) <= 16;
  return (is_hex && device(i)->guid() == guid) || !strcmp(name(i), id);
}

void CameraBus::Reset() {
  vz_log_call("Bus.Reset()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
}

dCamera *CameraBus::open(size_t i) {
  if (!openable(i)) {
    cams_[i]->initialized = false;
    return nullptr;
  }
  cams_[i]->open();
  opened_[i] = true;
  return cams_[i].get();
}

dCamera *CameraBus::InitCamera(int num) {
  vz_log_call("InitCamera(%d)", num);
  if (num < 0 || num >= (int)cams_.size()) {
    vz_diag("no camera %d on the bus (%d cameras)", num, (int)cams_.size());
    return nullptr;
  }
  return open((size_t)num);
}

int CameraBus::find(const char *id) {
  if (id)
    for (size_t i = 0; i < cams_.size(); ++i)
      if (matches(i, id)) return (int)i;
  return -1;
}

dCamera *CameraBus::InitCamera(char *id) {
  vz_log_call("InitCamera(%s)", id ? id : "null");
  int i = find(id);
  if (i >= 0) return open((size_t)i);
  vz_diag("no camera \"%s\" on the bus", id ? id : "(null)");
  return nullptr;
}

bool CameraBus::Start() {
  vz_log_call("Bus.Start()");
  bool ok = true;
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i] && !cams_[i]->Start()) ok = false;
  return ok;
}

bool CameraBus::Stop() {
  vz_log_call("Bus.Stop()");
  for (size_t i = 0; i < cams_.size(); ++i)
    if (opened_[i]) cams_[i]->Stop();
  return true;
}

}  // namespace vz
