// Register space of the simulated cameras: configuration ROM with its CRCs,
// DCAM registers, the local parameter block, and device state that
// persists from one process to the next.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "virizeda_test_util.h"

namespace {

// IEEE 1212 CRC-16, four bits at a time, written apart from the library's.
unsigned crc16(const unsigned long *q, int n) {
  unsigned check = 0;
  for (int i = 0; i < n; ++i) {
    unsigned next = check;
    for (int shift = 28; shift >= 0; shift -= 4) {
      unsigned sum = ((next >> 12) ^ (unsigned)(q[i] >> shift)) & 0xf;
      next = (next << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
    }
    check = next & 0xffff;
  }
  return check;
}

const unsigned long ROM = 0xF0000400, DCAM = 0xF0F00000, LP = 0xF0FFF000;

}  // namespace

class Registers : public SimBusTest {
 protected:
  std::vector<unsigned long> quads(dCamera *c, unsigned long addr, int n) {
    std::vector<unsigned long> v;
    for (int i = 0; i < n; ++i) v.push_back(read(c, addr + 4 * i));
    return v;
  }
  // the identity programming sequence of the firmware dialog
  void program(dCamera *c, unsigned long serial_word) {
    unsigned long hdr = read(c, ROM);
    ASSERT_TRUE(c->WriteQuadlet(ROM + 0x10, serial_word));
    auto bib = quads(c, ROM + 4, 4);
    ASSERT_TRUE(c->WriteQuadlet(ROM, (hdr & 0xffff0000) | crc16(bib.data(), 4)));
    unsigned long leaf = read(c, ROM + 0x28);
    ASSERT_TRUE(c->WriteQuadlet(ROM + 0x30, serial_word));
    auto uid = quads(c, ROM + 0x2C, 2);
    ASSERT_TRUE(c->WriteQuadlet(ROM + 0x28, (leaf & 0xffff0000) | crc16(uid.data(), 2)));
  }
};

TEST_F(Registers, CrcRoutineOfTheTestMatchesKnownValues) {
  unsigned long one = 1, bus = 0x31333934;
  EXPECT_EQ(crc16(nullptr, 0), 0u);
  EXPECT_EQ(crc16(&one, 1), 0x1021u);
  EXPECT_EQ(crc16(&bus, 1), 0x0F72u);
}

TEST_F(Registers, RomBusInfoBlockRootDirectoryAndUniqueIdLeaf) {
  open_bus();
  for (int n = 0; n < 3; ++n) {
    dCamera *c = dSys->InitCamera(n);
    unsigned long hdr = read(c, ROM);
    EXPECT_EQ(hdr >> 24, 4u) << "info length";
    EXPECT_EQ((hdr >> 16) & 0xff, 4u) << "CRC length";
    auto bib = quads(c, ROM + 4, 4);
    EXPECT_EQ(hdr & 0xffff, crc16(bib.data(), 4));
    EXPECT_EQ(bib[0], 0x31333934u);
    EXPECT_EQ(bib[3], (unsigned long)(unsigned)c->devID);
    EXPECT_EQ((bib[3] >> 16) & 0xf, (unsigned long)((c->devID >> 16) & 0xf));
    unsigned long root = read(c, ROM + 0x14);
    int len = root >> 16;
    ASSERT_GT(len, 0);
    auto dir = quads(c, ROM + 0x18, len);
    EXPECT_EQ(root & 0xffff, crc16(dir.data(), len));
    // the root directory leads to the unique ID leaf
    bool leaf_found = false;
    for (int i = 0; i < len; ++i)
      if (dir[i] >> 24 == 0x8d)
        leaf_found = ROM + 0x18 + 4 * i + 4 * (dir[i] & 0xffffff) == ROM + 0x28;
    EXPECT_TRUE(leaf_found);
    unsigned long leaf = read(c, ROM + 0x28);
    EXPECT_EQ(leaf >> 16, 2u);
    auto uid = quads(c, ROM + 0x2C, 2);
    EXPECT_EQ(leaf & 0xffff, crc16(uid.data(), 2));
    EXPECT_EQ(uid[0], bib[2]);
    EXPECT_EQ(uid[1], bib[3]);
  }
  EXPECT_EQ(read(dSys->InitCamera(1), ROM + 0x10), 0x0000ffffu);
}

TEST_F(Registers, ProgrammedChipIdShowsInDevIdAtOnceAndAtTheNextOpening) {
  dCamera *c = open_camera(1);
  program(c, 0x00080012);
  EXPECT_EQ(c->devID, 0x00080012) << "true to the device after the write";
  EXPECT_EQ(dSys->InitCamera(1), c);
  EXPECT_EQ(c->devID, 0x00080012);
  auto bib = quads(c, ROM + 4, 4);
  EXPECT_EQ(read(c, ROM) & 0xffff, crc16(bib.data(), 4));
  EXPECT_EQ(read(c, ROM) >> 16, 0x0404u) << "upper half kept";
  EXPECT_TRUE(vzsim::called("WriteQuadlet(f0000410,00080012)"));
}

TEST_F(Registers, DcamInquiryAndCurrentFormatRegisters) {
  open_bus();
  dCamera *color = dSys->InitCamera(0), *mono = dSys->InitCamera(1);
  EXPECT_EQ(read(color, DCAM + 0x100), 0xA1000000u) << "Format_0, _2, _7";
  EXPECT_EQ(read(color, DCAM + 0x180), 0xFC000000u) << "Mode_0 to Mode_5";
  EXPECT_EQ(read(mono, DCAM + 0x180), 0x04000000u) << "Mono8 only";
  EXPECT_EQ(read(color, DCAM + 0x188), 0xE0000000u) << "1280x960 YUV422, RGB8, Mono8";
  EXPECT_EQ(read(color, DCAM + 0x19C), 0x80000000u);
  EXPECT_EQ(read(color, DCAM + 0x214), 0x7C000000u) << "3.75 to 60 fps";
  EXPECT_EQ(read(mono, DCAM + 0x210), 0u) << "no RGB mode";
  ASSERT_TRUE(color->SetFormat(S_640x480, S_RGB24, S_7, 1, false));
  EXPECT_EQ(read(color, DCAM + 0x600), 2u << 29) << "FrameRate_2, 7.5";
  EXPECT_EQ(read(color, DCAM + 0x604), 4u << 29);
  EXPECT_EQ(read(color, DCAM + 0x608), 0u);
  ASSERT_TRUE(color->SetFormat(S_1280x960, S_MONO, S_15, 1, false));
  EXPECT_EQ(read(color, DCAM + 0x604), 2u << 29);
  EXPECT_EQ(read(color, DCAM + 0x608), 2u << 29);
  ASSERT_TRUE(color->SetFormat(S_160x120, S_BAYER, S_30, 1, false));
  EXPECT_EQ(read(color, DCAM + 0x608), 7u << 29);
  unsigned long f7 = DCAM + 0x1000;
  EXPECT_EQ(0xF0000000u + 4 * read(color, DCAM + 0x2E0), f7);
  EXPECT_EQ(read(color, f7 + 0xC), (160u << 16) | 120u);
  EXPECT_EQ(read(color, f7 + 0x10), 9u << 24) << "RAW8";
  EXPECT_EQ(read(color, DCAM + 0x60C), (1u << 15) | (0u << 8) | 3u) << "S800, 1394b layout";
}

TEST_F(Registers, IsoEnableFollowsTheStreamBothWays) {
  dCamera *c = open_camera(0);
  EXPECT_EQ(read(c, DCAM + 0x614), 0u);
  ASSERT_TRUE(c->Start());
  EXPECT_EQ(read(c, DCAM + 0x614), 0x80000000u);
  ASSERT_TRUE(c->WriteQuadlet(DCAM + 0x614, 0));
  unsigned char *img;
  EXPECT_FALSE(c->GetImage(&img, 10, nullptr, nullptr));
  ASSERT_TRUE(c->WriteQuadlet(DCAM + 0x614, 0x80000000));
  EXPECT_TRUE(c->GetImage(&img, 500, nullptr, nullptr));
  ASSERT_TRUE(c->WriteQuadlet(DCAM + 0x000, 0x80000000));  // INITIALIZE
  EXPECT_EQ(read(c, DCAM + 0x614), 0u);
}

TEST_F(Registers, FeatureRegistersShowValuesAndAutoStates) {
  open_bus();
  dCamera *c = dSys->InitCamera(0), *m = dSys->InitCamera(1);
  dCamera *b = dSys->InitCamera(2);
  unsigned long hi = read(c, DCAM + 0x404);
  for (int bit : {31, 30, 29, 28, 26, 25, 24, 23}) EXPECT_TRUE(hi >> bit & 1) << bit;
  unsigned long hi_m = read(m, DCAM + 0x404);
  EXPECT_FALSE(hi_m >> 28 & 1) << "no white balance in monochrome";
  EXPECT_FALSE(hi_m >> 26 & 1) << "no saturation in monochrome";
  EXPECT_FALSE(hi_m >> 25 & 1) << "no imager gamma";
  EXPECT_FALSE(read(b, DCAM + 0x500) >> 25 & 1) << "brightness has no auto";
  unsigned long shutter_inq = read(c, DCAM + 0x51C);
  EXPECT_TRUE(shutter_inq >> 31 & 1);
  EXPECT_TRUE(shutter_inq >> 25 & 1) << "auto";
  EXPECT_TRUE(shutter_inq >> 24 & 1) << "manual";
  int lo = (shutter_inq >> 12) & 0xfff, top = shutter_inq & 0xfff;
  c->SetExposure(100, false);
  EXPECT_EQ(read(c, DCAM + 0x81C) & 0xfff, (unsigned long)top);
  c->SetExposure(0, false);
  EXPECT_EQ(read(c, DCAM + 0x81C) & 0xfff, (unsigned long)lo);
  EXPECT_FALSE(read(c, DCAM + 0x81C) >> 24 & 1);
  c->SetExposure(0, true);
  EXPECT_TRUE(read(c, DCAM + 0x81C) >> 24 & 1);
  c->SetGain(0, true);
  EXPECT_TRUE(read(c, DCAM + 0x820) >> 24 & 1);
  c->SetWhiteBalance(100, 0, false);
  unsigned long wb = read(c, DCAM + 0x80C);
  EXPECT_EQ(wb & 0xfff, 255u) << "red";
  EXPECT_EQ((wb >> 12) & 0xfff, 0u) << "blue";
  EXPECT_TRUE(read(c, DCAM + 0x818) >> 25 & 1) << "gamma on";
  // writes go through the same controls
  ASSERT_TRUE(c->WriteQuadlet(DCAM + 0x820, 0x80000000 | 255));
  EXPECT_EQ(c->gain, 100);
  EXPECT_FALSE(c->do_auto_gain);
  ASSERT_TRUE(c->WriteQuadlet(DCAM + 0x800, 0x81000000));
  EXPECT_TRUE(c->auto_brightness);
  EXPECT_FALSE(m->WriteQuadlet(DCAM + 0x814, 0x80000010)) << "absent feature";
  EXPECT_FALSE(b->WriteQuadlet(DCAM + 0x800, 0x81000000)) << "no auto brightness";
  EXPECT_FALSE(b->WriteQuadlet(DCAM + 0x80C, 0x81000000)) << "no auto balance";
  EXPECT_EQ(read(b, DCAM + 0x510), 0u) << "hue is absent";
}

TEST_F(Registers, LocalBlockWordsAndTheirEffects) {
  dCamera *c = open_camera(0);
  EXPECT_EQ(read(c, LP + 0x004), 0x0205u);
  EXPECT_EQ(read(c, LP + 0x008) >> 16 & 0xf, 8u) << "stereo type";
  EXPECT_EQ(read(c, LP + 0x00C), 0x1234u);
  EXPECT_EQ(read(c, LP + 0x020), 0x02030412u);
  EXPECT_EQ(read(c, LP + 0x01C) >> 31, 1u) << "calibration stored";
  ASSERT_TRUE(c->WriteQuadlet(LP + 0x00C, 0x01001234));
  EXPECT_TRUE(c->isReversed);
  EXPECT_EQ(read(c, LP + 0x00C), 0x01001234u);
  ASSERT_TRUE(c->WriteQuadlet(LP + 0x024, 0x00010001));
  EXPECT_TRUE(c->is_50Hz_rate);
  ASSERT_TRUE(c->WriteQuadlet(LP + 0x024, 0x00010000));
  EXPECT_FALSE(c->is_50Hz_rate);
  EXPECT_EQ(read(c, LP + 0x024), 0x00010000u);
  EXPECT_FALSE(c->WriteQuadlet(LP + 0x024, 0)) << "not a rate word";
  ASSERT_TRUE(c->WriteQuadlet(LP + 0x010, 0x00020005));
  EXPECT_EQ(c->y_offset, 5);
  EXPECT_EQ(c->y_offset_right, 2);
  EXPECT_FALSE(c->WriteQuadlet(LP + 0x010, 9)) << "above max_y_offset";
  ASSERT_TRUE(c->WriteQuadlet(LP + 0x014, 0x00100020));
  EXPECT_EQ(c->black_offset, 0x20);
  ASSERT_TRUE(c->SetProcMode(PROC_MODE_RECTIFIED));
  EXPECT_EQ(read(c, LP + 0x018) & 0xff, 3u);
  dCamera *m = dSys->InitCamera(1);
  EXPECT_FALSE(m->WriteQuadlet(LP + 0x024, 0x00010001)) << "no 50 Hz";
  EXPECT_TRUE(m->WriteQuadlet(LP + 0x024, 0x00010000));
}

TEST_F(Registers, ImagerCommandWordReadsAndWritesImagerRegisters) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->WriteQuadlet(LP, 0x04051234));
  ASSERT_TRUE(c->WriteQuadlet(LP, 0x02050000));
  EXPECT_EQ(read(c, LP), 0x02051234u);
  ASSERT_TRUE(c->WriteQuadlet(LP, 0x02060000));
  EXPECT_EQ(read(c, LP) & 0xffff, 0u);
  ASSERT_TRUE(c->WriteQuadlet(LP, 0x02000000));
  EXPECT_NE(read(c, LP) & 0xffff, 0u) << "chip version in register 0";
  EXPECT_FALSE(c->WriteQuadlet(LP, 0x07050000)) << "unknown request";
}

