// Camera interface of the virizeda camera library.
// Field order, types and virtual slot order are the library's binary
// interface: programs built against this header must run unchanged on any
// build of virizeda.so, ours or the camera maker's. Do not reorder.
#ifndef DCAM_H
#define DCAM_H

typedef enum {
  S_640x480 = 0,
  S_320x240 = 1,
  S_160x120 = 2,
  S_512x384 = 3,
  S_1024x768 = 4,
  S_1280x960 = 5
} dISIZE;

typedef enum {
  S_MONO = 0,
  S_RGB24 = 1,
  S_YUV422 = 2,
  S_YUV411 = 3,
  S_BAYER = 4
} dITYPE;

// frames per second; S_7 is 7.5 and S_3 is 3.75
typedef enum {
  S_30 = 0,
  S_60 = 1,
  S_15 = 2,
  S_10 = 3,
  S_7 = 4,
  S_5 = 5,
  S_3 = 6
} dISPEED;

typedef enum {
  PROC_MODE_OFF = 0,
  PROC_MODE_NONE = 1,
  PROC_MODE_TEST = 2,
  PROC_MODE_RECTIFIED = 3,
  PROC_MODE_DISPARITY = 4,
  PROC_MODE_DISPARITY_RAW = 5
} proc_mode_type;

class dCamera;

class dSystem {
 public:
  bool initialized;
  int syncDelta;

  dSystem();
  virtual ~dSystem();
  virtual void Reset();
  virtual int NumCameras();
  virtual char **Names();
  virtual char **ChipIDs();
  virtual dCamera *InitCamera(char *id);
  virtual dCamera *InitCamera(int num);
  virtual bool Start();
  virtual bool Stop();
};

class dCamera {
 public:
  bool initialized;
  char *error;
  bool isStereo;
  bool isBayer;
  bool isBGGR;
  int colorAlg;
  bool isReversed;
  int camImager;
  int fwFirmware;
  int camFirmware;
  int devID;
  bool has_proc_mode;
  int procFirmware;
  proc_mode_type procMode;

  bool has_auto_brightness;
  bool has_manual_brightness;
  bool auto_brightness;
  int brightness;
  int max_brightness;

  bool has_auto_exposure;
  bool has_manual_exposure;
  bool do_auto_exposure;
  bool do_auto_gain;
  int exposure;
  int max_exposure;

  bool has_manual_gain;
  bool has_auto_gain;
  int gain;
  int max_gain;

  bool has_sharpness;
  int sharpness;
  int max_sharpness;

  bool has_gamma;
  bool gamma;

  bool has_color;
  bool has_saturation;
  int saturation;
  int max_saturation;

  bool has_auto_whitebalance;
  bool has_manual_whitebalance;
  bool auto_whitebalance;
  int redgain;
  int bluegain;
  int max_white_gain;
  bool has_chip_balance;

  double auto_kp;
  double auto_hyst;
  double auto_bias;

  int max_width;
  int max_height;

  bool has_y_offset;
  int max_y_offset;
  int y_offset;
  int y_offset_right;

  bool has_frame_div;
  int max_frame_div;
  int frame_div;

  bool has_50Hz_rate;
  bool is_50Hz_rate;

  bool has_black_offset;
  int max_black_offset;
  int black_offset;
  int black_offset_right;

  dCamera(dSystem *sys, int num);
  virtual ~dCamera();
  virtual bool Start();
  virtual bool Stop();
  virtual bool Reset();
  virtual int Index();
  virtual bool SetSync(int delta);
  virtual bool SetFormat(dISIZE size, dITYPE type, dISPEED speed, int fdiv,
                         bool flag);
  virtual dISIZE Size();
  virtual dITYPE Type();
  virtual dISPEED Speed();
  virtual void SetExposure(int value, bool automatic);
  virtual void SetGain(int value, bool automatic);
  virtual void SetBrightness(int value, bool automatic);
  virtual void SetWhiteBalance(int red, int blue, bool automatic);
  virtual void SetSaturation(int value);
  virtual void SetGamma(bool on);
  virtual void SetSharpness(int value);
  virtual void SetYOffset(int left, int right);
  virtual void SetBlackLevel(int left, int right);
  virtual bool SaveLocalParams();
  virtual bool GetCalib(char *buf, int len);
  virtual bool SetCalib(char *buf, int len);
  virtual bool SetProcMode(proc_mode_type mode);
  virtual bool SetConfThresh(int thresh);
  virtual bool SetUniqThresh(int thresh);
  virtual bool GetImage(unsigned char **image, int wait_ms, int *frame,
                        unsigned long *usec);
  virtual bool ReadyImage(int wait_ms);
  virtual void FlushImages();
  virtual bool ReadQuadlet(unsigned long addr, unsigned long *value);
  virtual bool WriteQuadlet(unsigned long addr, unsigned long value);
};

extern dSystem *dSys;
extern char dcamVersion[];
extern void (*dcamDebug)(char *line);

void dSysInit();

#endif
