#include "devices/sim/sim_config.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <map>
#include <set>
#include <vector>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

const long long U32 = 0xffffffffLL;

struct BoolKey {
  const char *key;
  bool CamValues::*field;
};
struct IntKey {
  const char *key;
  int CamValues::*field;
  long long lo, hi;
  int CamValues::*upper;  // value must not exceed this field
};
struct DoubleKey {
  const char *key;
  double CamValues::*field;
  double lo, hi;
};

#define B(k, f) {k, &CamValues::f}
const BoolKey bool_keys[] = {
    B("color", has_color), B("bayer", isBayer), B("bggr", isBGGR),
    B("stereo", isStereo), B("isStereo", isStereo), B("isBayer", isBayer),
    B("isBGGR", isBGGR), B("isReversed", isReversed),
    B("has_proc_mode", has_proc_mode),
    B("has_auto_brightness", has_auto_brightness),
    B("has_manual_brightness", has_manual_brightness),
    B("auto_brightness", auto_brightness),
    B("has_auto_exposure", has_auto_exposure),
    B("has_manual_exposure", has_manual_exposure),
    B("do_auto_exposure", do_auto_exposure), B("do_auto_gain", do_auto_gain),
    B("has_manual_gain", has_manual_gain), B("has_auto_gain", has_auto_gain),
    B("has_sharpness", has_sharpness), B("has_gamma", has_gamma),
    B("gamma", gamma), B("has_color", has_color),
    B("has_saturation", has_saturation),
    B("has_auto_whitebalance", has_auto_whitebalance),
    B("has_manual_whitebalance", has_manual_whitebalance),
    B("auto_whitebalance", auto_whitebalance),
    B("has_chip_balance", has_chip_balance), B("has_y_offset", has_y_offset),
    B("has_frame_div", has_frame_div), B("has_50Hz_rate", has_50Hz_rate),
    B("is_50Hz_rate", is_50Hz_rate), B("has_black_offset", has_black_offset)};
#undef B

#define I(k, f, lo, hi) {k, &CamValues::f, lo, hi, nullptr}
#define IU(k, f, lo, hi, up) {k, &CamValues::f, lo, hi, &CamValues::up}
const IntKey int_keys[] = {
    I("imager", camImager, INT_MIN, INT_MAX),
    I("camImager", camImager, INT_MIN, INT_MAX),
    I("fw_firmware", fwFirmware, 0, U32), I("fwFirmware", fwFirmware, 0, U32),
    I("cam_firmware", camFirmware, 0, U32),
    I("camFirmware", camFirmware, 0, U32), I("dev_id", devID, 0, U32),
    I("devID", devID, 0, U32), I("colorAlg", colorAlg, INT_MIN, INT_MAX),
    I("procFirmware", procFirmware, 0, U32), I("procMode", procMode, 0, 5),
    IU("brightness", brightness, 0, 100, max_brightness),
    I("max_brightness", max_brightness, 0, 100),
    IU("exposure", exposure, 0, 100, max_exposure),
    I("max_exposure", max_exposure, 0, 100),
    IU("gain", gain, 0, 100, max_gain), I("max_gain", max_gain, 0, 100),
    IU("sharpness", sharpness, 0, 100, max_sharpness),
    I("max_sharpness", max_sharpness, 0, 100),
    IU("saturation", saturation, 0, 100, max_saturation),
    I("max_saturation", max_saturation, 0, 100),
    IU("redgain", redgain, 0, 100, max_white_gain),
    IU("bluegain", bluegain, 0, 100, max_white_gain),
    I("max_white_gain", max_white_gain, 0, 100),
    I("max_width", max_width, 160, 1280), I("max_height", max_height, 120, 960),
    I("max_y_offset", max_y_offset, 0, 64),
    IU("y_offset", y_offset, 0, 64, max_y_offset),
    IU("y_offset_right", y_offset_right, 0, 64, max_y_offset),
    I("max_frame_div", max_frame_div, 1, 16),
    IU("frame_div", frame_div, 1, 16, max_frame_div),
    I("max_black_offset", max_black_offset, 0, 255),
    IU("black_offset", black_offset, 0, 255, max_black_offset),
    IU("black_offset_right", black_offset_right, 0, 255, max_black_offset)};
#undef I
#undef IU

