#include "devices/aravis/aravis_link.h"

#include <mutex>

#include "core/clock.h"
#include "core/diag.h"

namespace vz {

namespace {

// aravis's heartbeat says control lost within about 8.5 s of a camera's
// going (a failing read, 5 s of retries, a 2.5 s read); a camera still
// held after this answered its heartbeat.
constexpr int64_t HEARTBEAT_US = 10000000;

ArvDeviceClass orig;  // GigE Vision's own transport
GQuark quark() { return g_quark_from_static_string("virizeda-link"); }

// Every access of a watched device goes through here, on the caller's
// thread (aravis's own threads do not use these).
template <typename F, typename... A>
gboolean guarded(F f, ArvDevice *d, GError **error, A... a) {
  auto *link = static_cast<AravisLink *>(g_object_get_qdata(G_OBJECT(d), quark()));
  if (link && link->muted()) {
    g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_TIMEOUT,
                "not asked: the camera does not answer");
    return FALSE;
  }
  if (link) ++link->asked;
  GError *e = nullptr;
  gboolean ok = f(d, a..., &e);
  if (link && g_error_matches(e, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_TIMEOUT))
    link->mute(e->message);
  if (e) g_propagate_error(error, e);
  return ok;
}

gboolean read_memory(ArvDevice *d, guint64 a, guint32 n, void *b, GError **e) {
  return guarded(orig.read_memory, d, e, a, n, b);
}
gboolean write_memory(ArvDevice *d, guint64 a, guint32 n, void *b, GError **e) {
  return guarded(orig.write_memory, d, e, a, n, b);
}
gboolean read_register(ArvDevice *d, guint64 a, guint32 *v, GError **e) {
  return guarded(orig.read_register, d, e, a, v);
}
gboolean write_register(ArvDevice *d, guint64 a, guint32 v, GError **e) {
  return guarded(orig.write_register, d, e, a, v);
}

// aravis 0.8 has no setting for its GVCP timeout or retries.
void guard_transport() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto *k = ARV_DEVICE_CLASS(g_type_class_ref(ARV_TYPE_GV_DEVICE));
    orig = *k;
    k->read_memory = read_memory;
    k->write_memory = write_memory;
    k->read_register = read_register;
    k->write_register = write_register;
  });
}

}  // namespace

void AravisLink::watch(ArvDevice *dev) {
  mute_since = 0;
  if (!ARV_IS_GV_DEVICE(dev)) return;  // the others fail fast
  guard_transport();
  g_object_set_qdata(G_OBJECT(dev), quark(), this);
}

void AravisLink::unwatch(ArvDevice *dev) {
  if (dev) g_object_set_qdata(G_OBJECT(dev), quark(), nullptr);
}

void AravisLink::mute(const char *why) {
  int64_t was = 0;
  if (mute_since.compare_exchange_strong(was, vz_mono_us()))
    vz_diag_later("aravis", "camera " + id + ": " + why + "; it is not asked "
                  "again until it answers");
}

void AravisLink::answers_again() {
  if (mute_since.exchange(0)) vz_diag("camera %s answers again", id.c_str());
}

bool AravisLink::muted() {
  int64_t since = mute_since;
  if (since && vz_mono_us() - since > HEARTBEAT_US) mute_since = 0;
  return mute_since != 0;
}

}  // namespace vz
