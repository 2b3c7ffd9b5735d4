// The firmware dialog on the simulated bus: programming survives reopening
// and a new process, calibration erasing, register round trips.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "firmware_fake.h"
#include "test_support.h"

namespace {

unsigned long rd(dCamera *cam, unsigned long addr) {
  unsigned long v = 0;
  EXPECT_TRUE(cam->ReadQuadlet(addr, &v)) << std::hex << addr;
  return v & 0xffffffffUL;
}

struct Rom {
  unsigned long bus_header, leaf_header;
};

Rom read_rom(dCamera *cam) { return {rd(cam, 0xF0000400), rd(cam, 0xF0000428)}; }

// Both CRCs valid over the quadlets they cover.
void expect_rom_crcs_valid(dCamera *cam) {
  std::vector<uint32_t> bus, leaf;
  for (unsigned long a = 0xF0000404; a <= 0xF0000410; a += 4)
    bus.push_back((uint32_t)rd(cam, a));
  leaf.push_back((uint32_t)rd(cam, 0xF000042C));
  leaf.push_back((uint32_t)rd(cam, 0xF0000430));
  EXPECT_EQ(rd(cam, 0xF0000400) & 0xffff, xmodem_quads(bus));
  EXPECT_EQ(rd(cam, 0xF0000428) & 0xffff, xmodem_quads(leaf));
}

// Serial word in both chip identifiers, valid CRCs, lengths untouched.
void expect_programmed_rom(dCamera *cam, const Rom &before, unsigned long serial) {
  EXPECT_EQ(rd(cam, 0xF0000410), serial);
  EXPECT_EQ(rd(cam, 0xF0000430), serial);
  expect_rom_crcs_valid(cam);
  Rom after = read_rom(cam);
  EXPECT_EQ(after.bus_header >> 16, before.bus_header >> 16);
  EXPECT_EQ(after.leaf_header >> 16, before.leaf_header >> 16);
}

class SimTest : public FirmwareTest {
 protected:
  SimTest() : config("VIRIZEDA_SIM_CONFIG", nullptr),
              state("VIRIZEDA_SIM_STATE", dir.path().c_str()) {}
  dCamera *open_camera(int n) {
    if (!dSys) dSysInit();
    EXPECT_NE(dSys, nullptr);
    if (!dSys) return nullptr;
    dCamera *cam = dSys->InitCamera(n);
    EXPECT_NE(cam, nullptr);
    return cam;
  }
  void restart_bus() {
    dSysInit();
    ASSERT_NE(dSys, nullptr);
  }
  void program(const char *text) {
    DialogAnswerer a({"Yes"});
    fwd()->device_id_val->value(text);
    testing::internal::CaptureStdout();
    fwd()->device_id_val->do_callback();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(a.pending(), 0u);
  }
  bool said(const std::string &line) {
    for (const auto &l : messages())
      if (l == line) return true;
    return false;
  }
  TempDir dir;
  ScopedEnv config, state;
};

TEST_F(SimTest, ProgrammingSimMono) {
  restart_bus();
  dCamera *cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  ASSERT_EQ(cam->devID & 0xffff, 0xffff);
  Rom before = read_rom(cam);
  firmware_params_dialog(cam);
  EXPECT_STREQ(fwd()->device_id_val->value(), "ffff");
  EXPECT_TRUE(fwd()->local_params_val->active());
  program("12");

  EXPECT_TRUE(said("  *** Setting ID in local block"));
  EXPECT_TRUE(said("  Camera ID:    00000012"));
  expect_programmed_rom(cam, before, 0x00080012u);
  EXPECT_EQ(rd(cam, REG_ID_INVERSION) & 0x0100ffff, 0x12u);
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
  EXPECT_FALSE(fwd()->device_id_val->active());

  // the same bus, camera opened again
  fwd()->win->hide();
  cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->devID, 0x80012);
  firmware_params_dialog(cam);
  EXPECT_STREQ(fwd()->device_id_val->value(), "0012");
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");

  // a fresh bus on the same state: the saved local block and the ROM
  firmware_dialog_discard();
  restart_bus();
  cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->devID, 0x80012);
  EXPECT_EQ(rd(cam, REG_ID_INVERSION) & 0xffff, 0x12u);
  firmware_params_dialog(cam);
  EXPECT_STREQ(fwd()->device_id_val->value(), "0012");
  EXPECT_TRUE(fwd()->device_id_val->output());
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
}

