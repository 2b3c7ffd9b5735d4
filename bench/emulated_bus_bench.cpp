// The emulated FireWire bus under libdc1394; run through
// scripts/with-emulated-bus (bench/run-all does).
//   BM_Deliver: the emulator's cost to put one frame into a queued buffer
//   (making it, packet headers, the interrupt event) against a memcpy of
//   the frame into that same buffer, in the same run. Goal: at most 2x.
//   make_us is what the simulated device alone takes to make the frame (the
//   same device in process, into a ring of 8 frames as the capture's),
//   bus_ratio what the bus adds to that, against the memcpy.
//   BM_Capture: libdc1394 capturing for 10 s at the camera's own pace on
//   the S800 bus; every frame must arrive (drops 0, sequence gaps 0).
#include <benchmark/benchmark.h>
#include <dc1394/dc1394.h>
#include <dlfcn.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "devices/sim/scene.h"
#include "devices/sim/sim_device.h"
#include "emulated_bus.h"

namespace {

double now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

template <typename F>
F hook(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

// The stereo colour camera (node 0) at S800 in this mode and rate,
// capturing into n buffers.
dc1394camera_t *start(dc1394_t **d, dc1394video_mode_t mode,
                      dc1394framerate_t rate, int buffers) {
  *d = dc1394_new();
  dc1394camera_list_t *list = nullptr;
  if (!*d || dc1394_camera_enumerate(*d, &list) != DC1394_SUCCESS || list->num < 1)
    return nullptr;
  dc1394camera_t *c = dc1394_camera_new(*d, list->ids[0].guid);
  dc1394_camera_free_list(list);
  if (!c) return nullptr;
  dc1394_video_set_operation_mode(c, DC1394_OPERATION_MODE_1394B);
  if (dc1394_video_set_iso_speed(c, DC1394_ISO_SPEED_800) != DC1394_SUCCESS ||
      dc1394_video_set_mode(c, mode) != DC1394_SUCCESS ||
      dc1394_video_set_framerate(c, rate) != DC1394_SUCCESS ||
      dc1394_capture_setup(c, buffers, DC1394_CAPTURE_FLAGS_DEFAULT) != DC1394_SUCCESS ||
      dc1394_video_set_transmission(c, DC1394_ON) != DC1394_SUCCESS) {
    dc1394_camera_free(c);
    return nullptr;
  }
  return c;
}

void finish(dc1394_t *d, dc1394camera_t *c) {
  if (c) {
    dc1394_video_set_transmission(c, DC1394_OFF);
    dc1394_capture_stop(c);
    dc1394_camera_free(c);
  }
  if (d) dc1394_free(d);
}

void BM_Deliver(benchmark::State &st) {
  auto send = hook<int (*)(int)>("virizeda_emu_send_frame");
  if (!send) {
    st.SkipWithError("not on the emulated bus: run through scripts/with-emulated-bus");
    return;
  }
  dc1394_t *d = nullptr;
  // the slowest rate, so the bus's own pace hardly takes a buffer
  dc1394camera_t *c = start(&d, (dc1394video_mode_t)st.range(0),
                            DC1394_FRAMERATE_3_75, 8);
  if (!c) {
    st.SkipWithError("camera not started");
    finish(d, c);
    return;
  }
  // the same camera in process, for the cost of making the frame alone
  BusConfig conf;
  std::vector<std::unique_ptr<vz::SimDevice>> devs;
  std::string why;
  vz::sim_bus_devices(&conf, &devs, &why);
  for (uint32_t off : {0x608u, 0x604u, 0x600u}) {
    uint32_t v = 0;
    dc1394_get_control_registers(c, off, &v, 1);
    if (!devs.empty()) devs[0]->write_quadlet(0xF0F00000u + off, v);
  }
  // made into a ring of as many buffers as the capture has, so that both
  // write to memory as far from the cache
  std::vector<unsigned char> copy;
  std::vector<std::vector<unsigned char>> made(devs.empty() ? 0 : 8);
  for (auto &m : made) m.resize(devs[0]->frame_bytes(), 1);
  double emu = 0, base = 0, make = 0;
  long frames = 0;
  for (auto _ : st) {
    double t0 = now_ns();
    send(0);
    double t1 = now_ns();
    dc1394video_frame_t *f = nullptr;
    dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_POLL, &f);
    if (!f) continue;
    if (copy.size() != f->image_bytes) copy.assign(f->image, f->image + f->image_bytes);
    double t2 = now_ns();
    memcpy(f->image, copy.data(), f->image_bytes);   // into the same ring slot
    double t3 = now_ns();
    benchmark::DoNotOptimize(f->image);
    benchmark::ClobberMemory();
    dc1394_capture_enqueue(c, f);
    double t4 = now_ns();
    if (!made.empty()) devs[0]->render((uint64_t)frames, made[frames % 8].data());
    double t5 = now_ns();
    emu += t1 - t0;
    base += t3 - t2;
    make += t5 - t4;
    frames++;
  }
  finish(d, c);
  if (!frames) return;
  st.counters["deliver_us"] = emu / frames / 1000;
  st.counters["memcpy_us"] = base / frames / 1000;
  st.counters["make_us"] = make / frames / 1000;
  st.counters["ratio"] = base > 0 ? emu / base : 0;
  st.counters["bus_ratio"] = base > 0 ? (emu - make) / base : 0;
  st.SetBytesProcessed((int64_t)(frames * copy.size()));
}

void BM_Capture(benchmark::State &st) {
  auto stats = hook<int (*)(int, unsigned long long *, unsigned long long *,
                             unsigned long long *)>("virizeda_emu_stats");
  if (!stats) {
    st.SkipWithError("not on the emulated bus: run through scripts/with-emulated-bus");
    return;
  }
  dc1394video_mode_t mode = (dc1394video_mode_t)st.range(0);
  dc1394framerate_t rate = (dc1394framerate_t)st.range(1);
  int width = mode == DC1394_VIDEO_MODE_640x480_MONO8 ? 640 : 1280;
  int bpp = mode == DC1394_VIDEO_MODE_640x480_MONO8 ? 1 : 3;
  for (auto _ : st) {
    dc1394_t *d = nullptr;
    dc1394camera_t *c = start(&d, mode, rate, 8);
    if (!c) {
      st.SkipWithError("camera not started");
      finish(d, c);
      return;
    }
    unsigned long long sent0 = 0, dropped0 = 0;
    stats(0, &sent0, nullptr, &dropped0);
    double t0 = now_ns();
    long frames = 0, gaps = 0;
    int last = -1;
    while (now_ns() - t0 < 10e9) {
      dc1394video_frame_t *f = nullptr;
      if (dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f) != DC1394_SUCCESS || !f)
        break;
      int code = vz_barcode_read(f->image, width, bpp);
      if (last >= 0 && code != ((last + 1) & 0xffff)) gaps++;
      last = code;
      frames++;
      dc1394_capture_enqueue(c, f);
    }
    double secs = (now_ns() - t0) / 1e9;
    unsigned long long sent = 0, dropped = 0;
    stats(0, &sent, nullptr, &dropped);
    finish(d, c);
    st.counters["frames"] = (double)frames;
    st.counters["fps"] = frames / secs;
    st.counters["dropped"] = (double)(dropped - dropped0);
    st.counters["seq_gaps"] = (double)gaps;
  }
}

}  // namespace

BENCHMARK(BM_Deliver)
    ->ArgName("mode")
    ->Arg(DC1394_VIDEO_MODE_1280x960_RGB8)
    ->Arg(DC1394_VIDEO_MODE_1280x960_MONO8)
    ->Arg(DC1394_VIDEO_MODE_640x480_YUV422)
    ->Arg(DC1394_VIDEO_MODE_640x480_MONO8);
BENCHMARK(BM_Capture)
    ->ArgNames({"mode", "rate"})
    ->Args({DC1394_VIDEO_MODE_1280x960_RGB8, DC1394_FRAMERATE_15})
    ->Args({DC1394_VIDEO_MODE_640x480_MONO8, DC1394_FRAMERATE_60})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
