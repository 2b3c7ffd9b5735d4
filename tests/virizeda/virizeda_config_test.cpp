// The configuration file of the simulated bus and its fault injection.
#include <string.h>
#include <time.h>

#include <sstream>
#include <string>
#include <vector>

#include "virizeda_test_util.h"

using Config = SimBusTest;

TEST_F(Config, EveryNamedKeyReachesTheCamera) {
  dCamera *c = open_camera(0, R"({"bus_speed": "400", "cameras": [{
    "name": "Left Rig", "chip_id": "rig-1", "color": true, "bayer": true,
    "bggr": true, "stereo": true, "imager": "2", "fw_firmware": "0x0301",
    "cam_firmware": 1042, "dev_id": "0x81234", "local_params_version": "0x0a0a",
    "calibration": "my calibration",
    "has_auto_exposure": true, "do_auto_gain": true, "has_auto_gain": true,
    "has_frame_div": true, "max_frame_div": 3, "frame_div": 2,
    "has_y_offset": true, "max_y_offset": 8, "y_offset": "5",
    "has_gamma": true, "gamma": true, "exposure": 63, "max_exposure": 90,
    "has_50Hz_rate": true, "is_50Hz_rate": true, "isReversed": true,
    "max_width": 640, "max_height": 480, "auto_kp": "0.25", "colorAlg": -2}]})");
  ASSERT_NE(c, nullptr) << DiagLines::all();
  EXPECT_STREQ(dSys->Names()[0], "Left Rig");
  EXPECT_STREQ(dSys->ChipIDs()[0], "rig-1");
  EXPECT_TRUE(c->has_color && c->isBayer && c->isBGGR && c->isStereo);
  EXPECT_EQ(c->camImager, 2);
  EXPECT_EQ(c->fwFirmware, 0x0301);
  EXPECT_EQ(c->camFirmware, 1042);
  EXPECT_EQ(c->devID, 0x81234);
  EXPECT_EQ(read(c, 0xF0FFF004), 0x0a0au);
  char buf[64] = {0};
  EXPECT_TRUE(c->GetCalib(buf, sizeof buf));
  EXPECT_STREQ(buf, "my calibration");
  EXPECT_TRUE(c->has_auto_exposure && c->do_auto_gain && c->has_frame_div);
  EXPECT_EQ(c->max_frame_div, 3);
  EXPECT_EQ(c->frame_div, 1) << "the divider belongs to the format";
  EXPECT_EQ(c->y_offset, 5);
  EXPECT_TRUE(c->gamma);
  EXPECT_EQ(c->exposure, 63);
  EXPECT_EQ(c->max_exposure, 90);
  EXPECT_TRUE(c->is_50Hz_rate);
  EXPECT_TRUE(c->isReversed);
  EXPECT_EQ(c->max_width, 640);
  EXPECT_DOUBLE_EQ(c->auto_kp, 0.25);
  EXPECT_EQ(c->colorAlg, -2);
  EXPECT_FALSE(c->SetFormat(S_1280x960, S_MONO, S_3, 1, false));
  EXPECT_NE(strstr(c->error, "larger than the imager (640x480)"), nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("opened at S400 with 1 camera"));
}

TEST_F(Config, LeftOutKeysGiveAPlainCamera) {
  open_bus(R"({"cameras": [{}, {"name": "B"}]})");
  ASSERT_NE(dSys, nullptr);
  EXPECT_STREQ(dSys->Names()[0], "Camera 0");
  dCamera *c = dSys->InitCamera(0);
  EXPECT_FALSE(c->has_color || c->isStereo || c->isBayer);
  EXPECT_TRUE(c->has_manual_exposure && c->has_manual_gain &&
              c->has_manual_brightness);
  EXPECT_FALSE(c->has_auto_exposure || c->has_auto_gain ||
               c->has_auto_brightness || c->has_auto_whitebalance);
  EXPECT_EQ(c->devID, 0xffff);
  EXPECT_FALSE(c->GetCalib(nullptr, 0));
  unsigned long v = 9;
  EXPECT_FALSE(c->ReadQuadlet(0xF0FFF004, &v)) << "no local block";
  EXPECT_TRUE(c->SetFormat(S_1280x960, S_MONO, S_15, 1, false));
  EXPECT_STRNE(dSys->ChipIDs()[0], dSys->ChipIDs()[1]);
}

