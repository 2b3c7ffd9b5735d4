#include "core/convert.h"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vz {

namespace {

// libdc1394's YUV2RGB in tables: r = y + (v'*1436 >> 10),
// g = y - ((u'*352 + v'*731) >> 10), b = y + (u'*1814 >> 10), with
// u' = u - 128, v' = v - 128, each clamped to 0..255. The sums are kept
// unshifted where libdc1394 shifts a sum, so the rounding is the same.
struct YuvTables {
  int16_t rv[256], bu[256];
  int32_t gu[256], gv[256];
  uint8_t clip[1024];  // clip[i + CLIP_ZERO] = i clamped to 0..255
};
constexpr int CLIP_ZERO = 384;

constexpr YuvTables make_tables() {
  YuvTables t{};
  for (int i = 0; i < 256; ++i) {
    int c = i - 128;
    t.rv[i] = (int16_t)((c * 1436) >> 10);
    t.bu[i] = (int16_t)((c * 1814) >> 10);
    t.gu[i] = c * 352;
    t.gv[i] = c * 731;
  }
  for (int i = 0; i < 1024; ++i) {
    int v = i - CLIP_ZERO;
    t.clip[i] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
  }
  return t;
}
constexpr YuvTables T = make_tables();

struct Chroma {
  int r, g, b;
};

inline Chroma chroma(int u, int v) {
  return {T.rv[v], (T.gu[u] + T.gv[v]) >> 10, T.bu[u]};
}

inline void put(uint8_t *d, int y, const Chroma &c) {
  const uint8_t *cl = T.clip + CLIP_ZERO + y;
  d[0] = cl[c.r];
  d[1] = cl[-c.g];
  d[2] = cl[c.b];
}

}  // namespace

namespace {
#if defined(__x86_64__) || defined(__i386__)
#define VZ_X86 1
// pshufb masks that interleave R, G and B planes of 16 bytes into 48 bytes
// of RGB24: [output block][channel][byte], 0x80 makes a zero byte
struct Interleave {
  uint8_t m[3][3][16];
};
constexpr Interleave make_interleave() {
  Interleave t{};
  for (int k = 0; k < 3; ++k)
    for (int ch = 0; ch < 3; ++ch)
      for (int j = 0; j < 16; ++j) {
        int p = 16 * k + j;
        t.m[k][ch][j] = (uint8_t)(p % 3 == ch ? p / 3 : 0x80);
      }
  return t;
}
constexpr Interleave IL = make_interleave();

#define SSSE3 __attribute__((target("ssse3")))

bool have_ssse3() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}

SSSE3 inline __m128i blend(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

SSSE3 inline __m128i ld(const uint8_t *p) {
  return _mm_loadu_si128((const __m128i *)p);
}

// R, G and B planes of 16 pixels stored as 48 bytes of RGB24
SSSE3 inline void store_rgb(__m128i r, __m128i g, __m128i b, uint8_t *o) {
  for (int k = 0; k < 3; ++k) {
    __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, ld(IL.m[k][0])),
                                          _mm_shuffle_epi8(g, ld(IL.m[k][1]))),
                             _mm_shuffle_epi8(b, ld(IL.m[k][2])));
    _mm_storeu_si128((__m128i *)(o + 16 * k), v);
  }
}

// libdc1394's YUV2RGB for 8 pixels: y, u' and v' in 16-bit lanes. v'*1436
// >> 10 is the high half of (v' << 6) * 1436, exactly; the green sum is
// taken in 32 bits before its shift, as libdc1394 does.
struct Rgb16 {
  __m128i r, g, b;
};
SSSE3 inline Rgb16 yuv8(__m128i y, __m128i u, __m128i v) {
  __m128i rv = _mm_mulhi_epi16(_mm_slli_epi16(v, 6), _mm_set1_epi16(1436));
  __m128i bu = _mm_mulhi_epi16(_mm_slli_epi16(u, 6), _mm_set1_epi16(1814));
  const __m128i k = _mm_set1_epi32(731 << 16 | 352);
  __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(u, v), k), 10);
  __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(u, v), k), 10);
  __m128i guv = _mm_packs_epi32(lo, hi);
  return {_mm_add_epi16(y, rv), _mm_sub_epi16(y, guv), _mm_add_epi16(y, bu)};
}

