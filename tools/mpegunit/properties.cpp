#include "tools/mpegunit/properties.hpp"

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

[[noreturn]] void refused(const std::string& name, const std::string& values) {
  throw Failure(name + " must be " + values, kExitUsage);
}

void check(const PropertyResult& result, const std::string& what) {
  if (!NT_SUCCESS(result.status)) {
    throw Failure(what + " failed: " + mpegunit::statusName(result.status));
  }
}

long parseNumber(const std::string& name, const std::string& text, const std::string& values) {
  if (text.empty()) refused(name, values);
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (*end != '\0') refused(name, values);
  return value;
}

bool parseSwitch(const std::string& name, const std::string& text) {
  if (text == "on" || text == "1" || text == "yes" || text == "true") return true;
  if (text == "off" || text == "0" || text == "no" || text == "false") return false;
  refused(name, "on|off");
}

std::string rangeOr(Filter& filter, const GUID& set, ULONG id, const char* fallback) {
  auto range = propertyRange(filter, set, id);
  return range ? *range : fallback;
}

// ---- Processing amplifier ----

std::string getProcAmp(Filter& filter, ULONG id) {
  KSPROPERTY_VIDEOPROCAMP_S record{};
  check(filter.get(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record), "reading the property");
  return std::to_string(record.Value);
}

void setProcAmp(Filter& filter, ULONG id, const std::string& name, const char* fallback,
                const std::string& text) {
  const std::string values = rangeOr(filter, PROPSETID_VIDCAP_VIDEOPROCAMP, id, fallback);
  KSPROPERTY_VIDEOPROCAMP_S record{};
  record.Value = static_cast<LONG>(parseNumber(name, text, values));
  record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  const auto result = filter.set(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record);
  if (result.status == STATUS_INVALID_PARAMETER) refused(name, values);
  check(result, "setting " + name);
}

// ---- Vendor encoding record: read, change, write back ----

KSPROPERTY_UNIT_ENCODING_S getEncoding(Filter& filter) {
  KSPROPERTY_UNIT_ENCODING_S record{};
  check(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record), "reading the encoding");
  return record;
}

void setEncoding(Filter& filter, KSPROPERTY_UNIT_ENCODING_S record, const std::string& name,
                 const std::string& values) {
  const auto result = filter.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING, record);
  if (result.status == STATUS_INVALID_PARAMETER || result.status == STATUS_NOT_SUPPORTED) {
    refused(name, values);
  }
  check(result, "setting " + name);
}

std::string captureSizes(Filter& filter) {
  KSPROPERTY_UNIT_ENCODING_CAPS_S caps{};
  if (!NT_SUCCESS(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, caps).status)) {
    return "a supported size";
  }
  std::string out = "one of";
  for (ULONG i = 0; i < caps.CaptureSizeCount && i < UNIT_MAX_CAPTURE_SIZES; ++i) {
    out += (i ? ", " : " ") + std::to_string(caps.CaptureSizes[i].Width) + "x" +
           std::to_string(caps.CaptureSizes[i].Height);
  }
  return out;
}

std::string bitRateRange(Filter& filter) {
  KSPROPERTY_UNIT_ENCODING_CAPS_S caps{};
  if (!NT_SUCCESS(filter.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_ENCODING_CAPS, caps).status)) {
    return "a supported bit rate";
  }
  return std::to_string(caps.MinBitRate) + ".." + std::to_string(caps.MaxBitRate);
}

struct Handler {
  std::function<std::string(Filter&)> get;
  std::function<void(Filter&, const std::string&, const std::string&)> set;
};

