// Our pixel conversions against libdc1394's own converters on the same
// frame, timed alternately in one run. Goal: ratio (ours / libdc1394) at
// most 1.0.
//
// Baselines:
//   YUV444/422/411 -> RGB24   dc1394_convert_to_RGB8 (same YUV2RGB formula)
//   Bayer -> RGB24            dc1394_bayer_decoding_8bit, BILINEAR (the method
//                             whose interior pixels ours reproduces)
//   RGB8 -> MONO              dc1394_convert_to_YUV422 from RGB8: libdc1394
//                             has no RGB8->MONO8; this is the call that makes
//                             the same luma
//   YUV -> MONO               dc1394_convert_to_YUV422 from the same coding:
//                             libdc1394 has no YUV->MONO8; this is the least
//                             it takes to get the Y bytes in one layout
#include <benchmark/benchmark.h>
#include <dc1394/conversions.h>
#include <stdlib.h>
#include <time.h>

#include <functional>
#include <vector>

#include "core/convert.h"

using namespace vz;

namespace {

double now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

enum Case { YUV444_RGB, YUV422_RGB, YUV411_RGB, YUV444_MONO, YUV422_MONO,
            YUV411_MONO, RGB_MONO, BAYER_RGGB, BAYER_GBRG };

struct Setup {
  iidc::Coding from;
  iidc::Filter filter;
  Pixels to;
  dc1394color_coding_t dc_from;
};

Setup setup(int c) {
  switch (c) {
    case YUV444_RGB: return {iidc::Coding::YUV444, iidc::Filter::NONE, Pixels::RGB24, DC1394_COLOR_CODING_YUV444};
    case YUV422_RGB: return {iidc::Coding::YUV422, iidc::Filter::NONE, Pixels::RGB24, DC1394_COLOR_CODING_YUV422};
    case YUV411_RGB: return {iidc::Coding::YUV411, iidc::Filter::NONE, Pixels::RGB24, DC1394_COLOR_CODING_YUV411};
    case YUV444_MONO: return {iidc::Coding::YUV444, iidc::Filter::NONE, Pixels::MONO, DC1394_COLOR_CODING_YUV444};
    case YUV422_MONO: return {iidc::Coding::YUV422, iidc::Filter::NONE, Pixels::MONO, DC1394_COLOR_CODING_YUV422};
    case YUV411_MONO: return {iidc::Coding::YUV411, iidc::Filter::NONE, Pixels::MONO, DC1394_COLOR_CODING_YUV411};
    case RGB_MONO: return {iidc::Coding::RGB8, iidc::Filter::NONE, Pixels::MONO, DC1394_COLOR_CODING_RGB8};
    case BAYER_RGGB: return {iidc::Coding::RAW8, iidc::Filter::RGGB, Pixels::RGB24, DC1394_COLOR_CODING_RAW8};
    default: return {iidc::Coding::RAW8, iidc::Filter::GBRG, Pixels::RGB24, DC1394_COLOR_CODING_RAW8};
  }
}

void theirs(const Setup &s, uint8_t *src, uint8_t *dst, int w, int h) {
  if (s.from == iidc::Coding::RAW8) {
    dc1394_bayer_decoding_8bit(src, dst, w, h,
                               s.filter == iidc::Filter::RGGB ? DC1394_COLOR_FILTER_RGGB
                                                        : DC1394_COLOR_FILTER_GBRG,
                               DC1394_BAYER_METHOD_BILINEAR);
  } else if (s.to == Pixels::RGB24) {
    dc1394_convert_to_RGB8(src, dst, w, h, DC1394_BYTE_ORDER_UYVY, s.dc_from, 8);
  } else {
    dc1394_convert_to_YUV422(src, dst, w, h, DC1394_BYTE_ORDER_UYVY, s.dc_from, 8);
  }
}

void BM_Convert(benchmark::State &st) {
  Setup s = setup((int)st.range(0));
  int w = (int)st.range(1), h = w * 3 / 4;
  size_t n = (size_t)w * h;
  std::vector<uint8_t> src(coding_bytes(s.from, n)), ours(3 * n), base(3 * n);
  unsigned seed = 1;
  for (auto &b : src) b = (uint8_t)(rand_r(&seed) >> 7);
  double t_ours = 0, t_base = 0;
  for (auto _ : st) {
    double t0 = now_ns();
    convert(s.from, s.filter, s.to, src.data(), ours.data(), w, h);
    double t1 = now_ns();
    theirs(s, src.data(), base.data(), w, h);
    double t2 = now_ns();
    benchmark::DoNotOptimize(ours.data());
    benchmark::DoNotOptimize(base.data());
    benchmark::ClobberMemory();
    t_ours += t1 - t0;
    t_base += t2 - t1;
  }
  double it = (double)st.iterations();
  st.counters["ours_us"] = t_ours / it / 1000;
  st.counters["dc1394_us"] = t_base / it / 1000;
  st.counters["ratio"] = t_base > 0 ? t_ours / t_base : 0;
}

void cases(benchmark::internal::Benchmark *b) {
  b->ArgNames({"case", "width"});
  for (int w : {640, 1280})
    for (int c = YUV444_RGB; c <= BAYER_GBRG; ++c) b->Args({c, w});
}

}  // namespace

BENCHMARK(BM_Convert)->Apply(cases)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