SSSE3 inline void store16(const Rgb16 &a, const Rgb16 &b, uint8_t *o) {
  store_rgb(_mm_packus_epi16(a.r, b.r), _mm_packus_epi16(a.g, b.g),
            _mm_packus_epi16(a.b, b.b), o);
}

// UYVY: in each 32-bit lane U Y0 V Y1; chroma repeated for both pixels
SSSE3 inline Rgb16 uyvy8(__m128i a) {
  const __m128i lowbyte = _mm_set1_epi32(0xff), c128 = _mm_set1_epi16(128);
  __m128i u = _mm_and_si128(a, lowbyte);
  __m128i v = _mm_and_si128(_mm_srli_epi32(a, 16), lowbyte);
  u = _mm_sub_epi16(_mm_or_si128(u, _mm_slli_epi32(u, 16)), c128);
  v = _mm_sub_epi16(_mm_or_si128(v, _mm_slli_epi32(v, 16)), c128);
  return yuv8(_mm_srli_epi16(a, 8), u, v);
}

SSSE3 size_t yuv422_rgb_simd(const uint8_t *s, uint8_t *d, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16)
    store16(uyvy8(ld(s + 2 * i)), uyvy8(ld(s + 2 * i + 16)), d + 3 * i);
  return i;
}

// pshufb masks gathering channel ch of 16 pixels (input byte 3j + ch)
// from 48 bytes: [channel][input block][byte]
struct Deinterleave {
  uint8_t m[3][3][16];
};
constexpr Deinterleave make_deinterleave() {
  Deinterleave t{};
  for (int ch = 0; ch < 3; ++ch)
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 16; ++j) {
        int p = 3 * j + ch - 16 * k;
        t.m[ch][k][j] = (uint8_t)(p >= 0 && p < 16 ? p : 0x80);
      }
  return t;
}
constexpr Deinterleave DL = make_deinterleave();

// UYV triplets: the three planes gathered with byte shuffles
SSSE3 size_t yuv444_rgb_simd(const uint8_t *s, uint8_t *d, size_t n) {
  size_t i = 0;
  const __m128i z = _mm_setzero_si128(), c128 = _mm_set1_epi16(128);
  for (; i + 16 <= n; i += 16) {
    __m128i in[3] = {ld(s + 3 * i), ld(s + 3 * i + 16), ld(s + 3 * i + 32)};
    __m128i plane[3];
    for (int ch = 0; ch < 3; ++ch)
      plane[ch] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], ld(DL.m[ch][0])),
                                            _mm_shuffle_epi8(in[1], ld(DL.m[ch][1]))),
                               _mm_shuffle_epi8(in[2], ld(DL.m[ch][2])));
    auto half = [&](__m128i (*un)(__m128i, __m128i)) SSSE3 {
      return yuv8(un(plane[1], z), _mm_sub_epi16(un(plane[0], z), c128),
                  _mm_sub_epi16(un(plane[2], z), c128));
    };
    store16(half(_mm_unpacklo_epi8), half(_mm_unpackhi_epi8), d + 3 * i);
  }
  return i;
}
#endif

}  // namespace

void yuv444_to_rgb(const uint8_t *s, uint8_t *d, size_t n) {
  size_t i = 0;
#ifdef VZ_X86
  if (have_ssse3()) i = yuv444_rgb_simd(s, d, n);
  s += 3 * i, d += 3 * i;
#endif
  for (; i < n; ++i, s += 3, d += 3) put(d, s[1], chroma(s[0], s[2]));
}

