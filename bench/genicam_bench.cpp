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
// against aravis alone on the same simulator, in turns of 3 s over 7
// rounds. The CPU of the calling thread per frame, ours minus aravis's
// (median of the rounds), over a memcpy of the frame: the goal is at most
// 0.1. The memcpy is measured where a copying library makes it, as a third
// turn: aravis alone copying each frame out before it goes back, minus
// aravis alone (copy_in_place_us, added_per_copy_in_place). memcpy_us is a
// warm loop over blocks that sit in the last-level cache, for comparison:
// a lower bound. Frames lost over the rounds (incomplete, or missing from
// the numbering): the goal is 0. Sleeps per frame (the thread's context
// switches) show whether a path waits more than once for a frame.
#include <arv.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
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

// Times this thread gave up the CPU: each is a sleep and a wake-up.
long switches() {
  struct rusage u;
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_nvcsw + u.ru_nivcsw;
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
  long switches = 0;   // and its sleeps there
  int frames = 0, incomplete = 0;
  unsigned packet = 0;
};

// One frame of aravis alone; a function of its own so that a profiler
// (callgrind's cache simulation) can set it against GetImage.
// With copy, the frame is copied out before it goes back, as a library
// that hands over copies would: what a memcpy of the frame costs there.
__attribute__((noinline)) bool pop_and_push(ArvStream *st, bool *whole,
                                            std::vector<unsigned char> *copy) {
  ArvBuffer *b = arv_stream_timeout_pop_buffer(st, 1000000);
  if (!b) return false;
  *whole = arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS;
  if (copy) {
    size_t n = 0;
    const void *data = arv_buffer_get_data(b, &n);
    memcpy(copy->data(), data, std::min(n, copy->size()));
    benchmark::DoNotOptimize(copy->data());
  }
  arv_stream_push_buffer(st, b);
  return true;
}

// aravis alone: the stream popped and pushed for seconds s.
bool aravis_alone(const Format &f, int packets, bool packet_socket, double s, Run *r,
                  bool copy = false) {
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
    std::vector<unsigned char> out(copy ? payload : 0, 1);
    double end = mono_s() + s;
    bool first = true;  // steady state: the first frame is not timed
    while (mono_s() < end) {
      long s0 = switches();
      double t0 = thread_cpu_ns();
      bool whole = false;
      if (!pop_and_push(st, &whole, copy ? &out : nullptr)) continue;
      if (first) {
        first = false;
        continue;
      }
      r->cpu_ns += thread_cpu_ns() - t0;
      r->switches += switches() - s0;
      ++(whole ? r->frames : r->incomplete);
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
    long s0 = switches();
    double t0 = thread_cpu_ns();
    bool got = c->GetImage(&img, 1000, &frame, nullptr);
    if (!got) continue;
    if (last >= 0) {  // the first frame frees the blocks of the format before
      r->cpu_ns += thread_cpu_ns() - t0;
      r->switches += switches() - s0;
      if (frame > last + 1) r->incomplete += frame - last - 1;
      ++r->frames;
    }
    last = frame;
  }
  c->Stop();
  return r->frames > 0;
}

// CPU of one memcpy of a frame in a warm loop; the sources (8 frames) fit
// the last-level cache.
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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double per_frame_ns(const Run &r) { return r.cpu_ns / std::max(1, r.frames + r.incomplete); }

// The paths take turns, REPS rounds of TURN_S each, the order reversed
// every round, so that a change of load weighs on all alike; the added
// CPU and the copy's are medians of the rounds' differences.
void BM_GetImage(benchmark::State &st) {
  // shorter under a profiler: VZ_BENCH_ROUNDS, VZ_BENCH_TURN_S
  const char *reps_env = getenv("VZ_BENCH_ROUNDS"), *turn_env = getenv("VZ_BENCH_TURN_S");
  const int REPS = reps_env ? std::max(1, atoi(reps_env)) : 7;
  const double TURN_S = turn_env ? std::max(0.5, atof(turn_env)) : 3;
  const Format &f = formats[st.range(0)];
  size_t bytes = (size_t)f.w * f.h * (f.type == S_RGB24 ? 3 : 1);
  simulator();
  std::vector<double> alone_ns, ours_ns, added_ns, copy_ns, copied_ns;
  int frames = 0, lost = 0, alone_incomplete = 0;
  long alone_switches = 0, alone_frames = 0, ours_switches = 0;
  for (auto _ : st) {
    for (int i = 0; i < REPS; ++i) {
      Run a, o, c;
      auto alone = [&] { return aravis_alone(f, AUTO, true, TURN_S, &a); };
      auto copying = [&] { return aravis_alone(f, AUTO, true, TURN_S, &c, true); };
      bool ok = i % 2 ? copying() && ours(f, TURN_S, &o) && alone()
                      : alone() && ours(f, TURN_S, &o) && copying();
      if (!ok) return st.SkipWithError("the simulator gave no frame");
      alone_ns.push_back(per_frame_ns(a));
      ours_ns.push_back(per_frame_ns(o));
      added_ns.push_back(ours_ns.back() - alone_ns.back());
      copy_ns.push_back(memcpy_ns(bytes));
      copied_ns.push_back(per_frame_ns(c) - alone_ns.back());
      frames += o.frames;
      lost += o.incomplete;
      alone_incomplete += a.incomplete;
      alone_switches += a.switches;
      alone_frames += a.frames + a.incomplete;
      ours_switches += o.switches;
    }
  }
  double copy = median(copy_ns);
  st.counters["aravis_us"] = median(alone_ns) / 1e3;
  st.counters["ours_us"] = median(ours_ns) / 1e3;
  st.counters["added_us"] = median(added_ns) / 1e3;
  st.counters["added_us_min"] = *std::min_element(added_ns.begin(), added_ns.end()) / 1e3;
  st.counters["added_us_max"] = *std::max_element(added_ns.begin(), added_ns.end()) / 1e3;
  st.counters["memcpy_us"] = copy / 1e3;
  st.counters["added_per_memcpy"] = median(added_ns) / copy;
  st.counters["copy_in_place_us"] = median(copied_ns) / 1e3;
  st.counters["added_per_copy_in_place"] = median(added_ns) / median(copied_ns);
  st.counters["frames"] = frames;
  st.counters["lost"] = lost;
  st.counters["aravis_incomplete"] = alone_incomplete;
  st.counters["aravis_sleeps"] = (double)alone_switches / std::max(1L, alone_frames);
  st.counters["ours_sleeps"] = (double)ours_switches / std::max(1, frames);
}

}  // namespace

// {format, packet size (0 the camera's, -1 aravis's automatic, else bytes),
//  packet socket}
BENCHMARK(BM_Stream)
    ->ArgsProduct({{0, 1}, {CAMERA, AUTO, 8192}, {0, 1}})
    ->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_GetImage)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
