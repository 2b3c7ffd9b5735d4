// Pixel conversions: against the textbook colour equations, against
// libdc1394's own converters on the same frames, and at the frame edges.
#include <dc1394/conversions.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <vector>

#include "core/convert.h"

using namespace vz;

namespace {

std::vector<uint8_t> noise(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = (uint8_t)(rand_r(&seed) >> 7);
  return v;
}

int clamp255(double v) { return v < 0 ? 0 : v > 255 ? 255 : (int)std::lround(v); }

// Full-range YUV to RGB, the equations libdc1394's integer formula rounds.
void ref_rgb(int y, int u, int v, int out[3]) {
  out[0] = clamp255(y + 1.402 * (v - 128));
  out[1] = clamp255(y - 0.344 * (u - 128) - 0.714 * (v - 128));
  out[2] = clamp255(y + 1.772 * (u - 128));
}

dc1394color_coding_t dc_coding(iidc::Coding c) {
  switch (c) {
    case iidc::Coding::YUV444: return DC1394_COLOR_CODING_YUV444;
    case iidc::Coding::YUV422: return DC1394_COLOR_CODING_YUV422;
    default: return DC1394_COLOR_CODING_YUV411;
  }
}

dc1394color_filter_t dc_filter(iidc::Filter f) {
  switch (f) {
    case iidc::Filter::RGGB: return DC1394_COLOR_FILTER_RGGB;
    case iidc::Filter::GBRG: return DC1394_COLOR_FILTER_GBRG;
    case iidc::Filter::GRBG: return DC1394_COLOR_FILTER_GRBG;
    default: return DC1394_COLOR_FILTER_BGGR;
  }
}

// The colour a filter puts at (x, y): 0 red, 1 green, 2 blue.
int filter_colour(iidc::Filter f, int x, int y) {
  static const int tiles[4][4] = {
      {0, 1, 1, 2}, {1, 0, 2, 1}, {2, 1, 1, 0}, {1, 2, 0, 1}};
  int t = f == iidc::Filter::RGGB ? 0 : f == iidc::Filter::GRBG ? 1 : f == iidc::Filter::BGGR ? 2 : 3;
  return tiles[t][(y & 1) * 2 + (x & 1)];
}

const iidc::Filter kFilters[] = {iidc::Filter::RGGB, iidc::Filter::GRBG, iidc::Filter::BGGR, iidc::Filter::GBRG};

}  // namespace

TEST(ConvertYuv, EveryCodingFollowsTheColourEquations) {
  // one pixel group per (y, u, v) triple, extremes included
  const int vals[] = {0, 1, 16, 100, 128, 200, 235, 254, 255};
  for (iidc::Coding c : {iidc::Coding::YUV444, iidc::Coding::YUV422, iidc::Coding::YUV411}) {
    int g = yuv_group(c);
    for (int y : vals)
      for (int u : vals)
        for (int v : vals) {
          std::vector<uint8_t> src;
          if (c == iidc::Coding::YUV444) src = {(uint8_t)u, (uint8_t)y, (uint8_t)v};
          if (c == iidc::Coding::YUV422) src = {(uint8_t)u, (uint8_t)y, (uint8_t)v, (uint8_t)y};
          if (c == iidc::Coding::YUV411)
            src = {(uint8_t)u, (uint8_t)y, (uint8_t)y, (uint8_t)v, (uint8_t)y, (uint8_t)y};
          std::vector<uint8_t> rgb(3 * g), mono(g);
          ASSERT_TRUE(convert(c, iidc::Filter::NONE, Pixels::RGB24, src.data(), rgb.data(), g, 1));
          ASSERT_TRUE(convert(c, iidc::Filter::NONE, Pixels::MONO, src.data(), mono.data(), g, 1));
          int want[3];
          ref_rgb(y, u, v, want);
          for (int p = 0; p < g; ++p) {
            EXPECT_EQ(mono[p], y);
            for (int k = 0; k < 3; ++k)
              EXPECT_NEAR(rgb[3 * p + k], want[k], 1) << y << " " << u << " " << v;
          }
          if (u == 128 && v == 128) {  // grey stays grey, exactly
            for (int k = 0; k < 3; ++k) EXPECT_EQ(rgb[k], y);
          }
        }
  }
}

