// Imager and DCAM register access, and the parsing of the register fields.
#include <string>
#include <vector>

#include "firmware_fake.h"
#include "test_support.h"

namespace {

class RegisterTest : public FirmwareTest {
 protected:
  void SetUp() override {
    FirmwareTest::SetUp();
    firmware_params_dialog(&cam);
    cam.log.clear();
    clear_messages();
  }
  void press(Fl_Button *b, const char *reg, const char *val = nullptr) {
    fwd()->reg_addr_val->value(reg);
    if (val) fwd()->reg_value_val->value(val);
    b->do_callback();
  }
  // the imager registers that the command words asked for, in order
  std::vector<unsigned> requested() const {
    std::vector<unsigned> regs;
    for (const auto &a : cam.log)
      if (a.op == 'W' && a.addr == REG_IMAGER_CMD) regs.push_back(a.value);
    return regs;
  }
  FakeCamera cam;
};

TEST_F(RegisterTest, SingleRegisterRead) {
  cam.imager[0x05] = 0x1a05;
  press(fwd()->reg_read_val, "5");
  std::vector<Access> want = {{'W', REG_IMAGER_CMD, 0x02050000},
                              {'R', REG_IMAGER_CMD, 0x02051a05}};
  EXPECT_EQ(cam.log, want);
  EXPECT_EQ(messages(),
            std::vector<std::string>{"[Device] Register 05: 1a 05"});
  EXPECT_STREQ(fwd()->reg_value_val->value(), "1a 05");
}

TEST_F(RegisterTest, RangesReadAscendingEitherWay) {
  std::vector<unsigned> want = {0x02100000, 0x02110000, 0x02120000,
                                0x02130000};
  for (const char *text : {"10-13", "13-10", "0x10-0x13"}) {
    cam.log.clear();
    cam.imager[0x13] = 0x0102;
    press(fwd()->reg_read_val, text);
    EXPECT_EQ(requested(), want) << text;
    EXPECT_STREQ(fwd()->reg_value_val->value(), "01 02") << text;
  }
  EXPECT_EQ(messages().size(), 12u);
}

TEST_F(RegisterTest, BlankBreaksTheRangePattern) {
  press(fwd()->reg_read_val, "10");
  press(fwd()->reg_read_val, "10 - 13");
  EXPECT_EQ(requested(), (std::vector<unsigned>{0x02100000, 0x02100000}));
}

TEST_F(RegisterTest, UnparsableTextReadsRegisterZero) {
  press(fwd()->reg_read_val, "zz");
  EXPECT_EQ(requested(), std::vector<unsigned>{0x02000000});
}

TEST_F(RegisterTest, ReadBackThatStoresNothingShowsTheRequestBytes) {
  cam.failing_reads.insert(REG_IMAGER_CMD);
  press(fwd()->reg_read_val, "7");
  EXPECT_EQ(messages(),
            std::vector<std::string>{"[Device] Register 07: 00 00"});
  EXPECT_STREQ(fwd()->reg_value_val->value(), "00 00");
}

TEST_F(RegisterTest, WriteSendsSixteenBitsWithoutReadingBack) {
  press(fwd()->reg_write_val, "05", "1234");
  press(fwd()->reg_write_val, "05", "12345");
  press(fwd()->reg_write_val, "05", "12 34");
  std::vector<Access> want = {{'W', REG_IMAGER_CMD, 0x04051234},
                              {'W', REG_IMAGER_CMD, 0x04052345},
                              {'W', REG_IMAGER_CMD, 0x04050012}};
  EXPECT_EQ(cam.log, want);
  EXPECT_TRUE(messages().empty());
}

TEST_F(RegisterTest, ReadValueWrittenBackSendsItsFirstByte) {
  cam.imager[0x20] = 0x1234;
  press(fwd()->reg_read_val, "20");
  EXPECT_STREQ(fwd()->reg_value_val->value(), "12 34");
  cam.log.clear();
  fwd()->reg_write_val->do_callback();
  EXPECT_EQ(cam.writes(), (std::vector<Access>{{'W', REG_IMAGER_CMD, 0x04200012}}));
}

void expect_refusal(const std::vector<std::string> &lines, const char *text) {
  ASSERT_EQ(lines.size(), 1u) << text;
  EXPECT_EQ(lines[0].rfind("[Device] ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("00-ff"), std::string::npos) << lines[0];
}

TEST_F(RegisterTest, RegisterNumbersBeyondEightBitsAreRefused) {
  for (const char *text : {"100", "-1", "ffffffff-0", "-5-7",
                           "123456789abcdef0123"}) {
    clear_messages();
    press(fwd()->reg_read_val, text);
    expect_refusal(messages(), text);
    clear_messages();
    press(fwd()->reg_write_val, text, "1234");
    expect_refusal(messages(), text);
  }
  // a range is refused whole, so no range runs without end
  for (const char *text : {"fe-100", "0-ffffffff"}) {
    clear_messages();
    press(fwd()->reg_read_val, text);
    expect_refusal(messages(), text);
  }
  EXPECT_TRUE(cam.log.empty());
  // the whole 8-bit range is still reachable
  press(fwd()->reg_read_val, "0-ff");
  EXPECT_EQ(requested().size(), 256u);
  EXPECT_EQ(requested().back(), 0x02ff0000u);
}

TEST_F(RegisterTest, DcamRead) {
  cam.regs[0xF0F00800] = 0x80000123;
  cam.regs[0xF0F00000] = 0x5;
  press(fwd()->dcam_reg_read_val, "800");
  press(fwd()->dcam_reg_read_val, "0");
  std::vector<Access> want = {{'R', 0xF0F00800, 0x80000123},
                              {'R', 0xF0F00000, 0x5}};
  EXPECT_EQ(cam.log, want);
  std::vector<std::string> lines = {"[Device] DCAM Register 800: 80000123",
                                    "[Device] DCAM Register 00: 0005"};
  EXPECT_EQ(messages(), lines);
  EXPECT_STREQ(fwd()->reg_value_val->value(), "0005");
}

TEST_F(RegisterTest, DcamOffsetWrapsAroundThirtyTwoBits) {
  cam.regs[0x00000010] = 1;
  press(fwd()->dcam_reg_read_val, "f100010");
  EXPECT_EQ(cam.log, (std::vector<Access>{{'R', 0x10, 1}}));
}

TEST_F(RegisterTest, DcamReadFailureLeavesTheValue) {
  fwd()->reg_value_val->value("keep");
  press(fwd()->dcam_reg_read_val, "abc");
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "[Device] DCAM Register abc: read failed"});
  EXPECT_STREQ(fwd()->reg_value_val->value(), "keep");
}

TEST_F(RegisterTest, DcamOffsetsOutsideThirtyTwoBitsAreRefused) {
  for (const char *text : {"-4", "100000000"}) {
    clear_messages();
    press(fwd()->dcam_reg_read_val, text);
    auto lines = messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[Device] ", 0), 0u);
  }
  EXPECT_TRUE(cam.log.empty());
}

TEST(RegisterText, RangePatternLikeScanf) {
  unsigned long a = 0, b = 0;
  EXPECT_EQ(parse_reg_range("10-13", &a, &b), 2);
  EXPECT_EQ(a, 0x10u);
  EXPECT_EQ(b, 0x13u);
  EXPECT_EQ(parse_reg_range(" 10- 13", &a, &b), 2);  // %x skips blanks
  EXPECT_EQ(parse_reg_range("10 -13", &a, &b), 1);
  EXPECT_EQ(parse_reg_range("10-", &a, &b), 1);
  EXPECT_EQ(parse_reg_range("10-x", &a, &b), 1);
  EXPECT_EQ(parse_reg_range("", &a, &b), 0);
  EXPECT_EQ(parse_reg_range("-", &a, &b), 0);
  EXPECT_EQ(parse_reg_range(nullptr, &a, &b), 0);
}

TEST(RegisterText, HexLikeStrtol) {
  EXPECT_EQ(parse_hex("10"), 0x10);
  EXPECT_EQ(parse_hex("  0x1F"), 0x1f);
  EXPECT_EQ(parse_hex("12 34"), 0x12);
  EXPECT_EQ(parse_hex("zz"), 0);
  EXPECT_EQ(parse_hex(""), 0);
  EXPECT_EQ(parse_hex(nullptr), 0);
}

TEST(RegisterText, DeviceIdMustBeOneSixteenBitNumber) {
  int serial = -1;
  struct Case {
    const char *text;
    int serial;  // -1: refused
  } cases[] = {{"12", 0x12},     {" 12 ", 0x12},  {"0x12", 0x12},
               {"ffff", 0xffff}, {"FFFF", 0xffff}, {"0", 0},
               {"0000012", 0x12}, {"10000", -1},   {"12345", -1},
               {"-1", -1},       {"+1", -1},      {"", -1},
               {"  ", -1},       {"0x", -1},      {"zz", -1},
               {"12 34", -1},    {"12g", -1},     {"fffffffffffffffffff1", -1}};
  for (const auto &c : cases) {
    serial = -1;
    bool ok = parse_device_id(c.text, &serial);
    EXPECT_EQ(ok, c.serial >= 0) << c.text;
    if (ok) {
      EXPECT_EQ(serial, c.serial) << c.text;
    }
  }
  EXPECT_FALSE(parse_device_id(nullptr, &serial));
}

TEST(RegisterAccess, NothingHappensBeforeAnOpening) {
  firmware_dialog_discard();
  Fl_Button b(0, 0, 10, 10);
  reg_read_cb(&b, nullptr);
  reg_write_cb(&b, nullptr);
  dcam_reg_read_cb(&b, nullptr);
  do_reg_read(5, 0x02);
  SUCCEED();
}

}  // namespace
