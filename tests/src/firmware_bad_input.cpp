// Bad input in the firmware dialog's text fields: register numbers and
// device IDs out of range or of any length are refused with one short
// message, touch no register and leave the dialog as it was.
#include <FL/Fl_Choice.H>

#include <string>
#include <vector>

#include "firmware_fake.h"
#include "test_support.h"

namespace {

class BadFields : public FirmwareTest {
 protected:
  void SetUp() override {
    FirmwareTest::SetUp();
    cam.devID = 0xffff;  // unprogrammed: the Device ID field is editable
    cam.regs[REG_ID_INVERSION] = 0x0000ffff;
    unprogrammed_rom(cam);
    firmware_params_dialog(&cam);
    cam.log.clear();
    clear_messages();
  }
  // One refusal: a single "[Device] " line of bounded length, nothing sent.
  void expect_refused(const std::string &text) {
    auto lines = messages();
    ASSERT_EQ(1u, lines.size()) << text.substr(0, 60);
    EXPECT_EQ(0u, lines[0].rfind("[Device] ", 0)) << lines[0];
    EXPECT_LT(lines[0].size(), 160u);
    EXPECT_TRUE(cam.log.empty());
    clear_messages();
  }
  FakeCamera cam;
};

TEST_F(BadFields, RegisterNumbersOutOfRangeLeaveTheValueField) {
  std::vector<std::string> texts = {"0-ffffffff", "100", "ffffffff-0",
                                    "ffffffff", "fffffffff",
                                    "1" + std::string(2000, '0')};
  for (const std::string &t : texts) {
    fwd()->reg_addr_val->value(t.c_str());
    fwd()->reg_value_val->value("keep");
    fwd()->reg_read_val->do_callback();
    expect_refused(t);
    // Write takes the first number only: "0-ffffffff" writes register 0
    if (t != "0-ffffffff") {
      fwd()->reg_write_val->do_callback();
      expect_refused(t);
    }
    EXPECT_STREQ("keep", fwd()->reg_value_val->value());
    EXPECT_EQ(t, fwd()->reg_addr_val->value());  // left for correcting
  }
  // beyond 32 bits for the DCAM offset, which takes all of them
  for (const std::string &t : {std::string("100000000"), std::string(40, 'f')}) {
    fwd()->reg_addr_val->value(t.c_str());
    fwd()->dcam_reg_read_val->do_callback();
    expect_refused(t);
    EXPECT_STREQ("keep", fwd()->reg_value_val->value());
  }
}

TEST_F(BadFields, DeviceIdsBeyondSixteenBitsAskNothing) {
  int type = fwd()->device_type_val->value();
  std::vector<std::string> texts = {"10000", "ffffffff", "100000000",
                                    "1" + std::string(2000, '0')};
  for (const std::string &t : texts) {
    DialogAnswerer none({});  // any question would be a failure
    fwd()->device_id_val->value(t.c_str());
    fwd()->device_id_val->do_callback();
    expect_refused(t);
    EXPECT_TRUE(none.seen().empty());
    EXPECT_EQ(type, fwd()->device_type_val->value());
    EXPECT_TRUE(fwd()->device_id_val->active());
    EXPECT_EQ(t, fwd()->device_id_val->value());
  }
}

TEST_F(BadFields, ALongButValidDeviceIdIsAskedAboutWhole) {
  // leading zeros make a long text of a small number: the question must
  // show the operator all of it, not a cut that hides the digits
  std::string text = "0x" + std::string(200, '0') + "12";
  DialogAnswerer a({"No"});
  fwd()->device_id_val->value(text.c_str());
  fwd()->device_id_val->do_callback();
  EXPECT_EQ(0u, a.pending());
  EXPECT_TRUE(a.saw("Are you sure you want to set the device STEREO #" + text +
                    "?"));
  EXPECT_TRUE(cam.writes().empty());
  EXPECT_TRUE(fwd()->device_id_val->active());
}

}  // namespace
