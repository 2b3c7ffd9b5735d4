// Diagnostic lines of the library, one per call, each starting
// "virizeda: ". Where they go is set by whoever links the library code
// (virizeda.so: the program's dcamDebug); without a sink they are dropped.
#ifndef VIRIZEDA_DIAG_H
#define VIRIZEDA_DIAG_H

#include <atomic>
#include <string>

void vz_diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void vz_diag_set_sink(void (*sink)(char *line));

// The program's dcamDebug runs only inside its own calls, on its own
// thread. Lines that a library logs from a thread of its own (libusb's)
// are held until the caller's next call into ours.
// The calling thread is the program's; the first caller wins.
void vz_diag_own_thread();
bool vz_diag_on_own_thread();
// line at once on the program's thread, else held (64 at most; the rest
// are counted by source, as "<source>: N more log lines were left out").
void vz_diag_later(const char *source, const std::string &line);
// Sends the held lines. Inline, and only a flag's test when there are
// none: it runs on every frame.
extern std::atomic<bool> vz_diag_any_held;
void vz_diag_send_held();
inline void vz_diag_flush() {
  if (vz_diag_any_held.load(std::memory_order_relaxed)) vz_diag_send_held();
}

#endif
