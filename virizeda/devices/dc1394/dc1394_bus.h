// The libdc1394 bus as a dSystem: one vz::Camera over each camera that
// libdc1394 finds.
#ifndef VIRIZEDA_DC1394_BUS_H
#define VIRIZEDA_DC1394_BUS_H

#include "core/dcam_api.h"
#include "devices/dc1394/dc1394_probe.h"

// The bus of a probe; null, with the reason sent to the diagnostics, when
// libdc1394 cannot start.
dSystem *vz_dc1394_bus_open(vz::BusProbe *probe);

#endif
