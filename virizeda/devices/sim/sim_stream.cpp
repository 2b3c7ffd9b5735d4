// The simulated camera's stream: frames paced by the wall clock, the
// newest frame delivered and those before it counted as dropped.
#include "devices/sim/sim_device.h"

#include <math.h>

#include "core/clock.h"
#include "core/diag.h"

namespace vz {

// ---------------------------------------------------------------- stream

bool SimDevice::start(std::string *why) {
  if (faults().refuses_start(why)) return false;
  if (stream_.on) return true;
  frame_memory();
  stream_ = Stream();
  stream_.on = true;
  pace(vz_mono_us());
  return true;
}

void SimDevice::stop() { stream_.on = false; }

// Frame timing from now on, the sequence going on where it was.
void SimDevice::pace(int64_t now) {
  stream_.period = frame_period_us();
  stream_.t0 = now - (int64_t)llround(stream_.next * stream_.period);
  stream_.wall0 = vz_wall_us() - (now - stream_.t0);
}

int64_t SimDevice::due(int64_t seq) const {
  return stream_.t0 + (int64_t)llround((seq + 1) * stream_.period);
}

Next SimDevice::next_frame(int wait_ms, Frame *f) {
  if (!stream_.on) return Next::TIMEOUT;
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  int64_t seq = stream_.next;
  long stop_after = faults().stops_after();
  if (!faults().sends((uint64_t)seq)) {
    if (!stream_.stop_reported)
      vz_diag("camera %d: no frames after %ld (frames_stop_after)", num_,
              stop_after);
    stream_.stop_reported = true;
    vz_sleep_until(limit);
    return Next::TIMEOUT;
  }
  uint32_t lost = 0;
  if (faults().paced()) {
    if (due(seq) > now) {
      if (due(seq) > limit) {
        vz_sleep_until(limit);
        return Next::TIMEOUT;
      }
      vz_sleep_until(due(seq));
    } else {
      // the newest frame already due; those before it are lost
      int64_t newest = (int64_t)floor((now - stream_.t0) / stream_.period) - 1;
      while (newest > seq && due(newest) > now) --newest;
      while (due(newest + 1) <= now) ++newest;
      if (!faults().sends((uint64_t)newest)) newest = stop_after - 1;
      if (newest > seq) {
        lost = (uint32_t)(newest - seq);
        stream_.dropped += newest - seq;
        seq = newest;
      }
    }
  }
  render((uint64_t)seq, frame_memory());
  stream_.next = seq + 1;
  stream_.delivered++;
  f->data = frame_.data();
  f->bytes = frame_bytes();
  f->seq = (uint64_t)seq;
  f->usec = stream_.wall0 + (due(seq) - stream_.t0);
  f->dropped = lost;
  return Next::FRAME;
}

bool SimDevice::frame_ready(int wait_ms, bool *ready) {
  *ready = false;
  if (!stream_.on) return true;
  int64_t seq = stream_.next;
  if (!faults().sends((uint64_t)seq)) return true;
  *ready = true;
  if (!faults().paced()) return true;
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  if (due(seq) <= now) return true;
  if (due(seq) > limit) {
    vz_sleep_until(limit);
    *ready = false;
    return true;
  }
  vz_sleep_until(due(seq));
  return true;
}

void SimDevice::flush() {
  if (!stream_.on || !faults().paced()) return;
  int64_t now = vz_mono_us();
  while (due(stream_.next) <= now) stream_.next++;
}

}  // namespace vz
