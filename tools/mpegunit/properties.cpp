#include "tools/mpegunit/properties.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "driver/devprop.h"
#include "tools/mpegunit/cli.hpp"

namespace cli {

namespace {

using pf::ks::Filter;
using pf::ks::PropertyResult;

// Crossbar pin indices: inputs and outputs are numbered separately.
constexpr ULONG kCrossbarComposite = 0;
constexpr ULONG kCrossbarSvideo = 1;
constexpr ULONG kCrossbarVideoOut = 0;
// The compression set's quality scale.
constexpr long long kQualityMax = 10000;

[[noreturn]] void refused(const std::string& name, const std::string& values) {
  throw Failure(name + " must be " + values, kExitUsage);
}

void check(const PropertyResult& result, const std::string& what) {
  if (!NT_SUCCESS(result.status)) {
    throw Failure(what + " failed: " + mpegunit::statusName(result.status));
  }
}

// A decimal integer within min..max (checked here, before anything reaches
// the device, so that a value the record cannot hold is never truncated).
long long parseInteger(const std::string& name, const std::string& text, long long min, long long max,
                       const std::string& values) {
  if (text.empty()) refused(name, values);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || value < min || value > max) refused(name, values);
  return value;
}

std::string rangeText(long long min, long long max) { return std::to_string(min) + ".." + std::to_string(max); }

bool parseSwitch(const std::string& name, const std::string& text) {
  if (text == "on" || text == "1" || text == "yes" || text == "true") return true;
  if (text == "off" || text == "0" || text == "no" || text == "false") return false;
  refused(name, "on|off");
}

// ---- Processing amplifier: the ranges its basic support announces ----

struct Bounds {
  long long min, max;
};

// The range that a property's basic support announces: its description,
// then the ranges list and the default's list, as the class driver answers
// when the buffer holds them all.
std::optional<Bounds> rangeBounds(Filter& filter, const GUID& set, ULONG id) {
  struct {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER rangeHeader;
    KSPROPERTY_STEPPING_LONG range;
    KSPROPERTY_MEMBERSHEADER defaultHeader;
    LONG defaultValue;
  } answer{};
  const auto result = filter.basicSupport(set, id, &answer, sizeof answer);
  if (!NT_SUCCESS(result.status) || result.bytes < sizeof answer.description + sizeof answer.rangeHeader +
                                                        sizeof answer.range ||
      answer.description.MembersListCount == 0 ||
      (answer.rangeHeader.MembersFlags != KSPROPERTY_MEMBER_RANGES &&
       answer.rangeHeader.MembersFlags != KSPROPERTY_MEMBER_STEPPEDRANGES)) {
    return std::nullopt;
  }
  return Bounds{answer.range.Bounds.SignedMinimum, answer.range.Bounds.SignedMaximum};
}

Bounds procAmpBounds(Filter& filter, ULONG id, Bounds fallback) {
  return rangeBounds(filter, PROPSETID_VIDCAP_VIDEOPROCAMP, id).value_or(fallback);
}

std::string getProcAmp(Filter& filter, ULONG id) {
  KSPROPERTY_VIDEOPROCAMP_S record{};
  check(filter.get(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record), "reading the property");
  return std::to_string(record.Value);
}

void setProcAmp(Filter& filter, ULONG id, const std::string& name, Bounds fallback, const std::string& text) {
  const Bounds bounds = procAmpBounds(filter, id, fallback);
  const std::string values = rangeText(bounds.min, bounds.max);
  KSPROPERTY_VIDEOPROCAMP_S record{};
  record.Value = static_cast<LONG>(parseInteger(name, text, bounds.min, bounds.max, values));
  record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  const auto result = filter.set(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record);
  if (result.status == STATUS_INVALID_PARAMETER) refused(name, values);
  check(result, "setting " + name);
}

// ---- Vendor records ----

KSPROPERTY_UNIT_ENCODING_S getEncoding(Filter& filter) {
  KSPROPERTY_UNIT_ENCODING_S record{};
  check(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record), "reading the encoding");
  return record;
}

