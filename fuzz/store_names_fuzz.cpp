// The names "Store current" and "Store buffer" make from a chosen name,
// and the three-digit counter that numbers the buffer's files. Names are
// held in buffers of exactly their own size, so any overrun shows.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fldx.h"

static bool ends_with(const std::string &s, const char *end) {
  size_t n = strlen(end);
  return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

static int last_three(const std::string &s) {
  size_t n = s.size();
  return (s[n - 3] - '0') * 100 + (s[n - 2] - '0') * 10 + (s[n - 1] - '0');
}

static bool three_digits(const std::string &s) {
  size_t n = s.size();
  if (n < 3) return false;
  for (size_t i = n - 3; i < n; i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// incr_name on an exactly sized copy; checks what it may change.
static std::string step(const std::string &name) {
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  char *heap = (char *)malloc(buf.size());
  memcpy(heap, buf.data(), buf.size());
  incr_name(heap);
  std::string out(heap);
  free(heap);
  if (out.size() != name.size()) abort();
  size_t keep = name.size() < 3 ? name.size() : name.size() - 3;
  if (out.compare(0, keep, name, 0, keep) != 0) abort();
  return out;
}

static void check_file_name(const std::string &chosen) {
  std::string file = store_file_name(chosen.c_str());
  bool cut = chosen.size() > 4 && ends_with(chosen, ".bmp");
  if (file != (cut ? chosen : chosen + ".bmp")) abort();
}

static void check_base_name(const std::string &chosen) {
  std::string base = store_base_name(chosen.c_str());
  std::string stem = chosen;
  if (stem.size() > 4 && ends_with(stem, ".bmp")) stem.resize(stem.size() - 4);
  bool numbered = stem.size() > 3 && three_digits(stem);
  if (base != (numbered ? stem : stem + "000")) abort();
  if (!three_digits(base)) abort();
  std::string next = step(base);
  if (!three_digits(next)) abort();
  if (last_three(next) != (last_three(base) + 1) % 1000) abort();
  if (base.size() < 64) {
    // a thousand steps come round to the start
    std::string s = next;
    for (int i = 1; i < 1000; i++) incr_name(&s[0]);
    if (s != base) abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // a chosen name is text: it ends at the first NUL
  std::string chosen((const char *)data, strnlen((const char *)data, size));
  check_file_name(chosen);
  check_base_name(chosen);
  step(chosen);  // any text at all: nothing outside its last three changes
  return 0;
}
