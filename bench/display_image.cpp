// Cost of showing one camera frame in the 320x240 display, against a plain
// fl_draw_image of pixels already reduced and contiguous. Needs an X server
// (run under xvfb-run). Every iteration waits for the server (XSync), so its
// work is counted alike on both sides.
#include <benchmark/benchmark.h>
// after benchmark: the toolkit's X header brings X11's macros
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "flwin.h"

static Fl_Window *top;
static dcamWin *dw;

static std::vector<unsigned char> frame(int w, int h, int bpp) {
  std::vector<unsigned char> v((size_t)w * h * bpp);
  for (size_t i = 0; i < v.size(); i++) v[i] = (unsigned char)(i * 7 + i / 977);
  return v;
}

static void BM_PlainDraw(benchmark::State &state) {
  int bpp = (int)state.range(0);
  auto px = frame(320, 240, bpp);
  dw->make_current();
  for (auto _ : state) {
    if (bpp == 3)
      fl_draw_image(px.data(), 0, 0, 320, 240, 3, 320 * 3);
    else
      fl_draw_image_mono(px.data(), 0, 0, 320, 240, 1, 320);
    XSync(fl_display, False);
  }
}

// args: width, bytes per pixel, gamma in hundredths
static void BM_DisplayImage(benchmark::State &state) {
  int w = (int)state.range(0), h = w * 3 / 4, bpp = (int)state.range(1);
  double gam = state.range(2) / 100.0;
  auto px = frame(w, h, bpp);
  dw->displayGamma = gam;
  for (auto _ : state) {
    dw->DisplayImage(px.data(), w, h, w, bpp == 3 ? S_RGB24 : S_MONO, 1, gam, 0, 0);
    XSync(fl_display, False);
  }
  dw->displayGamma = 0;
}

BENCHMARK(BM_PlainDraw)->Arg(3)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DisplayImage)
    ->ArgsProduct({{640, 1280}, {3, 1}, {0, 50}})
    ->Unit(benchmark::kMicrosecond);

// Prints each DisplayImage figure as a ratio to the plain draw of the same
// pixel kind, measured in the same run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    // with repetitions the median stands for the benchmark
    for (const Run &r : runs) {
      std::string name = r.run_name.str();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medians[name] = r.GetAdjustedRealTime();
      else if (r.run_type == Run::RT_Iteration)
        times[name] = r.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (auto &m : medians) times[m.first] = m.second;
    printf("\nratio to plain fl_draw_image of 320x240 (goal: <=1.2 without "
           "gamma, <=1.6 with)\n");
    for (auto &t : times) {
      const std::string &name = t.first;
      if (name.rfind("BM_DisplayImage/", 0) != 0) continue;
      bool mono = name.find("/1/") != std::string::npos;
      auto base = times.find(mono ? "BM_PlainDraw/1" : "BM_PlainDraw/3");
      if (base == times.end() || base->second <= 0) continue;
      printf("%-32s %6.2fx\n", name.c_str(), t.second / base->second);
    }
  }
  std::map<std::string, double> times, medians;
};

int main(int argc, char **argv) {
  top = new Fl_Window(330, 250, "display bench");
  dw = new dcamWin(5, 5, 320, 240);
  top->end();
  top->show();
  for (int i = 0; i < 50 && !dw->visible(); i++) Fl::wait(0.05);
  for (int i = 0; i < 5; i++) Fl::wait(0.05);
  // the X server shares the machine: repeat, interleave, take medians
  std::vector<char *> args(argv, argv + argc);
  char reps[] = "--benchmark_repetitions=7";
  char aggr[] = "--benchmark_report_aggregates_only=true";
  char mix[] = "--benchmark_enable_random_interleaving=true";
  if (argc == 1) args.insert(args.end(), {reps, aggr, mix});
  int n = (int)args.size();
  benchmark::Initialize(&n, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