// The limits and sizes of the capture mode the driver has recorded.
KSPROPERTY_UNIT_ENCODING_CAPS_S getEncodingCaps(Filter& filter) {
  KSPROPERTY_UNIT_ENCODING_CAPS_S caps{};
  const auto result = filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, caps);
  check(result, "reading the encoding limits");
  if (result.bytes < sizeof caps || caps.CaptureSizeCount > UNIT_MAX_CAPTURE_SIZES) {
    throw Failure("the device reported no encoding limits");
  }
  return caps;
}

KSPROPERTY_UNIT_AUDIO_CAPS_S getAudioCaps(Filter& filter) {
  KSPROPERTY_UNIT_AUDIO_CAPS_S caps{};
  check(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_CAPS, caps), "reading the audio limits");
  if (caps.FrequencyCount > UNIT_AUDIO_FREQUENCY_COUNT) caps.FrequencyCount = UNIT_AUDIO_FREQUENCY_COUNT;
  return caps;
}

std::string sizeList(const KSPROPERTY_UNIT_ENCODING_CAPS_S& caps) {
  std::string out = "one of";
  for (ULONG i = 0; i < caps.CaptureSizeCount; ++i) {
    out += (i ? ", " : " ") + std::to_string(caps.CaptureSizes[i].Width) + "x" +
           std::to_string(caps.CaptureSizes[i].Height);
  }
  return out;
}

bool offersSize(const KSPROPERTY_UNIT_ENCODING_CAPS_S& caps, ULONG width, ULONG height) {
  for (ULONG i = 0; i < caps.CaptureSizeCount; ++i) {
    if (caps.CaptureSizes[i].Width == width && caps.CaptureSizes[i].Height == height) return true;
  }
  return false;
}

// Sets the encoding record; the status as the driver answered.
NTSTATUS putEncoding(Filter& filter, KSPROPERTY_UNIT_ENCODING_S record) {
  return filter.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record).status;
}

struct Handler {
  std::function<std::string(Filter&)> get;
  std::function<void(Filter&, const std::string&, const std::string&)> set;
};

void addProcAmp(std::vector<std::pair<PropertyName, Handler>>& t, const char* name, ULONG id, const char* range,
                Bounds fallback, const char* help) {
  t.push_back({{name, range, help, true, true},
               {[id](Filter& f) { return getProcAmp(f, id); },
                [id, fallback](Filter& f, const std::string& n, const std::string& v) {
                  setProcAmp(f, id, n, fallback, v);
                }}});
}