void yuv422_to_rgb(const uint8_t *s, uint8_t *d, size_t n) {
  size_t i = 0;
#ifdef VZ_X86
  if (have_ssse3()) i = yuv422_rgb_simd(s, d, n);
  s += 2 * i, d += 3 * i;
#endif
  for (; i < n; i += 2, s += 4, d += 6) {
    Chroma c = chroma(s[0], s[2]);
    put(d, s[1], c);
    put(d + 3, s[3], c);
  }
}

void yuv411_to_rgb(const uint8_t *s, uint8_t *d, size_t n) {
  for (size_t i = 0; i < n; i += 4, s += 6, d += 12) {
    Chroma c = chroma(s[0], s[3]);
    put(d, s[1], c);
    put(d + 3, s[2], c);
    put(d + 6, s[4], c);
    put(d + 9, s[5], c);
  }
}

void yuv444_to_mono(const uint8_t *s, uint8_t *d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = s[3 * i + 1];
}

#if defined(__x86_64__) || defined(__i386__)
// the luma is the high byte of every 16-bit lane; packing works within
// 128-bit halves, so the 64-bit quarters are put back in order afterwards
__attribute__((target("avx2"))) static size_t yuv422_luma_avx2(
    const uint8_t *s, uint8_t *d, size_t n) {
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i a = _mm256_loadu_si256((const __m256i *)(s + 2 * i));
    __m256i b = _mm256_loadu_si256((const __m256i *)(s + 2 * i + 32));
    __m256i y = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
    y = _mm256_permute4x64_epi64(y, 0xD8);
    _mm256_storeu_si256((__m256i *)(d + i), y);
  }
  return i;
}
#endif

void yuv422_to_mono(const uint8_t *s, uint8_t *d, size_t n) {
  size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) i = yuv422_luma_avx2(s, d, n);
#endif
#ifdef __SSE2__
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_loadu_si128((const __m128i *)(s + 2 * i));
    __m128i b = _mm_loadu_si128((const __m128i *)(s + 2 * i + 16));
    __m128i y = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    _mm_storeu_si128((__m128i *)(d + i), y);
  }
#endif
  for (; i < n; ++i) d[i] = s[2 * i + 1];
}

void yuv411_to_mono(const uint8_t *s, uint8_t *d, size_t n) {
  for (size_t i = 0; i < n; i += 4, s += 6, d += 4) {
    d[0] = s[1];
    d[1] = s[2];
    d[2] = s[4];
    d[3] = s[5];
  }
}

void rgb_to_mono(const uint8_t *s, uint8_t *d, size_t n) {
  // at most (1024 * 255) >> 10, so no clamp is needed
  for (size_t i = 0; i < n; ++i, s += 3)
    d[i] = (uint8_t)((306 * s[0] + 601 * s[1] + 117 * s[2]) >> 10);
}