TEST_F(Config, NoCamerasAndChipIdAsNumber) {
  open_bus(R"({"cameras": []})");
  ASSERT_NE(dSys, nullptr);
  EXPECT_EQ(dSys->NumCameras(), 0);
  EXPECT_EQ(dSys->Names()[0], nullptr);
  EXPECT_EQ(dSys->InitCamera(0), nullptr);
  open_bus(R"({"cameras": [{"chip_id": 255}]})");
  EXPECT_STREQ(dSys->ChipIDs()[0], "00000000000000ff");
  // the largest ids stay themselves and so stay apart
  open_bus(R"({"cameras": [{"chip_id": 18446744073709551615},
                           {"chip_id": 9223372036854775807}]})");
  ASSERT_NE(dSys, nullptr) << DiagLines::all();
  EXPECT_STREQ(dSys->ChipIDs()[0], "ffffffffffffffff");
  EXPECT_STREQ(dSys->ChipIDs()[1], "7fffffffffffffff");
}

// One identity on every path: a chip_id that names a GUID is the ROM's, so
// the libdc1394 bus shows the same text; another text keeps the derived GUID.
TEST_F(Config, ChipIdOfSixteenHexDigitsIsTheGuid) {
  open_bus(R"({"cameras": [{"chip_id": "0123456789ABCDEF"}, {"chip_id": 255},
                           {"chip_id": "rig-1", "dev_id": "0x50042"}]})");
  ASSERT_NE(dSys, nullptr) << DiagLines::all();
  EXPECT_STREQ(dSys->ChipIDs()[0], "0123456789abcdef");
  const unsigned long ROM = 0xF0000400;
  unsigned long want[3][2] = {{0x01234567, 0x89abcdef}, {0, 0xff}, {0x0a139402, 0x50042}};
  for (int n = 0; n < 3; ++n) {
    dCamera *c = dSys->InitCamera(n);
    ASSERT_NE(c, nullptr);
    for (int q = 0; q < 2; ++q) {
      EXPECT_EQ(read(c, ROM + 0x0C + 4 * q), want[n][q]) << n;
      EXPECT_EQ(read(c, ROM + 0x2C + 4 * q), want[n][q]) << "unique ID leaf " << n;
    }
    EXPECT_EQ((unsigned)c->devID, want[n][1]);
  }
  open_bus(R"({"cameras": [{"chip_id": 255, "dev_id": 256}]})");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("\"dev_id\" 0x100 differs from the lower half of \"chip_id\""));
  open_bus(R"({"cameras": [{"chip_id": "a", "dev_id": 7}, {"chip_id": "0a13940000000007"}]})");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("cameras 0 and 1 have the same GUID 0a13940000000007"));
}

TEST_F(Config, BusFailLeavesNoBus) {
  open_bus();
  ASSERT_NE(dSys, nullptr);
  open_bus(R"({"bus_fail": true})");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("bus_fail"));
}

// Each bad configuration: no bus, one diagnostic line naming the file and
// what is wrong, and no crash.
struct BadCase {
  const char *text;
  const char *problem;
};

void PrintTo(const BadCase &c, std::ostream *os) { *os << c.problem; }

