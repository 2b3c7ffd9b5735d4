// The GenICam bus (GigE Vision, USB3 Vision through aravis) as a dSystem:
// one vz::Camera over each camera found. Finding never broadcasts unless
// discovery is asked for.
#ifndef VIRIZEDA_ARAVIS_BUS_H
#define VIRIZEDA_ARAVIS_BUS_H

#include <memory>
#include <string>
#include <vector>

#include "core/dcam_api.h"

namespace vz {

class AravisDevice;

// What a look for GenICam cameras found, opened.
struct AravisProbe {
  AravisProbe();
  ~AravisProbe();
  std::vector<std::unique_ptr<AravisDevice>> devices;
  std::vector<std::string> named;  // the ids of VIRIZEDA_GENICAM_DEVICES
  int listed = 0, usb3 = 0, discovered = 0;  // cameras opened each way
};

// The comma-separated ids of VIRIZEDA_GENICAM_DEVICES, blanks trimmed.
std::vector<std::string> genicam_ids(const char *list);

// Opens the cameras named in ids (IP addresses reach GigE Vision cameras
// directly; other ids are USB3 Vision devices, or aravis's own simulator
// "Fake_N"); then with usb3 the USB3 Vision cameras on this machine, and
// with discover the GigE Vision cameras that answer a broadcast on every
// network interface (the only way anything is broadcast). A camera found
// twice is kept once. Cameras that cannot be opened are named in a line.
void aravis_probe(AravisProbe *p, const char *ids, bool usb3, bool discover);

// The bus over the probe's cameras (taken from it); its line says what it
// holds.
dSystem *vz_aravis_bus_open(AravisProbe *p);

// How many times the GigE Vision side was asked to broadcast (for tests).
int aravis_discoveries();

}  // namespace vz

// Its row in the table of buses. The cameras of VIRIZEDA_GENICAM_DEVICES
// when it is set, with the USB3 Vision ones unless named; discovery only
// when named and the list is unset. Its cameras are held for the open.
bool vz_aravis_probe(bool named, std::string *why);
// The bus of the last probe.
dSystem *vz_aravis_open();

#endif
