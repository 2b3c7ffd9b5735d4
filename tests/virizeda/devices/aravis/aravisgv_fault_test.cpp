// The GenICam device over aravis's GigE Vision simulator on 127.0.0.1
// (real GVCP/GVSP over loopback): frames lost in the network counted as
// dropped, and a camera that goes away mid-stream, then comes back. The
// simulator's control port is fixed, so these tests run one at a time.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/camera.h"
#include "core/diag.h"
#include "devices/aravis/aravis_bus.h"
#include "devices/aravis/aravis_device.h"

using namespace vz;

namespace {

std::vector<std::string> lines;
void collect(char *l) { lines.push_back(l); }

bool said(const char *part) {
  for (auto &l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

// The simulator as a process of its own, losing loss packets in 1000.
// Nothing is allocated in the child: another thread may hold the
// allocator's lock at the fork.
pid_t start_simulator(int loss) {
  std::string r = std::to_string(loss);
  pid_t pid = fork();
  if (pid == 0) {
    execlp("arv-fake-gv-camera-0.8", "arv-fake-gv-camera-0.8", "-i", "127.0.0.1",
           "-s", "GV1", "-r", r.c_str(), (char *)nullptr);
    _exit(127);
  }
  return pid;
}

void end_simulator(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::unique_ptr<dSystem> open_bus() {
  for (int tries = 0; tries < 50; ++tries) {  // until the simulator listens
    AravisProbe p;
    aravis_probe(&p, "127.0.0.1", false, false);
    if (!p.devices.empty()) return std::unique_ptr<dSystem>(vz_aravis_bus_open(&p));
    usleep(100000);
  }
  return nullptr;
}

class GigE : public ::testing::Test {
 protected:
  void SetUp() override {
    lines.clear();
    vz_diag_set_sink(collect);
  }
  void TearDown() override {
    if (HasFailure())
      for (auto &l : lines) fprintf(stderr, "library: %s\n", l.c_str());
    bus.reset();
    end_simulator(sim);
  }
  pid_t sim = -1;
  std::unique_ptr<dSystem> bus;
};

}  // namespace

TEST_F(GigE, FramesTornInTheNetworkCountAsDropped) {
  sim = start_simulator(2);
  bus = open_bus();
  ASSERT_TRUE(bus);
  dCamera *cam = bus->InitCamera(0);
  ASSERT_NE(cam, nullptr);
  ASSERT_TRUE(cam->SetFormat(S_640x480, S_MONO, S_30, 1, false)) << cam->error;
  ASSERT_TRUE(cam->Start());
  int got = 0, last = -1, skipped = 0;
  for (int i = 0; i < 40; ++i) {
    unsigned char *p = nullptr;
    int n = 0;
    if (!cam->GetImage(&p, 1000, &n, nullptr)) continue;
    ++got;
    skipped += n - last - 1;  // the first: frames lost before it
    EXPECT_GT(n, last);
    last = n;
    // only whole frames are handed over: the ramp everywhere
    for (int y = 0; y < 480; y += 53)
      ASSERT_EQ(p[y * 640 + 639], (p[y * 640] + 639) % 255) << y;
  }
  cam->Stop();
  EXPECT_GT(got, 10);
  EXPECT_GT(static_cast<Camera *>(cam)->dropped(), 0);
  EXPECT_EQ(static_cast<Camera *>(cam)->dropped(), skipped);
  EXPECT_TRUE(said("frames dropped"));
}

TEST_F(GigE, ControlLostEndsTheStreamThenTheCameraOpensAgain) {
  sim = start_simulator(0);
  bus = open_bus();
  ASSERT_TRUE(bus);
  dCamera *cam = bus->InitCamera(0);
  ASSERT_NE(cam, nullptr);
  ASSERT_TRUE(cam->SetFormat(S_320x240, S_MONO, S_30, 1, false)) << cam->error;
  ASSERT_TRUE(cam->Start());
  unsigned char *p = nullptr;
  ASSERT_TRUE(cam->GetImage(&p, 2000, nullptr, nullptr));
  end_simulator(sim);
  sim = -1;
  // each call returns within its limit; the quiet stream is noticed first
  auto *dev = static_cast<AravisDevice *>(static_cast<Camera *>(cam)->device());
  // (a frame already on its way when the simulator ended may still come)
  int calls = 0, late = 0;
  while (calls < 200 && !said("not asked again") && !said("control lost")) {
    if (cam->GetImage(&p, 100, nullptr, nullptr)) ++late;
    ++calls;
  }
  EXPECT_LE(late, 2);
  EXPECT_TRUE(said("no frame for"));
  // accesses before aravis says control lost fail without asking the
  // camera, each of which would wait out 5 retries of 500 ms
  unsigned asked = dev->accesses();
  unsigned long q = 0;
  EXPECT_FALSE(cam->ReadQuadlet(0, &q));
  cam->SetExposure(30, false);
  EXPECT_FALSE(cam->SetFormat(S_640x480, S_MONO, S_15, 1, false));
  EXPECT_EQ(dev->accesses(), asked);
  EXPECT_FALSE(said("timeout"));
  while (calls < 200 && !said("control lost")) {
    EXPECT_FALSE(cam->GetImage(&p, 100, nullptr, nullptr));
    ++calls;
  }
  EXPECT_TRUE(said("control lost"));
  EXPECT_FALSE(said("over the top"));
  EXPECT_TRUE(said("the device is gone"));
  EXPECT_FALSE(cam->GetImage(&p, 100, nullptr, nullptr));
  sim = start_simulator(0);
  cam = nullptr;
  for (int tries = 0; tries < 50 && !cam; ++tries) {
    cam = bus->InitCamera(0);
    if (!cam) usleep(100000);
  }
  ASSERT_NE(cam, nullptr);
  EXPECT_TRUE(said("is back"));
  ASSERT_TRUE(cam->SetFormat(S_320x240, S_MONO, S_30, 1, false)) << cam->error;
  ASSERT_TRUE(cam->Start());
  EXPECT_TRUE(cam->GetImage(&p, 2000, nullptr, nullptr));
  cam->Stop();
}
