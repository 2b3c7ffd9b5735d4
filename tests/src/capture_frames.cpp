// The frame list: recording, playback, the counter, Clear.
#include "capture_fixture.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Light_Button.H>
#include <string.h>

#include <new>

#include "virizeda_sim.h"

// Frame slots are the only arrays allocated without exceptions here:
// counted, and made to fail on demand.
static int slot_allocations = 0;
static bool fail_slot_allocations = false;

void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
  slot_allocations++;
  if (fail_slot_allocations) return nullptr;
  try {
    return ::operator new[](n);
  } catch (...) {
    return nullptr;
  }
}

namespace {

// Live mode on a camera that reports 320x240 grey frames, fed by hand.
class FrameList : public CaptureTest {
 protected:
  LoggingCamera cam;
  std::vector<unsigned char> frame = std::vector<unsigned char>(320 * 240);

  void SetUp() override {
    start();
    cam_size = S_320x240;
    cam_type = S_MONO;
    set_size();
    dcam = &cam;
    acquire_type = 1;
    this_image = frame.data();
  }
  void TearDown() override {
    dcam = nullptr;
    CaptureTest::TearDown();
  }
  void record(bool on) {
    mainw->record->value(on);
    mainw->record->do_callback();
  }
  // One live frame, marked with n, through the recording step.
  void deliver(int n) {
    memset(frame.data(), n & 0xff, frame.size());
    frame[1] = (unsigned char)(n >> 8);
    do_storage();
  }
  int mark(int slot) {
    const unsigned char *s = bufferList[slot];
    return s ? s[0] | s[1] << 8 : -1;
  }
  void playback() {
    acquire_type = 2;
    show_buffer();
  }
  void set_counter(double v) {
    mainw->frame_val->value(v);
    mainw->frame_val->do_callback();
  }
  int shown_mark() {
    if (!get_next_image()) return -1;
    return this_image[0] | this_image[1] << 8;
  }
};

TEST_F(FrameList, ThreeFramesFillTheFirstSlots) {
  record(true);
  EXPECT_TRUE(storeFlag);
  for (int i = 0; i < 3; i++) deliver(i + 1);
  EXPECT_EQ(3, bufferNum);
  EXPECT_EQ(2, bufferCur);
  EXPECT_EQ(1, mark(0));
  EXPECT_EQ(3, mark(2));
  EXPECT_EQ(2, mainw->frame_val->value());
  EXPECT_EQ(3, mainw->frame_val->maximum());
  EXPECT_TRUE(mainw->clear->active());
  EXPECT_FALSE(mainw->frame_val->active());  // live mode
}

TEST_F(FrameList, StopsSilentlyWhenFull) {
  record(true);
  for (int i = 0; i < 200; i++) deliver(i);
  EXPECT_EQ(200, bufferNum);
  EXPECT_EQ(199, mark(199));
  EXPECT_TRUE(storeFlag);
  deliver(999);
  EXPECT_FALSE(storeFlag);
  EXPECT_FALSE(mainw->record->value());
  EXPECT_EQ(200, bufferNum);
  EXPECT_EQ(199, mark(199));
}

TEST_F(FrameList, RecordingAfterPlaybackKeepsTheFramesUpToThere) {
  record(true);
  for (int i = 0; i < 10; i++) deliver(i);
  record(false);
  playback();
  set_counter(4);  // shows frame 4
  EXPECT_EQ(4, shown_mark());
  acquire_type = 1;
  this_image = frame.data();  // live frames again
  record(true);
  for (int i = 100; i < 103; i++) deliver(i);
  EXPECT_EQ(8, bufferNum);
  EXPECT_EQ(4, mark(4));
  EXPECT_EQ(100, mark(5));
  EXPECT_EQ(102, mark(7));
}

TEST_F(FrameList, CounterChoosesTheFrameAndWraps) {
  record(true);
  for (int i = 0; i < 4; i++) deliver(i);
  record(false);
  playback();
  EXPECT_TRUE(mainw->frame_val->active());
  EXPECT_FALSE(mainw->record->active());
  set_counter(0);
  EXPECT_EQ(0, shown_mark());
  set_counter(2);
  EXPECT_EQ(2, shown_mark());
  EXPECT_EQ(2, mainw->frame_val->value());
  set_counter(4);  // the maximum wraps to the first frame
  EXPECT_EQ(0, shown_mark());
  EXPECT_EQ(0, mainw->frame_val->value());
  set_counter(-1);  // below the minimum of 0: as 0, the first frame
  EXPECT_EQ(0, shown_mark());
  EXPECT_EQ(0, mainw->frame_val->value());
  EXPECT_FALSE(single_shot);  // one request, one frame
  EXPECT_FALSE(get_next_image());
}

TEST_F(FrameList, CounterPastTheListStaysInIt) {
  // in live mode the counter still has its first range 0-30
  record(true);
  set_counter(30);
  deliver(1);
  EXPECT_EQ(1, bufferNum);
  EXPECT_EQ(1, mark(0));
  set_counter(0);
  EXPECT_GE(bufferCur, 0);
  deliver(2);
  EXPECT_EQ(2, bufferNum);
  EXPECT_EQ(2, mark(1));
}

TEST_F(FrameList, ClearWhileRecording) {
  record(true);
  for (int i = 0; i < 5; i++) deliver(i);
  unsigned char *slot0 = bufferList[0];
  mainw->clear->do_callback();
  EXPECT_EQ(0, bufferNum);
  EXPECT_EQ(0, bufferCur);
  EXPECT_FALSE(storeFlag);
  EXPECT_FALSE(mainw->record->value());
  EXPECT_FALSE(mainw->clear->active());
  record(true);
  deliver(7);
  EXPECT_EQ(1, bufferNum);
  EXPECT_EQ(slot0, bufferList[0]);  // reused, not allocated again
  EXPECT_EQ(7, mark(0));
}

TEST_F(FrameList, RecordOutsideLiveModeGoesDark) {
  playback();
  record(true);
  EXPECT_FALSE(storeFlag);
  EXPECT_FALSE(mainw->record->value());
}

TEST_F(FrameList, ADifferentCameraFormatIsNotCopied) {
  record(true);
  deliver(1);
  cam.size = S_160x120;  // smaller than a slot: copying would overread
  deliver(2);
  EXPECT_EQ(1, bufferNum);
}

TEST_F(FrameList, PlaybackNeverDrawsFromNothing) {
  record(true);
  for (int i = 0; i < 3; i++) deliver(i);
  record(false);
  playback();
  mainw->contin_val->value(1);
  // with no camera, or one in a larger format, the frame is drawn in its
  // own size and type, never read past
  dcam = nullptr;
  single_shot = true;
  EXPECT_EQ(0, shown_mark());
  EXPECT_EQ(bufferList[0], mainw->image->pixelData);
  dcam = &cam;
  cam.size = S_640x480;
  cam.type = S_RGB24;
  EXPECT_EQ(1, shown_mark());
  EXPECT_EQ(bufferList[1], mainw->image->pixelData);
  EXPECT_EQ(S_MONO, mainw->image->pixelType);
  EXPECT_EQ(320, mainw->image->linesize);
  EXPECT_EQ(1, mainw->image->skipw);
  cam.size = S_320x240;
  cam.type = S_MONO;
  EXPECT_EQ(2, shown_mark());
  EXPECT_EQ(bufferList[2], mainw->image->pixelData);
  // a released slot is stepped over
  unsigned char *keep = bufferList[0];
  bufferList[0] = nullptr;
  EXPECT_FALSE(get_next_image());
  EXPECT_TRUE(single_shot);
  EXPECT_EQ(1, shown_mark());
  bufferList[0] = keep;
}

TEST_F(FrameList, SlotThatCannotBeAllocatedStopsRecording) {
  record(true);
  deliver(1);
  deliver(2);
  fail_slot_allocations = true;
  deliver(3);
  fail_slot_allocations = false;
  EXPECT_FALSE(storeFlag);
  EXPECT_FALSE(mainw->record->value());
  EXPECT_EQ(2, bufferNum);
  EXPECT_EQ(1, bufferCur);
  EXPECT_EQ(2, mark(1));
  const std::string msg =
      "No memory for another frame: recording stopped at 2 frames";
  EXPECT_EQ(msg, status_text());
  EXPECT_TRUE(debug_has_line(msg));
  // once memory is there again, recording goes on after the last frame
  record(true);
  deliver(4);
  EXPECT_EQ(3, bufferNum);
  EXPECT_EQ(4, mark(2));
}

TEST_F(FrameList, FirstSlotThatCannotBeAllocatedLeavesTheListEmpty) {
  record(true);
  fail_slot_allocations = true;
  deliver(1);
  fail_slot_allocations = false;
  EXPECT_FALSE(storeFlag);
  EXPECT_EQ(0, bufferNum);
  EXPECT_EQ(0, bufferCur);
  EXPECT_FALSE(mainw->clear->active());
}

// Frames of the simulated camera, told apart by their bar codes.
class RecordSimulated : public CaptureTest {
 protected:
  std::vector<int> record_frames(int n) {
    std::vector<int> codes;
    for (int i = 0; i < n; i++) {
      if (!next_image(50)) break;
      do_storage();
      codes.push_back(vzsim::barcode(this_image, 160, 1));
    }
    return codes;
  }
  int slot_code(int i) {
    return bufferList[i] ? vzsim::barcode(bufferList[i], 160, 1) : -1;
  }
};

TEST_F(RecordSimulated, DisplayOffRecordsEveryFrameAndSlotsAreReused) {
  start();
  ASSERT_TRUE(open_camera(1));  // "Sim Mono"
  pick(mainw->size_val, 0);     // 160x120
  pick(mainw->speed_val, 4);    // 60 fps
  mainw->display_val->value(0);
  mainw->display_val->do_callback();
  ASSERT_TRUE(start_capture());
  mainw->record->value(1);
  mainw->record->do_callback();

  slot_allocations = 0;
  std::vector<int> first = record_frames(12);
  ASSERT_EQ(12u, first.size());
  EXPECT_EQ(12, slot_allocations);
  EXPECT_EQ(12, bufferNum);
  for (int i = 0; i < 12; i++) EXPECT_EQ(first[i], slot_code(i)) << i;
  EXPECT_LT(first[0], first[11]);
  EXPECT_EQ(nullptr, mainw->image->pixelData);  // nothing was drawn

  std::vector<unsigned char *> slots(bufferList, bufferList + 12);
  mainw->clear->do_callback();
  mainw->record->value(1);
  mainw->record->do_callback();
  slot_allocations = 0;
  std::vector<int> second = record_frames(12);
  ASSERT_EQ(12u, second.size());
  EXPECT_EQ(0, slot_allocations);
  for (int i = 0; i < 12; i++) {
    EXPECT_EQ(slots[i], bufferList[i]);
    EXPECT_EQ(second[i], slot_code(i));
  }
  EXPECT_GT(second[0], first[11]);
}

}  // namespace