TEST_F(Registers, NoLocalBlockOnTheBayerCamera) {
  dCamera *b = open_camera(2);
  unsigned long v = 42;
  for (unsigned long off = 0; off <= 0x24; off += 4) {
    EXPECT_FALSE(b->ReadQuadlet(LP + off, &v));
    EXPECT_FALSE(b->WriteQuadlet(LP + off, 0x00010000));
  }
  EXPECT_EQ(v, 42u);
}

// ------------------------------------------------------------ persistence

class Persistence : public Registers {
 protected:
  // Runs body in a child process, as a later program run would be apart.
  template <class F>
  void in_child(F body) {
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dcamDebug = nullptr;
      dSys = nullptr;  // the parent's bus is not this process's to delete
      dSysInit();
      _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
};

TEST_F(Persistence, RomLocalBlockAndCalibrationCarryOverToTheNextProcess) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir_.path().c_str());
  in_child([] {
    dCamera *m = dSys->InitCamera(1);
    dCamera *s = dSys->InitCamera(0);
    return m->WriteQuadlet(ROM + 0x10, 0x00080042) &&
           m->WriteQuadlet(LP + 0x00C, 0x01000042) && m->SaveLocalParams() &&
           s->SetCalib(nullptr, 0) && s->WriteQuadlet(LP + 0x024, 0x00010001);
  });
  open_bus();
  dCamera *m = dSys->InitCamera(1);
  EXPECT_EQ(m->devID, 0x00080042);
  EXPECT_TRUE(m->isReversed);
  EXPECT_EQ(read(m, LP + 0x00C), 0x01000042u);
  dCamera *s = dSys->InitCamera(0);
  EXPECT_FALSE(s->GetCalib(nullptr, 0));
  EXPECT_FALSE(s->is_50Hz_rate) << "changed but never saved";
  EXPECT_TRUE(DiagLines::lines().size() > 0);
  EXPECT_THAT(DiagLines::lines(), testing::Not(HasLine("cannot")));
}

