#include "core/call_log.h"

#include <stdarg.h>
#include <stdio.h>

static std::vector<std::string> call_log;
static const size_t LOG_MAX = 100000;

void vz_log_call(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  // a long-running program must not grow without bound
  if (call_log.size() >= LOG_MAX)
    call_log.erase(call_log.begin(), call_log.begin() + LOG_MAX / 2);
  call_log.push_back(buf);
}

const std::vector<std::string> &vz_call_log() { return call_log; }

void vz_call_log_clear() { call_log.clear(); }
