// Pixel conversions for cameras that do not send the asked format natively:
// YUV (IIDC byte orders) to RGB24 or to its luma, RGB8 to luma, and Bayer
// mosaics demosaiced to RGB24. They write into a buffer the caller owns and
// allocate nothing, so they can run on every frame.
//
// Colour equations are libdc1394's, so a frame converted here equals one
// converted by libdc1394 (YUV to RGB: its YUV2RGB integer formula; RGB to
// luma: the Y of its RGB2YUV). Demosaicing is bilinear and matches
// dc1394_bayer_decoding_8bit(..., DC1394_BAYER_METHOD_BILINEAR) on every
// pixel that has all its neighbours; the outermost rows and columns, which
// libdc1394 paints black, are interpolated from the neighbours mirrored
// across the edge.
#ifndef VIRIZEDA_CORE_CONVERT_H
#define VIRIZEDA_CORE_CONVERT_H

#include <stddef.h>
#include <stdint.h>

#include "core/device.h"

namespace vz {

enum class Pixels { MONO, RGB24 };

// Pixels per chroma group of a YUV coding (444: 1, 422: 2, 411: 4).
int yuv_group(iidc::Coding c);

// Whether frames of `from` (with its colour filter) can be delivered as `to`.
// A mosaic (RAW8, or MONO8 from a Bayer imager) becomes RGB24 only.
bool can_convert(iidc::Coding from, iidc::Filter filter, Pixels to);

// Converts one w x h frame. dst holds w * h bytes (MONO) or 3 * w * h
// (RGB24). False, with dst untouched, when no such conversion exists, a
// size is not positive, or the YUV frame does not end on a whole chroma
// group (w * h not a multiple of yuv_group).
bool convert(iidc::Coding from, iidc::Filter filter, Pixels to, const uint8_t *src,
             uint8_t *dst, int w, int h);

// The single conversions, for n pixels (a multiple of the chroma group).
void yuv444_to_rgb(const uint8_t *src, uint8_t *dst, size_t n);
void yuv422_to_rgb(const uint8_t *src, uint8_t *dst, size_t n);  // UYVY
void yuv411_to_rgb(const uint8_t *src, uint8_t *dst, size_t n);  // UYYVYY
void yuv444_to_mono(const uint8_t *src, uint8_t *dst, size_t n);
void yuv422_to_mono(const uint8_t *src, uint8_t *dst, size_t n);
void yuv411_to_mono(const uint8_t *src, uint8_t *dst, size_t n);
void rgb_to_mono(const uint8_t *src, uint8_t *dst, size_t n);
// filter is the colour of the top-left 2x2 block; NONE is refused.
bool bayer_to_rgb(const uint8_t *src, uint8_t *dst, int w, int h,
                  iidc::Filter filter);

}  // namespace vz

#endif