class BadConfig : public SimBusTest,
                  public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadConfig, OneLineNamingFileAndProblemAndNoBus) {
  open_bus();
  ASSERT_NE(dSys, nullptr);
  DiagLines::clear();
  write_file(dir_.file("bus.json"), GetParam().text);
  setenv("VIRIZEDA_SIM_CONFIG", dir_.file("bus.json").c_str(), 1);
  dSysInit();
  EXPECT_EQ(dSys, nullptr);
  ASSERT_EQ(DiagLines::lines().size(), 1u) << DiagLines::all();
  const std::string &line = DiagLines::lines()[0];
  EXPECT_NE(line.find(dir_.file("bus.json")), std::string::npos) << line;
  EXPECT_NE(line.find(GetParam().problem), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

const BadCase bad_cases[] = {
    {"", "not valid JSON"},
    {"{\"cameras\": [", "not valid JSON"},
    {"[1, 2]", "top level must be an object"},
    {"{\"bus_speed\": 1394}", "\"bus_speed\" must be 400 or 800"},
    {"{\"bus_speed\": true}", "\"bus_speed\" must be 400 or 800"},
    {"{\"bus_fail\": \"yes\"}", "\"bus_fail\" must be true or false"},
    {"{\"colour\": 1}", "unknown key \"colour\""},
    {"{\"cameras\": {}}", "\"cameras\" must be an array"},
    {"{\"cameras\": [{}, 7]}", "camera 1 is not an object"},
    {"{\"cameras\": [null]}", "camera 0 is not an object"},
    {"{\"cameras\": [[]]}", "camera 0 is not an object"},
    {"{\"cameras\": [{\"colour\": true}]}", "camera 0: unknown key \"colour\""},
    {"{\"cameras\": [{\"color\": 1}]}", "camera 0: \"color\" must be true or false"},
    {"{\"cameras\": [{\"imager\": true}]}", "\"imager\" must be a whole number"},
    {"{\"cameras\": [{\"imager\": 1.5}]}", "\"imager\" must be a whole number"},
    {"{\"cameras\": [{\"imager\": \"4x\"}]}", "\"imager\" must be a whole number"},
    {"{\"cameras\": [{\"imager\": \" 4\"}]}", "\"imager\" must be a whole number"},
    {"{\"cameras\": [{\"imager\": 1e400}]}", "not valid JSON"},
    {"{\"cameras\": [{\"imager\": 99999999999999999999999}]}",
     "\"imager\" 99999999999999999999999 is out of range"},
    {"{\"cameras\": [{\"imager\": 9223372036854775808}]}", "out of range"},
    {"{\"cameras\": [{\"imager\": \"99999999999999999999\"}]}", "out of range"},
    {"{\"cameras\": [{\"dev_id\": \"0x100000000\"}]}",
     "\"dev_id\" \"0x100000000\" is out of range 0 to 4294967295"},
    // large numbers are quoted as written, never as what they became
    {"{\"cameras\": [{\"dev_id\": 18446744073709551615}]}",
     "camera 0: \"dev_id\" 18446744073709551615 is out of range 0 to 4294967295"},
    {"{\"cameras\": [{\"dev_id\": 4294967296}]}",
     "\"dev_id\" 4294967296 is out of range"},
    {"{\"cameras\": [{\"dev_id\": 184467440737095516150}]}",
     "\"dev_id\" 184467440737095516150 is out of range"},
    {"{\"cameras\": [{\"dev_id\": 12.5e0}]}",
     "\"dev_id\" must be a whole number, not 12.5e0"},
    {"{\"cameras\": [{\"chip_id\": 18446744073709551616}]}",
     "\"chip_id\" 18446744073709551616 is not a whole number from 0 to"},
    {"{\"cameras\": [{\"chip_id\": -5}]}", "\"chip_id\" -5 is not a whole number"},
    // the parser would keep only one of them
    {"{\"cameras\": [{}, {\"name\": \"a\", \"name\": \"b\"}]}",
     "camera 1: key \"name\" is given twice"},
    {"{\"bus_speed\": 400, \"bus_speed\": 800}", "key \"bus_speed\" is given twice"},
    {"{\"cameras\": [{\"dev_id\": -1}]}", "out of range"},
    {"{\"cameras\": [{\"exposure\": 101}]}", "\"exposure\" 101 is out of range 0 to 100"},
    {"{\"cameras\": [{\"max_width\": 100000}]}", "out of range"},
    {"{\"cameras\": [{\"max_y_offset\": 8, \"y_offset\": 9}]}",
     "\"y_offset\" 9 is above \"max_y_offset\" 8"},
    {"{\"cameras\": [{\"frame_div\": 2}]}", "above \"max_frame_div\" 1"},
    {"{\"cameras\": [{\"auto_kp\": \"fast\"}]}", "\"auto_kp\" must be a number"},
    {"{\"cameras\": [{\"auto_kp\": 1e300}]}", "out of range"},
    {"{\"cameras\": [{\"name\": 5}]}", "\"name\" must be a text"},
    {"{\"cameras\": [{\"name\": \"\"}]}", "1 to 1023 characters"},
    {"{\"cameras\": [{\"name\": \"a\\nb\"}]}", "control character"},
    {"{\"cameras\": [{\"refuse_format\": false}]}", "\"refuse_format\" must be a text"},
    {"{\"cameras\": [{\"frames_stop_after\": -1}]}", "out of range"},
    {"{\"cameras\": [{\"calibration\": 3}]}", "true, false or a text"},
    {"{\"cameras\": [{\"stereo\": true, \"isStereo\": false}]}",
     "are the same field"},
    {"{\"cameras\": [{\"chip_id\": \"x\"}, {\"chip_id\": \"x\"}]}",
     "cameras 0 and 1 have the same chip_id"},
};
INSTANTIATE_TEST_SUITE_P(Cases, BadConfig, ::testing::ValuesIn(bad_cases));

TEST_F(Config, TooManyCamerasHugeNestingMissingFileAndDirectory) {
  std::string many = "{\"cameras\": [";
  for (int i = 0; i < 64; ++i) many += i ? ",{}" : "{}";
  open_bus(many + "]}");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("at most 63"));

  std::string deep(100000, '[');
  open_bus(deep);
  EXPECT_EQ(dSys, nullptr);
  // well formed, refused before a tree is built of it
  DiagLines::clear();
  open_bus("{\"cameras\": [{\"name\": " + std::string(33, '[') + std::string(33, ']') + "}]}");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("values nest deeper than 32 levels"));

  setenv("VIRIZEDA_SIM_CONFIG", dir_.file("missing.json").c_str(), 1);
  DiagLines::clear();
  dSysInit();
  EXPECT_EQ(dSys, nullptr);
  ASSERT_EQ(DiagLines::lines().size(), 1u);
  EXPECT_NE(DiagLines::lines()[0].find("missing.json: No such file"), std::string::npos)
      << DiagLines::lines()[0];

  setenv("VIRIZEDA_SIM_CONFIG", dir_.path().c_str(), 1);
  DiagLines::clear();
  dSysInit();
  EXPECT_EQ(dSys, nullptr);
  EXPECT_EQ(DiagLines::lines().size(), 1u) << DiagLines::all();
}

