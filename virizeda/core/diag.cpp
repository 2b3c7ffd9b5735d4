#include "diag.h"

#include <stdarg.h>
#include <stdio.h>

#include "dcam.h"

void vz_diag(const char *fmt, ...) {
  if (!dcamDebug) return;
  char line[600] = "virizeda: ";
  size_t used = 10;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + used, sizeof line - used, fmt, ap);
  va_end(ap);
  // one line per call, whatever the text held
  for (char *p = line; *p; ++p)
    if (*p == '\n' || *p == '\r') *p = ' ';
  dcamDebug(line);
}
