// The 8-bit BMP reader: accepted files, interlace, and every refusal.
#include <gtest/gtest.h>

#include "image_io.h"
#include "image_io_util.h"
#include "test_support.h"

namespace {

struct ReadResult {
  int rc, w, h;
  std::string error;
  Bytes out;
};

// Reads with the given requirements into a buffer of the largest size the
// reader may fill, marked so that untouched bytes show.
ReadResult read_back(const std::string &name, int w, int h, int interlace = 0) {
  ReadResult r{0, w, h, "", Bytes(BMP_MAX_FILE_SIZE, 0xee)};
  imageError = (char *)"unchanged";
  r.rc = read_bmp(name.c_str(), r.out.data(), &r.w, &r.h, interlace);
  r.error = imageError;
  return r;
}

Bytes rows(const Bytes &im, int w, int from, int count) {
  return Bytes(im.begin() + (size_t)from * w, im.begin() + (size_t)(from + count) * w);
}

class BmpRead : public testing::Test {
 protected:
  std::string put(const std::string &data, const char *n = "t.bmp") {
    write_file(dir.file(n), data);
    return dir.file(n);
  }
  TempDir dir;
};

TEST_F(BmpRead, RoundTripsOwnFiles) {
  for (auto wh : {std::pair<int, int>{1280, 960}, {6, 5}}) {
    Bytes im = test_image(wh.first, wh.second, 1);
    std::string name = dir.file("own.bmp");
    ASSERT_EQ(write_bmp(name.c_str(), im.data(), wh.first, wh.second, 0.6), 0);
    EXPECT_EQ(read_file(name).size(), 1078 + im.size()); // 1,229,878 at 1280x960
    ReadResult r = read_back(name, wh.first, 0);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.error, "unchanged"); // success leaves the message alone
    EXPECT_EQ(r.h, wh.second);
    EXPECT_EQ(rows(r.out, r.w, 0, r.h), im);
    EXPECT_EQ(r.out[im.size()], 0xee);
  }
}

TEST_F(BmpRead, Vga485DeliversBottom480Rows) {
  Bytes im = test_image(640, 485, 1);
  ReadResult r = read_back(put(grey_file(640, 485, im)), 0, 0);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.w, 640);
  EXPECT_EQ(r.h, 480);
  EXPECT_EQ(rows(r.out, 640, 0, 480), rows(im, 640, 5, 480));
  EXPECT_EQ(read_back(put(grey_file(640, 485, im)), 0, 485).error,
            "BMP file heights not consistent");
}

TEST_F(BmpRead, InterlaceSplitsEvenAndOddRows) {
  Bytes im = test_image(640, 960, 1);
  ReadResult r = read_back(put(grey_file(640, 960, im)), 640, 480, 1);
  ASSERT_EQ(r.rc, 0) << r.error;
  for (int y = 0; y < 480; y++) {
    ASSERT_EQ(rows(r.out, 640, y, 1), rows(im, 640, 2 * y, 1)) << y;
    ASSERT_EQ(rows(r.out, 640, 480 + y, 1), rows(im, 640, 2 * y + 1, 1)) << y;
  }
  // odd height: pairs from the bottom, the top row left out
  Bytes odd = test_image(4, 5, 1);
  r = read_back(put(grey_file(4, 5, odd)), 0, 0, 1);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.h, 2);
  Bytes want = rows(odd, 4, 1, 1);
  for (int y : {3, 2, 4}) {
    Bytes row = rows(odd, 4, y, 1);
    want.insert(want.end(), row.begin(), row.end());
  }
  EXPECT_EQ(rows(r.out, 4, 0, 4), want);
  EXPECT_EQ(r.out[16], 0xee);
}

TEST_F(BmpRead, RequirementsNotMetLeaveSizeAlone) {
  std::string name = put(grey_file(640, 480, test_image(640, 480, 1)));
  ReadResult r = read_back(name, 320, 0);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.error, "BMP file widths not consistent");
  EXPECT_EQ(r.w, 320);
  EXPECT_EQ(r.h, 0);
  r = read_back(name, 0, 240);
  EXPECT_EQ(r.error, "BMP file heights not consistent");
  EXPECT_EQ(r.w, 0);
  EXPECT_EQ(r.h, 240);
}

