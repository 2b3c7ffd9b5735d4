// Malformed BMP files given to the reader: every one is refused with a
// known message or read, and nothing is written outside a buffer of
// exactly the size the caller may assume. The buffers end where their
// allocation ends, so the sanitizer build catches any overrun at once;
// the plain build checks guard bytes behind them.
#include <gtest/gtest.h>
#include <dirent.h>
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "image_io.h"
#include "image_io_util.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define BAD_INPUT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BAD_INPUT_ASAN 1
#endif
#endif

namespace {

#ifdef BAD_INPUT_ASAN
const size_t kGuard = 0; // the allocation's own red zone guards it
#else
const size_t kGuard = 64;
#endif
const unsigned char kMark = 0xee;

// An output buffer of n usable bytes, all marked before each read.
class Buffer {
 public:
  explicit Buffer(size_t n) : n_(n), mem_(new unsigned char[n + kGuard]) {
    memset(mem_.get(), kMark, n + kGuard);
  }
  unsigned char *data() { return mem_.get(); }
  size_t size() const { return n_; }
  void mark() { memset(mem_.get(), kMark, n_); }
  bool guard_intact() const {
    for (size_t i = n_; i < n_ + kGuard; i++)
      if (mem_[i] != kMark) return false;
    return true;
  }
  // the first byte from `from` on that a read changed, or n
  size_t changed_from(size_t from) const {
    for (size_t i = from; i < n_; i++)
      if (mem_[i] != kMark) return i;
    return n_;
  }

 private:
  size_t n_;
  std::unique_ptr<unsigned char[]> mem_;
};

// Refusals made from the header alone: the caller's size and buffer stay.
const char *const kBeforeReading[] = {
    "Can't open file",
    "Not a BMP file",
    "BMP file shorter than its header",
    "BMP file too large: size is ",
    "BMP file data offset not valid",
    "BMP file width not valid",
    "BMP file image too large: ",
    "BMP file widths not consistent",
    "BMP file heights not consistent",
};
// Refusals after the size has been handed back.
const char *const kAfterSize[] = {
    "BMP file not 8 bits/pixel",
    "BMP file shorter than its image data",
    "Can't read file",
};

bool starts_with_any(const std::string &s, const char *const *list, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (s.rfind(list[i], 0) == 0) return true;
  return false;
}

bool before_reading(const std::string &msg) {
  return starts_with_any(msg, kBeforeReading,
                         sizeof kBeforeReading / sizeof *kBeforeReading);
}

bool after_size(const std::string &msg) {
  return starts_with_any(msg, kAfterSize, sizeof kAfterSize / sizeof *kAfterSize);
}

struct Outcome {
  int rc, w, h;
  std::string error;
};

const char *const kUnchanged = "unchanged";

// Reads the file with the given requirement into the buffer and checks
// what may never happen; returns what the reader said.
Outcome read_checked(const std::string &path, int req_w, int req_h,
                     int interlace, Buffer &buf, const std::string &what) {
  SCOPED_TRACE(what + " required " + std::to_string(req_w) + "x" +
               std::to_string(req_h) + (interlace ? " interlaced" : ""));
  buf.mark();
  imageError = const_cast<char *>(kUnchanged);
  Outcome o{0, req_w, req_h, ""};
  o.rc = read_bmp(path.c_str(), buf.data(), &o.w, &o.h, interlace);
  o.error = imageError ? imageError : "(null)";
  EXPECT_TRUE(buf.guard_intact());
  if (o.rc == 0) {
    EXPECT_EQ(kUnchanged, o.error);
    if (req_w > 0) {
      EXPECT_EQ(req_w, o.w);
    }
    if (req_h > 0) {
      EXPECT_EQ(req_h, o.h);
    }
  } else {
    EXPECT_EQ(-1, o.rc);
    EXPECT_TRUE(before_reading(o.error) || after_size(o.error)) << o.error;
  }
  if (o.rc != 0 && before_reading(o.error)) {
    EXPECT_EQ(req_w, o.w);
    EXPECT_EQ(req_h, o.h);
    EXPECT_EQ(buf.size(), buf.changed_from(0)) << "refused, yet wrote";
    return o;
  }
  // whatever was delivered lies inside the buffer, and nothing beyond it
  // was touched
  size_t rows = o.h > 0 && o.w > 0 ? (size_t)o.h : 0;
  size_t delivered = rows * (o.w > 0 ? o.w : 0) * (interlace ? 2 : 1);
  EXPECT_LE(delivered, buf.size()) << o.w << "x" << o.h;
  EXPECT_EQ(buf.size(), buf.changed_from(std::min(delivered, buf.size())));
  if (o.error == "BMP file not 8 bits/pixel") {
    EXPECT_EQ(buf.size(), buf.changed_from(0));
  }
  return o;
}

struct Case {
  std::string name;
  std::string data;
  int base_w, base_h; // the image the caller expects, 0 when unknown
};

class BadBmp : public testing::Test {
 protected:
  BadBmp() : largest_(BMP_MAX_FILE_SIZE) {}

