// Opening the firmware dialog: what it shows and enables for a camera.
#include <string>

#include "firmware_fake.h"
#include "test_support.h"

namespace {

using OpenTest = FirmwareTest;

std::string shown(Fl_Value *v) { return v->buf; }

TEST_F(OpenTest, WithoutCameraAlertsAndCreatesNothing) {
  {
    DialogAnswerer answers({"Close"});
    firmware_params_dialog(nullptr);
    EXPECT_TRUE(answers.saw("No device is opened"));
  }
  EXPECT_EQ(firmware_dialog(), nullptr);
  EXPECT_EQ(firmware_device(), nullptr);

  FakeCamera closed;
  closed.initialized = false;
  DialogAnswerer again({"Close"});
  firmware_params_dialog(&closed);
  EXPECT_TRUE(again.saw("No device is opened"));
  EXPECT_EQ(firmware_dialog(), nullptr);
  EXPECT_EQ(firmware_device(), nullptr);
}

TEST_F(OpenTest, CameraNotInitializedKeepsTheDialogAndItsCamera) {
  FakeCamera cam;
  firmware_params_dialog(&cam);
  ASSERT_NE(fwd(), nullptr);
  fwd()->win->hide();
  FakeCamera closed;
  closed.initialized = false;
  closed.fwFirmware = 0x9999;
  DialogAnswerer answers({"Close"});
  firmware_params_dialog(&closed);
  EXPECT_TRUE(answers.saw("No device is opened"));
  EXPECT_EQ(firmware_device(), &cam);
  EXPECT_EQ(shown(fwd()->fw_version_val), "0203");
  EXPECT_FALSE(fwd()->win->shown());
}

TEST_F(OpenTest, VersionWordDecidesLocalParameters) {
  struct Case {
    unsigned long word;
    bool usable;
  } cases[] = {{0x200, true},  {0xA0A, true},    {0x205, true},
               {0x100, false}, {0x20B, false},   {0x10200, false},
               {0, false},     {0xffffffff, false}};
  for (const auto &c : cases) {
    firmware_dialog_discard();
    FakeCamera cam;
    cam.regs[REG_LP_VERSION] = c.word;
    firmware_params_dialog(&cam);
    EXPECT_EQ(fwd()->local_params_val->active() != 0, c.usable)
        << std::hex << c.word;
    EXPECT_EQ(local_params_version_ok(c.word), c.usable) << std::hex << c.word;
  }
}

TEST_F(OpenTest, FailedVersionReadMeansNoLocalParameters) {
  FakeCamera cam;
  cam.regs[REG_LP_VERSION] = 0x205;
  cam.failing_reads.insert(REG_LP_VERSION);
  firmware_params_dialog(&cam);
  EXPECT_FALSE(fwd()->local_params_val->active());
  EXPECT_EQ(cam.log.front(), (Access{'R', REG_LP_VERSION, 0}));
  // versions and identity still show
  EXPECT_EQ(shown(fwd()->fw_version_val), "0203");
  EXPECT_STREQ(fwd()->device_id_val->value(), "1234");
}

TEST_F(OpenTest, ImagerNamesVersionsAndColour) {
  const char *names[] = {"KAC1310", "LM96x8", "MT9V403", "MT9M001", "MT9V022"};
  FakeCamera cam;
  for (int code = -1; code <= 5; code++) {
    cam.camImager = code;
    firmware_params_dialog(&cam);
    std::string want = code >= 0 && code <= 4 ? names[code] : "Unknown";
    EXPECT_EQ(shown(fwd()->imager_type_val), want) << code;
  }
  cam.fwFirmware = 0x12;
  cam.camFirmware = 0x123456;
  cam.has_color = false;
  firmware_params_dialog(&cam);
  EXPECT_EQ(shown(fwd()->fw_version_val), "0012");
  EXPECT_EQ(shown(fwd()->camera_version_val), "123456");
  EXPECT_EQ(shown(fwd()->color_cap_val), "no");
  EXPECT_EQ(shown(fwd()->krim_cap_val), "");
  cam.has_color = true;
  firmware_params_dialog(&cam);
  EXPECT_EQ(shown(fwd()->color_cap_val), "yes");
}

TEST_F(OpenTest, DeviceTypeChoice) {
  struct Case {
    int devID;
    const char *entry;
  } cases[] = {{0x81234, "Stereo"},     {0x31234, "Left/Right"},
               {0x01234, "Unknown"},    {0xf1234, "Unknown"},
               {0x181234, "Stereo"},    {0x0ffff, "Unknown"}};
  FakeCamera cam;
  for (const auto &c : cases) {
    cam.devID = c.devID;
    firmware_params_dialog(&cam);
    EXPECT_STREQ(fwd()->device_type_val->text(), c.entry) << std::hex << c.devID;
    EXPECT_TRUE(fwd()->device_type_val->output());
    EXPECT_FALSE(fwd()->swap_dev_val->active());
  }
  cam.devID = 0x51234;
  DialogAnswerer answers({"Close"});
  firmware_params_dialog(&cam);
  ASSERT_EQ(answers.seen().size(), 1u);
  EXPECT_TRUE(answers.saw("Left camera of a pair is specified as right camera"));
  EXPECT_STREQ(fwd()->device_type_val->text(), "Left/Right");
}

TEST_F(OpenTest, ProgrammedStereoDeviceIsReadOnly) {
  FakeCamera cam;
  cam.devID = 0x81234;
  firmware_params_dialog(&cam);
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
  EXPECT_STREQ(fwd()->device_id_val->value(), "1234");
  EXPECT_TRUE(fwd()->device_id_val->output());
  EXPECT_FALSE(fwd()->reversed_val->active());
}

TEST_F(OpenTest, UnprogrammedDeviceIsEditable) {
  FakeCamera cam;
  cam.devID = 0xffff;
  cam.isReversed = true;
  firmware_params_dialog(&cam);
  EXPECT_STREQ(fwd()->device_type_val->text(), "Unknown");
  EXPECT_STREQ(fwd()->device_id_val->value(), "ffff");
  EXPECT_FALSE(fwd()->device_id_val->output());
  EXPECT_TRUE(fwd()->device_id_val->active());
  EXPECT_TRUE(fwd()->reversed_val->active());
  EXPECT_EQ(fwd()->reversed_val->value(), 1);
}

TEST_F(OpenTest, LocalParameterValues) {
  FakeCamera cam;
  cam.max_width = 640;
  cam.max_height = 12345;
  cam.is_50Hz_rate = true;
  cam.max_y_offset = 6;
  cam.y_offset = 4;
  firmware_params_dialog(&cam);
  EXPECT_EQ(shown(fwd()->max_width_val), " 640");
  EXPECT_EQ(shown(fwd()->max_height_val), "12345");
  EXPECT_EQ(fwd()->Hz50_val->value(), 1);
  EXPECT_EQ(fwd()->vert_off_val->maximum(), 6);
  EXPECT_EQ(fwd()->vert_off_val->value(), 4);
  EXPECT_TRUE(fwd()->vert_off_val->active());

  cam.has_50Hz_rate = false;
  cam.has_y_offset = false;
  firmware_params_dialog(&cam);
  EXPECT_FALSE(fwd()->Hz50_val->active());
  EXPECT_FALSE(fwd()->vert_off_val->active());
  EXPECT_TRUE(fwd()->local_params_val->active());
}

TEST_F(OpenTest, HeightGrowsWhenOpenedWhileShown) {
  FakeCamera cam;
  firmware_params_dialog(&cam);
  EXPECT_EQ(fwd()->win->h(), 380);
  EXPECT_EQ(fwd()->win->w(), 359);
  EXPECT_TRUE(fwd()->win->shown());
  // the register section is cut off, not squeezed in
  EXPECT_EQ(fwd()->reg_read_val->y(), 430);
  EXPECT_EQ(fwd()->vert_off_val->y(), 335);
  settle(0.1);
  firmware_params_dialog(&cam);
  EXPECT_EQ(fwd()->win->h(), 532);
  EXPECT_EQ(fwd()->reg_read_val->y(), 430);
  fwd()->win->hide();
  settle(0.1);
  firmware_params_dialog(&cam);
  EXPECT_EQ(fwd()->win->h(), 380);
}

TEST_F(OpenTest, DeactivationSurvivesLaterOpenings) {
  FakeCamera bare;
  bare.regs[REG_LP_VERSION] = 0;
  bare.devID = 0x81234;
  bare.has_50Hz_rate = false;
  bare.has_y_offset = false;
  firmware_params_dialog(&bare);
  EXPECT_FALSE(fwd()->local_params_val->active());
  EXPECT_TRUE(fwd()->device_id_val->output());

  FakeCamera full;
  full.devID = 0xffff;
  firmware_params_dialog(&full);
  EXPECT_FALSE(fwd()->local_params_val->active());
  EXPECT_TRUE(fwd()->device_id_val->output());
  EXPECT_EQ(firmware_device(), &full);
}

TEST_F(OpenTest, ClearCalFollowsTheStoredCalibration) {
  FakeCamera cam;
  firmware_params_dialog(&cam);
  EXPECT_FALSE(fwd()->device_clear_cal_val->active());
  cam.calibration = true;
  firmware_params_dialog(&cam);
  EXPECT_TRUE(fwd()->device_clear_cal_val->active());
  cam.calibration = false;
  firmware_params_dialog(&cam);
  EXPECT_FALSE(fwd()->device_clear_cal_val->active());
}

TEST_F(OpenTest, LayoutOfTheWindow) {
  FakeCamera cam;
  firmware_params_dialog(&cam);
  firmware_disp *d = fwd();
  EXPECT_STREQ(d->win->label(), "Firmware Parameters");
  EXPECT_EQ(d->win->user_data(), d);
  EXPECT_STREQ(d->device_id_val->label(), "Device ID:");
  EXPECT_STREQ(d->reg_value_val->label(), "Val::");
  EXPECT_EQ(d->device_type_val->menu(), firmware_disp::menu_device_type_val);
  EXPECT_EQ(d->device_type_val->size(), 4);  // three entries and the end
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(firmware_disp::menu_device_type_val[i].labelsize(), 11);
    EXPECT_EQ(firmware_disp::menu_device_type_val[i].labelcolor(), FL_BLACK);
  }
  EXPECT_EQ(d->vert_off_val->type(), FL_HOR_SLIDER);
  EXPECT_EQ(d->vert_off_val->step(), 1);
  EXPECT_EQ(d->fw_version_val->box(), FL_NO_BOX);
  EXPECT_EQ(d->fw_version_val->align(), FL_ALIGN_LEFT);
  EXPECT_EQ(d->fw_version_val->labelsize(), 11);
  EXPECT_EQ(d->fw_version_val->labelcolor(), FL_BLACK);
  EXPECT_EQ(d->swap_dev_val->parent(), d->local_params_val);
  EXPECT_EQ(d->reg_addr_val->parent(), d->reg_left_val);
  EXPECT_EQ(d->dcam_reg_read_val->parent(), d->imager_registers);
  EXPECT_FALSE(d->device_save_val->active());
}

TEST_F(OpenTest, MenuEntryOpensTheCurrentCamera) {
  FakeCamera cam;
  dCamera *before = dcam;
  dcam = &cam;
  firmware_params_cb(nullptr, nullptr);
  dcam = before;
  EXPECT_EQ(firmware_device(), &cam);
  ASSERT_NE(fwd(), nullptr);
  EXPECT_TRUE(fwd()->win->shown());
}

}  // namespace
