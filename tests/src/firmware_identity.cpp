// Identity programming: the CRC routine and the exact sequence of register
// accesses that programs a serial number.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "firmware_fake.h"
#include "test_support.h"

namespace {

TEST(OhciCrc16, KnownValues) {
  EXPECT_EQ(ohci_crc16(nullptr, 0), 0);
  uint32_t one = 0x00000001, name = 0x31333934;
  EXPECT_EQ(ohci_crc16(&one, 1), 0x1021);
  EXPECT_EQ(ohci_crc16(&name, 1), 0x0F72);
  EXPECT_EQ(xmodem_quads({0x31333934}), 0x0F72);  // the reference agrees
}

TEST(OhciCrc16, MatchesXmodemOnRandomData) {
  std::mt19937 rng(1394);
  for (int round = 0; round < 500; round++) {
    std::vector<uint32_t> q(rng() % 9);
    for (auto &v : q) v = rng();
    int crc = ohci_crc16(q.data(), (int)q.size());
    EXPECT_EQ(crc, xmodem_quads(q)) << "round " << round;
    EXPECT_EQ(crc & ~0xffff, 0);
  }
}

// A camera with an unprogrammed ROM laid out as IEEE 1212 has it.
class ProgramTest : public FirmwareTest {
 protected:
  void SetUp() override {
    FirmwareTest::SetUp();
    cam.regs[REG_ID_INVERSION] = 0x0000ffff;
    unprogrammed_rom(cam);
    firmware_params_dialog(&cam);
    cam.log.clear();
    clear_messages();
  }
  // enters the text and commits it, answering the question
  std::string enter(const char *text, std::vector<std::string> answers) {
    DialogAnswerer a(answers);
    fwd()->device_id_val->value(text);
    testing::internal::CaptureStdout();
    fwd()->device_id_val->do_callback();
    std::string out = testing::internal::GetCapturedStdout();
    asked = a.seen().size() == 1 && a.saw("Are you sure you want to set the "
                                          "device STEREO #" + std::string(text) + "?");
    EXPECT_EQ(a.pending(), 0u);
    return out;
  }
  FakeCamera cam;
  bool asked = false;
  unsigned long bus0() { return cam.regs[0xF0000400]; }
  unsigned long leaf0() { return cam.regs[0xF0000428]; }
};

TEST_F(ProgramTest, WritesEveryWordInOrder) {
  unsigned long b0 = bus0(), l0 = leaf0();
  std::string out = enter("12", {"Yes"});
  EXPECT_TRUE(asked);
  EXPECT_EQ(out, "  Camera ID:    0000ffff\n");
  unsigned bus_crc = xmodem_quads({0x31333934, 0xe0ff8112, 0x00500e01, 0x00080012});
  unsigned leaf_crc = xmodem_quads({0x00500e01, 0x00080012});
  std::vector<Access> want = {
      // the layout is checked before the question
      {'R', 0xF0000400, b0},
      {'R', 0xF0000404, 0x31333934},
      {'R', 0xF0000408, 0xe0ff8112},
      {'R', 0xF000040C, 0x00500e01},
      {'R', 0xF0000410, 0xffff},
      {'R', 0xF0000428, l0},
      {'R', 0xF000042C, 0x00500e01},
      {'R', 0xF0000430, 0xffff},
      {'R', 0xF0FFF008, 0x8},
      {'R', 0xF0FFF00C, 0xffff},
      {'W', 0xF0FFF00C, 0x12},
      {'R', 0xF0FFF00C, 0x12},
      {'S', 0, 0},
      {'R', 0xF0000400, b0},
      {'R', 0xF0000410, 0xffff},
      {'W', 0xF0000410, 0x00080012},
      {'R', 0xF0000410, 0x00080012},
      {'R', 0xF0000404, 0x31333934},
      {'R', 0xF0000408, 0xe0ff8112},
      {'R', 0xF000040C, 0x00500e01},
      {'W', 0xF0000400, 0x04040000 | bus_crc},
      {'R', 0xF0000400, 0x04040000 | bus_crc},
      {'R', 0xF0000428, l0},
      {'R', 0xF0000430, 0xffff},
      {'W', 0xF0000430, 0x00080012},
      {'R', 0xF0000430, 0x00080012},
      {'R', 0xF000042C, 0x00500e01},
      {'W', 0xF0000428, 0x00020000 | leaf_crc},
      {'R', 0xF0000428, 0x00020000 | leaf_crc}};
  EXPECT_EQ(cam.log, want);

  char crc1[64], crc2[64], q1[64], q2[64], old1[64], old2[64];
  snprintf(old1, sizeof old1, "  ROM bus info block first quad: %08lx", b0);
  snprintf(old2, sizeof old2, "  ROM unique leaf ID first quad: %08lx", l0);
  snprintf(crc1, sizeof crc1, "  Setting CRC to                     %04x", bus_crc);
  snprintf(crc2, sizeof crc2, "  Setting CRC to                     %04x", leaf_crc);
  snprintf(q1, sizeof q1, "  ROM bus info block first quad: %08x", 0x04040000 | bus_crc);
  snprintf(q2, sizeof q2, "  ROM unique leaf ID first quad: %08x", 0x00020000 | leaf_crc);
  std::vector<std::string> lines = {
      "[Device]  Camera type:  00000008",
      "  *** Setting ID in local block",
      "  Camera ID:    00000012",
      old1,
      "  Chip ID low:                   0000ffff",
      "  Setting serial number to       00080012",
      "  Chip ID low:                   00080012",
      crc1,
      q1,
      old2,
      "  Chip ID low:                   0000ffff",
      "  Setting serial number to       00080012",
      "  Chip ID low:                   00080012",
      crc2,
      q2};
  EXPECT_EQ(messages(), lines);

  EXPECT_STREQ(fwd()->device_type_val->text(), "Stereo");
  EXPECT_FALSE(fwd()->device_id_val->active());
  EXPECT_STREQ(fwd()->device_id_val->value(), "0012");
}

TEST_F(ProgramTest, InversionAfterProgrammingKeepsTheNewSerial) {
  enter("12", {"Yes"});
  cam.log.clear();
  fwd()->reversed_val->value(1);
  fwd()->reversed_val->do_callback();
  EXPECT_EQ(cam.writes(), (std::vector<Access>{{'W', REG_ID_INVERSION, 0x01000012}}));
}

TEST_F(ProgramTest, NoWritesNothing) {
  std::string out = enter("12", {"No"});
  EXPECT_TRUE(asked);
  EXPECT_TRUE(cam.writes().empty());
  EXPECT_EQ(out, "");
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(fwd()->device_id_val->active());
  EXPECT_FALSE(fwd()->device_id_val->output());
  EXPECT_STREQ(fwd()->device_type_val->text(), "Unknown");
}

TEST_F(ProgramTest, UnreachableLocalBlockStillProgramsTheRom) {
  for (bool fail : {true, false}) {
    cam.log.clear();
    clear_messages();
    if (fail)
      cam.failing_reads.insert(REG_CAMERA_TYPE);
    else
      cam.regs[REG_CAMERA_TYPE] = 0xffffffff;  // all ones counts the same
    fwd()->device_id_val->activate();
    enter("7", {"Yes"});
    auto lines = messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], fail ? "[Device]  Camera type:  00000000"
                             : "[Device]  Camera type:  ffffffff");
    EXPECT_EQ(lines[1], "  Couldn't access local params");
    for (const auto &a : cam.writes())
      EXPECT_NE(a.addr, REG_ID_INVERSION) << a;
    EXPECT_EQ(cam.regs[0xF0000410], 0x00080007u);
    EXPECT_EQ(cam.regs[0xF0000430], 0x00080007u);
    EXPECT_EQ(cam.writes().size(), 4u);
    cam.failing_reads.clear();
  }
}

