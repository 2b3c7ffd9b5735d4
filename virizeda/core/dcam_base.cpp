// The library globals and the base classes of the camera interface.
#include <string.h>

#include "core/dcam_api.h"

dSystem *dSys = nullptr;
void (*dcamDebug)(char *line) = nullptr;

static char no_error[] = "";
static char *no_names[] = {nullptr};

dSystem::dSystem() : initialized(false), syncDelta(0) {}
dSystem::~dSystem() {}
void dSystem::Reset() {}
int dSystem::NumCameras() { return 0; }
char **dSystem::Names() { return no_names; }
char **dSystem::ChipIDs() { return no_names; }
dCamera *dSystem::InitCamera(char *) { return nullptr; }
dCamera *dSystem::InitCamera(int) { return nullptr; }
bool dSystem::Start() { return false; }
bool dSystem::Stop() { return true; }

dCamera::dCamera(dSystem *, int) {
  // every field plain, so that a derived camera starts from nothing
  initialized = false;
  error = no_error;
  isStereo = isBayer = isBGGR = isReversed = false;
  colorAlg = camImager = fwFirmware = camFirmware = 0;
  devID = 0xffff;
  has_proc_mode = false;
  procFirmware = 0;
  procMode = PROC_MODE_OFF;
  has_auto_brightness = has_manual_brightness = auto_brightness = false;
  brightness = max_brightness = 0;
  has_auto_exposure = has_manual_exposure = false;
  do_auto_exposure = do_auto_gain = false;
  exposure = max_exposure = 0;
  has_manual_gain = has_auto_gain = false;
  gain = max_gain = 0;
  has_sharpness = false;
  sharpness = max_sharpness = 0;
  has_gamma = gamma = has_color = has_saturation = false;
  saturation = max_saturation = 0;
  has_auto_whitebalance = has_manual_whitebalance = auto_whitebalance = false;
  redgain = bluegain = max_white_gain = 0;
  has_chip_balance = false;
  auto_kp = auto_hyst = auto_bias = 0;
  max_width = max_height = 0;
  has_y_offset = false;
  max_y_offset = y_offset = y_offset_right = 0;
  has_frame_div = false;
  max_frame_div = frame_div = 1;
  has_50Hz_rate = is_50Hz_rate = has_black_offset = false;
  max_black_offset = black_offset = black_offset_right = 0;
}

dCamera::~dCamera() {}
bool dCamera::Start() { return false; }
bool dCamera::Stop() { return true; }
bool dCamera::Reset() { return false; }
int dCamera::Index() { return -1; }
bool dCamera::SetSync(int) { return false; }
static char no_format[] = "this camera delivers no video";

bool dCamera::SetFormat(dISIZE, dITYPE, dISPEED, int, bool) {
  error = no_format;
  return false;
}
dISIZE dCamera::Size() { return S_640x480; }
dITYPE dCamera::Type() { return S_MONO; }
dISPEED dCamera::Speed() { return S_15; }
void dCamera::SetExposure(int, bool) {}
void dCamera::SetGain(int, bool) {}
void dCamera::SetBrightness(int, bool) {}
void dCamera::SetWhiteBalance(int, int, bool) {}
void dCamera::SetSaturation(int) {}
void dCamera::SetGamma(bool) {}
void dCamera::SetSharpness(int) {}
void dCamera::SetYOffset(int, int) {}
void dCamera::SetBlackLevel(int, int) {}
bool dCamera::SaveLocalParams() { return false; }
bool dCamera::GetCalib(char *, int) { return false; }
bool dCamera::SetCalib(char *, int) { return false; }
bool dCamera::SetProcMode(proc_mode_type) { return false; }
bool dCamera::SetConfThresh(int) { return false; }
bool dCamera::SetUniqThresh(int) { return false; }
bool dCamera::GetImage(unsigned char **, int, int *, unsigned long *) {
  return false;
}
bool dCamera::ReadyImage(int) { return false; }
void dCamera::FlushImages() {}
bool dCamera::ReadQuadlet(unsigned long, unsigned long *) { return false; }
bool dCamera::WriteQuadlet(unsigned long, unsigned long) { return false; }