TEST_F(Persistence, WithoutAStateDirectoryNothingCarriesOver) {
  in_child([] {
    dCamera *m = dSys->InitCamera(1);
    return m->WriteQuadlet(ROM + 0x10, 0x00080042) && m->SaveLocalParams();
  });
  EXPECT_EQ(open_camera(1)->devID, 0xffff);
}

TEST_F(Persistence, UnusableStateIsReportedNeverACrash) {
  std::string file = dir_.file("plain-file");
  write_file(file, "x");
  ScopedEnv state("VIRIZEDA_SIM_STATE", file.c_str());
  dCamera *c = open_camera(0);
  ASSERT_NE(c, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("state directory " + file + " cannot be used"));
  EXPECT_FALSE(c->SaveLocalParams()) << "not written, so not reported as saved";
  EXPECT_THAT(DiagLines::lines(), HasLine("cannot be written"));
  EXPECT_FALSE(c->WriteQuadlet(ROM + 0x10, 0x00081235));
  EXPECT_EQ(read(c, ROM + 0x10), 0x00081235u) << "the device holds it still";
  EXPECT_FALSE(c->SetCalib(nullptr, 0));
  EXPECT_FALSE(c->GetCalib(nullptr, 0));
}

TEST_F(Persistence, DamagedStateFilesAreReportedAndFactoryStateUsed) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir_.path().c_str());
  open_bus();
  dCamera *c = dSys->InitCamera(1);
  ASSERT_TRUE(c->SaveLocalParams());
  ASSERT_TRUE(c->WriteQuadlet(ROM + 0x10, 0x00080001));
  std::string rom_file, local_file;
  for (const char *kind : {"rom", "local"}) {
    std::string name = "camera1-" + std::string(dSys->ChipIDs()[1]) + "." + kind;
    struct stat st;
    ASSERT_EQ(stat(dir_.file(name).c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    write_file(dir_.file(name), "short");
  }
  DiagLines::clear();
  c = open_camera(1);
  EXPECT_EQ(c->devID, 0xffff);
  EXPECT_THAT(DiagLines::lines(), HasLine("holds 5 bytes, not 1024; factory ROM used"));
  EXPECT_THAT(DiagLines::lines(), HasLine("holds 5 bytes, not 40"));
}

// A state file that is a FIFO or a link is reported and skipped: no start
// waits on it, and nothing is read from outside the state directory.
TEST_F(Persistence, FifoAndLinkStateFilesAreSkipped) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir_.path().c_str());
  open_bus();
  ASSERT_NE(dSys, nullptr);
  std::string base = dir_.file("camera1-" + std::string(dSys->ChipIDs()[1]));
  ASSERT_EQ(0, mkfifo((base + ".rom").c_str(), 0600));
  // a programmed image outside the directory, reached through a link
  TempDir outside;
  std::string local(40, '\0');
  local[12] = 0x42;
  write_file(outside.file("local"), local);
  ASSERT_EQ(0, symlink(outside.file("local").c_str(), (base + ".local").c_str()));
  in_child([] {
    alarm(20);  // a start that blocks fails the test instead of hanging it
    dSys = nullptr;
    dSysInit();
    return dSys && dSys->InitCamera(1) && dSys->InitCamera(1)->devID == 0xffff;
  });
  DiagLines::clear();
  dCamera *c = open_camera(1);
  ASSERT_NE(c, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine(base + ".rom is not a regular file"));
  EXPECT_THAT(DiagLines::lines(), HasLine(base + ".local is a symbolic link"));
  EXPECT_EQ(read(c, LP + 0x00C) & 0xffff, 0xffffu);
}

