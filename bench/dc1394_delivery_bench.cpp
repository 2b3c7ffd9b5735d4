// Frame delivery on the libdc1394 bus against a memcpy of the frame, in the
// same run. Run on the emulated FireWire bus (scripts/with-emulated-bus).
// Each iteration waits (ReadyImage) until a frame has arrived, then times
// GetImage handing it over and a memcpy of the frame it returned. Native
// formats come straight from the DMA ring: goal at most 0.1 of the copy.
// Converted ones (YUV422 to RGB24) are shown for comparison. The cost of
// libdc1394's own dequeue and enqueue of a frame on the same bus (the least
// any library over it can spend) is measured alone as a second baseline.
#include <benchmark/benchmark.h>
#include <dc1394/dc1394.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcam.h"

namespace {

// the thread's CPU time: a shared, loaded machine preempting the thread
// between two readings must not count as delivery time
double now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// camera 0 sends RGB8, camera 1 colour only as YUV
const char *kBus = R"({"bus_speed": 800, "cameras": [
  {"name": "Native", "chip_id": "n", "color": true},
  {"name": "Yuv", "chip_id": "y", "color": true, "rgb8": false, "format7": false}]})";

dCamera *camera(int n) {
  static bool opened = false;
  if (!opened) {
    char path[] = "/tmp/dc1394-bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, kBus, strlen(kBus)) != (ssize_t)strlen(kBus)) return nullptr;
    close(fd);
    setenv("VIRIZEDA_SIM_CONFIG", path, 1);  // read by the emulated bus
    setenv("VIRIZEDA_BUS", "1394", 1);
    dSysInit();
    unlink(path);
    opened = true;
  }
  return dSys ? dSys->InitCamera(n) : nullptr;
}

void BM_Deliver(benchmark::State &st) {
  int cam = (int)st.range(0);
  dISIZE size = (dISIZE)st.range(1);
  dITYPE type = (dITYPE)st.range(2);
  dCamera *c = camera(cam);
  dISPEED speed = size == S_1280x960 ? S_15 : S_30;
  if (!c || !c->SetFormat(size, type, speed, 1, false) || !c->Start()) {
    st.SkipWithError(c ? c->error : "no camera on the libdc1394 bus");
    return;
  }
  int w = size == S_1280x960 ? 1280 : 640, h = w * 3 / 4;
  size_t bytes = (size_t)w * h * (type == S_RGB24 ? 3 : 1);
  std::vector<unsigned char> copy(bytes);
  unsigned char *img = nullptr;
  c->GetImage(&img, 1000, nullptr, nullptr);
  double give = 0, base = 0;
  for (auto _ : st) {
    if (!c->ReadyImage(1000)) {
      st.SkipWithError("no frame");
      break;
    }
    double t0 = now_ns();
    bool ok = c->GetImage(&img, 0, nullptr, nullptr);
    double t1 = now_ns();
    memcpy(copy.data(), img, bytes);
    double t2 = now_ns();
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
    if (!ok) {
      st.SkipWithError("frame not delivered");
      break;
    }
    give += t1 - t0;
    base += t2 - t1;
  }
  c->Stop();
  double n = (double)st.iterations();
  st.counters["deliver_us"] = give / n / 1000;
  st.counters["memcpy_us"] = base / n / 1000;
  st.counters["ratio"] = base > 0 ? give / base : 0;
}

// libdc1394 alone: the frame that arrived dequeued (with a look for a newer
// one), the one before given back.
void BM_Libdc1394Only(benchmark::State &st) {
  if (!camera(0)) {
    st.SkipWithError("no camera on the libdc1394 bus");
    return;
  }
  dc1394_t *d = dc1394_new();
  dc1394camera_list_t *list = nullptr;
  dc1394camera_t *cam = nullptr;
  if (d && dc1394_camera_enumerate(d, &list) == DC1394_SUCCESS && list && list->num)
    cam = dc1394_camera_new(d, list->ids[0].guid);
  if (list) dc1394_camera_free_list(list);
  dc1394video_mode_t mode = (dc1394video_mode_t)st.range(0);
  dc1394framerate_t rate = mode == DC1394_VIDEO_MODE_1280x960_RGB8 ? DC1394_FRAMERATE_15
                                                                   : DC1394_FRAMERATE_30;
  if (cam && mode == DC1394_VIDEO_MODE_1280x960_RGB8) {  // S800, as our device sets it
    dc1394_video_set_operation_mode(cam, DC1394_OPERATION_MODE_1394B);
    dc1394_video_set_iso_speed(cam, DC1394_ISO_SPEED_800);
  }
  if (!cam || dc1394_video_set_mode(cam, mode) != DC1394_SUCCESS ||
      dc1394_video_set_framerate(cam, rate) != DC1394_SUCCESS ||
      dc1394_capture_setup(cam, 16, DC1394_CAPTURE_FLAGS_DEFAULT) != DC1394_SUCCESS) {
    st.SkipWithError("libdc1394 cannot capture");
    if (cam) dc1394_camera_free(cam);
    if (d) dc1394_free(d);
    return;
  }
  dc1394_video_set_transmission(cam, DC1394_ON);
  int fd = dc1394_capture_get_fileno(cam);
  dc1394video_frame_t *held = nullptr;
  double t = 0;
  for (auto _ : st) {
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, 1000);
    double t0 = now_ns();
    dc1394video_frame_t *f = nullptr, *g = nullptr;
    dc1394_capture_dequeue(cam, DC1394_CAPTURE_POLICY_POLL, &f);
    dc1394_capture_dequeue(cam, DC1394_CAPTURE_POLICY_POLL, &g);
    if (held) dc1394_capture_enqueue(cam, held);
    held = g ? g : f;
    if (g && f) dc1394_capture_enqueue(cam, f);
    t += now_ns() - t0;
  }
  dc1394_video_set_transmission(cam, DC1394_OFF);
  dc1394_capture_stop(cam);
  dc1394_camera_free(cam);
  dc1394_free(d);
  st.counters["dequeue_enqueue_us"] = t / (double)st.iterations() / 1000;
}

}  // namespace

BENCHMARK(BM_Libdc1394Only)
    ->ArgName("mode")
    ->Arg(DC1394_VIDEO_MODE_640x480_RGB8)
    ->Arg(DC1394_VIDEO_MODE_640x480_MONO8)
    ->Arg(DC1394_VIDEO_MODE_1280x960_RGB8)
    ->Iterations(30)
    ->Unit(benchmark::kMicrosecond);
// 30 frames each, a second or two of stream
BENCHMARK(BM_Deliver)
    ->ArgNames({"cam", "size", "type"})
    ->Args({0, S_640x480, S_RGB24})
    ->Args({0, S_640x480, S_MONO})
    ->Args({0, S_1280x960, S_RGB24})
    ->Args({1, S_640x480, S_RGB24})
    ->Iterations(30)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
