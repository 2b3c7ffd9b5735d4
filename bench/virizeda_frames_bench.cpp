// Frame generation of the simulated cameras against a memcpy of the same
// frame in the same run. The goal is at most 2x the memcpy, so that the
// simulated bus never limits the programs.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "dcam.h"
#include "virizeda_sim.h"

namespace {

double now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

dCamera *camera(int n) {
  static bool opened = false;
  if (!opened) {
    // the default cameras: stereo colour, mono, Bayer
    unsetenv("VIRIZEDA_SIM_CONFIG");
    unsetenv("VIRIZEDA_SIM_STATE");
    dSysInit();
    opened = true;
  }
  return dSys ? dSys->InitCamera(n) : nullptr;
}

void BM_Frame(benchmark::State &st) {
  int cam = (int)st.range(0);
  dISIZE size = (dISIZE)st.range(1);
  dITYPE type = (dITYPE)st.range(2);
  dCamera *c = camera(cam);
  if (!c || !c->SetFormat(size, type, S_3, 1, false)) {
    st.SkipWithError("format refused");
    return;
  }
  static const int dims[][2] = {{640, 480}, {320, 240}, {160, 120},
                                {512, 384}, {1024, 768}, {1280, 960}};
  size_t bytes = (size_t)dims[size][0] * dims[size][1] * (type == S_RGB24 ? 3 : 1);
  std::vector<unsigned char> copy(bytes);
  unsigned seq = 0;
  vzsim::make_frame(c, seq++);  // prepared once per format, as in a stream
  double gen = 0, base = 0;
  for (auto _ : st) {
    double t0 = now_ns();
    unsigned char *f = vzsim::make_frame(c, seq++);
    double t1 = now_ns();
    memcpy(copy.data(), f, bytes);
    double t2 = now_ns();
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
    gen += t1 - t0;
    base += t2 - t1;
  }
  double n = (double)st.iterations();
  st.counters["make_us"] = gen / n / 1000;
  st.counters["memcpy_us"] = base / n / 1000;
  st.counters["ratio"] = base > 0 ? gen / base : 0;
  st.SetBytesProcessed((int64_t)(n * bytes));
}

void formats(benchmark::internal::Benchmark *b) {
  b->ArgNames({"cam", "size", "type"});
  for (int size : {S_1280x960, S_640x480, S_320x240, S_160x120}) {
    for (int type : {S_MONO, S_RGB24, S_BAYER}) b->Args({0, size, type});
    b->Args({1, size, S_MONO});
    b->Args({2, size, S_BAYER});
  }
}

}  // namespace

BENCHMARK(BM_Frame)->Apply(formats);
BENCHMARK_MAIN();
