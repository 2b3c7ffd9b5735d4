#include "iidc/iidc.h"

#include <algorithm>

namespace vz {
namespace iidc {

double rate_fps(int rate) { return 1.875 * (1 << std::clamp(rate, 0, 7)); }

uint32_t feature_inq(bool present, bool has_auto, bool has_manual,
                     bool on_off, int lo, int hi) {
  if (!present) return 0;
  uint32_t w = 1u << 31;
  w |= 1u << 27;  // value readable
  if (on_off) w |= 1u << 26;
  if (has_auto) w |= 1u << 25;
  if (has_manual) w |= 1u << 24;
  w |= (uint32_t)(lo & 0xfff) << 12;
  w |= (uint32_t)(hi & 0xfff);
  return w;
}

uint32_t feature_ctl(bool present, bool on, bool is_auto, int value) {
  if (!present) return 0;
  uint32_t w = 1u << 31;
  if (on) w |= 1u << 25;
  if (is_auto) w |= 1u << 24;
  return w | (uint32_t)(value & 0xfff);
}

uint32_t wb_ctl(bool present, bool is_auto, int blue, int red) {
  if (!present) return 0;
  uint32_t w = (1u << 31) | (1u << 25);
  if (is_auto) w |= 1u << 24;
  return w | ((uint32_t)(blue & 0xfff) << 12) | (uint32_t)(red & 0xfff);
}

std::string quadlets_to_bytes(const uint32_t *q, int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    for (int shift = 24; shift >= 0; shift -= 8) s += (char)(q[i] >> shift);
  return s;
}

void quadlets_from_bytes(const std::string &b, uint32_t *q, int n) {
  for (int i = 0; i < n && 4 * (size_t)i + 3 < b.size(); ++i)
    q[i] = (uint32_t)(unsigned char)b[4 * i] << 24 |
           (uint32_t)(unsigned char)b[4 * i + 1] << 16 |
           (uint32_t)(unsigned char)b[4 * i + 2] << 8 |
           (uint32_t)(unsigned char)b[4 * i + 3];
}

}  // namespace iidc
}  // namespace vz