const std::vector<std::pair<PropertyName, Handler>>& table() {
  static const std::vector<std::pair<PropertyName, Handler>> kTable = [] {
    std::vector<std::pair<PropertyName, Handler>> t;
    addProcAmp(t, "brightness", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "0..255", {0, 255}, "picture brightness");
    addProcAmp(t, "contrast", KSPROPERTY_VIDEOPROCAMP_CONTRAST, "0..127", {0, 127}, "picture contrast");
    addProcAmp(t, "hue", KSPROPERTY_VIDEOPROCAMP_HUE, "0..127", {0, 127}, "picture hue");
    addProcAmp(t, "saturation", KSPROPERTY_VIDEOPROCAMP_SATURATION, "0..127", {0, 127}, "colour saturation");
    addProcAmp(t, "sharpness", KSPROPERTY_VIDEOPROCAMP_SHARPNESS, "1..15", {1, 15}, "picture sharpness");

    t.push_back({{"standard", "ntsc|pal", "video standard of the input and the capture", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_VIDEODECODER_S r{};
                    check(f.get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, r),
                          "reading the standard");
                    return std::string((r.Value & KS_AnalogVideo_NTSC_Mask) ? "ntsc" : "pal");
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    KSPROPERTY_VIDEODECODER_S r{};
                    if (v == "ntsc") {
                      r.Value = KS_AnalogVideo_NTSC_M;
                    } else if (v == "pal") {
                      r.Value = KS_AnalogVideo_PAL_B;
                    } else {
                      refused(n, "ntsc|pal");
                    }
                    check(f.set(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, r),
                          "setting the standard");
                  }}});
    t.push_back({{"output-enable", "on|off", "the video decoder's output", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_VIDEODECODER_S r{};
                    check(f.get(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, r),
                          "reading the output enable");
                    return std::string(r.Value ? "on" : "off");
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    KSPROPERTY_VIDEODECODER_S r{};
                    r.Value = parseSwitch(n, v) ? 1 : 0;
                    check(f.set(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, r),
                          "setting the output enable");
                  }}});
    t.push_back({{"quality", "0..10000", "compression quality (sets the bit rate)", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_VIDEOCOMPRESSION_S r{};
                    check(f.get(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, r),
                          "reading the quality");
                    return std::to_string(r.Value);
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    // The device takes any quality, even one above its scale
                    // (a bit rate above the highest); the scale ends at 10000.
                    KSPROPERTY_VIDEOCOMPRESSION_S r{};
                    r.Value = static_cast<LONG>(parseInteger(n, v, 0, kQualityMax, rangeText(0, kQualityMax)));
                    check(f.set(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, r),
                          "setting the quality");
                  }}});
    t.push_back({{"input", "composite|svideo", "the analog video input", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_CROSSBAR_ROUTE_S r{};
                    r.IndexOutputPin = kCrossbarVideoOut;
                    check(f.get(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, r), "reading the input");
                    return std::string(r.IndexInputPin == kCrossbarSvideo ? "svideo" : "composite");
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    KSPROPERTY_CROSSBAR_ROUTE_S r{};
                    r.IndexOutputPin = kCrossbarVideoOut;
                    if (v == "composite") {
                      r.IndexInputPin = kCrossbarComposite;
                    } else if (v == "svideo") {
                      r.IndexInputPin = kCrossbarSvideo;
                    } else {
                      refused(n, "composite|svideo");
                    }
                    check(f.set(PROPSETID_VIDCAP_CROSSBAR, KSPROPERTY_CROSSBAR_ROUTE, r), "setting the input");
                  }}});
    t.push_back({{"audio-volume", "-50..0", "audio level", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_UNIT_AUDIO_VOLUME_S r{};
                    check(f.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, r), "reading the volume");
                    return std::to_string(r.Level);
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    const auto caps = getAudioCaps(f);
                    const std::string values = rangeText(caps.MinLevel, caps.MaxLevel);
                    KSPROPERTY_UNIT_AUDIO_VOLUME_S r{};
                    r.Level = static_cast<LONG>(parseInteger(n, v, caps.MinLevel, caps.MaxLevel, values));
                    const auto result = f.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, r);
                    if (result.status == STATUS_INVALID_PARAMETER) refused(n, values);
                    check(result, "setting the volume");
                  }}});
    t.push_back({{"audio-rate", "32000|44100|48000", "audio sampling rate in Hz", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_UNIT_AUDIO_FORMAT_S r{};
                    check(f.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, r),
                          "reading the audio format");
                    return std::to_string(r.SamplingFrequency);
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    const auto caps = getAudioCaps(f);
                    std::string values;
                    bool offered = false;
                    for (ULONG i = 0; i < caps.FrequencyCount; ++i) {
                      const std::string rate = std::to_string(caps.Frequencies[i]);
                      values += (i ? "|" : "") + rate;
                      offered = offered || rate == v;
                    }
                    if (!offered) refused(n, values);
                    KSPROPERTY_UNIT_AUDIO_FORMAT_S r{};
                    check(f.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, r),
                          "reading the audio format");
                    r.SamplingFrequency = static_cast<ULONG>(std::stoul(v));
                    check(f.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, r), "setting the audio rate");
                  }}});
    t.push_back({{"audio-mute", "on|off", "audio mute (not kept between runs)", true, true},
                 {[](Filter& f) {
                    KSPROPERTY_UNIT_AUDIO_MUTE_S r{};
                    check(f.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, r), "reading the mute");
                    return std::string(r.Mute ? "on" : "off");
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    KSPROPERTY_UNIT_AUDIO_MUTE_S r{};
                    r.Mute = parseSwitch(n, v) ? 1 : 0;
                    check(f.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_MUTE, r), "setting the mute");
                  }}});
    t.push_back({{"mode", "mpeg2|mpeg1", "capture mode", true, true},
                 {[](Filter& f) {
                    return std::string(getEncoding(f).CaptureMode == CaptureModeMpeg1 ? "mpeg1" : "mpeg2");
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    EncodingChange change;
                    if (v != "mpeg2" && v != "mpeg1") refused(n, "mpeg2|mpeg1");
                    change.mpeg1 = v == "mpeg1";
                    changeEncoding(f, change);
                  }}});
    t.push_back({{"bitrate", "bits per second", "encoder bit rate", true, true},
                 {[](Filter& f) { return std::to_string(getEncoding(f).BitRate); },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    EncodingChange change;
                    change.bitRate = static_cast<unsigned long>(
                        parseInteger(n, v, 0, 0xFFFFFFFFLL, "a number of bits per second"));
                    changeEncoding(f, change);
                  }}});
    t.push_back({{"peak-bitrate", "bits per second", "peak bit rate of variable bit rate", true, true},
                 {[](Filter& f) { return std::to_string(getEncoding(f).PeakBitRate); },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    EncodingChange change;
                    change.peakBitRate = static_cast<unsigned long>(
                        parseInteger(n, v, 0, 0xFFFFFFFFLL, "a number of bits per second"));
                    changeEncoding(f, change);
                  }}});
    t.push_back({{"vbr", "on|off", "variable bit rate (MPEG-2 only)", true, true},
                 {[](Filter& f) { return std::string(getEncoding(f).VariableBitRate ? "on" : "off"); },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    EncodingChange change;
                    change.variable = parseSwitch(n, v);
                    changeEncoding(f, change);
                  }}});
    t.push_back({{"size", "WIDTHxHEIGHT", "capture size (mpegunit info lists them)", true, true},
                 {[](Filter& f) {
                    const auto r = getEncoding(f);
                    return std::to_string(r.Width) + "x" + std::to_string(r.Height);
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    EncodingChange change;
                    change.size = parseSize(n, v);
                    changeEncoding(f, change);
                  }}});
    t.push_back({{"memory", "ADDRESS=BYTE", "unit memory: get shows bytes 0..31, set writes one byte",
                  true, true},
                 {[](Filter& f) {
                    KSPROPERTY_UNIT_MEMORY_S r{};
                    check(f.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, r), "reading unit memory");
                    std::ostringstream out;
                    for (unsigned i = 0; i < UNIT_MEMORY_READ_SIZE; ++i) {
                      char hex[4];
                      std::snprintf(hex, sizeof hex, "%02x", r.Bytes[i]);
                      out << (i ? " " : "") << hex;
                    }
                    return out.str();
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    // Address and byte as C writes them: decimal, or hex with 0x.
                    const auto number = [&n](const std::string& text, unsigned long max, const char* values) {
                      char* end = nullptr;
                      errno = 0;
                      const unsigned long value = std::strtoul(text.c_str(), &end, 0);
                      if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || value > max) {
                        refused(n, values);
                      }
                      return value;
                    };
                    const auto eq = v.find('=');
                    if (eq == std::string::npos) refused(n, "ADDRESS=BYTE");
                    KSPROPERTY_UNIT_MEMORY_S r{};
                    r.Write.Address = static_cast<USHORT>(
                        number(v.substr(0, eq), 0xFFFF, "ADDRESS=BYTE with ADDRESS 0..65535"));
                    r.Write.Value = static_cast<UCHAR>(number(v.substr(eq + 1), 0xFF, "ADDRESS=BYTE with BYTE 0..255"));
                    check(f.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_MEMORY, r), "writing unit memory");
                  }}});
    t.push_back({{"idle", "(any)", "puts the unit back to idle", false, true},
                 {nullptr,
                  [](Filter& f, const std::string&, const std::string&) {
                    KSPROPERTY r{};
                    check(f.recordCall(KSPROPERTY_TYPE_SET, PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_IDLE, &r,
                                       sizeof r),
                          "setting idle");
                  }}});
    return t;
  }();
  return kTable;
}

