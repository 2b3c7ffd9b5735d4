// Our BMP files against ImageMagick, which every image tool agrees with.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "image_io.h"
#include "image_io_util.h"
#include "test_support.h"

// The real ImageMagick, not whatever "convert" comes first on the path.
static const char kConvert[] = "/usr/bin/convert";

static std::string convert(const std::string &args) {
  std::string cmd = std::string(kConvert) + " " + args + " 2>&1";
  EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
  return cmd;
}

TEST(BmpMagick, ReadsOurGreyFilesThroughThePalette) {
  TempDir dir;
  Bytes im = test_image(64, 48, 1);
  std::string name = dir.file("g.bmp"), raw = dir.file("g.gray");
  ASSERT_EQ(write_bmp(name.c_str(), im.data(), 64, 48, 0.6), 0);
  convert(shell_quote(name) + " -depth 8 " + shell_quote("gray:" + raw));
  std::string px = read_file(raw);
  ASSERT_EQ(px.size(), im.size());
  for (size_t i = 0; i < im.size(); i++)
    ASSERT_EQ((unsigned char)px[i], im_gamma[im[i]]) << i;
}

TEST(BmpMagick, ReadsOurColourFilesThroughTheTable) {
  TempDir dir;
  for (int w : {37, 40}) { // padded and unpadded rows
    Bytes im = test_image(w, 21, 3);
    std::string name = dir.file("c.bmp"), raw = dir.file("c.rgb");
    ASSERT_EQ(write_color_bmp(name.c_str(), im.data(), w, 21, 0.6), 0);
    convert(shell_quote(name) + " -depth 8 " + shell_quote("rgb:" + raw));
    std::string px = read_file(raw);
    ASSERT_EQ(px.size(), im.size());
    for (size_t i = 0; i < im.size(); i++)
      ASSERT_EQ((unsigned char)px[i], im_gamma[im[i]]) << w << " " << i;
  }
}

TEST(BmpMagick, OurReaderTakesTheir8BitFiles) {
  TempDir dir;
  std::string name = dir.file("m.bmp"), raw = dir.file("m.gray");
  convert("-size 16x256 gradient: -type Palette -depth 8 -compress None " +
          shell_quote("BMP3:" + name));
  convert(shell_quote(name) + " -depth 8 " + shell_quote("gray:" + raw));
  std::string f = read_file(name), px = read_file(raw);
  ASSERT_EQ(field(f, 28, 2), 8);
  ASSERT_EQ(field(f, 30), 0);
  ASSERT_EQ(px.size(), 16u * 256);
  Bytes out(16 * 256);
  int w = 16, h = 256;
  ASSERT_EQ(read_bmp(name.c_str(), out.data(), &w, &h, 0), 0) << imageError;
  int offset = field(f, 14) + 14; // palette follows the information header
  for (size_t i = 0; i < out.size(); i++)
    ASSERT_EQ((unsigned char)f[offset + 4 * out[i] + 2], (unsigned char)px[i]) << i;
}
