// Several buses as one dSystem: their cameras in one list, numbered on from
// one bus to the next, in the order the buses are given.
#ifndef VIRIZEDA_CORE_JOINED_BUS_H
#define VIRIZEDA_CORE_JOINED_BUS_H

#include <memory>
#include <vector>

#include "core/camera_bus.h"

namespace vz {

class JoinedBus : public dSystem {
 public:
  explicit JoinedBus(std::vector<std::unique_ptr<CameraBus>> parts);
  void Reset() override;
  int NumCameras() override;
  char **Names() override;
  char **ChipIDs() override;
  dCamera *InitCamera(char *id) override;
  dCamera *InitCamera(int num) override;
  bool Start() override;
  bool Stop() override;

 private:
  // The parts' lists end to end, in storage that stays put.
  char **joined(std::vector<char *> *out, char **(CameraBus::*list)());

  std::vector<std::unique_ptr<CameraBus>> parts_;
  std::vector<char *> names_, ids_;
};

}  // namespace vz

#endif
