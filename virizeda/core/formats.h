// Video formats, frame rates, bus bandwidth and the 0-100 parameter scale:
// what every backend shares, whatever carries the frames.
#ifndef VIRIZEDA_FORMATS_H
#define VIRIZEDA_FORMATS_H

#include <stdint.h>

#include "core/dcam_api.h"

// Width and height of a size; false for a value outside dISIZE.
bool vz_size_dims(int size, int *w, int *h);
// The sizes a camera of ours can deliver at all.
bool vz_size_delivered(int size);
// Bytes per pixel of a type we deliver (mono, Bayer 1, RGB24 3); 0 otherwise.
int vz_type_bpp(int type);
const char *vz_type_name(int type);     // "RGB24", "unknown type 9", ...
double vz_speed_fps(int speed);         // 0 for a value outside dISPEED
const char *vz_speed_name(int speed);   // "7.5", "3.75", ...
// IIDC frame rate code (FrameRate_1 3.75 .. FrameRate_5 60); -1 for the
// rates IIDC has no code for (10 and 5).
int vz_iidc_rate_code(int speed);
// Isochronous payload of a bus: one packet of at most 4096 bytes per
// 125 us cycle at S400, twice that at S800.
uint32_t vz_iso_packet_max(int bus_speed);
double vz_bus_bytes_per_sec(int bus_speed);
// Bandwidth units of the isochronous resource manager (the time of a
// quadlet at S1600) that a packet of `bytes` takes each cycle, header and
// CRC included; a bus has VZ_ISO_UNITS.
const int VZ_ISO_UNITS = 4915;
int vz_iso_units(uint32_t bytes, int bus_speed);
// Whether a bus carries a packet of `bytes` every cycle.
bool vz_iso_fits(uint32_t bytes, int bus_speed);

// The programs work on 0-100; registers hold raw values in [lo, hi].
int vz_scale_to_raw(int v, int lo, int hi);
int vz_raw_to_scale(int raw, int lo, int hi);

#endif
