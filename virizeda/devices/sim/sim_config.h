// What the simulated bus holds: the default cameras, or those of the JSON
// file named by VIRIZEDA_SIM_CONFIG.
#ifndef VIRIZEDA_SIM_CONFIG_H
#define VIRIZEDA_SIM_CONFIG_H

#include <stdint.h>

#include <string>
#include <vector>

// The capability and value fields of dCamera that a device starts with.
struct CamValues {
  bool isStereo = false, isBayer = false, isBGGR = false;
  int colorAlg = 0;
  bool isReversed = false;
  int camImager = -1, fwFirmware = 0x0100, camFirmware = 0x0100;
  int devID = 0xffff;
  bool has_proc_mode = false;
  int procFirmware = 0, procMode = 0;
  bool has_auto_brightness = false, has_manual_brightness = true;
  bool auto_brightness = false;
  int brightness = 50, max_brightness = 100;
  bool has_auto_exposure = false, has_manual_exposure = true;
  bool do_auto_exposure = false, do_auto_gain = false;
  int exposure = 50, max_exposure = 100;
  bool has_manual_gain = true, has_auto_gain = false;
  int gain = 0, max_gain = 100;
  bool has_sharpness = true;
  int sharpness = 50, max_sharpness = 100;
  bool has_gamma = false, gamma = false;
  bool has_color = false, has_saturation = false;
  int saturation = 50, max_saturation = 100;
  bool has_auto_whitebalance = false, has_manual_whitebalance = false;
  bool auto_whitebalance = false;
  int redgain = 50, bluegain = 50, max_white_gain = 100;
  bool has_chip_balance = false;
  double auto_kp = 0.5, auto_hyst = 4.0, auto_bias = 0.0;
  int max_width = 1280, max_height = 960;
  bool has_y_offset = false;
  int max_y_offset = 0, y_offset = 0, y_offset_right = 0;
  bool has_frame_div = false;
  int max_frame_div = 1, frame_div = 1;
  bool has_50Hz_rate = false, is_50Hz_rate = false;
  bool has_black_offset = false;
  int max_black_offset = 0, black_offset = 0, black_offset_right = 0;
};

struct CamConfig {
  std::string name;
  std::string chip_id;           // identifier text; derived when empty
  CamValues v;
  uint32_t local_params_version = 0;  // 0: no local parameter block
  bool has_calib = false;
  std::string calib;
  // fault injection
  bool fail_open = false, fail_start = false;
  bool refuse_format = false;
  std::string refuse_text;
  long frames_stop_after = -1;   // -1: frames never stop
  bool unpaced = false;
  bool format7 = true;           // offers Format_7 Mode_0
  bool rgb8 = true;              // offers RGB8 (else colour only as YUV)
};

struct BusConfig {
  bool bus_fail = false;
  int bus_speed = 800;
  std::vector<CamConfig> cams;
};

const uint32_t VZ_VENDOR_ID = 0x0a1394;  // locally administered OUI
const int VZ_MAX_CAMERAS = 63;           // nodes on one IEEE 1394 bus

CamConfig vz_plain_camera(int n);
BusConfig vz_default_bus();
// Parse a configuration text; on false *err says what is wrong (no file name).
bool vz_parse_config(const std::string &text, BusConfig *out, std::string *err);
// Read and parse a configuration file; on false *err names the problem.
bool vz_load_config(const char *path, BusConfig *out, std::string *err);
// Chip identifier text of camera n when the configuration gives none.
std::string vz_default_chip_id(int n, uint32_t chip_lo);
// The GUID that a chip identifier of 16 hex digits names; false for
// another text.
bool vz_guid_of_chip_id(const std::string &chip_id, uint64_t *guid);
// Camera n's GUID (the ROM's bus info block quadlets 3 and 4): its chip_id
// where that is 16 hex digits, else vendor, camera number and devID, as
// the derived chip_id reads.
uint64_t vz_camera_guid(const CamConfig &c, int n);

#endif