// Two processes on one state directory: a write of one keeps what the
// other wrote since, whether or not a file was there when both started.
TEST_F(Persistence, ConcurrentWritersKeepEachOthersWrites) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir_.path().c_str());
  for (bool file_at_start : {false, true}) {
    SCOPED_TRACE(file_at_start);
    TempDir fresh;
    ScopedEnv here("VIRIZEDA_SIM_STATE", fresh.path().c_str());
    if (file_at_start) {
      open_bus();
      ASSERT_TRUE(dSys->InitCamera(1)->WriteQuadlet(ROM + 0x2C, 0x0a139401));
      ASSERT_TRUE(dSys->InitCamera(1)->SaveLocalParams());
    }
    open_bus();
    dCamera *mine = dSys->InitCamera(1);
    ASSERT_NE(mine, nullptr);
    in_child([] {
      dCamera *other = dSys->InitCamera(1);
      return other->WriteQuadlet(ROM + 0x10, 0x00080042) &&
             other->WriteQuadlet(LP + 0x00C, 0x00000042) &&
             other->SaveLocalParams();
    });
    // unrelated writes from a copy that never saw the serial
    ASSERT_TRUE(mine->WriteQuadlet(ROM + 0x0C, 0x12345678));
    ASSERT_TRUE(mine->SaveLocalParams());  // its block as it was
    dCamera *c = open_camera(1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->devID, 0x00080042);
    EXPECT_EQ(read(c, ROM + 0x0C), 0x12345678u);
    EXPECT_EQ(read(c, LP + 0x00C) & 0xffff, 0x42u);
  }
}

