#include "devices/aravis/aravis_log.h"

#include <glib.h>
#include <stdlib.h>

#include <string>

namespace vz {

namespace {

const char *level_name(GLogLevelFlags level) {
  if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) return "error";
  if (level & G_LOG_LEVEL_WARNING) return "warning";
  if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) return "message";
  return "debug";
}

void log_line(const gchar *domain, GLogLevelFlags level, const gchar *msg,
              gpointer) {
  vz_diag_later("aravis", std::string(domain ? domain : "GLib") + " " +
                              level_name(level) + ": " + (msg ? msg : ""));
}

}  // namespace

void aravis_route_log() {
  static bool done = false;
  if (done) return;
  done = true;
  vz_diag_own_thread();
  int levels = G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE;
  if (getenv("ARV_DEBUG")) levels |= G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG;
  for (const char *d : {"Aravis", "GLib", "GLib-GObject", "GLib-GIO"})
    g_log_set_handler(d, (GLogLevelFlags)(levels | G_LOG_FLAG_RECURSION),
                      log_line, nullptr);
}

}  // namespace vz