// Choosing "Firmware..." again after programming (the way the register
// section is revealed) shows the programmed identity, though the camera
// object still holds the one it was opened with, and the inversion
// control writes the new serial number.
TEST_F(SimTest, ReopenedDialogShowsAndKeepsTheProgrammedSerial) {
  restart_bus();
  dCamera *cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  program("12");
  firmware_params_dialog(cam);
  EXPECT_EQ(fwd()->win->h(), 532);
  EXPECT_STREQ(fwd()->device_id_val->value(), "0012");
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
  fwd()->reversed_val->value(1);
  fwd()->reversed_val->do_callback();
  EXPECT_EQ(rd(cam, REG_ID_INVERSION), 0x01000012u);
  fwd()->device_save_val->do_callback();
  // a new bus: the ROM and the saved local block agree
  firmware_dialog_discard();
  restart_bus();
  cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->devID & 0xffff, 0x12);
  EXPECT_EQ(rd(cam, REG_ID_INVERSION) & 0xffff, 0x12u);
}

// Flash that cannot be written: the dialog says what failed and does not
// show the serial number as programmed.
TEST_F(SimTest, RefusedFlashWritesAreReported) {
  restart_bus();
  std::string chip = dSys->ChipIDs()[1];
  for (const char *kind : {"rom", "local"})
    ASSERT_EQ(0, mkdir(dir.file("camera1-" + chip + "." + kind).c_str(), 0700));
  restart_bus();
  dCamera *cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  program("12");
  EXPECT_TRUE(said("[Device] The device did not store its local parameters"));
  EXPECT_TRUE(said("[Device] Device ID not programmed"));
  EXPECT_STREQ(fwd()->device_type_val->text(), "Unknown");
  EXPECT_TRUE(fwd()->device_id_val->active());
  EXPECT_FALSE(fwd()->device_id_val->output());
  clear_messages();
  fwd()->device_save_val->activate();
  fwd()->device_save_val->do_callback();
  EXPECT_TRUE(said("[Device] Upload Params failed: the device did not store "
                   "its parameters"));
}

// Run by ProgrammedIdentityReachesANewProcess in a process of its own, on
// the state directory that FIRMWARE_CHILD_STATE names.
TEST_F(FirmwareTest, DISABLED_ChildShowsProgrammedIdentity) {
  const char *child_state = getenv("FIRMWARE_CHILD_STATE");
  ASSERT_NE(child_state, nullptr);
  ScopedEnv config("VIRIZEDA_SIM_CONFIG", nullptr);
  ScopedEnv state("VIRIZEDA_SIM_STATE", child_state);
  dSysInit();
  ASSERT_NE(dSys, nullptr);
  dCamera *cam = dSys->InitCamera(1);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->devID, 0x80012);
  firmware_params_dialog(cam);
  EXPECT_STREQ(fwd()->device_id_val->value(), "0012");
  EXPECT_TRUE(fwd()->device_id_val->output());
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
}

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n < 0) return "";
  buf[n] = 0;
  return buf;
}

TEST_F(SimTest, ProgrammedIdentityReachesANewProcess) {
  restart_bus();
  dCamera *cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  program("12");
  std::string self = self_path();
  ASSERT_FALSE(self.empty());
  ScopedEnv child("FIRMWARE_CHILD_STATE", dir.path().c_str());
  std::string out = dir.file("child.txt");
  std::string cmd = shell_quote(self) +
                    " --gtest_also_run_disabled_tests "
                    "--gtest_filter=FirmwareTest.DISABLED_ChildShowsProgrammedIdentity"
                    " > " + shell_quote(out) + " 2>&1";
  fflush(stdout);
  int status = system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << read_file(out);
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(out);
  EXPECT_NE(read_file(out).find("[  PASSED  ] 1 test"), std::string::npos)
      << read_file(out);
}

TEST_F(SimTest, SimBayerWithoutLocalBlockIsStillProgrammed) {
  restart_bus();
  dCamera *cam = open_camera(2);
  ASSERT_NE(cam, nullptr);
  Rom before = read_rom(cam);
  firmware_params_dialog(cam);
  EXPECT_FALSE(fwd()->local_params_val->active());
  program("12");
  EXPECT_TRUE(said("  Couldn't access local params"));
  EXPECT_FALSE(said("  *** Setting ID in local block"));
  expect_programmed_rom(cam, before, 0x00080012u);
}