// ------------------------------------------------------------ fault injection

TEST_F(Config, FailOpenGivesNoCamera) {
  open_bus(R"({"cameras": [{"fail_open": true}, {}]})");
  EXPECT_EQ(dSys->InitCamera(0), nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("cannot be opened (fail_open)"));
  EXPECT_NE(dSys->InitCamera(1), nullptr);
}

TEST_F(Config, FailStartRefusesToStream) {
  dCamera *c = open_camera(0, R"({"cameras": [{"fail_start": true}]})");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->SetFormat(S_640x480, S_MONO, S_15, 1, false));
  EXPECT_FALSE(c->Start());
  unsigned char *img = nullptr;
  EXPECT_FALSE(c->GetImage(&img, 10, nullptr, nullptr));
  EXPECT_THAT(DiagLines::lines(), HasLine("does not start"));
}

TEST_F(Config, RefuseFormatGivesItsText) {
  dCamera *c = open_camera(0, R"({"cameras": [{"refuse_format": "imager too hot"}]})");
  EXPECT_FALSE(c->SetFormat(S_640x480, S_MONO, S_15, 1, false));
  EXPECT_STREQ(c->error, "imager too hot");
  EXPECT_THAT(DiagLines::lines(), HasLine("format refused: imager too hot"));
}

