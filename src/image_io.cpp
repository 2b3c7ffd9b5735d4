// Windows BMP files: 8-bit grey with a gamma palette, 24-bit colour, and
// the 8-bit reader that can split a file of alternating rows in two.
#include "image_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

char *imageError = const_cast<char *>("");
char read_ret[100];
int im_gamma[256];
unsigned char fbuf[4000];

static const int kGreyHeader = 1078; // header, info header and palette
static const int kColorHeader = 54;
static const int kBlockBytes = 1 << 20; // colour rows assembled per write

static int fail(const char *msg) {
  imageError = const_cast<char *>(msg);
  return -1;
}

void write_bmp_word(unsigned char *p, int v) {
  p[0] = v & 0xff;
  p[1] = (v >> 8) & 0xff;
}

void write_bmp_long(unsigned char *p, int v) {
  uint32_t u = (uint32_t)v;
  p[0] = u & 0xff;
  p[1] = (u >> 8) & 0xff;
  p[2] = (u >> 16) & 0xff;
  p[3] = (u >> 24) & 0xff;
}

int read_bmp_word(unsigned char *p) { return p[0] + 256 * p[1]; }

int read_bmp_long(unsigned char *p) {
  uint32_t u = p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
  return (int32_t)u;
}

static void make_gamma(double gam) {
  for (int i = 0; i < 256; i++)
    im_gamma[i] = gam > 0 ? (int)(pow(i / 255.0, gam) * 255.0 + 0.5) : i;
}

// File header and information header; everything else zero.
static void make_header(int w, int h, int bits, int offset, int data_size,
                        int colours) {
  memset(fbuf, 0, kColorHeader);
  fbuf[0] = 'B';
  fbuf[1] = 'M';
  write_bmp_long(fbuf + 2, offset + (bits == 8 ? w * h : data_size));
  write_bmp_long(fbuf + 10, offset);
  write_bmp_long(fbuf + 14, 40);
  write_bmp_long(fbuf + 18, w);
  write_bmp_long(fbuf + 22, h);
  write_bmp_word(fbuf + 26, 1);
  write_bmp_word(fbuf + 28, bits);
  write_bmp_long(fbuf + 34, data_size);
  write_bmp_long(fbuf + 46, colours);
  write_bmp_long(fbuf + 50, colours);
}

// Writes every byte the vector describes; the vector is used up.
static bool write_all(int fd, struct iovec *iov, int cnt) {
  while (cnt > 0) {
    ssize_t n = writev(fd, iov, cnt < IOV_MAX ? cnt : IOV_MAX);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    while (cnt > 0 && (size_t)n >= iov->iov_len) {
      n -= iov->iov_len;
      iov++;
      cnt--;
    }
    if (cnt > 0) {
      iov->iov_base = (char *)iov->iov_base + n;
      iov->iov_len -= n;
    }
  }
  return true;
}

