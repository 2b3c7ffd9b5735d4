// Lines that GLib and aravis log, as diagnostics. aravis logs from its own
// stream and heartbeat threads too; those lines wait in core/diag's queue
// for the caller's next call.
#ifndef VIRIZEDA_ARAVIS_LOG_H
#define VIRIZEDA_ARAVIS_LOG_H

#include "core/diag.h"

namespace vz {

// Takes GLib's and aravis's log lines; the calling thread is the caller's.
// Debug lines only with ARV_DEBUG set, as aravis itself does.
void aravis_route_log();
// Passes on the lines kept from other threads.
inline void aravis_flush_log() { vz_diag_flush(); }

}  // namespace vz

#endif
