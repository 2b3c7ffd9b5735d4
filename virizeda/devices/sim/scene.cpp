#include "devices/sim/scene.h"

#include <math.h>
#include <string.h>

#include "core/dcam_api.h"

bool SceneLook::operator==(const SceneLook &o) const {
  return exposure == o.exposure && gain == o.gain &&
         brightness == o.brightness && redgain == o.redgain &&
         bluegain == o.bluegain && saturation == o.saturation &&
         sharpness == o.sharpness && gamma == o.gamma && color == o.color &&
         black[0] == o.black[0] && black[1] == o.black[1] &&
         yoff[0] == o.yoff[0] && yoff[1] == o.yoff[1] &&
         inverted == o.inverted;
}

namespace {

enum { BAND_BARS, BAND_GRADIENT, BAND_RAMP };

// 75% colour bars, left to right
const unsigned char bars[8][3] = {{190, 190, 190}, {190, 190, 0}, {0, 190, 190},
                                  {0, 190, 0},     {190, 0, 190}, {190, 0, 0},
                                  {0, 0, 190},     {12, 12, 12}};
const float ball_rgb[3] = {250, 140, 30};
// the imager's own tint, which white balance corrects
const float cast[3] = {0.9f, 1.0f, 1.1f};

struct Lut {
  float v[3][256];
};

int band_of(int sr, int h) {
  if (sr < h * 5 / 8) return BAND_BARS;
  if (sr < h * 13 / 16) return BAND_GRADIENT;
  return BAND_RAMP;
}

int even(int v) { return v & ~1; }

void scene_rgb(int band, int x, int vw, float *rgb) {
  if (band == BAND_BARS) {
    int i = x * 8 / vw;
    if (i > 7) i = 7;
    for (int c = 0; c < 3; ++c) rgb[c] = bars[i][c];
  } else if (band == BAND_RAMP) {
    float v = 255.0f * x / (vw - 1);
    rgb[0] = rgb[1] = rgb[2] = v;
  } else {
    // one turn of the hue circle per view width
    float hue = 6.0f * (float)(x % vw) / vw;
    for (int c = 0; c < 3; ++c) {
      float d = fabsf(fmodf(hue - 2.0f * c + 6.0f, 6.0f) - 3.0f);
      float k = d < 1 ? 0 : (d > 2 ? 1 : d - 1);
      rgb[c] = 30.0f + 190.0f * k;
    }
  }
}

void build_lut(const SceneLook &l, int view, Lut *lut) {
  double k = pow(2.0, (l.exposure - 50) / 25.0) * pow(2.0, l.gain / 50.0);
  double off = (l.brightness - 50) * 0.6 + l.black[view] * 0.5;
  for (int c = 0; c < 3; ++c) {
    double m = k;
    if (l.color) {
      m *= cast[c];
      if (c == 0) m *= pow(2.0, (l.redgain - 50) / 50.0);
      if (c == 2) m *= pow(2.0, (l.bluegain - 50) / 50.0);
    }
    for (int s = 0; s < 256; ++s) {
      double x = s * m + off;
      if (x < 0) x = 0;
      if (x > 255) x = 255;
      if (l.gamma) x = 255.0 * pow(x / 255.0, 0.6);
      lut->v[c][s] = (float)x;
    }
  }
}

float luma(const float *p) { return 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2]; }

unsigned char clamp8(float v) {
  if (v <= 0) return 0;
  if (v >= 255) return 255;
  return (unsigned char)(v + 0.5f);
}

// Scene row → processed colour: look-up, saturation, sharpness.
void process_row(const SceneLook &l, const Lut &lut, int band, int x0, int n,
                 int vw, bool wrap, std::vector<float> *out,
                 std::vector<float> *scratch) {
  out->assign(3 * (size_t)n, 0);
  float *o = out->data();
  float rgb[3];
  for (int i = 0; i < n; ++i) {
    int x = x0 + i;
    if (!wrap) x = x < 0 ? 0 : (x >= vw ? vw - 1 : x);
    scene_rgb(band, x, vw, rgb);
    float *p = o + 3 * i;
    for (int c = 0; c < 3; ++c) p[c] = lut.v[c][(int)rgb[c]];
    if (l.color) {
      float y = luma(p), sat = l.saturation / 50.0f;
      for (int c = 0; c < 3; ++c) p[c] = y + sat * (p[c] - y);
    }
  }
  float s = (l.sharpness - 50) / 50.0f;
  if (s == 0 || n < 3) return;
  std::vector<float> &in = *scratch;
  in.assign(out->begin(), out->end());
  for (int i = 0; i < n; ++i) {
    int a = i > 0 ? i - 1 : i, b = i < n - 1 ? i + 1 : i;
    for (int c = 0; c < 3; ++c) {
      float avg = (in[3 * a + c] + in[3 * b + c]) * 0.5f;
      o[3 * i + c] = in[3 * i + c] + s * (in[3 * i + c] - avg);
    }
  }
}

