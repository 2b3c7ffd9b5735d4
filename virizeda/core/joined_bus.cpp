#include "core/joined_bus.h"

#include "core/call_log.h"
#include "core/diag.h"

namespace vz {

JoinedBus::JoinedBus(std::vector<std::unique_ptr<CameraBus>> parts)
    : parts_(std::move(parts)) {
  int first = 0;
  for (auto &p : parts_) {
    p->number_from(first);
    first += p->NumCameras();
  }
  names_.reserve(first + 1);
  ids_.reserve(first + 1);
  initialized = true;
}

void JoinedBus::Reset() {
  for (auto &p : parts_) p->Reset();
}

int JoinedBus::NumCameras() {
  int n = 0;
  for (auto &p : parts_) n += p->NumCameras();
  return n;
}

// Read again at each call: a part may replace its strings (a chip id that
// changed length).
char **JoinedBus::joined(std::vector<char *> *out, char **(CameraBus::*list)()) {
  out->clear();
  for (auto &p : parts_) {
    char **l = ((*p).*list)();
    for (int i = 0; i < p->NumCameras(); ++i) out->push_back(l[i]);
  }
  out->push_back(nullptr);
  return out->data();
}

char **JoinedBus::Names() { return joined(&names_, &CameraBus::Names); }
char **JoinedBus::ChipIDs() { return joined(&ids_, &CameraBus::ChipIDs); }

dCamera *JoinedBus::InitCamera(int num) {
  vz_log_call("InitCamera(%d)", num);
  int n = num;
  for (auto &p : parts_) {
    if (n >= 0 && n < p->NumCameras()) return p->open((size_t)n);
    n -= p->NumCameras();
  }
  vz_diag("no camera %d on the bus (%d cameras)", num, NumCameras());
  return nullptr;
}

dCamera *JoinedBus::InitCamera(char *id) {
  vz_log_call("InitCamera(%s)", id ? id : "null");
  for (auto &p : parts_) {
    int i = p->find(id);
    if (i >= 0) return p->open((size_t)i);
  }
  vz_diag("no camera \"%s\" on the bus", id ? id : "(null)");
  return nullptr;
}

bool JoinedBus::Start() {
  bool ok = true;
  for (auto &p : parts_)
    if (!p->Start()) ok = false;
  return ok;
}

bool JoinedBus::Stop() {
  for (auto &p : parts_) p->Stop();
  return true;
}

}  // namespace vz