TEST(ConvertYuv, SameBytesAsLibdc1394AndLumaInPlace) {
  // 1280x960 and a size whose rows do not end on a chroma group
  for (auto wh : {std::pair<int, int>{1280, 960}, {6, 5}, {18, 2}})
    for (iidc::Coding c : {iidc::Coding::YUV444, iidc::Coding::YUV422, iidc::Coding::YUV411}) {
      int w = wh.first, h = wh.second;
      size_t n = (size_t)w * h;
      if (n % yuv_group(c)) continue;
      auto src = noise(coding_bytes(c, n), (unsigned)(n + (int)c));
      std::vector<uint8_t> ours(3 * n), theirs(3 * n), mono(n);
      ASSERT_TRUE(convert(c, iidc::Filter::NONE, Pixels::RGB24, src.data(), ours.data(), w, h));
      ASSERT_EQ(DC1394_SUCCESS,
                dc1394_convert_to_RGB8(src.data(), theirs.data(), w, h,
                                       DC1394_BYTE_ORDER_UYVY, dc_coding(c), 8));
      EXPECT_EQ(ours, theirs) << w << "x" << h << " coding " << (int)c;
      ASSERT_TRUE(convert(c, iidc::Filter::NONE, Pixels::MONO, src.data(), mono.data(), w, h));
      // the Y bytes in their places in UYV, UYVY and UYYVYY
      static const size_t y411[4] = {1, 2, 4, 5};
      for (size_t i = 0; i < n; ++i) {
        size_t at = c == iidc::Coding::YUV444 ? 3 * i + 1
                  : c == iidc::Coding::YUV422 ? 2 * i + 1
                  : 6 * (i / 4) + y411[i % 4];
        ASSERT_EQ(mono[i], src[at]) << "pixel " << i;
      }
    }
}

TEST(ConvertRgb, LumaFollowsTheEquationAndLibdc1394) {
  int w = 64, h = 3;
  size_t n = (size_t)w * h;
  auto src = noise(3 * n, 7);
  src[0] = src[1] = src[2] = 255;  // white must not wrap
  std::vector<uint8_t> mono(n), uyvy(2 * n);
  ASSERT_TRUE(convert(iidc::Coding::RGB8, iidc::Filter::NONE, Pixels::MONO, src.data(), mono.data(), w, h));
  ASSERT_EQ(DC1394_SUCCESS,
            dc1394_convert_to_YUV422(src.data(), uyvy.data(), w, h, DC1394_BYTE_ORDER_UYVY,
                                     DC1394_COLOR_CODING_RGB8, 8));
  EXPECT_EQ(mono[0], 255);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t *p = &src[3 * i];
    EXPECT_NEAR(mono[i], 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2], 1.0);
    EXPECT_EQ(mono[i], uyvy[2 * i + 1]) << "pixel " << i;
  }
}

TEST(ConvertBayer, FlatColourComesBackEverywhereIncludingEdges) {
  const int rgb[3] = {200, 90, 30};
  for (iidc::Filter f : kFilters)
    for (auto wh : {std::pair<int, int>{2, 2}, {3, 3}, {7, 5}, {8, 6}, {2, 9}}) {
      int w = wh.first, h = wh.second;
      std::vector<uint8_t> raw((size_t)w * h), out(3 * raw.size());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) raw[y * w + x] = (uint8_t)rgb[filter_colour(f, x, y)];
      ASSERT_TRUE(convert(iidc::Coding::RAW8, f, Pixels::RGB24, raw.data(), out.data(), w, h));
      for (size_t i = 0; i < raw.size(); ++i)
        for (int k = 0; k < 3; ++k)
          ASSERT_EQ(out[3 * i + k], rgb[k]) << "pixel " << i << " of " << w << "x" << h;
    }
}

