#include "core/diag.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

static void (*diag_sink)(char *line) = nullptr;

void vz_diag_set_sink(void (*sink)(char *line)) { diag_sink = sink; }

void vz_diag(const char *fmt, ...) {
  if (!diag_sink) return;
  char line[600] = "virizeda: ";
  size_t used = 10;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + used, sizeof line - used, fmt, ap);
  va_end(ap);
  // one line per call, whatever the text held
  for (char *p = line; *p; ++p)
    if (*p == '\n' || *p == '\r') *p = ' ';
  diag_sink(line);
}

// --- lines of other threads --------------------------------------------

namespace {

std::once_flag g_owner_set;
pthread_t g_owner;
std::atomic<bool> g_have_owner{false};
std::mutex g_held_mu;
std::vector<std::string> g_held;                         // at most 64
std::vector<std::pair<std::string, unsigned>> g_lost;    // by source
}  // namespace

std::atomic<bool> vz_diag_any_held{false};

void vz_diag_own_thread() {
  std::call_once(g_owner_set, [] {
    g_owner = pthread_self();
    g_have_owner = true;
  });
}

bool vz_diag_on_own_thread() {
  return g_have_owner && pthread_equal(pthread_self(), g_owner);
}

void vz_diag_later(const char *source, const std::string &line) {
  if (vz_diag_on_own_thread()) {
    vz_diag("%s", line.c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(g_held_mu);
  if (g_held.size() < 64) {
    g_held.push_back(line);
  } else {
    auto it = g_lost.begin();
    while (it != g_lost.end() && it->first != source) ++it;
    if (it == g_lost.end()) it = g_lost.insert(it, {source, 0});
    ++it->second;
  }
  vz_diag_any_held = true;
}

void vz_diag_send_held() {
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, unsigned>> lost;
  {
    std::lock_guard<std::mutex> lock(g_held_mu);
    lines.swap(g_held);
    lost.swap(g_lost);
    vz_diag_any_held = false;
  }
  for (auto &l : lines) vz_diag("%s", l.c_str());
  for (auto &l : lost) vz_diag("%s: %u more log lines were left out", l.first.c_str(), l.second);
}