// A ROM laid out otherwise than programming assumes is refused before the
// question, and nothing is written.
TEST_F(ProgramTest, UnexpectedRomLayoutIsRefused) {
  struct Damage {
    unsigned long addr, value;
    const char *why;
  } cases[] = {
      {0xF0000400, 0x05040000, "its bus info block is not 4 quadlets with a CRC over 4"},
      {0xF0000400, 0x04080000, "its bus info block is not 4 quadlets with a CRC over 4"},
      {0xF0000400, 0x04040000, "the CRC of its bus info block is wrong"},
      {0xF0000428, 0x00030000, "its unique ID leaf is not at 0428 with its chip ID"},
      {0xF000042C, 0x00500e02, "its unique ID leaf is not at 0428 with its chip ID"},
      {0xF0000428, 0x00020000, "the CRC of its unique ID leaf is wrong"},
  };
  auto good = cam.regs;
  for (const Damage &d : cases) {
    cam.regs = good;
    cam.regs[d.addr] = d.value;
    cam.log.clear();
    clear_messages();
    enter("12", {});
    EXPECT_FALSE(asked) << d.why;
    EXPECT_TRUE(cam.writes().empty()) << d.why;
    EXPECT_EQ(messages(), std::vector<std::string>{
                              std::string("[Device] Can't program the device ID: ") +
                              d.why}) << d.why;
  }
  cam.regs = good;
  cam.failing_reads.insert(0xF0000430);
  clear_messages();
  enter("12", {});
  EXPECT_FALSE(asked);
  EXPECT_TRUE(cam.writes().empty());
  EXPECT_TRUE(fwd()->device_id_val->active());
}