TEST(ConvertBayer, InteriorMatchesLibdc1394BilinearAndEdgesMirror) {
  for (iidc::Filter f : kFilters)
    for (auto wh : {std::pair<int, int>{640, 480}, {9, 7}, {4, 4}}) {
      int w = wh.first, h = wh.second;
      auto raw = noise((size_t)w * h, (unsigned)(w + (int)f));
      std::vector<uint8_t> ours(3 * raw.size()), theirs(ours.size());
      ASSERT_TRUE(convert(iidc::Coding::MONO8, f, Pixels::RGB24, raw.data(), ours.data(), w, h));
      ASSERT_EQ(DC1394_SUCCESS,
                dc1394_bayer_decoding_8bit(raw.data(), theirs.data(), w, h, dc_filter(f),
                                           DC1394_BAYER_METHOD_BILINEAR));
      for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x)
          for (int k = 0; k < 3; ++k)
            ASSERT_EQ(ours[3 * (y * w + x) + k], theirs[3 * (y * w + x) + k])
                << x << "," << y << " filter " << (int)f;
      // every pixel keeps its own sample
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          ASSERT_EQ(ours[3 * (y * w + x) + filter_colour(f, x, y)], raw[y * w + x]);
    }
  // top-left corner of an RGGB mosaic: the missing neighbours are mirrored
  const uint8_t raw[16] = {10, 20, 30, 40,  //
                           50, 60, 70, 80,  //
                           11, 21, 31, 41,  //
                           51, 61, 71, 81};
  uint8_t out[48];
  ASSERT_TRUE(bayer_to_rgb(raw, out, 4, 4, iidc::Filter::RGGB));
  EXPECT_EQ(out[0], 10);                             // red site
  EXPECT_EQ(out[1], (50 + 50 + 20 + 20 + 2) >> 2);   // green from 4 edges
  EXPECT_EQ(out[2], 60);                             // blue from 4 corners
  // bottom-right corner (3,3) is blue; right edge (3,0) is green on a red row
  EXPECT_EQ(out[3 * 15 + 2], 81);
  EXPECT_EQ(out[3 * 15 + 0], (31 + 31 + 31 + 31 + 2) >> 2);
  EXPECT_EQ(out[3 * 3 + 0], (30 + 30 + 1) >> 1);
  EXPECT_EQ(out[3 * 3 + 2], (80 + 80 + 1) >> 1);
}

TEST(ConvertRefusals, NothingIsWrittenForAConversionThatDoesNotExist) {
  std::vector<uint8_t> src(64 * 3, 77), dst(64 * 3, 0xAB);
  const std::vector<uint8_t> untouched = dst;
  // native codings are not conversions; a mosaic needs its filter
  EXPECT_FALSE(convert(iidc::Coding::RGB8, iidc::Filter::NONE, Pixels::RGB24, src.data(), dst.data(), 8, 8));
  EXPECT_FALSE(convert(iidc::Coding::MONO8, iidc::Filter::NONE, Pixels::RGB24, src.data(), dst.data(), 8, 8));
  EXPECT_FALSE(convert(iidc::Coding::RAW8, iidc::Filter::RGGB, Pixels::MONO, src.data(), dst.data(), 8, 8));
  // frames that do not end on a whole chroma group, and empty frames
  EXPECT_FALSE(convert(iidc::Coding::YUV422, iidc::Filter::NONE, Pixels::RGB24, src.data(), dst.data(), 7, 3));
  EXPECT_FALSE(convert(iidc::Coding::YUV411, iidc::Filter::NONE, Pixels::MONO, src.data(), dst.data(), 3, 2));
  EXPECT_FALSE(convert(iidc::Coding::YUV444, iidc::Filter::NONE, Pixels::RGB24, src.data(), dst.data(), 0, 4));
  EXPECT_FALSE(convert(iidc::Coding::RAW8, iidc::Filter::BGGR, Pixels::RGB24, src.data(), dst.data(), 4, -1));
  EXPECT_EQ(dst, untouched);
  EXPECT_TRUE(can_convert(iidc::Coding::RAW8, iidc::Filter::GBRG, Pixels::RGB24));
  EXPECT_FALSE(can_convert(iidc::Coding::RGB8, iidc::Filter::NONE, Pixels::RGB24));
}