  // Every file read three ways, each without and with interlace: with no
  // requirement into the largest buffer there can be; requiring what the
  // header claims into a buffer of just that size; and requiring the
  // image the caller expected into a buffer of just that size.
  void read_all_ways(const Case &c) {
    std::string path = dir_.file("bad.bmp");
    write_file(path, c.data);
    for (int il = 0; il < 2; il++) {
      read_checked(path, 0, 0, il, largest_, c.name);
      int w = c.data.size() >= 22 ? field(c.data, 18) : 0;
      int h = c.data.size() >= 26 ? field(c.data, 22) : 0;
      if (il) h /= 2;
      if (w > 0 && h > 0 && (int64_t)w * h <= BMP_MAX_FILE_SIZE) {
        Buffer exact((size_t)w * h * (il ? 2 : 1));
        read_checked(path, w, h, il, exact, c.name + " (claimed size)");
      }
      int bw = c.base_w, bh = il ? c.base_h / 2 : c.base_h;
      if (bw > 0 && bh > 0) {
        Buffer exact((size_t)bw * bh * (il ? 2 : 1));
        read_checked(path, bw, bh, il, exact, c.name + " (expected size)");
      }
    }
  }

  TempDir dir_;
  Buffer largest_;
};

// A file with one 32-bit header field replaced.
std::string with_long(std::string f, int off, int v) {
  put_long(f, off, v);
  return f;
}

std::string with_word(std::string f, int off, int v) {
  f[off] = (char)(v & 0xff);
  f[off + 1] = (char)((v >> 8) & 0xff);
  return f;
}

// Where the header's fields begin and end, the palette's end, and the
// first bytes of the pixels.
const size_t kBoundaries[] = {0,  1,  2,  6,  10, 14, 18, 22, 26,  28,  30,
                              34, 38, 42, 46, 50, 53, 54, 55, 566, 1077, 1078,
                              1079};

std::vector<Case> seeds() {
  std::vector<Case> out;
  std::string corpus = std::string(TEST_SOURCE_DIR) + "/../fuzz/corpus/read_bmp";
  DIR *d = opendir(corpus.c_str());
  if (!d) return out;
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    std::string data = read_file(corpus + "/" + n);
    int w = data.size() >= 26 ? field(data, 18) : 0;
    int h = data.size() >= 26 ? field(data, 22) : 0;
    out.push_back({"seed " + n, data, w, h});
  }
  return out;
}

TEST_F(BadBmp, FuzzSeedsWholeAndTruncatedAtEveryBoundary) {
  std::vector<Case> all = seeds();
  ASSERT_GE(all.size(), 5u) << "the committed seed corpus is missing";
  Bytes odd = test_image(4, 5, 1);
  all.push_back({"grey 4x5", grey_file(4, 5, odd), 4, 5});
  Bytes vga = test_image(8, 6, 1);
  all.push_back({"grey 8x6", grey_file(8, 6, vga), 8, 6});
  for (const Case &c : all) {
    read_all_ways(c);
    std::set<size_t> cuts(std::begin(kBoundaries), std::end(kBoundaries));
    cuts.insert(c.data.size() - 1);
    cuts.insert(c.data.size() / 2);
    for (size_t n : cuts)
      if (n < c.data.size())
        read_all_ways({c.name + " cut at " + std::to_string(n),
                       c.data.substr(0, n), c.base_w, c.base_h});
  }
}

TEST_F(BadBmp, TruncationsGiveTheirOwnMessage) {
  std::string good = grey_file(8, 6, test_image(8, 6, 1));
  std::string path = dir_.file("cut.bmp");
  for (size_t n : kBoundaries) {
    write_file(path, good.substr(0, n));
    Buffer exact(48);
    Outcome o = read_checked(path, 8, 6, 0, exact, "cut " + std::to_string(n));
    EXPECT_EQ(-1, o.rc);
    const char *want = n < 2    ? "Not a BMP file"
                       : n < 54 ? "BMP file shorter than its header"
                                : "BMP file shorter than its image data";
    EXPECT_EQ(want, o.error) << n;
  }
}