static int open_for_write(const char *name) {
  if (!name) return -1;
  int fd;
  do
    fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Closes the file; after a failure removes what was written, but only
// when the name still leads straight to the regular file we wrote: never
// a device, a FIFO, or a file reached through a symbolic link.
static int finish_write(int fd, const char *name, bool written) {
  struct stat fs, ls;
  bool regular = fstat(fd, &fs) == 0 && S_ISREG(fs.st_mode);
  bool closed = close(fd) == 0;
  if (written && closed) return 0;
  if (regular && lstat(name, &ls) == 0 && S_ISREG(ls.st_mode) &&
      ls.st_dev == fs.st_dev && ls.st_ino == fs.st_ino)
    unlink(name);
  return fail(written ? "Can't close file" : "Can't write file");
}

static bool bad_size(int w, int h, int64_t row, int header) {
  return w <= 0 || h <= 0 || row * h + header > INT32_MAX;
}

int write_bmp(const char *name, unsigned char *im, int width, int height,
              double gam) {
  if (!im) return fail("No image to write");
  if (bad_size(width, height, width, kGreyHeader))
    return fail("Bad image size for BMP file");
  int fd = open_for_write(name);
  if (fd < 0) return fail("Can't open file for write");

  make_header(width, height, 8, kGreyHeader, 0, 256);
  make_gamma(gam);
  for (int i = 0; i < 256; i++) {
    unsigned char *p = fbuf + kColorHeader + 4 * i;
    p[0] = p[1] = p[2] = im_gamma[i];
    p[3] = 0;
  }
  // rows go straight from the caller's buffer, bottom-up, many per call
  struct iovec iov[IOV_MAX];
  iov[0].iov_base = fbuf;
  iov[0].iov_len = kGreyHeader;
  int cnt = 1;
  bool ok = true;
  for (int y = height - 1; y >= 0 && ok; y--) {
    iov[cnt].iov_base = im + (size_t)y * width;
    iov[cnt].iov_len = width;
    if (++cnt == IOV_MAX || y == 0) {
      ok = write_all(fd, iov, cnt);
      cnt = 0;
    }
  }
  return finish_write(fd, name, ok);
}

// One padded 24-bit file row: B, G, R through the table, then zeros.
static void color_row(unsigned char *dst, const unsigned char *src, int w,
                      int pad, const unsigned char *lut) {
  for (int x = 0; x < w; x++, src += 3, dst += 3) {
    dst[0] = lut[src[2]];
    dst[1] = lut[src[1]];
    dst[2] = lut[src[0]];
  }
  for (int i = 0; i < pad; i++) dst[i] = 0;
}

static bool write_color_rows(int fd, const unsigned char *im, int w, int h,
                             int row_len, unsigned char *buf, int block_rows) {
  unsigned char lut[256];
  for (int i = 0; i < 256; i++) lut[i] = im_gamma[i];
  struct iovec iov[2] = {{fbuf, (size_t)kColorHeader}, {buf, 0}};
  struct iovec *first = iov;
  int y = h - 1;
  while (y >= 0) {
    unsigned char *p = buf;
    for (int n = 0; n < block_rows && y >= 0; n++, y--, p += row_len)
      color_row(p, im + (size_t)y * w * 3, w, row_len - 3 * w, lut);
    iov[1].iov_base = buf;
    iov[1].iov_len = p - buf;
    int cnt = first == iov ? 2 : 1;
    if (!write_all(fd, first, cnt)) return false;
    first = iov + 1;
  }
  return true;
}

int write_color_bmp(const char *name, unsigned char *im, int width, int height,
                    double gam) {
  if (!im) return fail("No image to write");
  int64_t row_len = ((int64_t)width * 3 + 3) & ~(int64_t)3;
  if (bad_size(width, height, row_len, kColorHeader))
    return fail("Bad image size for BMP file");
  int block_rows = kBlockBytes / row_len;
  if (block_rows < 1) block_rows = 1;
  if (block_rows > height) block_rows = height;
  unsigned char *buf = (unsigned char *)malloc((size_t)block_rows * row_len);
  if (!buf) return fail("Not enough memory to write file");
  int fd = open_for_write(name);
  if (fd < 0) {
    free(buf);
    return fail("Can't open file for write");
  }
  make_header(width, height, 24, kColorHeader, (int)(row_len * height), 0);
  make_gamma(gam);
  bool ok = write_color_rows(fd, im, width, height, (int)row_len, buf,
                             block_rows);
  free(buf);
  return finish_write(fd, name, ok);
}

// Reads exactly n bytes; a short read is an error with its own message.
static bool read_exact(FILE *f, unsigned char *p, size_t n) {
  if (fread(p, 1, n, f) == n) return true;
  fail(ferror(f) ? "Can't read file" : "BMP file shorter than its image data");
  return false;
}

static bool skip_bytes(FILE *f, long n) {
  unsigned char tmp[4096];
  while (n > 0) {
    size_t step = n < (long)sizeof tmp ? n : sizeof tmp;
    if (!read_exact(f, tmp, step)) return false;
    n -= step;
  }
  return true;
}

// The header checks in their fixed order; fills the caller's size on the
// way as the callers expect (also when only the bit depth is wrong).
static int check_header(unsigned char *hd, size_t got, int *width,
                        int *height, int interlace, int *rows) {
  if (got < 2 || hd[0] != 'B' || hd[1] != 'M') return fail("Not a BMP file");
  if (got < 54) return fail("BMP file shorter than its header");
  int offset = read_bmp_long(hd + 10);
  int size = read_bmp_long(hd + 2);
  if (size > BMP_MAX_FILE_SIZE) {
    snprintf(read_ret, sizeof read_ret, "BMP file too large: size is %d bytes",
             size);
    imageError = read_ret;
    return -1;
  }
  if (offset < 54 || offset > BMP_MAX_FILE_SIZE)
    return fail("BMP file data offset not valid");
  int w = read_bmp_long(hd + 18);
  int file_h = read_bmp_long(hd + 22);
  int h = interlace ? file_h / 2 : file_h;
  if (h > 0 && w <= 0) return fail("BMP file width not valid");
  // the rows must fit a file within the size limit, whatever its size says
  if (h > 0 && offset + (int64_t)w * file_h > BMP_MAX_FILE_SIZE) {
    snprintf(read_ret, sizeof read_ret,
             "BMP file image too large: %d x %d pixels", w, file_h);
    imageError = read_ret;
    return -1;
  }
  if (*width > 0 && *width != w) return fail("BMP file widths not consistent");
  if (w == 640 && h > 480 && h < 490) h = 480;
  if (*height > 0 && *height != h)
    return fail("BMP file heights not consistent");
  *width = w;
  *height = h;
  if (read_bmp_word(hd + 28) != 8) return fail("BMP file not 8 bits/pixel");
  *rows = h > 0 ? h : 0;
  return offset;
}

static bool read_rows(FILE *f, unsigned char *im, int w, int rows,
                      int interlace) {
  size_t second = (size_t)w * rows;
  for (int y = rows - 1; y >= 0; y--) {
    unsigned char *row = im + (size_t)y * w;
    if (interlace && !read_exact(f, row + second, w)) return false;
    if (!read_exact(f, row, w)) return false;
  }
  return true;
}

int read_bmp(const char *name, unsigned char *im, int *width, int *height,
             int interlace) {
  if (!im || !width || !height) return fail("No buffer given for the image");
  FILE *f = name ? fopen(name, "rbe") : nullptr;
  if (!f) return fail("Can't open file");
  unsigned char hd[54];
  size_t got = fread(hd, 1, sizeof hd, f);
  int rows = 0;
  int offset = ferror(f) ? fail("Can't read file")
                         : check_header(hd, got, width, height, interlace, &rows);
  bool ok = offset >= 0;
  if (ok && rows > 0)
    ok = skip_bytes(f, offset - 54) && read_rows(f, im, *width, rows, interlace);
  fclose(f);
  return ok ? 0 : -1;
}
