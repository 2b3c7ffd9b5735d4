// Device parameters: the exact words written to the local parameter block.
#include <algorithm>
#include <string>
#include <vector>

#include "firmware_fake.h"
#include "test_support.h"

namespace {

class ParamsTest : public FirmwareTest {
 protected:
  void open(int devID) {
    cam.devID = devID;
    firmware_params_dialog(&cam);
    cam.log.clear();
    clear_messages();
  }
  void toggle(Fl_Check_Button *b, int on) {
    b->value(on);
    b->do_callback();
  }
  FakeCamera cam;
};

TEST_F(ParamsTest, InversionWordsCarryTheSerialNumber) {
  open(0x31234);
  toggle(fwd()->reversed_val, 1);
  EXPECT_TRUE(cam.isReversed);
  toggle(fwd()->reversed_val, 0);
  EXPECT_FALSE(cam.isReversed);
  std::vector<Access> want = {{'W', REG_ID_INVERSION, 0x01001234},
                              {'R', REG_ID_INVERSION, 0x01001234},
                              {'W', REG_ID_INVERSION, 0x00001234},
                              {'R', REG_ID_INVERSION, 0x00001234}};
  EXPECT_EQ(cam.log, want);
  std::vector<std::string> lines = {
      "[Device] *** Setting inverted image on left imager",
      "[Device] Camera id and inversion:    01001234",
      "[Device] *** Setting normal image on left imager",
      "[Device] Camera id and inversion:    00001234"};
  EXPECT_EQ(messages(), lines);
}

TEST_F(ParamsTest, InversionOfAnUnprogrammedDevice) {
  open(0xffff);
  toggle(fwd()->reversed_val, 1);
  toggle(fwd()->reversed_val, 0);
  auto w = cam.writes();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].value, 0x0100FFFFu);
  EXPECT_EQ(w[1].value, 0x0000FFFFu);
}

TEST_F(ParamsTest, FailedReadBackShowsTheWrittenWord) {
  open(0x31234);
  cam.failing_reads.insert(REG_ID_INVERSION);
  cam.failing_reads.insert(REG_RATE);
  toggle(fwd()->reversed_val, 1);
  toggle(fwd()->Hz50_val, 1);
  auto lines = messages();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "[Device] Camera id and inversion:    01001234");
  EXPECT_EQ(lines[3], "[Device] Camera rate:    00010001");
}

TEST_F(ParamsTest, RateWords) {
  open(0x31234);
  toggle(fwd()->Hz50_val, 1);
  toggle(fwd()->Hz50_val, 0);
  std::vector<Access> want = {{'W', REG_RATE, 0x00010001},
                              {'R', REG_RATE, 0x00010001},
                              {'W', REG_RATE, 0x00010000},
                              {'R', REG_RATE, 0x00010000}};
  EXPECT_EQ(cam.log, want);
  std::vector<std::string> lines = {"[Device] *** Setting 50 Hz rate",
                                    "[Device] Camera rate:    00010001",
                                    "[Device] *** Setting 60 Hz rate",
                                    "[Device] Camera rate:    00010000"};
  EXPECT_EQ(messages(), lines);
}

TEST_F(ParamsTest, VerticalOffsetGoesToTheLeftImager) {
  open(0x31234);
  fwd()->vert_off_val->value(7);
  fwd()->vert_off_val->do_callback();
  ASSERT_EQ(cam.y_offsets.size(), 1u);
  EXPECT_EQ(cam.y_offsets[0], std::make_pair(7, 0));
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "[Device] *** Setting vertical offset on imager"});
  EXPECT_TRUE(cam.log.empty());
}

