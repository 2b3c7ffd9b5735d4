// Diagnostic lines of the library, passed one at a time to dcamDebug.
// Shared by every backend; called only from inside the caller's own calls.
#ifndef VIRIZEDA_DIAG_H
#define VIRIZEDA_DIAG_H

void vz_diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