TEST_F(Config, FramesStopAfterGivesOnlyTimeouts) {
  dCamera *c = open_camera(0, R"({"cameras": [{"frames_stop_after": 3, "unpaced": true}]})");
  ASSERT_TRUE(c->Start());
  unsigned char *img = nullptr;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(c->GetImage(&img, 500, nullptr, nullptr));
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  EXPECT_FALSE(c->GetImage(&img, 50, nullptr, nullptr));
  EXPECT_FALSE(c->GetImage(&img, 50, nullptr, nullptr));
  clock_gettime(CLOCK_MONOTONIC, &b);
  double waited = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
  EXPECT_GT(waited, 0.08) << "times out after the wait limit";
  EXPECT_THAT(DiagLines::lines(), HasLine("no frames after 3"));
  // paced: the frames before the stop still come in time, then none
  dCamera *p = open_camera(0, R"({"cameras": [{"frames_stop_after": 2}]})");
  p->SetFormat(S_160x120, S_MONO, S_60, 1, false);
  ASSERT_TRUE(p->Start());
  int seq = -1;
  EXPECT_TRUE(p->GetImage(&img, 500, &seq, nullptr));
  EXPECT_TRUE(p->GetImage(&img, 500, &seq, nullptr));
  EXPECT_EQ(seq, 1);
  EXPECT_FALSE(p->GetImage(&img, 100, &seq, nullptr));
}

TEST_F(Config, UnpacedDeliversAtOnce) {
  dCamera *c = open_camera(0, R"({"cameras": [{"unpaced": true}]})");
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_3, 1, false));
  ASSERT_TRUE(c->Start());
  unsigned char *img = nullptr;
  int seq = -1;
  unsigned long t_first = 0, t_frame = 0;
  ASSERT_TRUE(c->GetImage(&img, 500, &seq, &t_first));
  // frame 99 is due 26 s after the start at 3.75 fps, yet each frame comes
  // within a wait of 1 ms
  for (int i = 1; i < 100; ++i)
    ASSERT_TRUE(c->GetImage(&img, 1, &seq, &t_frame)) << "frame " << i;
  EXPECT_EQ(seq, 99) << "none dropped";
  EXPECT_NEAR((double)(t_frame - t_first), 99 * 1e6 / 3.75, 100) << "the times of the pace";
}

TEST_F(Config, WithoutFormat7OnlyTheFixedSizesAreOffered) {
  open_bus(R"({"cameras": [{"format7": false},
                           {"format7": false, "color": true}]})");
  dCamera *m = dSys->InitCamera(0), *c = dSys->InitCamera(1);
  EXPECT_FALSE(m->SetFormat(S_160x120, S_MONO, S_30, 1, false));
  EXPECT_STREQ(m->error, "160x120 is not offered by this camera; it offers "
                         "640x480 and 1280x960");
  EXPECT_TRUE(m->SetFormat(S_640x480, S_MONO, S_30, 1, false));
  EXPECT_EQ(read(m, 0xF0F00100) & (1u << 24), 0u) << "no Format_7";
  EXPECT_TRUE(c->SetFormat(S_1280x960, S_RGB24, S_7, 1, false));
  EXPECT_FALSE(c->SetFormat(S_640x480, S_BAYER, S_30, 1, false))
      << "the raw mosaic comes only in Format_7";
  EXPECT_THAT(DiagLines::lines(), HasLine("format refused: 640x480 Bayer is not offered by this "
                       "camera; at 640x480 it offers Mono and RGB24"));
  open_bus(R"({"cameras": [{"format7": 1}]})");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("\"format7\" must be true or false"));
}