TEST_F(SimTest, NoProgramsNothing) {
  restart_bus();
  dCamera *cam = open_camera(1);
  ASSERT_NE(cam, nullptr);
  Rom before = read_rom(cam);
  unsigned long low = rd(cam, 0xF0000410);
  firmware_params_dialog(cam);
  DialogAnswerer a({"No"});
  fwd()->device_id_val->value("12");
  fwd()->device_id_val->do_callback();
  EXPECT_EQ(a.pending(), 0u);
  Rom after = read_rom(cam);
  EXPECT_EQ(after.bus_header, before.bus_header);
  EXPECT_EQ(after.leaf_header, before.leaf_header);
  EXPECT_EQ(rd(cam, 0xF0000410), low);
  EXPECT_TRUE(fwd()->device_id_val->active());
}

TEST_F(SimTest, StereoColorShowsItsIdentityAndErasesItsCalibration) {
  restart_bus();
  dCamera *cam = open_camera(0);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
  EXPECT_STREQ(fwd()->device_id_val->value(), "1234");
  EXPECT_TRUE(fwd()->device_id_val->output());
  EXPECT_FALSE(fwd()->reversed_val->active());
  EXPECT_STREQ(fwd()->fw_version_val->buf, "0203");
  EXPECT_STREQ(fwd()->camera_version_val->buf, "0412");
  EXPECT_STREQ(fwd()->imager_type_val->buf, "MT9V022");
  ASSERT_TRUE(fwd()->device_clear_cal_val->active());

  {
    DialogAnswerer no({"No"});
    fwd()->device_clear_cal_val->do_callback();
  }
  EXPECT_TRUE(cam->GetCalib(nullptr, 0));
  EXPECT_TRUE(fwd()->device_clear_cal_val->active());
  DialogAnswerer yes({"Yes"});
  fwd()->device_clear_cal_val->do_callback();
  EXPECT_FALSE(cam->GetCalib(nullptr, 0));
  firmware_params_dialog(cam);
  EXPECT_FALSE(fwd()->device_clear_cal_val->active());
  // and a fresh bus on the same state finds none either
  restart_bus();
  cam = open_camera(0);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  EXPECT_FALSE(fwd()->device_clear_cal_val->active());
}

TEST_F(SimTest, DeviceParametersReadBackFromTheDevice) {
  restart_bus();
  dCamera *cam = open_camera(0);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  clear_messages();
  fwd()->reversed_val->value(1);
  fwd()->reversed_val->do_callback();
  EXPECT_TRUE(said("[Device] Camera id and inversion:    01001234"));
  EXPECT_TRUE(cam->isReversed);
  fwd()->reversed_val->value(0);
  fwd()->reversed_val->do_callback();
  EXPECT_TRUE(said("[Device] Camera id and inversion:    00001234"));
  fwd()->Hz50_val->value(1);
  fwd()->Hz50_val->do_callback();
  EXPECT_TRUE(said("[Device] Camera rate:    00010001"));
  fwd()->Hz50_val->value(0);
  fwd()->Hz50_val->do_callback();
  EXPECT_TRUE(said("[Device] Camera rate:    00010000"));
  EXPECT_TRUE(fwd()->device_save_val->active());
  fwd()->device_save_val->do_callback();
  EXPECT_FALSE(fwd()->device_save_val->active());

  dCamera *mono = open_camera(1);
  ASSERT_NE(mono, nullptr);
  firmware_params_dialog(mono);
  clear_messages();
  fwd()->reversed_val->value(1);
  fwd()->reversed_val->do_callback();
  EXPECT_TRUE(said("[Device] Camera id and inversion:    0100ffff"));
}

TEST_F(SimTest, RegisterRoundTrips) {
  restart_bus();
  dCamera *cam = open_camera(0);
  ASSERT_NE(cam, nullptr);
  firmware_params_dialog(cam);
  fwd()->reg_addr_val->value("05");
  fwd()->reg_value_val->value("1234");
  fwd()->reg_write_val->do_callback();
  fwd()->reg_value_val->value("");
  clear_messages();
  fwd()->reg_read_val->do_callback();
  EXPECT_EQ(messages(), std::vector<std::string>{"[Device] Register 05: 12 34"});
  EXPECT_STREQ(fwd()->reg_value_val->value(), "12 34");

  unsigned long v = rd(cam, 0xF0F00800);
  char want[64];
  snprintf(want, sizeof want, "[Device] DCAM Register 800: %04lx", v);
  clear_messages();
  fwd()->reg_addr_val->value("800");
  fwd()->dcam_reg_read_val->do_callback();
  EXPECT_EQ(messages(), std::vector<std::string>{want});
}

}  // namespace