int bayer_channel(bool bggr, int rp, int cp) {
  if (rp != cp) return 1;
  bool red = (rp == 0) != bggr;
  return red ? 0 : 2;
}

// Processed colours → bytes of the output type for one row parity.
void to_output(const Scene &s, const std::vector<float> &rgb, int n, int parity,
               unsigned char *dst) {
  for (int i = 0; i < n; ++i) {
    const float *p = &rgb[3 * (size_t)i];
    if (s.fmt.type == S_RGB24) {
      for (int c = 0; c < 3; ++c) dst[3 * i + c] = clamp8(p[c]);
    } else if (s.fmt.type == S_BAYER) {
      dst[i] = clamp8(p[bayer_channel(s.fmt.bggr, parity, i & 1)]);
    } else {
      dst[i] = clamp8(luma(p));
    }
  }
}

double byte_mean(const unsigned char *p, size_t n) {
  unsigned long long sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return n ? (double)sum / n : 0;
}

int scene_row(const Scene &s, int y, int v) {
  int h = s.fmt.h;
  int sr = (s.look.inverted ? h - 1 - y : y) + s.look.yoff[v];
  return sr >= h ? h - 1 : sr;
}

void prepare_geometry(Scene *s) {
  const SceneFormat &f = s->fmt;
  s->views = f.stereo ? 2 : 1;
  s->vw = f.w / s->views;
  s->bpp = f.type == S_RGB24 ? 3 : 1;
  s->row_bytes = f.w * s->bpp;
  int m = s->vw < f.h ? s->vw : f.h;
  s->r = m / 8;
  s->cy = f.h * 5 / 16;
  s->vx = s->vw / 60 > 0 ? s->vw / 60 : 1;
  s->grad_step = even(s->vw / 64) > 2 ? even(s->vw / 64) : 2;
  s->d_bg = even(s->vw / 80);
  s->d_ball = even(s->vw / 16);
  s->ball_half.resize(2 * s->r + 1);
  for (int dy = -s->r; dy <= s->r; ++dy)
    s->ball_half[dy + s->r] = (int)sqrt((double)s->r * s->r - dy * dy);
  s->base.assign((size_t)s->row_bytes * f.h, 0);
}

// Templates of the static bands and the gradient strips of one view.
void prepare_view(Scene *s, int v, std::vector<unsigned char> tmpl[3][2],
                  double *band_mean) {
  Lut lut;
  build_lut(s->look, v, &lut);
  int vw = s->vw, d = v ? s->d_bg : 0;
  std::vector<float> &rgb = s->rgb;
  for (int band = 0; band < 3; ++band) {
    bool grad = band == BAND_GRADIENT;
    int n = grad ? 2 * vw : vw;
    process_row(s->look, lut, band, grad ? 0 : d, n, vw, grad, &rgb,
                &s->scratch);
    band_mean[band] = 0;
    for (int p = 0; p < 2; ++p) {
      std::vector<unsigned char> &dst = grad ? s->strip[v][p] : tmpl[band][p];
      dst.assign((size_t)n * s->bpp, 0);
      to_output(*s, rgb, n, p, dst.data());
      band_mean[band] += byte_mean(dst.data(), (size_t)vw * s->bpp) / 2;
    }
  }
  // the object's colour as whole rows, so that drawing it is a copy
  std::vector<float> &ball = s->scratch;
  ball.assign((size_t)3 * vw, 0);
  for (int x = 0; x < vw; ++x)
    for (int c = 0; c < 3; ++c) ball[3 * x + c] = lut.v[c][(int)ball_rgb[c]];
  if (s->look.color)
    for (int x = 0; x < vw; ++x) {
      float *p = &ball[3 * x], y = luma(p), sat = s->look.saturation / 50.0f;
      for (int c = 0; c < 3; ++c) p[c] = y + sat * (p[c] - y);
    }
  for (int p = 0; p < 2; ++p) {
    s->ball_row[v][p].assign((size_t)vw * s->bpp, 0);
    to_output(*s, ball, vw, p, s->ball_row[v][p].data());
  }
  if (v == 0) {
    float black[3];
    for (int c = 0; c < 3; ++c) black[c] = lut.v[c][bars[7][c]];
    s->black_level = clamp8(luma(black));
  }
}