const DoubleKey double_keys[] = {
    {"auto_kp", &CamValues::auto_kp, 0.0, 2.0},
    {"auto_hyst", &CamValues::auto_hyst, 0.0, 100.0},
    {"auto_bias", &CamValues::auto_bias, -100.0, 100.0}};

std::string in_quotes(const std::string &key) { return "\"" + key + "\""; }

// Numbers with a fraction or exponent, or too large for 64 bits, as the
// file wrote them: messages quote what the operator typed.
thread_local std::map<double, std::string> float_texts;

std::string as_written(const json &j) {
  if (j.is_number_float()) {
    auto it = float_texts.find(j.get<double>());
    if (it != float_texts.end()) return it->second;
  }
  return j.is_string() ? in_quotes(j.get<std::string>()) : j.dump();
}

bool all_digits(const std::string &s) {
  size_t i = s[0] == '-' ? 1 : 0;
  if (i >= s.size()) return false;
  for (; i < s.size(); i++)
    if (!isdigit((unsigned char)s[i])) return false;
  return true;
}

// Deeper than any configuration goes (three levels), low enough that a
// huge nested text is refused before it is built into a tree.
const size_t MAX_DEPTH = 32;

// One pass over the text before it is parsed: notes how numbers were
// written, finds a key given twice in one object, which the parser would
// silently take the last of, and bounds the nesting.
class Scan : public nlohmann::json_sax<json> {
 public:
  std::string problem;  // the message for what was found, if anything

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t v, const string_t &s) override {
    float_texts.emplace(v, s);
    return value();
  }
  bool string(string_t &) override { return value(); }
  bool binary(binary_t &) override { return value(); }
  bool start_object(std::size_t) override { return start(true); }
  bool key(string_t &k) override {
    Level &l = levels.back();
    if (!l.keys.insert(k).second) {
      problem = where() + "key " + in_quotes(k) + " is given twice";
      return false;
    }
    last_key = k;
    if (levels.size() == 1) top_key = k;
    return true;
  }
  bool end_object() override { return end(); }
  bool start_array(std::size_t) override { return start(false); }
  bool end_array() override { return end(); }
  bool parse_error(std::size_t, const std::string &,
                   const nlohmann::detail::exception &) override {
    return false;
  }

 private:
  struct Level {
    bool object;
    int index;  // of the next array element
    std::set<std::string> keys;
  };
  std::vector<Level> levels;
  std::string last_key, top_key;

  std::string where() const {
    if (levels.size() == 3 && !levels[1].object && top_key == "cameras")
      return "camera " + std::to_string(levels[1].index) + ": ";
    return "";
  }
  bool start(bool object) {
    if (levels.size() >= MAX_DEPTH) {
      problem = "values nest deeper than " + std::to_string(MAX_DEPTH) + " levels";
      return false;
    }
    levels.push_back({object, 0, {}});
    return true;
  }
  bool value() {
    if (!levels.empty() && !levels.back().object) levels.back().index++;
    return true;
  }
  bool end() {
    levels.pop_back();
    return value();
  }
};

// A whole number from a JSON number or a text such as "0x81234".
bool get_integer(const json &j, const std::string &key, long long lo,
                 long long hi, long long *out, std::string *err) {
  long long v = 0;
  bool range = true;  // v holds the number exactly
  if (j.is_number_unsigned()) {
    unsigned long long u = j.get<unsigned long long>();
    range = u <= (unsigned long long)LLONG_MAX;
    v = (long long)u;
  } else if (j.is_number_integer()) {
    v = j.get<long long>();
  } else if (j.is_string()) {
    const std::string &s = j.get_ref<const std::string &>();
    const char *p = s.c_str();
    char *end = nullptr;
    errno = 0;
    v = strtoll(p, &end, 0);
    if (s.empty() || isspace((unsigned char)*p) || *end) {
      *err = in_quotes(key) + " must be a whole number, not \"" + s + "\"";
      return false;
    }
    range = errno != ERANGE;
  } else if (j.is_number_float() && all_digits(as_written(j))) {
    range = false;  // an integer beyond 64 bits
  } else {
    *err = in_quotes(key) + " must be a whole number";
    if (j.is_number()) *err += ", not " + as_written(j);
    return false;
  }
  if (!range || v < lo || v > hi) {
    char buf[100];
    snprintf(buf, sizeof buf, " is out of range %lld to %lld", lo, hi);
    *err = in_quotes(key) + " " + as_written(j) + buf;
    return false;
  }
  *out = v;
  return true;
}

