// The recording step of capture (do_storage in live mode) against its
// physical baseline: a memcpy of the same frame into the same rotating
// 200 slots. Prints the ratio of CPU times (the machine may be shared);
// the goal is at most 1.1.
#include <benchmark/benchmark.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "fld.h"
#include "fldx.h"

namespace {

// Reports the format capture's recording reads the frame size from.
class BenchCamera : public dCamera {
 public:
  dISIZE size;
  dITYPE type;
  BenchCamera(dISIZE s, dITYPE t) : dCamera(nullptr, 0), size(s), type(t) {}
  dISIZE Size() override { return size; }
  dITYPE Type() override { return type; }
};

struct Format {
  dISIZE size;
  dITYPE type;
  const char *name;
};

const Format formats[] = {{S_640x480, S_RGB24, "640x480_rgb"},
                          {S_1280x960, S_RGB24, "1280x960_rgb"},
                          {S_640x480, S_MONO, "640x480_mono"}};

void memcpy_slots(benchmark::State &state, Format f) {
  cam_size = f.size;
  cam_type = f.type;
  set_size();
  std::vector<unsigned char> frame(im_size, 7);
  std::vector<std::vector<unsigned char>> slots(BUFFER_SLOTS,
                                                std::vector<unsigned char>(im_size));
  int i = 0;
  for (auto _ : state) {
    memcpy(slots[i].data(), frame.data(), im_size);
    benchmark::ClobberMemory();
    if (++i == BUFFER_SLOTS) i = 0;
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)im_size);
}

void record_slots(benchmark::State &state, Format f) {
  static fld *widgets = new fld();  // never shown; show_buffer updates it
  mainw = widgets;
  BenchCamera cam(f.size, f.type);
  dcam = &cam;
  cam_size = f.size;
  cam_type = f.type;
  set_size();
  std::vector<unsigned char> frame(im_size, 7);
  this_image = frame.data();
  acquire_type = 1;
  bufferNum = bufferCur = 0;
  storeFlag = true;
  // one pass fills the slots: the runs measure reuse, as after Clear
  for (int i = 0; i < BUFFER_SLOTS; i++) do_storage();
  for (auto _ : state) {
    if (!storeFlag) {  // full: start over as Clear then Record would
      bufferNum = bufferCur = 0;
      storeFlag = true;
    }
    do_storage();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)im_size);
  dcam = nullptr;
  storeFlag = false;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> times;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Iteration ||
          (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median"))
        times[r.run_name.str()] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::pair<std::string, std::string>> cases;
  for (const Format &f : formats) {
    std::string base = std::string("memcpy/") + f.name;
    std::string rec = std::string("do_storage/") + f.name;
    benchmark::RegisterBenchmark(base.c_str(), memcpy_slots, f);
    benchmark::RegisterBenchmark(rec.c_str(), record_slots, f);
    cases.push_back({rec, base});
  }
  std::vector<char *> args(argv, argv + argc);
  char reps[] = "--benchmark_repetitions=5",
       only[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {reps, only});
  int n = args.size();
  benchmark::Initialize(&n, args.data());
  RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  printf("\nrecording step / memcpy of the same frame (goal <= 1.1):\n");
  for (auto &c : cases)
    if (rep.times.count(c.first) && rep.times.count(c.second))
      printf("  %-26s %.2fx\n", c.first.c_str(),
             rep.times[c.first] / rep.times[c.second]);
  return 0;
}
