// A GenICam camera that stopped answering. aravis retries every GigE Vision
// access 5 x 500 ms, and its control-lost signal comes 5-6 s after the
// camera went; each access in between would hold the caller 2.5 s. Once one
// access has timed out, or the stream went quiet, every access of that
// device fails at once, at aravis's transport, until it answers again.
#ifndef VIRIZEDA_ARAVIS_LINK_H
#define VIRIZEDA_ARAVIS_LINK_H

#include <arv.h>

#include <atomic>
#include <string>

namespace vz {

struct AravisLink {
  std::string id;                     // for the one line that says so
  std::atomic<int64_t> mute_since{0};  // vz_mono_us, 0 while it answers
  std::atomic<unsigned> asked{0};      // accesses that reached aravis

  // Watches dev's accesses until unwatched.
  void watch(ArvDevice *dev);
  void unwatch(ArvDevice *dev);
  // The camera does not answer; said once, here.
  void mute(const char *why);
  // Frames again, or aravis kept control long enough for its heartbeat to
  // have been answered. Inline: it runs on every frame.
  void heard() {
    if (mute_since.load(std::memory_order_relaxed)) answers_again();
  }
  void answers_again();
  bool muted();
};

}  // namespace vz

#endif