void add_copy(Scene *s, size_t dst, size_t len) {
  if (!s->ops.empty()) {
    Scene::Op &last = s->ops.back();
    if (last.kind == Scene::COPY && last.dst + last.len == dst) {
      last.len += len;
      return;
    }
  }
  s->ops.push_back({Scene::COPY, 0, 0, dst, len, 0, 0});
}

// Gradient rows are alike two by two: a run of rows that are gradient in
// every view is made from its first two rows.
void add_grad_row(Scene *s, int y) {
  if (!s->ops.empty()) {
    Scene::Op &last = s->ops.back();
    if (last.kind == Scene::GRAD_ROWS && last.y + last.n == y) {
      last.n++;
      return;
    }
  }
  s->ops.push_back({Scene::GRAD_ROWS, 0, 0, 0, 0, y, 1});
}

void prepare_rows(Scene *s, std::vector<unsigned char> tmpl[2][3][2],
                  double band_mean[2][3]) {
  s->ops.clear();
  double sum = 0;
  size_t seg = (size_t)s->vw * s->bpp;
  for (int v = 0; v < s->views; ++v) s->ball_rows[v].clear();
  for (int y = 8; y < s->fmt.h; ++y) {
    int bands[2], grads = 0;
    for (int v = 0; v < s->views; ++v) {
      int sr = scene_row(*s, y, v);
      bands[v] = band_of(sr, s->fmt.h);
      grads += bands[v] == BAND_GRADIENT;
      sum += band_mean[v][bands[v]];
      int dy = sr - s->cy;
      if (dy >= -s->r && dy <= s->r) s->ball_rows[v].push_back({y, dy});
    }
    if (grads == s->views) {
      add_grad_row(s, y);
      continue;
    }
    for (int v = 0; v < s->views; ++v) {
      size_t dst = (size_t)y * s->row_bytes + v * seg;
      if (bands[v] == BAND_GRADIENT) {
        s->ops.push_back({Scene::GRAD, v, y & 1, dst, seg, y, 1});
      } else {
        memcpy(&s->base[dst], tmpl[v][bands[v]][y & 1].data(), seg);
        add_copy(s, dst, seg);
      }
    }
  }
  s->mean = sum / ((double)(s->fmt.h - 8) * s->views);
}

// Bytes of a run of YUV pixels (a multiple of group): 3, 4 or 6 a group.
size_t ysize(size_t pixels, int group) { return pixels / group * (group + 2); }

void prepare_yuv(Scene *s) {
  int g = s->fmt.yuv;
  s->yuv_direct = false;
  if (!g) return;
  size_t pixels = (size_t)s->fmt.w * s->fmt.h;
  // gradient shifts are even, so views a multiple of the group keep every
  // copied run on whole groups
  if (s->vw % g || s->vw < 4) {
    s->yrow.resize(pixels * 3);
    return;
  }
  s->yuv_direct = true;
  s->yrow.resize((size_t)s->fmt.w * 3);
  s->ybase.resize(ysize(pixels, g));
  vz_yuv_from_rgb(s->base.data(), pixels, g, s->ybase.data());
  for (int v = 0; v < s->views; ++v)
    for (int p = 0; p < 2; ++p)
      for (int a = 0; a < (g == 4 ? 2 : 1); ++a) {
        size_t o = 2 * (size_t)a, n = (2 * (size_t)s->vw - o) / g * g;
        s->ystrip[v][p][a].resize(ysize(n, g));
        vz_yuv_from_rgb(s->strip[v][p].data() + 3 * o, n, g,
                        s->ystrip[v][p][a].data());
      }
  for (int v = 0; v < s->views; ++v)
    for (int p = 0; p < 2; ++p) {
      s->yball[v][p].resize(ysize((size_t)s->vw, g));
      vz_yuv_from_rgb(s->ball_row[v][p].data(), (size_t)s->vw, g,
                      s->yball[v][p].data());
    }
}

}  // namespace