TEST_F(BadBmp, LyingHeaderFields) {
  std::string good = grey_file(8, 6, test_image(8, 6, 1));
  const int size = (int)good.size();
  std::vector<Case> cases;
  auto add = [&](const std::string &name, const std::string &data) {
    cases.push_back({name, data, 8, 6});
  };
  for (int v : {0, -1, 53, size - 1, size + 1, BMP_MAX_FILE_SIZE,
                BMP_MAX_FILE_SIZE + 1, INT_MAX, INT_MIN})
    add("size field " + std::to_string(v), with_long(good, 2, v));
  for (int v : {0, 1, 53, -1, -54, 54, 1077, 1079, size, size + 1, 100000,
                BMP_MAX_FILE_SIZE, BMP_MAX_FILE_SIZE + 1, INT_MAX, INT_MIN})
    add("data offset " + std::to_string(v), with_long(good, 10, v));
  for (int v : {0, 1, -1, -8, 7, 9, 640, 65536, BMP_MAX_FILE_SIZE, INT_MAX,
                INT_MIN})
    add("width " + std::to_string(v), with_long(good, 18, v));
  for (int v : {0, 1, -1, -6, 2, 3, 5, 7, 480, 485, 970, 971, 65536,
                BMP_MAX_FILE_SIZE, INT_MAX, INT_MIN})
    add("height " + std::to_string(v), with_long(good, 22, v));
  for (int v : {0, 1, 4, 7, 9, 16, 24, 32, 0x0108, 0x0800, 0xffff})
    add("bits " + std::to_string(v), with_word(good, 28, v));
  // products that wrap around in 32 bits, and both signs negative
  int pairs[][2] = {{65536, 65536}, {-1, -1},     {-8, -6},   {INT_MIN, -1},
                    {-1, INT_MIN},  {46341, 46341}, {2, INT_MAX}, {640, 485}};
  for (auto &p : pairs)
    add("size " + std::to_string(p[0]) + "x" + std::to_string(p[1]),
        with_long(with_long(good, 18, p[0]), 22, p[1]));
  for (const Case &c : cases) read_all_ways(c);
}

TEST_F(BadBmp, SpecificRefusalsAndReads) {
  std::string good = grey_file(8, 6, test_image(8, 6, 1));
  std::string path = dir_.file("one.bmp");
  struct Expect {
    std::string data;
    int interlace;
    const char *error; // null: read with this height
    int h;
  } cases[] = {
      {with_long(good, 10, 53), 0, "BMP file data offset not valid", 0},
      {with_long(good, 10, INT_MIN), 0, "BMP file data offset not valid", 0},
      {with_long(good, 10, (int)good.size() + 1), 0,
       "BMP file shorter than its image data", 0},
      {with_long(good, 18, INT_MIN), 0, "BMP file width not valid", 0},
      {with_long(with_long(good, 18, 65536), 22, 65536), 0,
       "BMP file image too large: 65536 x 65536 pixels", 0},
      {with_long(good, 22, INT_MAX), 0,
       "BMP file image too large: 8 x 2147483647 pixels", 0},
      {with_word(good, 28, 0x0108), 0, "BMP file not 8 bits/pixel", 0},
      {with_word(good, 28, 24), 1, "BMP file not 8 bits/pixel", 0},
      // odd heights with interlace: the top row is left out
      {with_long(good, 22, 1), 1, nullptr, 0},
      {with_long(good, 22, 3), 1, nullptr, 1},
      {with_long(good, 22, 5), 1, nullptr, 2},
      {with_long(good, 22, -3), 1, nullptr, -1},
      {with_long(good, 22, INT_MIN), 1, nullptr, INT_MIN / 2},
  };
  for (const Expect &c : cases) {
    write_file(path, c.data);
    Outcome o = read_checked(path, 0, 0, c.interlace, largest_, "specific");
    if (c.error) {
      EXPECT_EQ(-1, o.rc) << c.error;
      EXPECT_EQ(c.error, o.error);
    } else {
      EXPECT_EQ(0, o.rc) << o.error;
      EXPECT_EQ(8, o.w);
      EXPECT_EQ(c.h, o.h);
    }
  }
}

TEST_F(BadBmp, OddInterlacedVgaIsCutTo480IntoAnExactBuffer) {
  // 971 rows: halves of 485, cut to 480 as a 485-row file would be
  Bytes im = test_image(640, 971, 1);
  std::string path = dir_.file("vga.bmp");
  write_file(path, grey_file(640, 971, im));
  Buffer exact(2 * 640 * 480);
  Outcome o = read_checked(path, 640, 480, 1, exact, "640x971");
  ASSERT_EQ(0, o.rc) << o.error;
  // the file's first rows are the image's last: the bottom 960 rows
  // split in pairs, the upper row of each pair into the first image
  for (int y : {0, 239, 479}) {
    EXPECT_EQ(0, memcmp(exact.data() + y * 640, &im[(11 + 2 * y) * 640], 640))
        << y;
    EXPECT_EQ(0, memcmp(exact.data() + (480 + y) * 640,
                        &im[(12 + 2 * y) * 640], 640))
        << y;
  }
  // the adjusted height is what the caller must ask for
  Buffer other(2 * 640 * 485);
  o = read_checked(path, 640, 485, 1, other, "640x971 asking 485");
  EXPECT_EQ("BMP file heights not consistent", o.error);
}

TEST_F(BadBmp, NoFileAtAllLeavesEverything) {
  Buffer exact(48);
  Outcome o = read_checked(dir_.file("none.bmp"), 8, 6, 0, exact, "missing");
  EXPECT_EQ("Can't open file", o.error);
  EXPECT_EQ(8, o.w);
  EXPECT_EQ(6, o.h);
  EXPECT_EQ(exact.size(), exact.changed_from(0));
}

} // namespace
