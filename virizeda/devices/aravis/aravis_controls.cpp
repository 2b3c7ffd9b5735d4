// The controls of an AravisDevice: each IIDC feature the camera reaches
// through a standard GenICam feature, on a raw scale of its own.
#include <math.h>
#include <string.h>

#include <algorithm>

#include "core/diag.h"
#include "devices/aravis/aravis_device.h"

namespace vz {

namespace {

// floats go on a scale of this many steps
constexpr uint32_t STEPS = 1000;

struct Known {
  int feature;
  const char *names[2];  // the standard name, then the older one
  const char *auto_name;
};
const Known known[] = {
    {iidc::SHUTTER, {"ExposureTime", "ExposureTimeAbs"}, "ExposureAuto"},
    {iidc::GAIN, {"Gain", "GainRaw"}, "GainAuto"},
    {iidc::BRIGHTNESS, {"BlackLevel", "BlackLevelRaw"}, "BlackLevelAuto"},
    {iidc::WHITE_BALANCE, {"BalanceRatio", "BalanceRatioAbs"}, "BalanceWhiteAuto"},
    {iidc::GAMMA, {"Gamma", nullptr}, nullptr},
    {iidc::SATURATION, {"Saturation", nullptr}, nullptr},
    {iidc::SHARPNESS, {"Sharpness", nullptr}, nullptr},
};

const char *const colours[2] = {"Blue", "Red"};  // value, value2

}  // namespace

void AravisDevice::find_controls() {
  controls_.clear();
  GError *e = nullptr;
  auto has = [&](const char *name) {
    bool ok = name && arv_device_is_feature_available(dev_, name, &e);
    g_clear_error(&e);
    return ok;
  };
  for (const Known &k : known) {
    Control c;
    c.feature = k.feature;
    for (const char *n : k.names)
      if (c.name.empty() && has(n)) c.name = n;
    if (c.name.empty()) continue;
    ArvGcNode *node = arv_device_get_feature(dev_, c.name.c_str());
    c.is_float = ARV_IS_GC_FLOAT(node);
    if (!c.is_float && !ARV_IS_GC_INTEGER(node)) continue;
    if (k.feature == iidc::GAMMA && !c.is_float) continue;
    if (k.feature == iidc::WHITE_BALANCE &&
        !(has("BalanceRatioSelector") &&
          arv_device_is_enumeration_entry_available(dev_, "BalanceRatioSelector", "Red", &e) &&
          arv_device_is_enumeration_entry_available(dev_, "BalanceRatioSelector", "Blue", &e)))
      continue;
    g_clear_error(&e);
    if (has(k.auto_name) &&
        arv_device_is_enumeration_entry_available(dev_, k.auto_name, "Continuous", &e))
      c.auto_name = k.auto_name;
    g_clear_error(&e);
    // exposure spans decades: equal steps on the scale are equal ratios
    c.log_scale = k.feature == iidc::SHUTTER && c.is_float;
    controls_.push_back(c);
  }
}

const AravisDevice::Control *AravisDevice::control(int feature) const {
  for (const Control &c : controls_)
    if (c.feature == feature) return &c;
  return nullptr;
}

namespace {

double to_value(uint32_t raw, double lo, double hi, bool log_scale) {
  double t = std::min(1.0, raw / (double)STEPS);
  if (log_scale && lo > 0) return lo * pow(hi / lo, t);
  return lo + (hi - lo) * t;
}

uint32_t to_raw(double v, double lo, double hi, bool log_scale) {
  if (hi <= lo) return 0;
  double t = log_scale && lo > 0 ? log(v / lo) / log(hi / lo) : (v - lo) / (hi - lo);
  return (uint32_t)lround(std::clamp(t, 0.0, 1.0) * STEPS);
}

}  // namespace

bool AravisDevice::read_control(const Control &c, uint32_t *raw) {
  GError *e = nullptr;
  const char *n = c.name.c_str();
  if (c.is_float) {
    double lo = 0, hi = 0;
    arv_device_get_float_feature_bounds(dev_, n, &lo, &hi, &e);
    double v = e ? 0 : arv_device_get_float_feature_value(dev_, n, &e);
    *raw = to_raw(v, lo, hi, c.log_scale);
  } else {
    gint64 lo = 0, hi = 0;
    arv_device_get_integer_feature_bounds(dev_, n, &lo, &hi, &e);
    gint64 v = e ? 0 : arv_device_get_integer_feature_value(dev_, n, &e);
    *raw = (uint32_t)std::clamp<gint64>(v - lo, 0, hi - lo);
  }
  return check(&e, n);
}

// Written, then read back: a camera may round or keep its own value.
bool AravisDevice::write_control(const Control &c, uint32_t raw) {
  GError *e = nullptr;
  const char *n = c.name.c_str();
  uint32_t span = STEPS;
  if (c.is_float) {
    double lo = 0, hi = 0;
    arv_device_get_float_feature_bounds(dev_, n, &lo, &hi, &e);
    if (!e) arv_device_set_float_feature_value(dev_, n, to_value(raw, lo, hi, c.log_scale), &e);
  } else {
    gint64 lo = 0, hi = 0;
    arv_device_get_integer_feature_bounds(dev_, n, &lo, &hi, &e);
    span = (uint32_t)(hi - lo);
    if (!e) arv_device_set_integer_feature_value(dev_, n, lo + std::min<gint64>(raw, hi - lo), &e);
  }
  uint32_t back = 0;
  if (!check(&e, n) || !read_control(c, &back)) return false;
  uint32_t slack = std::max<uint32_t>(1, span / 100);
  if (back + slack >= raw && back <= raw + slack) return true;
  vz_diag("camera %s: %s set to step %u of %u reads back as %u", id_.c_str(), n,
          raw, span, back);
  return false;
}

bool AravisDevice::read_auto(const Control &c, bool *on) {
  *on = false;
  if (c.auto_name.empty()) return true;
  GError *e = nullptr;
  const char *v = arv_device_get_string_feature_value(dev_, c.auto_name.c_str(), &e);
  *on = !e && v && strcmp(v, "Off") != 0;
  return check(&e, c.auto_name.c_str());
}

bool AravisDevice::feature_info(int feature, FeatureInfo *out) {
  *out = FeatureInfo();
  const Control *c = answers() ? control(feature) : nullptr;
  if (!c) return false;
  out->present = out->has_manual = true;
  out->has_auto = !c->auto_name.empty();
  out->on_off = feature == iidc::GAMMA;
  out->min = 0;
  out->max = STEPS;
  if (!c->is_float) {
    GError *e = nullptr;
    gint64 lo = 0, hi = 0;
    arv_device_get_integer_feature_bounds(dev_, c->name.c_str(), &lo, &hi, &e);
    out->max = (uint32_t)std::max<gint64>(0, hi - lo);
    check(&e, c->name.c_str());
  }
  return true;
}

bool AravisDevice::get_feature(int feature, FeatureState *out) {
  const Control *c = answers() ? control(feature) : nullptr;
  if (!c) return false;
  *out = FeatureState();
  if (!read_auto(*c, &out->automatic)) return false;
  if (feature == iidc::GAMMA) {
    double g = 1;
    GError *e = nullptr;
    if (c->is_float) g = arv_device_get_float_feature_value(dev_, "Gamma", &e);
    out->on = fabs(g - 1.0) > 0.01;
    if (!check(&e, "Gamma")) return false;
  }
  if (feature != iidc::WHITE_BALANCE) return read_control(*c, &out->value);
  uint32_t *v[2] = {&out->value, &out->value2};
  for (int i = 0; i < 2; ++i) {
    GError *e = nullptr;
    arv_device_set_string_feature_value(dev_, "BalanceRatioSelector", colours[i], &e);
    if (!check(&e, "BalanceRatioSelector") || !read_control(*c, v[i])) return false;
  }
  return true;
}

bool AravisDevice::set_feature(int feature, const FeatureState &s) {
  const Control *c = answers() ? control(feature) : nullptr;
  if (!c) return false;
  GError *e = nullptr;
  if (!c->auto_name.empty()) {
    const char *mode = s.automatic ? "Continuous" : "Off";
    arv_device_set_string_feature_value(dev_, c->auto_name.c_str(), mode, &e);
    bool on = false;
    if (!check(&e, c->auto_name.c_str()) || !read_auto(*c, &on)) return false;
    if (on != s.automatic) {
      vz_diag("camera %s: %s stays %s", id_.c_str(), c->auto_name.c_str(),
              on ? "on" : "off");
      return false;
    }
  }
  if (s.automatic) return true;
  if (feature == iidc::GAMMA) {
    // on: the usual display gamma, as near as the camera allows
    double lo = 0, hi = 0;
    arv_device_get_float_feature_bounds(dev_, "Gamma", &lo, &hi, &e);
    double g = std::clamp(s.on ? 0.45 : 1.0, lo, hi);
    if (!e) arv_device_set_float_feature_value(dev_, "Gamma", g, &e);
    return check(&e, "Gamma");
  }
  if (feature != iidc::WHITE_BALANCE) return write_control(*c, s.value);
  const uint32_t v[2] = {s.value, s.value2};
  for (int i = 0; i < 2; ++i) {
    arv_device_set_string_feature_value(dev_, "BalanceRatioSelector", colours[i], &e);
    if (!check(&e, "BalanceRatioSelector") || !write_control(*c, v[i])) return false;
  }
  return true;
}

}  // namespace vz