bool get_double(const json &j, const std::string &key, double lo, double hi,
                double *out, std::string *err) {
  double v = 0;
  if (j.is_number()) {
    v = j.get<double>();
  } else if (j.is_string()) {
    const std::string &s = j.get_ref<const std::string &>();
    char *end = nullptr;
    v = strtod(s.c_str(), &end);
    if (s.empty() || isspace((unsigned char)s[0]) || *end) {
      *err = in_quotes(key) + " must be a number, not \"" + s + "\"";
      return false;
    }
  } else {
    *err = in_quotes(key) + " must be a number";
    return false;
  }
  if (!(v >= lo && v <= hi)) {
    char buf[160];
    snprintf(buf, sizeof buf, " is out of range %g to %g", lo, hi);
    *err = in_quotes(key) + buf;
    return false;
  }
  *out = v;
  return true;
}

bool get_bool(const json &j, const std::string &key, bool *out,
              std::string *err) {
  if (!j.is_boolean()) {
    *err = in_quotes(key) + " must be true or false";
    return false;
  }
  *out = j.get<bool>();
  return true;
}

// Printable text of bounded length: names end up in menus and log lines.
// A text of lines (the calibration) may hold newlines and tabs too.
bool get_text(const json &j, const std::string &key, size_t max,
              std::string *out, std::string *err, bool lines = false) {
  if (!j.is_string()) {
    *err = in_quotes(key) + " must be a text";
    return false;
  }
  const std::string &s = j.get_ref<const std::string &>();
  if (s.empty() || s.size() > max) {
    *err = in_quotes(key) + " must hold 1 to " + std::to_string(max) + " characters";
    return false;
  }
  for (unsigned char c : s)
    if ((c < 0x20 && !(lines && (c == '\n' || c == '\t'))) || c == 0x7f) {
      *err = in_quotes(key) + " holds a control character";
      return false;
    }
  *out = s;
  return true;
}

template <class T, size_t N>
const T *find_key(const T (&table)[N], const std::string &key) {
  for (const T &k : table)
    if (key == k.key) return &k;
  return nullptr;
}

bool check_upper_bounds(const CamValues &v, std::string *err) {
  for (const IntKey &k : int_keys) {
    if (!k.upper || v.*(k.field) <= v.*(k.upper)) continue;
    const IntKey *up = nullptr;
    for (const IntKey &u : int_keys)
      if (u.field == k.upper) up = &u;
    *err = in_quotes(k.key) + " " + std::to_string(v.*(k.field)) +
           " is above " + in_quotes(up ? up->key : "its bound") + " " +
           std::to_string(v.*(k.upper));
    return false;
  }
  return true;
}

bool parse_fixed_key(const std::string &key, const json &j, CamConfig *c,
                   bool *handled, std::string *err) {
  *handled = true;
  long long n = 0;
  if (key == "name") return get_text(j, key, 1023, &c->name, err);
  if (key == "chip_id") {
    if (j.is_number_unsigned()) {
      char buf[32];
      snprintf(buf, sizeof buf, "%016llx", j.get<unsigned long long>());
      c->chip_id = buf;
      return true;
    }
    if (j.is_number()) {
      *err = "\"chip_id\" " + as_written(j) +
             " is not a whole number from 0 to 18446744073709551615";
      return false;
    }
    return get_text(j, key, 63, &c->chip_id, err);
  }
  if (key == "local_params_version") {
    if (!get_integer(j, key, 0, U32, &n, err)) return false;
    c->local_params_version = (uint32_t)n;
    return true;
  }
  if (key == "calibration") {
    if (j.is_boolean()) {
      c->has_calib = j.get<bool>();
      c->calib = c->has_calib ? c->calib : std::string();
      return true;
    }
    if (!get_text(j, key, 1 << 20, &c->calib, err, true)) {
      *err = "\"calibration\" must be true, false or a text";
      return false;
    }
    c->has_calib = true;
    return true;
  }
  if (key == "fail_open") return get_bool(j, key, &c->fail_open, err);
  if (key == "fail_start") return get_bool(j, key, &c->fail_start, err);
  if (key == "unpaced") return get_bool(j, key, &c->unpaced, err);
  if (key == "format7") return get_bool(j, key, &c->format7, err);
  if (key == "rgb8") return get_bool(j, key, &c->rgb8, err);
  if (key == "refuse_format") {
    c->refuse_format = true;
    return get_text(j, key, 200, &c->refuse_text, err);
  }
  if (key == "frames_stop_after") {
    if (!get_integer(j, key, 0, INT_MAX, &n, err)) return false;
    c->frames_stop_after = (long)n;
    return true;
  }
  *handled = false;
  return true;
}

