// The moving test scene of the simulated cameras. Everything that does not
// change from frame to frame is prepared once per format and look, so that
// making a frame costs little more than copying it.
#ifndef VIRIZEDA_SCENE_H
#define VIRIZEDA_SCENE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct SceneFormat {
  int w = 0, h = 0;
  int type = 0;         // dITYPE: mono, RGB24 or Bayer
  bool stereo = false;  // left and right view side by side
  bool bggr = false;    // Bayer phase
  int yuv = 0;          // RGB24 scene delivered as YUV: pixels per U/V pair
                        // (1 4:4:4, 2 4:2:2, 4 4:1:1), 0 for none
  bool operator==(const SceneFormat &o) const {
    return w == o.w && h == o.h && type == o.type && stereo == o.stereo &&
           bggr == o.bggr && yuv == o.yuv;
  }
};

// What the imager does to the light: the video parameters (0-100) and the
// device settings that change the picture.
struct SceneLook {
  int exposure = 50, gain = 0, brightness = 50;
  int redgain = 50, bluegain = 50, saturation = 50, sharpness = 50;
  bool gamma = false;
  bool color = false;   // colour imager: colour cast, white balance, saturation
  int black[2] = {0, 0};
  int yoff[2] = {0, 0};
  bool inverted = false;
  bool operator==(const SceneLook &o) const;
};

struct Scene {
  SceneFormat fmt;
  SceneLook look;
  bool ready = false;
  int views = 1, vw = 0, bpp = 1, row_bytes = 0;
  std::vector<unsigned char> base;            // static parts, whole frame
  std::vector<unsigned char> strip[2][2];     // gradient [view][row parity]
  // copy from base, one gradient segment, or whole gradient rows y..y+n
  enum OpKind { COPY, GRAD, GRAD_ROWS };
  struct Op {
    OpKind kind;
    int view, parity;
    size_t dst, len;
    int y, n;
  };
  std::vector<Op> ops;
  struct BallRow {
    int y, dy;
  };
  std::vector<BallRow> ball_rows[2];
  std::vector<int> ball_half;                 // half width by dy + r
  std::vector<unsigned char> ball_row[2][2];  // object colour [view][row par]
  // kept between preparations, so that automatic exposure, which changes
  // the look frame by frame, allocates nothing
  std::vector<unsigned char> tmpl[2][3][2];   // static bands [view][band][par]
  std::vector<float> rgb, scratch;
  int r = 0, cy = 0, vx = 1, grad_step = 2, d_bg = 0, d_ball = 0;
  // YUV delivery: the static rows and the gradient strips are converted
  // once, so a frame is copies again; only the groups on the object's edges
  // and the bar code are converted per frame. ystrip[v][p][a] starts at
  // pixel 2 * a.
  bool yuv_direct = false;
  std::vector<unsigned char> ybase, ystrip[2][2][2], yball[2][2];
  mutable std::vector<unsigned char> yrow;   // one RGB row, or a whole
                                             // frame where not direct
  double mean = 0;      // mean byte of a frame, for automatic exposure
  int black_level = 0;  // output level of the black bar
};

// Make ready for a format and look; does nothing when both are unchanged.
void vz_scene_prepare(Scene *s, const SceneFormat &f, const SceneLook &l);
// Fill a whole frame (w * h * bytes per pixel, or the YUV coding's size)
// for sequence number seq.
void vz_scene_render(const Scene *s, uint32_t seq, unsigned char *out);

// IIDC byte orders: 4:4:4 U Y V, 4:2:2 U Y0 V Y1, 4:1:1 U Y0 Y1 V Y2 Y3;
// pixels a multiple of group.
void vz_yuv_from_rgb(const unsigned char *rgb, size_t pixels, int group,
                     unsigned char *out);

// The top 8 rows: seq as 16 equal blocks, most significant bit first.
void vz_barcode_write(unsigned char *out, int w, int bpp, uint32_t seq);
// The number in one bar code row of any width (also a reduced one), or -1.
int vz_barcode_read(const unsigned char *row, int w, int bpp);

#endif
