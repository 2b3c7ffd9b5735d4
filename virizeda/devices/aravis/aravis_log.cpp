#include "devices/aravis/aravis_log.h"

#include <glib.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/diag.h"

namespace vz {

namespace {

pthread_t g_owner;
std::mutex g_mu;
std::vector<std::string> g_pending;
unsigned g_lost = 0;
std::atomic<bool> g_any{false};

const char *level_name(GLogLevelFlags level) {
  if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) return "error";
  if (level & G_LOG_LEVEL_WARNING) return "warning";
  if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) return "message";
  return "debug";
}

void log_line(const gchar *domain, GLogLevelFlags level, const gchar *msg,
              gpointer) {
  std::string line = std::string(domain ? domain : "GLib") + " " +
                     level_name(level) + ": " + (msg ? msg : "");
  if (pthread_equal(pthread_self(), g_owner)) {
    vz_diag("%s", line.c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_pending.size() < 64)
    g_pending.push_back(line);
  else
    ++g_lost;
  g_any = true;
}

}  // namespace

void aravis_route_log() {
  static bool done = false;
  if (done) return;
  done = true;
  g_owner = pthread_self();
  int levels = G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE;
  if (getenv("ARV_DEBUG")) levels |= G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG;
  for (const char *d : {"Aravis", "GLib", "GLib-GObject", "GLib-GIO"})
    g_log_set_handler(d, (GLogLevelFlags)(levels | G_LOG_FLAG_RECURSION),
                      log_line, nullptr);
}

void aravis_flush_log() {
  if (!g_any) return;  // the usual case, on every frame
  std::vector<std::string> lines;
  unsigned lost;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    lines.swap(g_pending);
    lost = g_lost;
    g_lost = 0;
    g_any = false;
  }
  for (auto &l : lines) vz_diag("%s", l.c_str());
  if (lost) vz_diag("aravis: %u more log lines were left out", lost);
}

}  // namespace vz