TEST_F(BmpRead, ColourFileRefusedAfterSizeStored) {
  std::string name = dir.file("c.bmp");
  Bytes im = test_image(8, 6, 3);
  ASSERT_EQ(write_color_bmp(name.c_str(), im.data(), 8, 6, 0), 0);
  ReadResult r = read_back(name, 0, 0);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.error, "BMP file not 8 bits/pixel");
  EXPECT_EQ(r.w, 8);
  EXPECT_EQ(r.h, 6);
  EXPECT_EQ(r.out[0], 0xee);
}

TEST_F(BmpRead, NegativeHeightReadsNoRows) {
  std::string f = grey_file(8, 2, test_image(8, 2, 1));
  put_long(f, 22, -2);
  ReadResult r = read_back(put(f), 0, 0);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.w, 8);
  EXPECT_EQ(r.h, -2);
  EXPECT_EQ(r.out[0], 0xee);
}

TEST_F(BmpRead, SizeLimit) {
  std::string f = grey_file(4, 2, test_image(4, 2, 1));
  put_long(f, 2, 1400001);
  ReadResult r = read_back(put(f), 0, 0);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.error, "BMP file too large: size is 1400001 bytes");
  EXPECT_EQ(imageError, read_ret);

  // a size field that lies: the rows themselves must fit the limit
  put_long(f, 2, 1000);
  put_long(f, 18, 2000);
  put_long(f, 22, 1000);
  r = read_back(put(f), 0, 0);
  EXPECT_EQ(r.error, "BMP file image too large: 2000 x 1000 pixels");
  EXPECT_EQ(r.w, 0);

  // exactly at the limit is read; one more row is not
  std::string big = grey_file(2, 699973, Bytes(2 * 699973, 7));
  put_long(big, 10, 54);
  put_long(big, 2, 1400000);
  big.erase(54, 1024);
  ASSERT_EQ(big.size(), 1400000u);
  r = read_back(put(big), 0, 0);
  EXPECT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.out[1399945], 7);
  EXPECT_EQ(r.out[1399946], 0xee);
  put_long(big, 22, 699974);
  EXPECT_EQ(read_back(put(big), 0, 0).error,
            "BMP file image too large: 2 x 699974 pixels");
}

TEST_F(BmpRead, RefusedFiles) {
  std::string good = grey_file(8, 4, test_image(8, 4, 1));
  auto with = [&](int off, int v) {
    std::string f = good;
    put_long(f, off, v);
    return f;
  };
  struct Case {
    std::string data;
    const char *error;
  } cases[] = {
      {"", "Not a BMP file"},
      {"B", "Not a BMP file"},
      {"PK" + good.substr(2), "Not a BMP file"},
      {good.substr(0, 53), "BMP file shorter than its header"},
      {with(10, 53), "BMP file data offset not valid"},
      {with(10, -1), "BMP file data offset not valid"},
      {with(10, 1400001), "BMP file data offset not valid"},
      {with(18, 0), "BMP file width not valid"},
      {with(18, -8), "BMP file width not valid"},
      {good.substr(0, good.size() - 1), "BMP file shorter than its image data"},
      {good.substr(0, 1000), "BMP file shorter than its image data"},
  };
  for (auto &c : cases) {
    ReadResult r = read_back(put(c.data), 0, 0);
    EXPECT_EQ(r.rc, -1) << c.error;
    EXPECT_EQ(r.error, c.error) << c.data.size();
  }
  EXPECT_EQ(read_back(dir.file("missing.bmp"), 0, 0).error, "Can't open file");
  EXPECT_EQ(read_back(dir.path(), 0, 0).error, "Can't read file");
  int w = 0, h = 0;
  EXPECT_EQ(read_bmp(put(good).c_str(), nullptr, &w, &h, 0), -1);
  EXPECT_STREQ(imageError, "No buffer given for the image");
}

} // namespace