// A write the device refuses, or one that does not read back, stops the
// programming there, says so, and leaves the field open.
TEST_F(ProgramTest, RefusedOrLostWriteStopsAndIsReported) {
  auto good = cam.regs;
  for (int lost : {0, 1}) {
    cam.regs = good;
    cam.refused_writes.clear();
    cam.lost_writes.clear();
    (lost ? cam.lost_writes : cam.refused_writes).insert(0xF0000410);
    cam.log.clear();
    clear_messages();
    enter("12", {"Yes"});
    for (const Access &a : cam.writes())
      EXPECT_NE(a.addr, 0xF0000400u) << "no CRC after a failed serial";
    auto lines = messages();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        lost ? "[Device] After the write of the chip ID it reads back 0000ffff, "
                             "not 00080012"
                             : "[Device] The device refused the write of the chip ID"),
              lines.end())
        << lost;
    EXPECT_EQ(lines.back(), "[Device] Device ID not programmed");
    EXPECT_STREQ(fwd()->device_type_val->text(), "Unknown");
    EXPECT_TRUE(fwd()->device_id_val->active());
    EXPECT_STREQ(fwd()->device_id_val->value(), "ffff");
  }
  // the local block refusing its save stops before the ROM
  cam.regs = good;
  cam.refused_writes.clear();
  cam.lost_writes.clear();
  cam.save_ok = false;
  cam.log.clear();
  clear_messages();
  enter("12", {"Yes"});
  for (const Access &a : cam.writes())
    EXPECT_TRUE(a.addr < 0xF0000400u || a.addr > 0xF0000430u) << a;
  EXPECT_EQ(messages()[messages().size() - 2],
            "[Device] The device did not store its local parameters");
}

// Clicks into the field, types the text and leaves it, as an operator
// would: the keys go to whatever has the focus.
static void type_and_leave(Fl_Input *in, const char *text) {
  Fl::focus(nullptr);
  in->take_focus();  // refused by a field that is output only
  for (const char *p = text; *p; p++) {
    char key[2] = {*p, 0};
    Fl::e_keysym = *p;
    Fl::e_text = key;
    Fl::e_length = 1;
    Fl::e_state = 0;
    Fl::handle(FL_KEYBOARD, in->window());
  }
  Fl::focus(nullptr);  // the field, when it had the focus, commits
}

// The library reports a camera whose ROM serial reads ffff but that has no
// local block as 0000fffe, so that it never shows as unprogrammed. Its word
// decides, not the ROM's: nothing can be typed in, and nothing is written.
TEST_F(FirmwareTest, CameraTheLibraryCallsProgrammedIsNotOffered) {
  FakeCamera cam;
  unprogrammed_rom(cam);
  cam.devID = 0x0000fffe;
  firmware_params_dialog(&cam);
  EXPECT_STREQ(fwd()->device_id_val->value(), "fffe");
  EXPECT_TRUE(fwd()->device_id_val->output());
  EXPECT_STREQ(fwd()->device_type_val->text(), "Unknown");
  cam.log.clear();
  {
    DialogAnswerer none({});
    type_and_leave(fwd()->device_id_val, "12");
    settle(0.1);
    EXPECT_TRUE(none.seen().empty());
  }
  EXPECT_STREQ(fwd()->device_id_val->value(), "fffe");
  EXPECT_TRUE(cam.writes().empty());

  // the same typing on an unprogrammed camera asks, and programs it
  FakeCamera blank;
  unprogrammed_rom(blank);
  firmware_dialog_discard();  // output-only would outlast the opening
  firmware_params_dialog(&blank);
  ASSERT_FALSE(fwd()->device_id_val->output());
  DialogAnswerer yes({"Yes"});
  testing::internal::CaptureStdout();
  fwd()->device_id_val->value("");
  type_and_leave(fwd()->device_id_val, "12");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, yes.pending());
  EXPECT_EQ(0x00080012u, blank.regs[0xF0000430]);
}

TEST_F(ProgramTest, BadNumbersAreRefusedBeforeAnyAccess) {
  for (const char *text : {"10000", "12345", "zz", "", "12 34", "-1"}) {
    clear_messages();
    std::string out = enter(text, {});
    EXPECT_FALSE(asked) << text;
    EXPECT_EQ(out, "") << text;
    auto lines = messages();
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0].rfind("[Device] Device ID", 0), 0u) << lines[0];
  }
  EXPECT_TRUE(cam.log.empty());
  EXPECT_TRUE(fwd()->device_id_val->active());
}

}  // namespace
