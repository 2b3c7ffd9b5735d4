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

#include <string>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

char *imageError = const_cast<char *>("");
char read_ret[100];
int im_gamma[256];
unsigned char fbuf[4000];

static const int kGreyHeader = 1078; // header, info header and palette
static const int kColorHeader = 54;
static const int kBlockBytes = 1 << 18; // file rows assembled per write

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

// Where a file is written: straight into the named file, or into a new
// file beside it that then replaces it, so that a failed or interrupted
// write leaves the earlier file as it was.
struct Target {
  int fd = -1;
  std::string temp;  // set when the file is written beside the name
  std::string dest;  // the file the name leads to, through any links
  // dest has other names, which must keep seeing it: the file beside is
  // only a trial, and the image is then written into dest itself
  bool keep_inode = false;
  const char *refused = 0;  // why the name was not opened at all
};

static int open_retrying(const char *name, int flags) {
  int fd;
  do
    fd = open(name, flags | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

static int open_in_place(const char *name) {
  return open_retrying(name, O_WRONLY | O_CREAT | O_TRUNC);
}

static std::string dir_of(const char *name) {
  const char *slash = strrchr(name, '/');
  if (!slash) return ".";
  if (slash == name) return "/";
  return std::string(name, slash - name);
}

// A new file in the name's directory with the mode a plain create would
// give (or the replaced file's mode and owner); -1 when none can be made.
static int open_beside(const char *name, const struct stat *old,
                       std::string *temp) {
  *temp = dir_of(name) + "/.bmp-XXXXXX";
  int fd = mkostemp(&(*temp)[0], O_CLOEXEC);
  if (fd < 0) return -1;
  mode_t mode;
  if (old) {
    mode = old->st_mode & 07777;
    if (fchown(fd, old->st_uid, old->st_gid) != 0) {
      // a file we could not give back to its owner is not ours to replace
      close(fd);
      unlink(temp->c_str());
      return -1;
    }
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  return fd;
}

// Follows a symbolic link to the regular file it leads to: that file is
// the one replaced, and the link stays a link. Anything else the link
// leads to is left to the plain open.
static bool follow_link(const char *name, Target *t, struct stat *ls) {
  struct stat ts;
  if (stat(name, &ts) != 0) return true;  // dangling: created through it
  // a link is written through, but never into a device or a FIFO
  if (!S_ISREG(ts.st_mode) && !S_ISDIR(ts.st_mode)) {
    t->refused = "Won't write through a link to a device";
    return false;
  }
  char *real = S_ISREG(ts.st_mode) ? realpath(name, 0) : 0;
  if (real) {
    t->dest = real;
    *ls = ts;
  }
  free(real);
  return true;
}

static Target open_for_write(const char *name) {
  Target t;
  if (!name || !*name) return t;
  t.dest = name;
  struct stat ls;
  bool absent = lstat(name, &ls) != 0 && errno == ENOENT;
  if (!absent && S_ISLNK(ls.st_mode) && !follow_link(name, &t, &ls)) return t;
  const char *dest = t.dest.c_str();
  // one we may not write keeps its inode and fails to open
  bool regular = !absent && S_ISREG(ls.st_mode) && access(dest, W_OK) == 0;
  if (absent || regular) {
    t.keep_inode = regular && ls.st_nlink > 1;
    bool replaced = regular && !t.keep_inode;
    t.fd = open_beside(dest, replaced ? &ls : 0, &t.temp);
    if (t.fd >= 0) return t;
    t.temp.clear();  // a directory we may not add to: write in place
    t.keep_inode = false;
  }
  t.fd = open_in_place(name);
  return t;
}

// Closes the file and puts it in place (a trial only tells whether it
// could be written). After a failure removes what was
// written: the file beside the name, or the named file itself when it was
// written in place, but then only when the name still leads straight to
// the regular file we wrote and is its only name (never a device, a FIFO,
// or a file reached through a symbolic link).
static int finish_write(const Target &t, const char *name, bool written) {
  struct stat fs, ls;
  bool regular = fstat(t.fd, &fs) == 0 && S_ISREG(fs.st_mode);
  bool closed = close(t.fd) == 0;
  if (!t.temp.empty()) {
    bool ok = written && closed &&
              (t.keep_inode || rename(t.temp.c_str(), t.dest.c_str()) == 0);
    // a trial is removed whatever its outcome
    if (!ok || t.keep_inode) unlink(t.temp.c_str());
    if (ok) return 0;
    return fail(!written ? "Can't write file"
                         : !closed ? "Can't close file" : "Can't replace file");
  }
  if (written && closed) return 0;
  if (regular && fs.st_nlink == 1 && lstat(name, &ls) == 0 &&
      S_ISREG(ls.st_mode) && ls.st_dev == fs.st_dev && ls.st_ino == fs.st_ino)
    unlink(name);
  return fail(written ? "Can't close file" : "Can't write file");
}

static bool bad_size(int w, int h, int64_t row, int header) {
  return w <= 0 || h <= 0 || row * h + header > INT32_MAX;
}

// How a file row is made from an image row of w pixels.
typedef void (*RowFill)(unsigned char *dst, const unsigned char *src, int w);

struct Layout {
  int header;      // bytes of fbuf written first
  int64_t row_len; // file row, padding included
  int64_t src_row; // image row
  RowFill fill;
};

// Rows bottom-up, assembled in blocks so that each write is large.
static bool write_rows(int fd, const unsigned char *im, int h, int w,
                       const Layout &l, unsigned char *buf, int block_rows) {
  struct iovec iov[2] = {{fbuf, (size_t)l.header}, {buf, 0}};
  int first = 0;
  for (int y = h - 1; y >= 0;) {
    unsigned char *p = buf;
    for (int n = 0; n < block_rows && y >= 0; n++, y--, p += l.row_len)
      l.fill(p, im + y * l.src_row, w);
    iov[1].iov_len = p - buf;
    if (!write_all(fd, iov + first, 2 - first)) return false;
    first = 1;
  }
  return true;
}

// The block that file rows are assembled in, kept from one write to the
// next: allocating and zeroing it anew cost as much as a small file.
static unsigned char *block = 0;
static size_t block_cap = 0;
static int64_t block_row_len = -1;  // the row length its padding is zero for

static unsigned char *row_block(int64_t rows, int64_t row_len) {
  size_t need = (size_t)(rows * row_len);
  if (need > block_cap) {
    free(block);
    block = (unsigned char *)calloc(need, 1);
    block_cap = block ? need : 0;
    block_row_len = row_len;
  } else if (row_len != block_row_len) {
    memset(block, 0, block_cap);  // the fills never touch the row padding
    block_row_len = row_len;
  }
  return block;
}

static int write_image(const char *name, const unsigned char *im, int w,
                       int h, const Layout &l) {
  int64_t block_rows = kBlockBytes / l.row_len;
  if (block_rows < 1) block_rows = 1;
  if (block_rows > h) block_rows = h;
  unsigned char *buf = row_block(block_rows, l.row_len);
  if (!buf) return fail("Not enough memory to write file");
  Target t = open_for_write(name);
  if (t.fd < 0) return fail(t.refused ? t.refused : "Can't open file for write");
  bool ok = write_rows(t.fd, im, h, w, l, buf, (int)block_rows);
  if (finish_write(t, name, ok) < 0) return -1;
  if (!t.keep_inode) return 0;
  // the trial showed the image fits, and freed its room for it
  int fd = open_retrying(t.dest.c_str(), O_WRONLY);
  if (fd < 0) return fail("Can't open file for write");
  ok = write_rows(fd, im, h, w, l, buf, (int)block_rows) &&
       ftruncate(fd, l.header + l.row_len * h) == 0;
  if (close(fd) != 0 && ok) return fail("Can't close file");
  return ok ? 0 : fail("Can't write file");
}

static void grey_row(unsigned char *dst, const unsigned char *src, int w) {
  memcpy(dst, src, w);
}

int write_bmp(const char *name, unsigned char *im, int width, int height,
              double gam) {
  if (!im) return fail("No image to write");
  if (bad_size(width, height, width, kGreyHeader))
    return fail("Bad image size for BMP file");
  make_header(width, height, 8, kGreyHeader, 0, 256);
  make_gamma(gam);
  for (int i = 0; i < 256; i++) {
    unsigned char *p = fbuf + kColorHeader + 4 * i;
    p[0] = p[1] = p[2] = im_gamma[i];
    p[3] = 0;
  }
  return write_image(name, im, width, height,
                     {kGreyHeader, width, width, grey_row});
}

// R, G, B to B, G, R, four pixels (three words) at a time: a = R0 G0 B0 R1,
// b = G1 B1 R2 G2, c = B2 R3 G3 B3 become B0 G0 R0 B1, G1 R1 B2 G2,
// R2 B3 G3 R3.
static void swap_rb_words(unsigned char *__restrict dst,
                          const unsigned char *__restrict src, int w) {
  int x = 0;
  for (; x + 4 <= w; x += 4, src += 12, dst += 12) {
    uint32_t a, b, c, o[3];
    memcpy(&a, src, 4);
    memcpy(&b, src + 4, 4);
    memcpy(&c, src + 8, 4);
    o[0] = (a >> 16 & 0xff) | (a & 0xff00) | (a & 0xff) << 16 |
           (b & 0xff00) << 16;
    o[1] = (b & 0xff) | (a >> 16 & 0xff00) | (c & 0xff) << 16 |
           (b & 0xff000000);
    o[2] = (b >> 16 & 0xff) | (c >> 16 & 0xff00) | (c & 0xff0000) |
           (c & 0xff00) << 16;
    memcpy(dst, o, 12);
  }
  for (; x < w; x++, src += 3, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Five pixels per 16-byte shuffle; loads and stores stay inside the row
// because a sixth pixel always follows.
__attribute__((target("ssse3"))) static void
swap_rb_ssse3(unsigned char *dst, const unsigned char *src, int w) {
  const __m128i order =
      _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int x = 0;
  for (; x + 6 <= w; x += 5, src += 15, dst += 15) {
    __m128i v = _mm_loadu_si128((const __m128i *)src);
    _mm_storeu_si128((__m128i *)dst, _mm_shuffle_epi8(v, order));
  }
  swap_rb_words(dst, src, w - x);
}
#endif

static void swap_rb(unsigned char *dst, const unsigned char *src, int w) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return swap_rb_ssse3(dst, src, w);
#endif
  swap_rb_words(dst, src, w);
}

// im_gamma applied to both bytes of a 16-bit value: half the look-ups.
// Made again only when the table changes.
static uint16_t pair_gamma[65536];
static int pair_made_for[256] = {-1};

static void make_pair_gamma() {
  if (!memcmp(pair_made_for, im_gamma, sizeof pair_made_for)) return;
  for (int i = 0; i < 65536; i++)
    pair_gamma[i] = im_gamma[i & 255] | im_gamma[i >> 8] << 8;
  memcpy(pair_made_for, im_gamma, sizeof pair_made_for);
}

static inline uint64_t gamma_word(uint64_t v) {
  return (uint64_t)pair_gamma[v & 0xffff] |
         (uint64_t)pair_gamma[v >> 16 & 0xffff] << 16 |
         (uint64_t)pair_gamma[v >> 32 & 0xffff] << 32 |
         (uint64_t)pair_gamma[v >> 48] << 48;
}

static void gamma_bytes(unsigned char *p, int n) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    memcpy(&v, p + i, 8);
    v = gamma_word(v);
    memcpy(p + i, &v, 8);
  }
  for (; i < n; i++) p[i] = im_gamma[p[i]];
}

// Each file row is swapped and passed through the table while it is in
// the first-level cache, before the next row is touched: one pass over the
// frame and the block. (Applying the table to the shuffled registers
// before the store measured a fifth slower.)
static void swap_rb_gamma(unsigned char *dst, const unsigned char *src, int w) {
  swap_rb(dst, src, w);
  gamma_bytes(dst, 3 * w);
}

int write_color_bmp(const char *name, unsigned char *im, int width, int height,
                    double gam) {
  if (!im) return fail("No image to write");
  int64_t row_len = ((int64_t)width * 3 + 3) & ~(int64_t)3;
  if (bad_size(width, height, row_len, kColorHeader))
    return fail("Bad image size for BMP file");
  make_header(width, height, 24, kColorHeader, (int)(row_len * height), 0);
  make_gamma(gam);
  bool identity = true;
  for (int i = 0; i < 256; i++) identity = identity && im_gamma[i] == i;
  if (!identity) make_pair_gamma();
  return write_image(name, im, width, height,
                     {kColorHeader, row_len, 3 * (int64_t)width,
                      identity ? swap_rb : swap_rb_gamma});
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