void vz_scene_prepare(Scene *s, const SceneFormat &f, const SceneLook &l) {
  if (s->ready && s->fmt == f && s->look == l) return;
  bool geometry = !s->ready || !(s->fmt == f);
  s->fmt = f;
  s->look = l;
  if (geometry) prepare_geometry(s);
  double band_mean[2][3] = {{0}};
  for (int v = 0; v < s->views; ++v)
    prepare_view(s, v, s->tmpl[v], band_mean[v]);
  prepare_rows(s, s->tmpl, band_mean);
  prepare_yuv(s);
  s->ready = true;
}

// Where the ball of view v stands in frame seq: its centre column.
static int ball_centre(const Scene *s, int v, uint32_t seq) {
  int span = s->vw + 2 * s->r;
  int cx = -s->r + (int)((uint64_t)seq * s->vx % (uint64_t)span);
  return v ? cx - s->d_ball : cx;
}

// The columns of one ball row inside the view; false when none is.
static bool ball_span(const Scene *s, const Scene::BallRow &br, int cx,
                      int *x0, int *x1) {
  int hw = s->ball_half[br.dy + s->r];
  *x0 = cx - hw < 0 ? 0 : cx - hw;
  *x1 = cx + hw > s->vw - 1 ? s->vw - 1 : cx + hw;
  return *x0 <= *x1;
}

static void draw_ball(const Scene *s, int v, uint32_t seq, unsigned char *out) {
  int cx = ball_centre(s, v, seq), x0, x1;
  size_t view_off = (size_t)v * s->vw * s->bpp;
  for (const Scene::BallRow &br : s->ball_rows[v]) {
    if (!ball_span(s, br, cx, &x0, &x1)) continue;
    size_t off = (size_t)x0 * s->bpp;
    memcpy(out + (size_t)br.y * s->row_bytes + view_off + off,
           s->ball_row[v][br.y & 1].data() + off, (size_t)(x1 - x0 + 1) * s->bpp);
  }
}

static void gradient_segment(const Scene *s, int v, int y, const size_t *shift,
                             unsigned char *out) {
  size_t seg = (size_t)s->vw * s->bpp;
  memcpy(out + (size_t)y * s->row_bytes + v * seg,
         s->strip[v][y & 1].data() + shift[v], seg);
}

static void gradient_rows(const Scene *s, const Scene::Op &op,
                          const size_t *shift, unsigned char *out) {
  int first = op.n < 2 ? op.n : 2;
  for (int y = op.y; y < op.y + first; ++y)
    for (int v = 0; v < s->views; ++v) gradient_segment(s, v, y, shift, out);
  // double what is done until the run is full; even steps keep the parity
  unsigned char *start = out + (size_t)op.y * s->row_bytes;
  for (int done = first; done < op.n;) {
    int n = done <= op.n - done ? done : op.n - done;
    memcpy(start + (size_t)done * s->row_bytes, start, (size_t)n * s->row_bytes);
    done += n;
  }
}

static size_t grad_shift(const Scene *s, int v, uint32_t seq) {
  return (size_t)(((uint64_t)seq * s->grad_step + (v ? s->d_bg : 0)) %
                  (uint64_t)s->vw);
}

static void barcode_row(unsigned char *out, int w, int bpp, uint32_t seq) {
  size_t block = (size_t)(w / 16) * bpp;
  memset(out, 0, (size_t)w * bpp);
  for (int k = 0; k < 16; ++k)
    if ((seq >> (15 - k)) & 1) memset(out + k * block, 255, block);
}

