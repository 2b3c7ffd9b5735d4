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

#include <chrono>
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

static double now() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The baseline: the displayed pixels, already reduced and contiguous.
static void plain_draw(const std::vector<unsigned char> &px, int bpp) {
  if (bpp == 3)
    fl_draw_image(px.data(), 0, 0, 320, 240, 3, 320 * 3);
  else
    fl_draw_image_mono(px.data(), 0, 0, 320, 240, 1, 320);
  XSync(fl_display, False);
}

// args: width, bytes per pixel, gamma in hundredths. Each iteration draws
// the baseline and then the frame, so both meet the same load; the time
// reported is the frame's, the counter "ratio" frame over baseline.
static void BM_DisplayImage(benchmark::State &state) {
  int w = (int)state.range(0), h = w * 3 / 4, bpp = (int)state.range(1);
  double gam = state.range(2) / 100.0;
  auto px = frame(w, h, bpp);
  auto reduced = frame(320, 240, bpp);
  dw->displayGamma = gam;
  double base = 0, shown = 0;
  for (auto _ : state) {
    double t0 = now();
    dw->make_current();
    plain_draw(reduced, bpp);
    double t1 = now();
    dw->DisplayImage(px.data(), w, h, w, bpp == 3 ? S_RGB24 : S_MONO, 1, gam, 0, 0);
    XSync(fl_display, False);
    double t2 = now();
    base += t1 - t0;
    shown += t2 - t1;
    state.SetIterationTime(t2 - t1);
  }
  dw->displayGamma = 0;
  state.counters["plain_us"] = benchmark::Counter(
      base * 1e6, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = base > 0 ? shown / base : 0;
}

BENCHMARK(BM_DisplayImage)
    ->ArgsProduct({{640, 1280}, {3, 1}, {0, 50}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Sums up the ratios (medians when repeated) against the goals.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      auto c = r.counters.find("ratio");
      if (c == r.counters.end()) continue;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      ratios[r.run_name.str()] = c->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    printf("\nratio to a plain fl_draw_image of the 320x240 displayed pixels\n"
           "(args: width/bytes per pixel/gamma x100; goal <=1.2 without "
           "gamma, <=1.6 with)\n");
    for (auto &r : ratios) printf("%-38s %5.2fx\n", r.first.c_str(), r.second);
  }
  std::map<std::string, double> ratios;
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