TEST_F(ParamsTest, UploadParamsFollowsChangesAcrossOpenings) {
  open(0x31234);
  EXPECT_FALSE(fwd()->device_save_val->active());
  toggle(fwd()->Hz50_val, 1);
  EXPECT_TRUE(fwd()->device_save_val->active());
  // an opening leaves it as it was
  fwd()->win->hide();
  firmware_params_dialog(&cam);
  EXPECT_TRUE(fwd()->device_save_val->active());
  cam.log.clear();
  clear_messages();
  fwd()->device_save_val->do_callback();
  EXPECT_FALSE(fwd()->device_save_val->active());
  EXPECT_EQ(cam.log, (std::vector<Access>{{'S', 0, 0}}));
  EXPECT_EQ(messages(),
            std::vector<std::string>{"[Device] Uploading params to device"});
  firmware_params_dialog(&cam);
  EXPECT_FALSE(fwd()->device_save_val->active());
  fwd()->vert_off_val->value(2);
  fwd()->vert_off_val->do_callback();
  EXPECT_TRUE(fwd()->device_save_val->active());
}

TEST_F(ParamsTest, ClearCalNoWritesNothing) {
  cam.calibration = true;
  open(0x31234);
  DialogAnswerer answers({"No"});
  fwd()->device_clear_cal_val->do_callback();
  EXPECT_TRUE(answers.saw("Are you sure you want to clear the calibration?"));
  EXPECT_EQ(cam.set_calib_calls, 0);
  EXPECT_TRUE(cam.calibration);
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(fwd()->device_clear_cal_val->active());
}

TEST_F(ParamsTest, ClearCalYesErases) {
  cam.calibration = true;
  open(0x31234);
  DialogAnswerer answers({"Yes"});
  fwd()->device_clear_cal_val->do_callback();
  EXPECT_EQ(cam.set_calib_calls, 1);
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "[Device] Clearing calibration on device"});
  EXPECT_FALSE(fwd()->device_clear_cal_val->active());
  firmware_params_dialog(&cam);
  EXPECT_FALSE(fwd()->device_clear_cal_val->active());
}

// What the device refuses is said, and the controls show what it holds.
TEST_F(ParamsTest, RefusedChangesAreReportedNotShownAsDone) {
  cam.calibration = true;
  open(0x31234);
  cam.refused_writes = {REG_ID_INVERSION, REG_RATE};
  toggle(fwd()->reversed_val, 1);
  toggle(fwd()->Hz50_val, 1);
  EXPECT_FALSE(fwd()->reversed_val->value());
  EXPECT_FALSE(fwd()->Hz50_val->value());
  EXPECT_FALSE(cam.isReversed);
  EXPECT_FALSE(fwd()->device_save_val->active()) << "nothing to upload";
  auto lines = messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "[Device] The device refused the inversion setting"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "[Device] The device refused the rate setting"),
            lines.end());

  cam.refused_writes.clear();
  toggle(fwd()->Hz50_val, 1);
  cam.save_ok = false;
  clear_messages();
  fwd()->device_save_val->do_callback();
  EXPECT_TRUE(fwd()->device_save_val->active()) << "still to be uploaded";
  EXPECT_EQ(messages().back(),
            "[Device] Upload Params failed: the device did not store its parameters");

  cam.calib_ok = false;
  clear_messages();
  DialogAnswerer answers({"Yes"});
  fwd()->device_clear_cal_val->do_callback();
  EXPECT_EQ(messages().back(),
            "[Device] Clear Cal failed: the device did not erase its calibration");
  EXPECT_TRUE(fwd()->device_clear_cal_val->active()) << "it holds one still";
}

TEST_F(ParamsTest, SwapDoesNothing) {
  open(0x31234);
  toggle(fwd()->swap_dev_val, 1);
  EXPECT_TRUE(cam.log.empty());
  EXPECT_TRUE(messages().empty());
  EXPECT_FALSE(fwd()->device_save_val->active());
}

TEST_F(ParamsTest, NothingHappensBeforeAnOpening) {
  Fl_Check_Button b(0, 0, 10, 10);
  b.value(1);
  reversed_cb(&b, nullptr);
  Hz50_cb(&b, nullptr);
  Fl_Value_Slider s(0, 0, 10, 10);
  vert_off_cb(&s, nullptr);
  Fl_Button button(0, 0, 10, 10);
  device_save_cb(&button, nullptr);
  device_clear_cal_cb(&button, nullptr);  // no question without a camera
  EXPECT_TRUE(messages().empty());
}

}  // namespace
