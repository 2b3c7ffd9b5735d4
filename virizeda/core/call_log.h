// The log of camera operations that the test hooks read back.
#ifndef VIRIZEDA_CORE_CALL_LOG_H
#define VIRIZEDA_CORE_CALL_LOG_H

#include <string>
#include <vector>

void vz_log_call(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
const std::vector<std::string> &vz_call_log();
void vz_call_log_clear();

#endif