// A value written back to what this process had still replaces what
// another process wrote since: a save carries what was written.
TEST_F(Persistence, AValueWrittenBackReachesTheFlash) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir_.path().c_str());
  open_bus();
  dCamera *mine = dSys->InitCamera(1);
  ASSERT_NE(mine, nullptr);
  in_child([] {
    dCamera *other = dSys->InitCamera(1);
    return other->WriteQuadlet(ROM + 0x10, 0x00080042) &&
           other->WriteQuadlet(LP + 0x00C, 0x01000042) && other->SaveLocalParams();
  });
  ASSERT_TRUE(mine->WriteQuadlet(LP + 0x00C, 0x0000ffff));  // inversion off
  ASSERT_TRUE(mine->SaveLocalParams());
  ASSERT_TRUE(mine->WriteQuadlet(ROM + 0x10, 0x0000ffff));
  dCamera *c = open_camera(1);
  EXPECT_FALSE(c->isReversed);
  EXPECT_EQ(read(c, LP + 0x00C), 0x0000ffffu);
  EXPECT_EQ(c->devID, 0xffff);
}

// Only what identity programming writes can change: elsewhere the ROM is
// read-only, and a CRC quadlet keeps the lengths it holds.
TEST_F(Registers, RomRefusesWritesOutsideTheIdentity) {
  dCamera *c = open_camera(1);
  std::vector<unsigned long> before = quads(c, ROM, 256);
  for (unsigned long off : {0x058ul, 0x004ul, 0x014ul, 0x024ul, 0x3f0ul})
    EXPECT_FALSE(c->WriteQuadlet(ROM + off, 0)) << std::hex << off;
  EXPECT_FALSE(c->WriteQuadlet(ROM, 0x04050000 | (before[0] & 0xffff))) << "a length";
  EXPECT_FALSE(c->WriteQuadlet(ROM + 0x28, before[10] + 0x10000)) << "a length";
  EXPECT_EQ(quads(c, ROM, 256), before);
  for (unsigned long off : {0x0Cul, 0x2Cul})
    EXPECT_TRUE(c->WriteQuadlet(ROM + off, before[off / 4])) << std::hex << off;
  program(c, 0x00080033);
  EXPECT_EQ(c->devID, 0x00080033);
}

TEST_F(Registers, ModeWrittenThroughRegistersIsUndoneAtTheNextStart) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->SetFormat(S_640x480, S_RGB24, S_15, 1, false));
  ASSERT_TRUE(c->WriteQuadlet(DCAM + 0x604, 0u << 29));  // 160x120 YUV444
  ASSERT_TRUE(c->Start());
  EXPECT_EQ(read(c, DCAM + 0x604), 4u << 29) << "RGB8, as the format says";
  unsigned char *img = nullptr;
  int seq = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &seq, nullptr));
  EXPECT_EQ(vzsim::barcode(img, 640, 3), seq);
}
