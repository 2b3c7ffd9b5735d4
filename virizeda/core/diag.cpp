#include "core/diag.h"

#include <stdarg.h>
#include <stdio.h>

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
