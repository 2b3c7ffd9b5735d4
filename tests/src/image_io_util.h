// Small helpers for the BMP tests: test images, header fields, raw files.
#ifndef IMAGE_IO_UTIL_H
#define IMAGE_IO_UTIL_H

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// Pixel values that differ from row to row and column to column.
inline Bytes test_image(int w, int h, int channels) {
  Bytes im((size_t)w * h * channels);
  for (size_t i = 0; i < im.size(); i++)
    im[i] = (unsigned char)(i * 7 + i / (w * channels) * 13);
  return im;
}

inline int field(const std::string &f, int off, int len = 4) {
  unsigned v = 0;
  for (int i = len - 1; i >= 0; i--) v = v * 256 + (unsigned char)f[off + i];
  return (int)v;
}

inline void put_long(std::string &f, int off, int v) {
  for (int i = 0; i < 4; i++) f[off + i] = (char)((unsigned)v >> (8 * i));
}

// An 8-bit file laid out as the grey writer does, with rows of w bytes,
// stored bottom-up; fields can be changed afterwards with put_long.
inline std::string grey_file(int w, int h, const Bytes &im) {
  std::string f(1078, '\0');
  f[0] = 'B';
  f[1] = 'M';
  put_long(f, 2, 1078 + w * h);
  put_long(f, 10, 1078);
  put_long(f, 14, 40);
  put_long(f, 18, w);
  put_long(f, 22, h);
  f[26] = 1;
  f[28] = 8;
  for (int y = h - 1; y >= 0; y--)
    f.append((const char *)im.data() + (size_t)y * w, w);
  return f;
}

#endif