// One key of a camera entry; aliases of one field may not both be given.
bool parse_camera_key(const std::string &key, const json &j, CamConfig *c,
                      std::map<const void *, std::string> *seen,
                      std::string *err) {
  bool handled = false;
  if (!parse_fixed_key(key, j, c, &handled, err)) return false;
  if (handled) return true;
  const void *target = nullptr;
  if (const BoolKey *k = find_key(bool_keys, key)) {
    target = &(c->v.*(k->field));
    if (!get_bool(j, key, &(c->v.*(k->field)), err)) return false;
  } else if (const IntKey *k = find_key(int_keys, key)) {
    long long n = 0;
    target = &(c->v.*(k->field));
    if (!get_integer(j, key, k->lo, k->hi, &n, err)) return false;
    c->v.*(k->field) = (int)(uint32_t)n;
  } else if (const DoubleKey *k = find_key(double_keys, key)) {
    target = &(c->v.*(k->field));
    if (!get_double(j, key, k->lo, k->hi, &(c->v.*(k->field)), err))
      return false;
  } else {
    *err = "unknown key " + in_quotes(key);
    return false;
  }
  auto it = seen->find(target);
  if (it != seen->end()) {
    *err = in_quotes(it->second) + " and " + in_quotes(key) + " are the same field";
    return false;
  }
  (*seen)[target] = key;
  return true;
}

// A chip_id of 16 hex digits (or a number, written so) is the camera's
// GUID: its lower half is the ROM's chip identifier low part, the devID.
bool guid_identity(CamConfig *c, const std::map<const void *, std::string> &seen,
                   std::string *err) {
  uint64_t guid = 0;
  if (!vz_guid_of_chip_id(c->chip_id, &guid)) return true;
  for (char &ch : c->chip_id) ch = (char)tolower((unsigned char)ch);
  uint32_t lo = (uint32_t)guid;
  auto given = seen.find(&c->v.devID);
  if (given != seen.end() && (uint32_t)c->v.devID != lo) {
    char buf[160];
    snprintf(buf, sizeof buf, "\"%s\" 0x%x differs from the lower half of "
             "\"chip_id\" %s (0x%x)", given->second.c_str(), (unsigned)c->v.devID,
             c->chip_id.c_str(), (unsigned)lo);
    *err = buf;
    return false;
  }
  c->v.devID = (int)lo;
  return true;
}

bool parse_camera(const json &j, int n, CamConfig *c, std::string *err) {
  std::string where = "camera " + std::to_string(n);
  if (!j.is_object()) {
    *err = where + " is not an object";
    return false;
  }
  *c = vz_plain_camera(n);
  std::map<const void *, std::string> seen;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!parse_camera_key(it.key(), it.value(), c, &seen, err)) {
      *err = where + ": " + *err;
      return false;
    }
  }
  if (c->has_calib && c->calib.empty())
    c->calib = "virizeda calibration of " + c->name + "\n";
  if (!guid_identity(c, seen, err) || !check_upper_bounds(c->v, err)) {
    *err = where + ": " + *err;
    return false;
  }
  return true;
}

bool parse_cameras(const json &j, BusConfig *out, std::string *err) {
  if (!j.is_array()) {
    *err = "\"cameras\" must be an array";
    return false;
  }
  if (j.size() > (size_t)VZ_MAX_CAMERAS) {
    *err = "\"cameras\" holds " + std::to_string(j.size()) +
           " entries; a bus carries at most " + std::to_string(VZ_MAX_CAMERAS);
    return false;
  }
  out->cams.clear();
  for (size_t i = 0; i < j.size(); ++i) {
    CamConfig c;
    if (!parse_camera(j[i], (int)i, &c, err)) return false;
    out->cams.push_back(c);
  }
  return true;
}