const std::vector<std::pair<PropertyName, Handler>>& table() {
  static const std::vector<std::pair<PropertyName, Handler>> kTable = [] {
    std::vector<std::pair<PropertyName, Handler>> t;
    auto procAmp = [&t](const char* name, ULONG id, const char* range, const char* help) {
      t.push_back({{name, range, help, true, true},
                   {[id](Filter& f) { return getProcAmp(f, id); },
                    [id, range](Filter& f, const std::string& n, const std::string& v) {
                      setProcAmp(f, id, n, range, v);
                    }}});
    };
    procAmp("brightness", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "0..255", "picture brightness");
    procAmp("contrast", KSPROPERTY_VIDEOPROCAMP_CONTRAST, "0..127", "picture contrast");
    procAmp("hue", KSPROPERTY_VIDEOPROCAMP_HUE, "0..127", "picture hue");
    procAmp("saturation", KSPROPERTY_VIDEOPROCAMP_SATURATION, "0..127", "colour saturation");
    procAmp("sharpness", KSPROPERTY_VIDEOPROCAMP_SHARPNESS, "1..15", "picture sharpness");

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
                    const auto result =
                        f.set(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, r);
                    if (result.status == STATUS_INVALID_PARAMETER) refused(n, "ntsc|pal");
                    check(result, "setting the standard");
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
                    KSPROPERTY_VIDEOCOMPRESSION_S r{};
                    r.Value = static_cast<LONG>(parseNumber(n, v, "0..10000"));
                    const auto result =
                        f.set(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY, r);
                    if (result.status == STATUS_INVALID_PARAMETER) refused(n, "0..10000");
                    check(result, "setting the quality");
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
                    KSPROPERTY_UNIT_AUDIO_VOLUME_S r{};
                    r.Level = static_cast<LONG>(parseNumber(n, v, "-50..0"));
                    const auto result = f.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_VOLUME, r);
                    if (result.status == STATUS_INVALID_PARAMETER) refused(n, "-50..0");
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
                    KSPROPERTY_UNIT_AUDIO_FORMAT_S r{};
                    check(f.get(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, r),
                          "reading the audio format");
                    const long rate = parseNumber(n, v, "32000|44100|48000");
                    if (rate != 32000 && rate != 44100 && rate != 48000) refused(n, "32000|44100|48000");
                    r.SamplingFrequency = static_cast<ULONG>(rate);
                    const auto result = f.set(PROPSETID_UNIT_CONTROL, KSPROPERTY_UNIT_AUDIO_FORMAT, r);
                    if (result.status == STATUS_INVALID_PARAMETER || result.status == STATUS_UNSUCCESSFUL) {
                      refused(n, "32000|44100|48000");
                    }
                    check(result, "setting the audio rate");
                  }}});
    t.push_back({{"audio-mute", "on|off", "audio mute", true, true},
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
                    auto r = getEncoding(f);
                    if (v == "mpeg2") {
                      r.CaptureMode = CaptureModeMpeg2;
                      r.BitRate = UNIT_BIT_RATE_DEFAULT_MPEG2;
                      r.PeakBitRate = UNIT_BIT_RATE_MAX_MPEG2;
                      r.VariableBitRate = 1;
                    } else if (v == "mpeg1") {
                      r.CaptureMode = CaptureModeMpeg1;
                      r.BitRate = UNIT_BIT_RATE_DEFAULT_MPEG1;
                      r.PeakBitRate = 0;
                      r.VariableBitRate = 0;
                    } else {
                      refused(n, "mpeg2|mpeg1");
                    }
                    setEncoding(f, r, n, "mpeg2|mpeg1");
                  }}});
    t.push_back({{"bitrate", "bits per second", "encoder bit rate", true, true},
                 {[](Filter& f) { return std::to_string(getEncoding(f).BitRate); },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    auto r = getEncoding(f);
                    const std::string values = bitRateRange(f);
                    r.BitRate = static_cast<ULONG>(parseNumber(n, v, values));
                    if (r.VariableBitRate && r.PeakBitRate < r.BitRate) r.PeakBitRate = r.BitRate;
                    setEncoding(f, r, n, values);
                  }}});
    t.push_back({{"peak-bitrate", "bits per second", "peak bit rate of variable bit rate", true, true},
                 {[](Filter& f) { return std::to_string(getEncoding(f).PeakBitRate); },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    auto r = getEncoding(f);
                    const std::string values = "the bit rate.." + bitRateRange(f).substr(bitRateRange(f).find("..") + 2);
                    r.PeakBitRate = static_cast<ULONG>(parseNumber(n, v, values));
                    setEncoding(f, r, n, values);
                  }}});
    t.push_back({{"vbr", "on|off", "variable bit rate", true, true},
                 {[](Filter& f) { return std::string(getEncoding(f).VariableBitRate ? "on" : "off"); },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    auto r = getEncoding(f);
                    r.VariableBitRate = parseSwitch(n, v) ? 1 : 0;
                    if (r.VariableBitRate && r.PeakBitRate < r.BitRate) r.PeakBitRate = r.BitRate;
                    setEncoding(f, r, n, "off in MPEG-1 mode");
                  }}});
    t.push_back({{"size", "WIDTHxHEIGHT", "capture size", true, true},
                 {[](Filter& f) {
                    const auto r = getEncoding(f);
                    return std::to_string(r.Width) + "x" + std::to_string(r.Height);
                  },
                  [](Filter& f, const std::string& n, const std::string& v) {
                    auto r = getEncoding(f);
                    const std::string values = captureSizes(f);
                    const auto x = v.find('x');
                    if (x == std::string::npos) refused(n, values);
                    r.Width = static_cast<ULONG>(parseNumber(n, v.substr(0, x), values));
                    r.Height = static_cast<ULONG>(parseNumber(n, v.substr(x + 1), values));
                    setEncoding(f, r, n, values);
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
                    const auto eq = v.find('=');
                    if (eq == std::string::npos) refused(n, "ADDRESS=BYTE");
                    const long address = parseNumber(n, v.substr(0, eq), "ADDRESS=BYTE with ADDRESS 0..65535");
                    const long byte = parseNumber(n, v.substr(eq + 1), "ADDRESS=BYTE with BYTE 0..255");
                    if (address < 0 || address > 0xFFFF) refused(n, "ADDRESS=BYTE with ADDRESS 0..65535");
                    if (byte < 0 || byte > 0xFF) refused(n, "ADDRESS=BYTE with BYTE 0..255");
                    KSPROPERTY_UNIT_MEMORY_S r{};
                    r.Write.Address = static_cast<USHORT>(address);
                    r.Write.Value = static_cast<UCHAR>(byte);
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
  throw Failure("no property named '" + name + "' (mpegunit list shows them)", kExitUsage);
}

}  // namespace

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
  struct {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER header;
    KSPROPERTY_STEPPING_LONG range;
  } answer{};
  const auto result = filter.basicSupport(set, id, &answer, sizeof answer);
  if (!NT_SUCCESS(result.status) || answer.description.MembersListCount == 0) return std::nullopt;
  if (answer.header.MembersFlags != KSPROPERTY_MEMBER_RANGES &&
      answer.header.MembersFlags != KSPROPERTY_MEMBER_STEPPEDRANGES) {
    return std::nullopt;
  }
  return std::to_string(answer.range.Bounds.SignedMinimum) + ".." +
         std::to_string(answer.range.Bounds.SignedMaximum);
}

}  // namespace cli