// What a camera shows through dcam.h, as text, to compare two buses.
static std::string described(dSystem *bus, dCamera *c, int n) {
  std::ostringstream s;
#define F(f) << " " #f "=" << c->f
  s << bus->Names()[n] << " " << bus->ChipIDs()[n]
    F(isStereo) F(isBayer) F(isBGGR) F(colorAlg) F(isReversed) F(camImager)
    F(fwFirmware) F(camFirmware) F(devID) F(has_proc_mode) F(procFirmware)
    F(has_auto_brightness) F(has_manual_brightness) F(auto_brightness)
    F(brightness) F(max_brightness) F(has_auto_exposure) F(has_manual_exposure)
    F(do_auto_exposure) F(do_auto_gain) F(exposure) F(max_exposure)
    F(has_manual_gain) F(has_auto_gain) F(gain) F(max_gain) F(has_sharpness)
    F(sharpness) F(max_sharpness) F(has_gamma) F(gamma) F(has_color)
    F(has_saturation) F(saturation) F(max_saturation) F(has_auto_whitebalance)
    F(has_manual_whitebalance) F(auto_whitebalance) F(redgain) F(bluegain)
    F(max_white_gain) F(has_chip_balance) F(auto_kp) F(auto_hyst) F(auto_bias)
    F(max_width) F(max_height) F(has_y_offset) F(max_y_offset) F(y_offset)
    F(y_offset_right) F(has_frame_div) F(max_frame_div) F(frame_div)
    F(has_50Hz_rate) F(is_50Hz_rate) F(has_black_offset) F(max_black_offset)
    F(black_offset) F(black_offset_right);
#undef F
  unsigned long v = 0;
  if (c->ReadQuadlet(0xF0FFF004, &v)) s << " local_params_version=" << v;
  static char calib[4096];
  memset(calib, 0, sizeof calib);
  if (c->GetCalib(calib, sizeof calib - 1)) s << " calibration=" << calib;
  return s.str();
}

// The built-in cameras are their data file, read by the same parser.
TEST_F(Config, DefaultCamerasAreTheirDataFile) {
  std::vector<std::string> built_in, from_file;
  open_bus();
  ASSERT_NE(dSys, nullptr);
  ASSERT_EQ(dSys->NumCameras(), 3);
  for (int n = 0; n < 3; ++n)
    built_in.push_back(described(dSys, dSys->InitCamera(n), n));
  setenv("VIRIZEDA_SIM_CONFIG",
         TEST_SOURCE_DIR "/../virizeda/devices/sim/default_cameras.json", 1);
  open_bus();
  ASSERT_NE(dSys, nullptr) << DiagLines::all();
  ASSERT_EQ(dSys->NumCameras(), 3);
  for (int n = 0; n < 3; ++n)
    from_file.push_back(described(dSys, dSys->InitCamera(n), n));
  EXPECT_EQ(built_in, from_file);
  EXPECT_NE(built_in[0].find("Sim Stereo Color"), std::string::npos);
  EXPECT_NE(built_in[0].find("\nright f 521.5"), std::string::npos) << built_in[0];
}

// Only the calibration is a text of lines; a name stays one line.
TEST_F(Config, CalibrationKeepsItsLinesANameHasNone) {
  dCamera *c = open_camera(0, R"({"cameras": [{"calibration": "a\n\tb\n"}]})");
  ASSERT_NE(c, nullptr) << DiagLines::all();
  char buf[16] = {0};
  EXPECT_TRUE(c->GetCalib(buf, sizeof buf));
  EXPECT_STREQ(buf, "a\n\tb\n");
  open_bus(R"({"cameras": [{"name": "a\nb"}]})");
  EXPECT_EQ(dSys, nullptr);
  EXPECT_THAT(DiagLines::lines(), HasLine("\"name\" holds a control character"));
  open_bus(R"({"cameras": [{"calibration": "a\rb"}]})");
  EXPECT_EQ(dSys, nullptr);
}