const Handler& find(const std::string& name) {
  for (const auto& [info, handler] : table()) {
    if (name == info.name) return handler;
  }
  throw Failure("no setting named '" + name + "' (mpegunit list shows them)", kExitUsage);
}

// The encoding record change asks for, given the current record and the
// limits of the mode it asks for. Refusals throw.
KSPROPERTY_UNIT_ENCODING_S plannedEncoding(const KSPROPERTY_UNIT_ENCODING_S& current,
                                           const KSPROPERTY_UNIT_ENCODING_CAPS_S& caps, bool modeChanged,
                                           const EncodingChange& change) {
  KSPROPERTY_UNIT_ENCODING_S r = current;
  const bool mpeg1 = r.CaptureMode == CaptureModeMpeg1;
  if (modeChanged) {
    r.BitRate = caps.DefaultBitRate;
    r.VariableBitRate = mpeg1 ? 0 : 1;
    r.PeakBitRate = mpeg1 ? 0 : caps.MaxBitRate;
    if (!offersSize(caps, r.Width, r.Height) && caps.CaptureSizeCount > 0) {
      r.Width = caps.CaptureSizes[0].Width;
      r.Height = caps.CaptureSizes[0].Height;
    }
  }
  if (change.variable) {
    if (*change.variable && mpeg1) refused("vbr", "off in MPEG-1 mode");
    r.VariableBitRate = *change.variable ? 1 : 0;
  }
  if (change.bitRate) {
    if (*change.bitRate < caps.MinBitRate || *change.bitRate > caps.MaxBitRate) {
      refused("bitrate", rangeText(caps.MinBitRate, caps.MaxBitRate));
    }
    r.BitRate = static_cast<ULONG>(*change.bitRate);
  }
  if (change.peakBitRate) {
    if (!mpeg1 && (*change.peakBitRate < r.BitRate || *change.peakBitRate > caps.MaxBitRate)) {
      refused("peak-bitrate", rangeText(r.BitRate, caps.MaxBitRate) + " (from the bit rate to the highest)");
    }
    r.PeakBitRate = static_cast<ULONG>(*change.peakBitRate);
  } else if (!mpeg1 && r.PeakBitRate < r.BitRate) {
    // An MPEG-2 peak never lies below the bit rate.
    r.PeakBitRate = r.BitRate;
  }
  if (change.size) {
    if (!offersSize(caps, static_cast<ULONG>(change.size->first), static_cast<ULONG>(change.size->second))) {
      refused("size", sizeList(caps));
    }
    r.Width = static_cast<ULONG>(change.size->first);
    r.Height = static_cast<ULONG>(change.size->second);
  }
  return r;
}

}  // namespace

