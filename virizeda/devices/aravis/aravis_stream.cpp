// The stream of an AravisDevice: buffers of our own memory, the newest
// complete frame handed over, frames lost counted from the frame ids.
#include <inttypes.h>

#include <algorithm>

#include "core/clock.h"
#include "core/diag.h"
#include "devices/aravis/aravis_device.h"
#include "devices/aravis/aravis_log.h"

namespace vz {

namespace {

constexpr size_t RING_BYTES = 64u << 20;
constexpr int64_t SLICE_US = 50000;  // how often a wait looks for control lost

}  // namespace

// Once per payload size. The block of the frame handed out lives on
// until the next frame is handed out.
void AravisDevice::alloc_buffers() {
  GError *e = nullptr;
  size_t payload = arv_camera_get_payload(cam_, &e);
  if (!check(&e, "PayloadSize") || payload == 0) return;
  if (payload == payload_ && !blocks_.empty()) return;
  for (auto &b : blocks_) old_blocks_.push_back(std::move(b));
  blocks_.clear();
  held_fits_ = false;
  size_t n = std::min<size_t>(16, std::max<size_t>(4, RING_BYTES / payload));
  for (size_t i = 0; i < n; ++i)
    blocks_.emplace_back(new unsigned char[payload]);
  payload_ = payload;
}

bool AravisDevice::start(std::string *why) {
  aravis_flush_log();
  if (lost_check()) {
    *why = "the camera is gone";
    return false;
  }
  if (streaming_) return true;
  alloc_buffers();
  if (blocks_.empty()) {
    *why = "the camera states no PayloadSize";
    return false;
  }
  GError *e = nullptr;
  stream_ = arv_camera_create_stream(cam_, nullptr, nullptr, &e);
  if (!stream_) {
    check(&e, "the stream cannot be opened", why);
    return false;
  }
  if (gv_)  // the whole frame in the socket's buffer, or frames come torn
    g_object_set(stream_, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_AUTO,
                 nullptr);
  unsigned char *keep = nullptr;
  if (held_) keep = (unsigned char *)arv_buffer_get_user_data(held_);
  for (auto &b : blocks_)
    if (b.get() != keep)
      arv_stream_push_buffer(stream_, arv_buffer_new_full(payload_, b.get(),
                                                          b.get(), nullptr));
  arv_camera_start_acquisition(cam_, &e);
  if (!check(&e, "AcquisitionStart", why)) {
    g_clear_object(&stream_);
    return false;
  }
  streaming_ = true;
  have_id_ = false;
  first_seq_ = seq_ = 0;
  failed_ = 0;
  return true;
}

void AravisDevice::stop() {
  if (!streaming_) return;
  GError *e = nullptr;
  if (!gone()) arv_camera_stop_acquisition(cam_, &e);
  g_clear_error(&e);
  g_clear_object(&pending_);
  g_clear_object(&stream_);  // frees its buffers; the memory is ours
  streaming_ = false;
}

// The frame path (give_back, pop, fresh, next_frame, listen) is marked hot
// so that it lies together with the camera's: it runs from cold caches.

// A buffer goes back to the stream when it still fits it: those popped
// always do, the one held over a change of payload size does not.
[[gnu::hot]] void AravisDevice::give_back(ArvBuffer *b, bool fits) {
  if (!b) return;
  if (stream_ && fits)
    arv_stream_push_buffer(stream_, b);
  else
    g_object_unref(b);
}

bool AravisDevice::let_go() {
  if (lost_ && !gone_) {
    gone_ = true;
    vz_diag("camera %s (%s %s): control lost; it no longer answers", id_.c_str(),
            vendor_.c_str(), model_.c_str());
    g_clear_object(&pending_);
    g_clear_object(&stream_);
    streaming_ = false;
  }
  return gone_;
}

// One wait per slice: a buffer already there comes back at once.
// The clock is read before the wait, not after: a frame's wake-up touches
// no code but the stream's and ours (see docs/performance.md).
[[gnu::hot]] ArvBuffer *AravisDevice::pop(int64_t deadline) {
  for (;;) {
    int64_t now = vz_mono_us(), left = deadline - now;
    if (left <= 0 || lost_) return listen(arv_stream_try_pop_buffer(stream_), now);
    ArvBuffer *b =
        arv_stream_timeout_pop_buffer(stream_, (guint64)std::min(left, SLICE_US));
    if (b) return listen(b, now);
  }
}

// A frame after the last one handed out, and how many ids further on.
// GigE Vision 1.x ids run 1 to 65535 and then start at 1 again.
[[gnu::hot]] bool AravisDevice::fresh(uint64_t id, uint64_t *delta) {
  *delta = 1;
  if (!have_id_ || id == 0 || last_id_ == 0) return true;
  if (id <= 0xffff && last_id_ <= 0xffff) {
    *delta = (id + 0xffff - last_id_) % 0xffff;
    return *delta != 0 && *delta < 0x8000;
  }
  *delta = id - last_id_;
  return id > last_id_;
}

[[gnu::hot]] Next AravisDevice::next_frame(int wait_ms, Frame *f) {
  aravis_flush_log();
  if (lost_check()) return Next::GONE;
  if (!streaming_) return Next::TIMEOUT;
  int64_t now = vz_mono_us();
  int64_t deadline = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  ArvBuffer *best = pending_;
  pending_ = nullptr;
  uint64_t delta = 1, best_id = best ? arv_buffer_get_frame_id(best) : 0;
  if (best) fresh(best_id, &delta);
  // The frames already there, oldest first; with none, the first to come.
  // The queue is not looked at again after a wait: a frame that comes
  // while this thread wakes is the next call's, and the look would cost
  // a frame more cold code than the rest of the path.
  for (bool waited = false; !(waited && best);) {
    ArvBuffer *b = arv_stream_try_pop_buffer(stream_);
    if (b) {
      listen(b, now);
    } else {
      if (best) break;
      b = pop(deadline);
      waited = true;
    }
    if (!b) break;
    uint64_t d = 1, id = arv_buffer_get_frame_id(b);
    if (arv_buffer_get_status(b) != ARV_BUFFER_STATUS_SUCCESS) {
      ++failed_;
      give_back(b);
    } else if (!fresh(id, &d)) {
      give_back(b);  // never a frame older than one handed out
    } else {
      give_back(best);  // an older one: its id gap counts it as dropped
      best = b;
      best_id = id;
      delta = d;
    }
  }
  if (!best) return lost_check() ? Next::GONE : Next::TIMEOUT;
  uint64_t step = std::max<uint64_t>(have_id_ ? delta : 1, 1 + failed_);
  seq_ = have_id_ ? seq_ + step : first_seq_ + step - 1;
  have_id_ = true;
  last_id_ = best_id;
  failed_ = 0;
  give_back(held_, held_fits_);
  if (!held_fits_) old_blocks_.clear();  // the blocks of a payload before
  held_ = best;
  held_fits_ = true;
  size_t size = 0;
  f->data = (unsigned char *)arv_buffer_get_data(best, &size);
  f->bytes = (uint32_t)size;
  f->seq = seq_;
  guint64 ns = arv_buffer_get_system_timestamp(best);
  f->usec = ns ? (int64_t)(ns / 1000) : vz_wall_us();
  f->dropped = (uint32_t)(step - 1);
  return Next::FRAME;
}

bool AravisDevice::frame_ready(int wait_ms, bool *ready) {
  aravis_flush_log();
  *ready = pending_ != nullptr;
  if (*ready || lost_check() || !streaming_) return true;
  int64_t deadline = vz_mono_us() + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  while (ArvBuffer *b = pop(deadline)) {
    uint64_t d = 1;
    if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS &&
        fresh(arv_buffer_get_frame_id(b), &d)) {
      pending_ = b;
      break;
    }
    if (arv_buffer_get_status(b) != ARV_BUFFER_STATUS_SUCCESS) ++failed_;
    give_back(b);
  }
  *ready = pending_ != nullptr;
  return true;
}

}  // namespace vz
