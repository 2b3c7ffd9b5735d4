// The libdc1394 bus as a dSystem: one vz::Camera over each camera that
// libdc1394 finds. Its row in the table of buses: a probe and an open.
#ifndef VIRIZEDA_DC1394_BUS_H
#define VIRIZEDA_DC1394_BUS_H

#include <string>

#include "core/dcam_api.h"

// Starts libdc1394 and looks at /dev, afresh at each call; its complaints
// are held for the open. named: VIRIZEDA_BUS names this bus.
bool vz_dc1394_probe(bool named, std::string *why);
// The bus of the last probe; null, with the reason sent to the
// diagnostics, when libdc1394 cannot start.
dSystem *vz_dc1394_open();

#endif