bool check_unique_ids(BusConfig *out, std::string *err) {
  for (size_t i = 0; i < out->cams.size(); ++i) {
    CamConfig &c = out->cams[i];
    if (c.chip_id.empty())
      c.chip_id = vz_default_chip_id((int)i, (uint32_t)c.v.devID);
    for (size_t k = 0; k < i; ++k)
      if (out->cams[k].chip_id == c.chip_id) {
        *err = "cameras " + std::to_string(k) + " and " + std::to_string(i) +
               " have the same chip_id \"" + c.chip_id + "\"";
        return false;
      }
  }
  for (size_t i = 0; i < out->cams.size(); ++i)
    for (size_t k = 0; k < i; ++k)
      if (vz_camera_guid(out->cams[k], (int)k) == vz_camera_guid(out->cams[i], (int)i)) {
        char buf[40];
        snprintf(buf, sizeof buf, "%016llx",
                 (unsigned long long)vz_camera_guid(out->cams[i], (int)i));
        *err = "cameras " + std::to_string(k) + " and " + std::to_string(i) +
               " have the same GUID " + buf;
        return false;
      }
  return true;
}

bool parse_top(const json &j, BusConfig *out, std::string *err) {
  if (!j.is_object()) {
    *err = "the top level must be an object";
    return false;
  }
  BusConfig b;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &key = it.key();
    long long n = 0;
    if (key == "bus_fail") {
      if (!get_bool(it.value(), key, &b.bus_fail, err)) return false;
    } else if (key == "bus_speed") {
      if (!get_integer(it.value(), key, 0, 100000, &n, err) ||
          (n != 400 && n != 800)) {
        *err = "\"bus_speed\" must be 400 or 800";
        return false;
      }
      b.bus_speed = (int)n;
    } else if (key == "cameras") {
      if (!parse_cameras(it.value(), &b, err)) return false;
    } else {
      *err = "unknown key " + in_quotes(key);
      return false;
    }
  }
  if (!check_unique_ids(&b, err)) return false;
  *out = b;
  return true;
}

}  // namespace

bool vz_guid_of_chip_id(const std::string &chip_id, uint64_t *guid) {
  if (chip_id.size() != 16) return false;
  for (char ch : chip_id)
    if (!isxdigit((unsigned char)ch)) return false;
  *guid = strtoull(chip_id.c_str(), nullptr, 16);
  return true;
}

uint64_t vz_camera_guid(const CamConfig &c, int n) {
  uint64_t guid = 0;
  if (vz_guid_of_chip_id(c.chip_id, &guid)) return guid;
  return (uint64_t)VZ_VENDOR_ID << 40 | (uint64_t)(n & 0xff) << 32 |
         (uint32_t)c.v.devID;
}

std::string vz_default_chip_id(int n, uint32_t chip_lo) {
  char buf[32];
  snprintf(buf, sizeof buf, "%06x%02x%08x", (unsigned)VZ_VENDOR_ID,
           (unsigned)(n & 0xff), (unsigned)chip_lo);
  return buf;
}

CamConfig vz_plain_camera(int n) {
  CamConfig c;
  c.name = "Camera " + std::to_string(n);
  return c;
}

bool vz_parse_config(const std::string &text, BusConfig *out, std::string *err) {
  float_texts.clear();
  Scan scan;
  json::sax_parse(text, &scan);
  if (!scan.problem.empty()) {
    *err = scan.problem;
    return false;
  }
  json j;
  try {
    j = json::parse(text);
  } catch (const json::exception &e) {
    std::string what = e.what();
    size_t cut = what.find("] ");
    *err = "not valid JSON: " +
           (cut == std::string::npos ? what : what.substr(cut + 2));
    return false;
  }
  return parse_top(j, out, err);
}

bool vz_load_config(const char *path, BusConfig *out, std::string *err) {
  FILE *f = fopen(path, "rb");
  if (!f) {
    *err = strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
    if (text.size() > (64u << 20)) {
      fclose(f);
      *err = "larger than 64 MiB";
      return false;
    }
  }
  bool bad = ferror(f);
  int e = errno;
  fclose(f);
  if (bad) {
    *err = strerror(e);
    return false;
  }
  return vz_parse_config(text, out, err);
}
