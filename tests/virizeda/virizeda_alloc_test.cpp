// The frame path allocates nothing once a stream runs, the automatic
// controls moving the picture included.
#include <stdlib.h>

#include <atomic>
#include <new>

#include "virizeda_test_util.h"

static std::atomic<long> allocations{0};

void *operator new(size_t n) {
  allocations++;
  if (void *p = malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }

using Allocation = SimBusTest;

TEST_F(Allocation, NoneWhileFramesAreDelivered) {
  open_bus(R"({"cameras": [{"color": true, "stereo": true, "unpaced": true,
      "has_auto_exposure": true, "has_auto_gain": true,
      "has_auto_whitebalance": true, "has_manual_whitebalance": true}]})");
  dCamera *c = dSys->InitCamera(0);
  ASSERT_NE(c, nullptr);
  c->SetExposure(5, false);  // dark, so automatic exposure has work to do
  c->SetExposure(0, true);
  c->SetWhiteBalance(0, 0, true);
  for (dITYPE t : {S_RGB24, S_BAYER, S_MONO}) {
    ASSERT_TRUE(c->SetFormat(S_640x480, t, S_30, 1, false)) << c->error;
    ASSERT_TRUE(c->Start());
    unsigned char *img = nullptr;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(c->GetImage(&img, 500, nullptr, nullptr));
    long before = allocations;
    int first = c->exposure;
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(c->GetImage(&img, 500, nullptr, nullptr));
    EXPECT_EQ(allocations - before, 0) << "type " << t;
    if (t == S_RGB24) {
      EXPECT_GT(c->exposure, first) << "the picture changed";
    }
    c->Stop();
  }
}
