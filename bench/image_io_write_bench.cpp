// The BMP writers against a single write() of the same number of bytes to
// the same directory; prints each writer's time as a ratio of its baseline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "image_io.h"

static std::string dir;

// A file truncated on close makes ext4 start writing it to disk at once;
// removing it untimed keeps both sides to the page cache.
static void remove_untimed(benchmark::State &state, const std::string &name) {
  state.PauseTiming();
  unlink(name.c_str());
  state.ResumeTiming();
}

static void writer(benchmark::State &state, bool color, int w, int h,
                   double gam) {
  std::vector<unsigned char> im((size_t)w * h * (color ? 3 : 1));
  for (size_t i = 0; i < im.size(); i++) im[i] = (unsigned char)(i * 7);
  std::string name = dir + "/w.bmp";
  for (auto _ : state) {
    remove_untimed(state, name);
    int rc = color ? write_color_bmp(name.c_str(), im.data(), w, h, gam)
                   : write_bmp(name.c_str(), im.data(), w, h, gam);
    if (rc) state.SkipWithError(imageError);
  }
  state.SetBytesProcessed(state.iterations() * im.size());
}

// The physical floor: create or truncate, one write, close.
static void single_write(benchmark::State &state, size_t bytes) {
  std::vector<unsigned char> data(bytes, 0x5a);
  std::string name = dir + "/base.bmp";
  for (auto _ : state) {
    remove_untimed(state, name);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, data.data(), bytes) != (ssize_t)bytes || close(fd))
      state.SkipWithError("baseline write failed");
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

// Keeps each benchmark's time per iteration (the median when repeated)
// so that the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> times;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Iteration)
        times[r.run_name.str()] = r.GetAdjustedRealTime();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        times[r.run_name.str()] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

struct Case {
  std::string name, baseline;
  double goal;
};

static std::vector<Case> register_all() {
  std::vector<Case> cases;
  const int sizes[][2] = {{640, 480}, {1280, 960}};
  for (auto &s : sizes) {
    int w = s[0], h = s[1];
    std::string size = std::to_string(w) + "x" + std::to_string(h);
    size_t grey = (size_t)w * h + 1078, color = (size_t)w * h * 3 + 54;
    std::string gb = "single_write/" + std::to_string(grey);
    std::string cb = "single_write/" + std::to_string(color);
    benchmark::RegisterBenchmark(gb.c_str(), single_write, grey);
    benchmark::RegisterBenchmark(cb.c_str(), single_write, color);
    for (double gam : {0.0, 0.6}) {
      std::string g = gam > 0 ? "/gamma0.6" : "/gamma0";
      std::string n1 = "write_bmp/" + size + g, n2 = "write_color_bmp/" + size + g;
      benchmark::RegisterBenchmark(n1.c_str(), writer, false, w, h, gam);
      benchmark::RegisterBenchmark(n2.c_str(), writer, true, w, h, gam);
      // colour files must swap every pixel, and with gamma look it up
      cases.push_back({n1, gb, 1.5});
      cases.push_back({n2, cb, gam > 0 ? 3.0 : 2.0});
    }
  }
  return cases;
}

int main(int argc, char **argv) {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/bmpbench.XXXXXX";
  if (!mkdtemp(&tmpl[0])) return perror("mkdtemp"), 1;
  dir = tmpl;
  std::vector<Case> cases = register_all();
  // page-cache timings wander: compare medians unless told otherwise
  std::vector<char *> args(argv, argv + argc);
  char reps[] = "--benchmark_repetitions=5", only[] =
      "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {reps, only});
  int n = args.size();
  benchmark::Initialize(&n, args.data());
  RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  printf("\nwriter time / single write of the same bytes:\n");
  for (const Case &c : cases)
    if (rep.times.count(c.name) && rep.times.count(c.baseline))
      printf("  %-34s %.2fx  (goal <= %.1f)\n", c.name.c_str(),
             rep.times[c.name] / rep.times[c.baseline], c.goal);
  unlink((dir + "/w.bmp").c_str());
  unlink((dir + "/base.bmp").c_str());
  rmdir(dir.c_str());
  return 0;
}
