// A bus as the programs see it (dSystem): one vz::Camera over each device,
// with the names and chip identifiers the programs list. Each kind of
// device subclasses it only for what differs: whether a camera can be
// opened now, and how it is found by its identifier.
#ifndef VIRIZEDA_CORE_CAMERA_BUS_H
#define VIRIZEDA_CORE_CAMERA_BUS_H

#include <stddef.h>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/camera.h"
#include "core/dcam_api.h"
#include "core/device.h"

namespace vz {

class CameraBus : public dSystem {
 public:
  ~CameraBus() override;
  void Reset() override;
  int NumCameras() override { return (int)cams_.size(); }
  char **Names() override { return names_.data(); }
  char **ChipIDs() override { return ids_.data(); }
  dCamera *InitCamera(char *id) override;
  dCamera *InitCamera(int num) override;
  bool Start() override;
  bool Stop() override;
  // Numbers the cameras from first on, when they follow another bus's.
  void number_from(int first);
  // The camera an identifier names, or -1; says nothing.
  int find(const char *id);
  // Camera i, opened; null, with a diagnostic, when it cannot be now.
  dCamera *open(size_t i);

 protected:
  // Takes the devices; names and ids are the lists the programs read.
  void add(std::vector<std::unique_ptr<Device>> devices,
           const std::vector<std::string> &names,
           const std::vector<std::string> &ids);
  // Devices that say what they are: named "vendor model", known by their
  // GUID (guid_text).
  void add(std::vector<std::unique_ptr<Device>> devices);
  template <class D>
  void add(std::vector<std::unique_ptr<D>> devices) {
    add(std::vector<std::unique_ptr<Device>>(std::make_move_iterator(devices.begin()),
                                             std::make_move_iterator(devices.end())));
  }
  // A GUID as ChipIDs gives it: 16 hex digits.
  static std::string guid_text(uint64_t guid);
  // False, with a diagnostic, when camera i cannot be opened now.
  virtual bool openable(size_t i) { return true; }
  virtual bool matches(size_t i, const char *id);
  // Camera i's GUID as 16 hex digits (ChipIDs; 0x and capitals allowed), or
  // its name.
  bool guid_or_name(size_t i, const char *id) const;
  void set_id(size_t i, const std::string &id);
  const char *name(size_t i) const { return names_[i]; }
  Device *device(size_t i) const { return devices_[i].get(); }
  size_t count() const { return devices_.size(); }

 private:
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<std::unique_ptr<Camera>> cams_;
  std::vector<bool> opened_;
  std::vector<char *> names_, ids_;  // null-terminated lists
};

}  // namespace vz

#endif