std::pair<unsigned long, unsigned long> parseSize(const std::string& name, const std::string& text) {
  const auto x = text.find('x');
  const std::string values = "WIDTHxHEIGHT, such as 720x480";
  if (x == std::string::npos) refused(name, values);
  return {static_cast<unsigned long>(parseInteger(name, text.substr(0, x), 1, 0xFFFF, values)),
          static_cast<unsigned long>(parseInteger(name, text.substr(x + 1), 1, 0xFFFF, values))};
}

void changeEncoding(Filter& filter, const EncodingChange& change) {
  const KSPROPERTY_UNIT_ENCODING_S before = getEncoding(filter);
  const bool modeChanged = change.mpeg1 && *change.mpeg1 != (before.CaptureMode == CaptureModeMpeg1);
  // The limits and sizes the device reports are those of its recorded mode,
  // so a change of mode is recorded first (with bit rates every mode takes);
  // whatever is refused after that puts the previous record back.
  bool touched = false;
  try {
    KSPROPERTY_UNIT_ENCODING_S current = before;
    if (modeChanged) {
      current.CaptureMode = *change.mpeg1 ? CaptureModeMpeg1 : CaptureModeMpeg2;
      current.BitRate = UNIT_BIT_RATE_MIN;
      current.PeakBitRate = *change.mpeg1 ? 0 : UNIT_BIT_RATE_MIN;
      current.VariableBitRate = 0;
      touched = true;
      // The size may be refused in the new mode; the mode is recorded anyway.
      const NTSTATUS status = putEncoding(filter, current);
      if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        throw Failure("changing the capture mode failed: " + mpegunit::statusName(status));
      }
    }
    const auto caps = getEncodingCaps(filter);
    const KSPROPERTY_UNIT_ENCODING_S wanted = plannedEncoding(current, caps, modeChanged, change);
    if (!modeChanged && std::memcmp(&wanted, &before, sizeof wanted) == 0) return;
    touched = true;
    const NTSTATUS status = putEncoding(filter, wanted);
    if (status == STATUS_NOT_SUPPORTED) refused("size", sizeList(caps));
    if (status == STATUS_INVALID_PARAMETER) {
      refused("the encoding", "within " + rangeText(caps.MinBitRate, caps.MaxBitRate) + " bit/s");
    }
    if (!NT_SUCCESS(status)) throw Failure("setting the encoding failed: " + mpegunit::statusName(status));
  } catch (const Failure&) {
    if (touched) (void)putEncoding(filter, before);  // best effort: the refusal is what is reported
    throw;
  }
}

