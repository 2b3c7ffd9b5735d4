// GenICam frames over loopback from aravis's GigE Vision simulator, run in
// this process on 127.0.0.1 (nothing leaves loopback, nothing is
// discovered).
//
// BM_Stream: aravis alone pops and pushes the stream for 10 s, with the
// camera's packet size, aravis's automatic one or a fixed one, and with the
// ordinary socket (any user) or the packet socket (root or cap_net_raw);
// counts the frames that came incomplete.
//
// BM_GetImage: the programs' path (vz::Camera over AravisDevice, GetImage)
// for 10 s, against aravis alone on the same stream in the same run. The
// CPU of the calling thread per frame, ours minus aravis's, over a memcpy
// of the frame: the goal is at most 0.1. Frames lost over the 10 s
// (incomplete, or missing from the numbering): the goal is 0.
#include <arv.h>
#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <vector>

#include "core/camera_bus.h"
#include "devices/aravis/aravis_bus.h"

namespace {

constexpr double RUN_S = 10;

double thread_cpu_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

double mono_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Format {
  int w, h;
  ArvPixelFormat pf;
  dITYPE type;
  dISIZE size;
};
const Format formats[] = {
    {1280, 960, ARV_PIXEL_FORMAT_MONO_8, S_MONO, S_1280x960},
    {640, 480, ARV_PIXEL_FORMAT_RGB_8_PACKED, S_RGB24, S_640x480},
};

// The simulator lives as long as the program; its control port is fixed.
void simulator() {
  static ArvGvFakeCamera *sim = nullptr;
  if (!sim) sim = arv_gv_fake_camera_new("127.0.0.1", "BENCH");
}

enum Packets { CAMERA = 0, AUTO = -1 };  // else a fixed size in bytes

struct Run {
  double cpu_ns = 0;  // of this thread, in pop and push
  int frames = 0, incomplete = 0;
  unsigned packet = 0;
};

// aravis alone: the stream popped and pushed for seconds s.
bool aravis_alone(const Format &f, int packets, bool packet_socket, double s, Run *r) {
  GError *e = nullptr;
  ArvCamera *cam = arv_camera_new("127.0.0.1", &e);
  if (!cam) return g_clear_error(&e), false;
  arv_camera_set_region(cam, 0, 0, f.w, f.h, &e);
  arv_camera_set_pixel_format(cam, f.pf, &e);
  arv_camera_set_frame_rate(cam, 30, &e);
  // the simulator keeps a size set before: back to its own first
  static unsigned own = arv_camera_gv_get_packet_size(cam, &e);
  arv_camera_gv_set_packet_size(cam, packets > 0 ? packets : (int)own, &e);
  if (packets == AUTO) arv_camera_gv_auto_packet_size(cam, &e);
  g_clear_error(&e);
  r->packet = arv_camera_gv_get_packet_size(cam, &e);
  arv_camera_gv_set_stream_options(cam, packet_socket ? ARV_GV_STREAM_OPTION_NONE
                                   : ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
  ArvStream *st = arv_camera_create_stream(cam, nullptr, nullptr, &e);
  bool ok = st != nullptr;
  if (ok) {
    g_object_set(st, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_AUTO, nullptr);
    size_t payload = arv_camera_get_payload(cam, &e);
    for (int i = 0; i < 8; ++i) arv_stream_push_buffer(st, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(cam, &e);
    double end = mono_s() + s;
    while (mono_s() < end) {
      double t0 = thread_cpu_ns();
      ArvBuffer *b = arv_stream_timeout_pop_buffer(st, 1000000);
      if (b) {
        if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS) ++r->frames;
        else ++r->incomplete;
        arv_stream_push_buffer(st, b);
      }
      r->cpu_ns += thread_cpu_ns() - t0;
    }
    arv_camera_stop_acquisition(cam, &e);
    g_object_unref(st);
  }
  g_clear_error(&e);
  g_object_unref(cam);
  return ok && r->frames > 0;
}

// The programs' path: GetImage for seconds s; lost frames from the numbering.
bool ours(const Format &f, double s, Run *r) {
  vz::AravisProbe p;
  vz::aravis_probe(&p, "127.0.0.1", false, false);
  if (p.devices.empty()) return false;
  std::unique_ptr<dSystem> bus(vz::vz_aravis_bus_open(&p));
  dCamera *c = bus->InitCamera(0);
  if (!c || !c->SetFormat(f.size, f.type, S_30, 1, false) || !c->Start()) return false;
  unsigned char *img = nullptr;
  int frame = 0, last = -1;
  double end = mono_s() + s;
  while (mono_s() < end) {
    double t0 = thread_cpu_ns();
    bool got = c->GetImage(&img, 1000, &frame, nullptr);
    r->cpu_ns += thread_cpu_ns() - t0;
    if (!got) continue;
    if (last >= 0 && frame > last + 1) r->incomplete += frame - last - 1;
    last = frame;
    ++r->frames;
  }
  c->Stop();
  return r->frames > 0;
}

// CPU of one memcpy of a frame, from memory not in the cache.
double memcpy_ns(size_t bytes) {
  std::vector<unsigned char> a(bytes * 8, 1), b(bytes);
  double t0 = thread_cpu_ns();
  for (int i = 0; i < 200; ++i) {
    memcpy(b.data(), a.data() + (i % 8) * bytes, bytes);
    benchmark::DoNotOptimize(b.data());
  }
  return (thread_cpu_ns() - t0) / 200;
}

void BM_Stream(benchmark::State &st) {
  const Format &f = formats[st.range(0)];
  simulator();
  Run r;
  for (auto _ : st)
    if (!aravis_alone(f, (int)st.range(1), st.range(2), RUN_S, &r))
      return st.SkipWithError("the simulator gave no frame");
  st.counters["packet_bytes"] = r.packet;
  st.counters["frames"] = r.frames;
  st.counters["incomplete"] = r.incomplete;
  st.counters["cpu_us_per_frame"] = r.cpu_ns / 1e3 / (r.frames + r.incomplete);
}

void BM_GetImage(benchmark::State &st) {
  const Format &f = formats[st.range(0)];
  size_t bytes = (size_t)f.w * f.h * (f.type == S_RGB24 ? 3 : 1);
  simulator();
  Run alone, our;
  for (auto _ : st) {
    if (!aravis_alone(f, AUTO, true, RUN_S, &alone) || !ours(f, RUN_S, &our))
      return st.SkipWithError("the simulator gave no frame");
  }
  double copy = memcpy_ns(bytes);
  double a = alone.cpu_ns / (alone.frames + alone.incomplete);
  double o = our.cpu_ns / (our.frames + our.incomplete);
  st.counters["aravis_us"] = a / 1e3;
  st.counters["ours_us"] = o / 1e3;
  st.counters["memcpy_us"] = copy / 1e3;
  st.counters["added_per_memcpy"] = (o - a) / copy;
  st.counters["frames"] = our.frames;
  st.counters["lost"] = our.incomplete;
  st.counters["aravis_incomplete"] = alone.incomplete;
}

}  // namespace

// {format, packet size (0 the camera's, -1 aravis's automatic, else bytes),
//  packet socket}
BENCHMARK(BM_Stream)
    ->ArgsProduct({{0, 1}, {CAMERA, AUTO, 8192}, {0, 1}})
    ->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_GetImage)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