namespace {

// Bilinear demosaicing, one output row at a time. A row holds green and one
// other colour C (0 red, 2 blue); the row above and below hold green and the
// third colour. At a C site: C itself, green from the four edge neighbours,
// the third colour from the four corners. At a green site: C from left and
// right, the third colour from above and below. The roundings are
// libdc1394's.
// restrict: the output never overlaps the mosaic, so loads need not be
// repeated after every store
#define RS __restrict
inline void site_c(const uint8_t *RS u, const uint8_t *RS m,
                   const uint8_t *RS dn, int x, int l, int r, int c,
                   uint8_t *RS o) {
  o[c] = m[x];
  o[1] = (uint8_t)((u[x] + dn[x] + m[l] + m[r] + 2) >> 2);
  o[2 - c] = (uint8_t)((u[l] + u[r] + dn[l] + dn[r] + 2) >> 2);
}

inline void site_g(const uint8_t *RS u, const uint8_t *RS m,
                   const uint8_t *RS dn, int x, int l, int r, int c,
                   uint8_t *RS o) {
  o[1] = m[x];
  o[c] = (uint8_t)((m[l] + m[r] + 1) >> 1);
  o[2 - c] = (uint8_t)((u[x] + dn[x] + 1) >> 1);
}

inline int mirror(int i, int n) {
  if (n == 1) return 0;
  return i < 0 ? -i : i >= n ? 2 * n - 2 - i : i;
}

#ifdef VZ_X86
// (a + b + c + d + 2) >> 2 per byte lane
SSSE3 inline __m128i avg4(__m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i z = _mm_setzero_si128(), two = _mm_set1_epi16(2);
  auto half = [&](__m128i (*un)(__m128i, __m128i)) SSSE3 {
    __m128i s = _mm_add_epi16(_mm_add_epi16(un(a, z), un(b, z)),
                              _mm_add_epi16(un(c, z), un(d, z)));
    return _mm_srli_epi16(_mm_add_epi16(s, two), 2);
  };
  return _mm_packus_epi16(half(_mm_unpacklo_epi8), half(_mm_unpackhi_epi8));
}

// 16 pixels from x on (reads x - 1 .. x + 16); csite marks the lanes that
// are C sites. The sums of site_c and site_g for 16 lanes at once;
// (a + b + 1) >> 1 is the byte average.
template <int C>
SSSE3 inline void bayer16(const uint8_t *RS u, const uint8_t *RS m,
                          const uint8_t *RS dn, uint8_t *RS o, int x,
                          __m128i csite) {
  __m128i mL = ld(m + x - 1), mC = ld(m + x), mR = ld(m + x + 1);
  __m128i uC = ld(u + x), dC = ld(dn + x);
  __m128i g_c = avg4(uC, dC, mL, mR);
  __m128i t_c = avg4(ld(u + x - 1), ld(u + x + 1), ld(dn + x - 1), ld(dn + x + 1));
  __m128i cc = blend(csite, mC, _mm_avg_epu8(mL, mR));
  __m128i gg = blend(csite, g_c, mC);
  __m128i tt = blend(csite, t_c, _mm_avg_epu8(uC, dC));
  __m128i r = C == 0 ? cc : tt, b = C == 0 ? tt : cc;
  __m128i *out = (__m128i *)(o + 3 * x);
  for (int k = 0; k < 3; ++k) {
    __m128i v = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(r, ld(IL.m[k][0])),
                     _mm_shuffle_epi8(gg, ld(IL.m[k][1]))),
        _mm_shuffle_epi8(b, ld(IL.m[k][2])));
    _mm_storeu_si128(out + k, v);
  }
}

// lane i is column x + i with x odd: C sites are the even lanes when C sits
// at odd columns
template <int C, bool C_ODD>
SSSE3 int bayer_simd(const uint8_t *RS u, const uint8_t *RS m,
                     const uint8_t *RS dn, uint8_t *RS o, int w) {
  const __m128i csite =
      C_ODD ? _mm_set1_epi16(0x00ff) : _mm_set1_epi16((short)0xff00);
  int x = 1;
  for (; x + 17 <= w; x += 16) bayer16<C>(u, m, dn, o, x, csite);
  return x;
}

#endif

// C is the row's non-green colour; C_ODD: it sits at odd columns.
template <int C, bool C_ODD>
void bayer_row(const uint8_t *RS u, const uint8_t *RS m,
               const uint8_t *RS dn, uint8_t *RS o, int w) {
  auto edge = [&](int x) {
    int l = mirror(x - 1, w), r = mirror(x + 1, w);
    if ((x & 1) == (int)C_ODD) site_c(u, m, dn, x, l, r, C, o + 3 * x);
    else site_g(u, m, dn, x, l, r, C, o + 3 * x);
  };
  edge(0);
  if (w == 1) return;
  int x = 1;
#ifdef VZ_X86
  if (have_ssse3()) x = bayer_simd<C, C_ODD>(u, m, dn, o, w);
#endif
  // inner pixels in pairs: (x, x + 1) is (C, G) or (G, C)
  for (; x + 2 < w; x += 2) {
    uint8_t *p = o + 3 * x;
    if (((x & 1) == 1) == C_ODD) {
      site_c(u, m, dn, x, x - 1, x + 1, C, p);
      site_g(u, m, dn, x + 1, x, x + 2, C, p + 3);
    } else {
      site_g(u, m, dn, x, x - 1, x + 1, C, p);
      site_c(u, m, dn, x + 1, x, x + 2, C, p + 3);
    }
  }
  for (; x < w; ++x) edge(x);
}