const std::vector<PropertyName>& propertyNames() {
  static const std::vector<PropertyName> kNames = [] {
    std::vector<PropertyName> names;
    for (const auto& entry : table()) names.push_back(entry.first);
    return names;
  }();
  return kNames;
}

std::string getProperty(Filter& filter, const std::string& name) {
  const Handler& handler = find(name);
  if (!handler.get) throw Failure(name + " can only be set", kExitUsage);
  return handler.get(filter);
}

void setProperty(Filter& filter, const std::string& name, const std::string& value) {
  const Handler& handler = find(name);
  if (!handler.set) throw Failure(name + " can only be read", kExitUsage);
  handler.set(filter, name, value);
}

std::optional<std::string> propertyRange(Filter& filter, const GUID& set, ULONG id) {
  const auto bounds = rangeBounds(filter, set, id);
  if (!bounds) return std::nullopt;
  return rangeText(bounds->min, bounds->max);
}

SettingsSnapshot::SettingsSnapshot(Filter& filter) {
  for (const char* name : {"standard", "input", "audio-rate"}) values_.emplace_back(name, getProperty(filter, name));
  const auto record = getEncoding(filter);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  encoding_.assign(bytes, bytes + sizeof record);
}

void SettingsSnapshot::restore(Filter& filter) const {
  // Best effort, in the order that lets each value stand: the standard
  // first (it may reset the size), the encoding record after it.
  for (const auto& [name, value] : values_) {
    try {
      if (getProperty(filter, name) != value) setProperty(filter, name, value);
    } catch (const Failure&) {
    }
  }
  KSPROPERTY_UNIT_ENCODING_S record{};
  std::memcpy(&record, encoding_.data(), sizeof record);
  try {
    const auto now = getEncoding(filter);
    if (std::memcmp(&now, &record, sizeof record) != 0) (void)putEncoding(filter, record);
  } catch (const Failure&) {
  }
}

}  // namespace cli
