// Lines that GLib and aravis log, as diagnostics. aravis logs from its own
// stream and heartbeat threads too; dcamDebug may run only inside the
// caller's calls, so those lines wait for the next one.
#ifndef VIRIZEDA_ARAVIS_LOG_H
#define VIRIZEDA_ARAVIS_LOG_H

namespace vz {

// Takes GLib's and aravis's log lines; the calling thread is the caller's.
// Debug lines only with ARV_DEBUG set, as aravis itself does.
void aravis_route_log();
// Passes on the lines kept from other threads.
void aravis_flush_log();

}  // namespace vz

#endif