static void yuv_gradient_segment(const Scene *s, int v, int y,
                                 const size_t *shift, unsigned char *out) {
  int g = s->fmt.yuv, a = g == 4 ? (int)(shift[v] / 2) & 1 : 0;
  size_t row = ysize((size_t)s->fmt.w, g);
  memcpy(out + (size_t)y * row + ysize((size_t)v * s->vw, g),
         s->ystrip[v][y & 1][a].data() + ysize(shift[v] - 2 * a, g),
         ysize((size_t)s->vw, g));
}

// Pixels a..b (whole groups) of a row of the object: the background from
// the scene's own rows, the object over it, converted.
static void yuv_ball_groups(const Scene *s, int v, int y, const size_t *shift,
                            int a, int b, int x0, int x1, unsigned char *out) {
  int g = s->fmt.yuv;
  unsigned char *rgb = s->yrow.data();
  size_t n = (size_t)(b - a + 1);
  if (band_of(scene_row(*s, y, v), s->fmt.h) == BAND_GRADIENT)
    memcpy(rgb, s->strip[v][y & 1].data() + 3 * (shift[v] + a), 3 * n);
  else
    memcpy(rgb, s->base.data() + (size_t)y * s->row_bytes +
                    3 * ((size_t)v * s->vw + a), 3 * n);
  int o0 = x0 > a ? x0 : a, o1 = x1 < b ? x1 : b;
  if (o0 <= o1)
    memcpy(rgb + 3 * (o0 - a), s->ball_row[v][y & 1].data() + 3 * o0,
           3 * (size_t)(o1 - o0 + 1));
  vz_yuv_from_rgb(rgb, n, g,
                  out + (size_t)y * ysize((size_t)s->fmt.w, g) +
                      ysize((size_t)v * s->vw + a, g));
}

// The object over the converted background: whole groups inside it come
// from its converted row, only the groups on its edges are converted.
static void yuv_ball(const Scene *s, int v, uint32_t seq, const size_t *shift,
                     unsigned char *out) {
  int g = s->fmt.yuv, cx = ball_centre(s, v, seq), x0, x1;
  size_t row = ysize((size_t)s->fmt.w, g);
  for (const Scene::BallRow &br : s->ball_rows[v]) {
    if (!ball_span(s, br, cx, &x0, &x1)) continue;
    int gx0 = x0 / g * g, gx1 = x1 / g * g + g - 1;
    int in0 = (x0 + g - 1) / g * g, in1 = (x1 + 1) / g * g;
    if (in0 >= in1) {
      yuv_ball_groups(s, v, br.y, shift, gx0, gx1, x0, x1, out);
      continue;
    }
    size_t at = ysize((size_t)in0, g);
    memcpy(out + (size_t)br.y * row + ysize((size_t)v * s->vw, g) + at,
           s->yball[v][br.y & 1].data() + at, ysize((size_t)(in1 - in0), g));
    if (gx0 < in0) yuv_ball_groups(s, v, br.y, shift, gx0, in0 - 1, x0, x1, out);
    if (in1 <= gx1) yuv_ball_groups(s, v, br.y, shift, in1, gx1, x0, x1, out);
  }
}

static void render_yuv(const Scene *s, uint32_t seq, unsigned char *out) {
  int g = s->fmt.yuv;
  size_t row = ysize((size_t)s->fmt.w, g);
  const unsigned char *base = s->ybase.data();
  size_t shift[2] = {0, 0};
  for (int v = 0; v < s->views; ++v) shift[v] = grad_shift(s, v, seq);
  for (const Scene::Op &op : s->ops) {
    if (op.kind == Scene::COPY) {
      size_t at = ysize(op.dst / 3, g);
      memcpy(out + at, base + at, ysize(op.len / 3, g));
    } else if (op.kind == Scene::GRAD) {
      yuv_gradient_segment(s, op.view, op.y, shift, out);
    } else {
      int first = op.n < 2 ? op.n : 2;
      for (int y = op.y; y < op.y + first; ++y)
        for (int v = 0; v < s->views; ++v)
          yuv_gradient_segment(s, v, y, shift, out);
      unsigned char *start = out + (size_t)op.y * row;
      for (int done = first; done < op.n;) {
        int n = done <= op.n - done ? done : op.n - done;
        memcpy(start + (size_t)done * row, start, (size_t)n * row);
        done += n;
      }
    }
  }
  for (int v = 0; v < s->views; ++v) yuv_ball(s, v, seq, shift, out);
  unsigned char *rgb = s->yrow.data();
  barcode_row(rgb, s->fmt.w, 3, seq);
  vz_yuv_from_rgb(rgb, (size_t)s->fmt.w, g, out);
  for (int y = 1; y < 8; ++y) memcpy(out + y * row, out, row);
}

