// Test hooks of our simulated camera bus (virizeda.so built from this tree).
// Not part of the camera interface: the programs never include this, and it
// works only with our own library, never with the camera maker's.
// From a test: #include "virizeda_sim.h"
//
//   vzsim::clear_calls();
//   ... drive the program ...
//   EXPECT_TRUE(vzsim::called("SetYOffset(7,0)"));
//   EXPECT_EQ(vzsim::barcode(frame, 640, 3), 12);   // row 0..7 of a frame
#ifndef VIRIZEDA_SIM_H
#define VIRIZEDA_SIM_H

#include <string>
#include <vector>

class dCamera;

// exported from a library built with hidden visibility
#pragma GCC visibility push(default)

namespace vzsim {

// Every camera operation since the last clear_calls(), oldest first, as
// "Name(arguments)": numbers in decimal, bools as 0/1, addresses and
// register values as 8 hex digits, a null buffer as null:
//   "InitCamera(0)", "InitCamera(Sim Mono)", "SetFormat(0,1,2,1,0)",
//   "Start()", "Stop()", "SetExposure(63,0)", "SetWhiteBalance(50,40,1)",
//   "SetGamma(1)", "SetYOffset(7,0)", "SaveLocalParams()",
//   "GetCalib(null,0)", "SetCalib(null,0)", "ReadQuadlet(f0fff004)",
//   "WriteQuadlet(f0fff00c,01001234)", and on the bus "Bus.Start()",
//   "Bus.Stop()", "Bus.Reset()".
// GetImage, ReadyImage, Size, Type, Speed and Index are not recorded.
std::vector<std::string> calls();
void clear_calls();
bool called(const std::string &text);

// Makes the device report a value as if it had got there by itself (the
// automatic control, say): "exposure", "gain", "brightness", "redgain",
// "bluegain", "saturation", "sharpness" (0-100), "y_offset" (vertical offset
// of the left imager). Sets the dCamera field and what the registers show.
// False for an unknown name, a value out of range or a camera not ours.
bool set_device_value(dCamera *cam, const char *name, int value);

// Frames skipped because the caller fell behind, in the stream running now
// or the last one; -1 for a camera not ours.
long dropped_frames(dCamera *cam);

// The sequence number (0-65535) that the bar code of a frame carries, read
// from one of its top 8 rows: width pixels of bytes_per_pixel bytes. Works
// as well on a row reduced by skipping pixels. -1 when the row holds no bar
// code.
int barcode(const unsigned char *row, int width, int bytes_per_pixel);

// The frame of sequence number seq in the camera's current format, made at
// once without pacing (benchmarks). Valid until the next frame is made;
// null for a camera not ours.
unsigned char *make_frame(dCamera *cam, unsigned seq);

}  // namespace vzsim

#pragma GCC visibility pop

#endif
