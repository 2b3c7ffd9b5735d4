// Diagnostic lines of the library, one per call, each starting
// "virizeda: ". Where they go is set by whoever links the library code
// (virizeda.so: the program's dcamDebug); without a sink they are dropped.
#ifndef VIRIZEDA_DIAG_H
#define VIRIZEDA_DIAG_H

void vz_diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void vz_diag_set_sink(void (*sink)(char *line));

#endif
