// The firmware dialog's register and device ID fields: whatever is typed,
// parsing ends, imager registers stay within 00-ff, a range stays finite
// and ordered, and a serial number fits 16 bits.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fwdispx.h"

static void check(bool ok) {
  if (!ok) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // the field text, cut at an embedded NUL as the input widget would
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.c_str();
  // "Reg:" and "Val::" taken from the two halves of the input
  std::string reg = text.substr(0, text.size() / 2);
  std::string val = text.substr(text.size() / 2);

  unsigned long a = 0, b = 0;
  int n = parse_reg_range(text.c_str(), &a, &b);
  check(n >= 0 && n <= 2);

  unsigned first = 0, last = 0;
  if (imager_read_range(text.c_str(), &first, &last))
    check(first <= last && last <= 0xff);

  unsigned long word = 0;
  if (imager_write_word(reg.c_str(), val.c_str(), &word))
    check((word >> 24) == 0x04);

  unsigned long offset = 0, addr = 0;
  if (dcam_reg_address(text.c_str(), &offset, &addr))
    check(offset <= 0xffffffffUL && addr <= 0xffffffffUL &&
          ((addr - REG_DCAM_BASE) & 0xffffffffUL) == offset);

  int serial = -1;
  if (parse_device_id(text.c_str(), &serial))
    check(serial >= 0 && serial <= 0xffff);
  return 0;
}