void bayer_row_any(int c, bool c_odd, const uint8_t *u, const uint8_t *m,
                   const uint8_t *dn, uint8_t *o, int w) {
  if (c == 0) {
    if (c_odd) bayer_row<0, true>(u, m, dn, o, w);
    else bayer_row<0, false>(u, m, dn, o, w);
  } else {
    if (c_odd) bayer_row<2, true>(u, m, dn, o, w);
    else bayer_row<2, false>(u, m, dn, o, w);
  }
}

}  // namespace

bool bayer_to_rgb(const uint8_t *src, uint8_t *dst, int w, int h,
                  iidc::Filter filter) {
  // the top row's non-green colour and whether it sits at odd columns
  int c;
  bool odd;
  switch (filter) {
    case iidc::Filter::RGGB: c = 0; odd = false; break;
    case iidc::Filter::GRBG: c = 0; odd = true; break;
    case iidc::Filter::BGGR: c = 2; odd = false; break;
    case iidc::Filter::GBRG: c = 2; odd = true; break;
    default: return false;
  }
  if (w <= 0 || h <= 0) return false;
  for (int y = 0; y < h; ++y) {
    const uint8_t *m = src + (size_t)y * w;
    const uint8_t *u = src + (size_t)mirror(y - 1, h) * w;
    const uint8_t *dn = src + (size_t)mirror(y + 1, h) * w;
    // the next row holds the other colour, at the other parity
    bool flip = y & 1;
    bayer_row_any(flip ? 2 - c : c, flip ? !odd : odd, u, m, dn,
                  dst + (size_t)y * w * 3, w);
  }
  return true;
}

int yuv_group(iidc::Coding c) {
  switch (c) {
    case iidc::Coding::YUV444: return 1;
    case iidc::Coding::YUV422: return 2;
    case iidc::Coding::YUV411: return 4;
    default: return 1;
  }
}

bool can_convert(iidc::Coding from, iidc::Filter filter, Pixels to) {
  switch (from) {
    case iidc::Coding::YUV444:
    case iidc::Coding::YUV422:
    case iidc::Coding::YUV411: return true;
    case iidc::Coding::RGB8: return to == Pixels::MONO;
    case iidc::Coding::RAW8:
    case iidc::Coding::MONO8: return to == Pixels::RGB24 && filter != iidc::Filter::NONE;
  }
  return false;
}

bool convert(iidc::Coding from, iidc::Filter filter, Pixels to, const uint8_t *src,
             uint8_t *dst, int w, int h) {
  if (w <= 0 || h <= 0 || !can_convert(from, filter, to)) return false;
  size_t n = (size_t)w * h;
  if (n % yuv_group(from)) return false;
  bool rgb = to == Pixels::RGB24;
  switch (from) {
    case iidc::Coding::YUV444:
      rgb ? yuv444_to_rgb(src, dst, n) : yuv444_to_mono(src, dst, n);
      return true;
    case iidc::Coding::YUV422:
      rgb ? yuv422_to_rgb(src, dst, n) : yuv422_to_mono(src, dst, n);
      return true;
    case iidc::Coding::YUV411:
      rgb ? yuv411_to_rgb(src, dst, n) : yuv411_to_mono(src, dst, n);
      return true;
    case iidc::Coding::RGB8:
      rgb_to_mono(src, dst, n);
      return true;
    case iidc::Coding::RAW8:
    case iidc::Coding::MONO8:
      return bayer_to_rgb(src, dst, w, h, filter);
  }
  return false;
}

}  // namespace vz
