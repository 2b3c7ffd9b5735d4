// read_bmp on arbitrary file contents. The output buffer is exactly as
// large as the caller may assume (the image the file describes, or the
// size limit when nothing is required), so any overrun shows.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "image_io.h"

static int field(const uint8_t *d, size_t n, size_t off) {
  return n >= off + 4 ? read_bmp_long((unsigned char *)d + off) : 0;
}

static void read_one(const char *name, int req_w, int req_h, int interlace,
                     unsigned char *out, size_t cap) {
  int w = req_w, h = req_h;
  int rc = read_bmp(name, out, &w, &h, interlace);
  if (rc == 0 && w > 0 && h > 0 &&
      (uint64_t)w * h * (interlace ? 2 : 1) > cap) {
    fprintf(stderr, "delivered %d x %d into %zu bytes\n", w, h, cap);
    abort();
  }
  if (rc != 0 && (!imageError || !*imageError)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int fd = memfd_create("read_bmp_fuzz", MFD_CLOEXEC);
  if (fd < 0) abort();
  if (ftruncate(fd, 0) || pwrite(fd, data, size, 0) != (ssize_t)size) abort();
  char name[64];
  snprintf(name, sizeof name, "/proc/self/fd/%d", fd);

  // nothing required: the caller holds the largest image there can be
  static unsigned char *largest = new unsigned char[BMP_MAX_FILE_SIZE];
  for (int interlace = 0; interlace < 2; interlace++) {
    read_one(name, 0, 0, interlace, largest, BMP_MAX_FILE_SIZE);
    // the size the header gives required, and a buffer of just that size
    int w = field(data, size, 18), h = field(data, size, 22);
    if (interlace) h /= 2;
    if (w > 0 && h > 0 && (int64_t)w * h <= BMP_MAX_FILE_SIZE) {
      size_t cap = (size_t)w * h * (interlace ? 2 : 1);
      std::vector<unsigned char> exact(cap);
      read_one(name, w, h, interlace, exact.data(), cap);
    }
  }
  return 0;
}