static void render_scene(const Scene *s, uint32_t seq, unsigned char *out) {
  const unsigned char *base = s->base.data();
  size_t shift[2] = {0, 0};
  for (int v = 0; v < s->views; ++v)
    shift[v] = grad_shift(s, v, seq) * s->bpp;
  for (const Scene::Op &op : s->ops) {
    if (op.kind == Scene::COPY)
      memcpy(out + op.dst, base + op.dst, op.len);
    else if (op.kind == Scene::GRAD)
      gradient_segment(s, op.view, op.y, shift, out);
    else
      gradient_rows(s, op, shift, out);
  }
  for (int v = 0; v < s->views; ++v) draw_ball(s, v, seq, out);
  vz_barcode_write(out, s->fmt.w, s->bpp, seq);
}

void vz_scene_render(const Scene *s, uint32_t seq, unsigned char *out) {
  if (!s->ready) return;
  if (!s->fmt.yuv) {
    render_scene(s, seq, out);
  } else if (s->yuv_direct) {
    render_yuv(s, seq, out);
  } else {
    render_scene(s, seq, s->yrow.data());
    vz_yuv_from_rgb(s->yrow.data(), (size_t)s->fmt.w * s->fmt.h, s->fmt.yuv,
                    out);
  }
}

void vz_barcode_write(unsigned char *out, int w, int bpp, uint32_t seq) {
  size_t row = (size_t)w * bpp;
  barcode_row(out, w, bpp, seq);
  for (int y = 1; y < 8; ++y) memcpy(out + y * row, out, row);
}

template <int G>
static void yuv_groups(const unsigned char *rgb, size_t groups,
                       unsigned char *out) {
  for (size_t i = 0; i < groups; ++i, rgb += 3 * G, out += G + 2) {
    int y[G], su = 0, sv = 0;
    for (int k = 0; k < G; ++k) {
      int r = rgb[3 * k], g = rgb[3 * k + 1], b = rgb[3 * k + 2];
      y[k] = (77 * r + 150 * g + 29 * b + 128) >> 8;
      su += (-43 * r - 85 * g + 128 * b) / 256 + 128;
      sv += (128 * r - 107 * g - 21 * b) / 256 + 128;
    }
    // y stays in 0..255 and each U, V term in 1..255: nothing to clamp
    unsigned char u = (unsigned char)(su / G), v = (unsigned char)(sv / G);
    if (G == 1) {
      out[0] = u, out[1] = (unsigned char)y[0], out[2] = v;
    } else if (G == 2) {
      out[0] = u, out[1] = (unsigned char)y[0], out[2] = v;
      out[3] = (unsigned char)y[G > 1 ? 1 : 0];
    } else {
      out[0] = u, out[1] = (unsigned char)y[0];
      out[2] = (unsigned char)y[G > 1 ? 1 : 0], out[3] = v;
      out[4] = (unsigned char)y[G > 2 ? 2 : 0];
      out[5] = (unsigned char)y[G > 3 ? 3 : 0];
    }
  }
}

void vz_yuv_from_rgb(const unsigned char *rgb, size_t pixels, int group,
                     unsigned char *out) {
  if (group == 1) yuv_groups<1>(rgb, pixels, out);
  else if (group == 2) yuv_groups<2>(rgb, pixels / 2, out);
  else if (group == 4) yuv_groups<4>(rgb, pixels / 4, out);
}

int vz_barcode_read(const unsigned char *row, int w, int bpp) {
  if (!row || w < 16 || bpp < 1) return -1;
  int value = 0;
  for (int k = 0; k < 16; ++k) {
    int x = (2 * k + 1) * w / 32;
    const unsigned char *p = row + (size_t)x * bpp;
    int sum = 0;
    for (int c = 0; c < bpp; ++c) sum += p[c];
    int avg = sum / bpp;
    if (avg > 64 && avg < 192) return -1;
    value = (value << 1) | (avg >= 192);
  }
  return value;
}
