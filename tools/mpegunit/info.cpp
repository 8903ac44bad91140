// mpegunit info: what the device offers, as an application enumerates it.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

#include "driver/devprop.h"
#include "tools/mpegunit/cli.hpp"
#include "tools/mpegunit/properties.hpp"

namespace cli {

namespace {

using nlohmann::json;

std::string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// The platform's names of the GUIDs a user meets here.
std::string guidName(const GUID& g) {
  struct Known {
    GUID guid;
    const char* name;
  };
  static const Known kKnown[] = {
      {{STATIC_KSDATAFORMAT_TYPE_STREAM}, "KSDATAFORMAT_TYPE_STREAM"},
      {{STATIC_KSDATAFORMAT_TYPE_VIDEO}, "KSDATAFORMAT_TYPE_VIDEO"},
      {{STATIC_KSDATAFORMAT_TYPE_ANALOGVIDEO}, "KSDATAFORMAT_TYPE_ANALOGVIDEO"},
      {{STATIC_KSDATAFORMAT_TYPE_MPEG2_PROGRAM}, "MEDIASUBTYPE_MPEG2_PROGRAM"},
      {{STATIC_KSDATAFORMAT_SUBTYPE_MPEG1Payload}, "MEDIASUBTYPE_MPEG1Payload"},
      {{STATIC_KSDATAFORMAT_SUBTYPE_NONE}, "KSDATAFORMAT_SUBTYPE_NONE"},
      {{STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}, "KSDATAFORMAT_SPECIFIER_VIDEOINFO"},
      {{STATIC_KSDATAFORMAT_SPECIFIER_ANALOGVIDEO}, "KSDATAFORMAT_SPECIFIER_ANALOGVIDEO"},
      {{STATIC_KSCATEGORY_VIDEO}, "KSCATEGORY_VIDEO"},
      {{STATIC_KSCATEGORY_CAPTURE}, "KSCATEGORY_CAPTURE"},
      {{STATIC_KSCATEGORY_CROSSBAR}, "KSCATEGORY_CROSSBAR"},
      {{STATIC_PINNAME_VIDEO_CAPTURE}, "PIN_CATEGORY_CAPTURE"},
      {{STATIC_PINNAME_VIDEO_ANALOGVIDEOIN}, "PIN_CATEGORY_ANALOGVIDEOIN"},
      {{STATIC_KSPROPSETID_Connection}, "KSPROPSETID_Connection"},
      {{STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES}, "PROPSETID_VIDCAP_DROPPEDFRAMES"},
      {{STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP}, "PROPSETID_VIDCAP_VIDEOPROCAMP"},
      {{STATIC_PROPSETID_VIDCAP_VIDEODECODER}, "PROPSETID_VIDCAP_VIDEODECODER"},
      {{STATIC_PROPSETID_VIDCAP_VIDEOCOMPRESSION}, "PROPSETID_VIDCAP_VIDEOCOMPRESSION"},
      {{STATIC_PROPSETID_VIDCAP_CROSSBAR}, "PROPSETID_VIDCAP_CROSSBAR"},
      {{STATIC_PROPSETID_UNIT_CONTROL}, "PROPSETID_UNIT_CONTROL"},
  };
  for (const auto& k : kKnown) {
    if (IsEqualGUID(k.guid, g)) return k.name;
  }
  return guidText(g);
}

json rangeJson(const KSDATARANGE& range) {
  json r = {{"major", guidName(range.MajorFormat)},
            {"sub", guidName(range.SubFormat)},
            {"specifier", guidName(range.Specifier)},
            {"size", range.FormatSize}};
  if (IsEqualGUID(range.Specifier, GUID{STATIC_KSDATAFORMAT_TYPE_VIDEO}) &&
      range.FormatSize >= sizeof(KS_DATARANGE_VIDEO)) {
    const auto& video = reinterpret_cast<const KS_DATARANGE_VIDEO&>(range);
    r["width"] = video.VideoInfoHeader.bmiHeader.biWidth;
    r["height"] = video.VideoInfoHeader.bmiHeader.biHeight;
    r["bitRate"] = video.VideoInfoHeader.dwBitRate;
    r["frameInterval"] = video.VideoInfoHeader.AvgTimePerFrame;
  }
  return r;
}

json propertySetsJson(pf::ks::Filter& filter, const KSPROPERTY_SET* sets, ULONG count) {
  json out = json::array();
  for (ULONG s = 0; s < count; ++s) {
    const KSPROPERTY_SET& set = sets[s];
    json items = json::array();
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      json entry = {{"id", item.PropertyId},
                    {"get", item.GetPropertyHandler != nullptr},
                    {"set", item.SetPropertyHandler != nullptr},
                    {"minProperty", item.MinProperty},
                    {"minData", item.MinData}};
      if (auto range = propertyRange(filter, *set.Set, item.PropertyId)) entry["range"] = *range;
      LONG value = 0;
      if (item.Values && NT_SUCCESS(filter.defaultValue(*set.Set, item.PropertyId, &value, sizeof value).status)) {
        entry["default"] = value;
      }
      items.push_back(entry);
    }
    out.push_back({{"set", guidName(*set.Set)}, {"items", items}});
  }
  return out;
}

// The revision the unit answered to the driver's revision request, as the
// bus saw it.
std::optional<unsigned> unitRevision(const mpegunit::Session& session) {
  std::optional<unsigned> revision;
  for (const auto& e : session.bus().traffic()) {
    if (e.kind == pf::usb::TrafficEvent::Kind::Complete && e.type == pf::usb::TrafficEvent::Type::Control &&
        e.setup.bmRequestType == 0xC1 && e.setup.wIndex == 0 && e.data.size() >= 2) {
      revision = unsigned(e.data[0]) | unsigned(e.data[1]) << 8;
    }
  }
  return revision;
}

json describe(mpegunit::Session& session) {
  pf::ks::Filter& filter = session.filter();
  json pins = json::array();
  for (const auto& pin : filter.pins()) {
    json ranges = json::array();
    for (const KSDATARANGE* range : pin.dataRanges) ranges.push_back(rangeJson(*range));
    json mediums = json::array();
    for (const auto& m : pin.mediums) mediums.push_back({{"set", guidText(m.Set)}, {"id", m.Id}});
    pins.push_back({{"id", pin.id},
                    {"direction", pin.dataFlow == KSPIN_DATAFLOW_OUT ? "out" : "in"},
                    {"instances", pin.possibleInstances},
                    {"category", pin.category ? guidName(*pin.category) : ""},
                    {"name", pin.name ? guidName(*pin.name) : ""},
                    {"ranges", ranges},
                    {"mediums", mediums},
                    {"properties", propertySetsJson(filter, pin.propertySets, pin.propertySetCount)}});
  }
  json topology = json::array();
  for (const auto& c : filter.topology().categories) topology.push_back(guidName(c));
  const auto& header = session.adapter().streamHeader();
  json filters = json::array();
  for (const auto& f : pf::ks::registeredFilters(session.physicalDevice())) {
    filters.push_back({{"category", guidName(f.category)}, {"pins", f.pinIsOutput.size()}});
  }
  json out = {{"pins", pins},
              {"topology", topology},
              {"registeredFilters", filters},
              {"deviceProperties",
               propertySetsJson(filter, header.DevicePropertiesArray, header.NumDevPropArrayEntries)},
              {"busSpeed", session.unit().speed() == pf::usb::Speed::High ? "high" : "full"},
              {"input", getProperty(filter, "input")},
              {"standard", getProperty(filter, "standard")}};
  if (auto revision = unitRevision(session)) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", *revision);
    out["revision"] = text;
  }
  return out;
}

void printText(const json& info) {
  std::cout << "unit: revision " << info.value("revision", "?") << ", " << info["busSpeed"].get<std::string>()
            << " speed, input " << info["input"].get<std::string>() << ", standard "
            << info["standard"].get<std::string>() << "\n";
  std::cout << "topology:";
  for (const auto& c : info["topology"]) std::cout << " " << c.get<std::string>();
  std::cout << "\n";
  for (const auto& pin : info["pins"]) {
    std::cout << "pin " << pin["id"] << " (" << pin["direction"].get<std::string>() << ", "
              << pin["category"].get<std::string>() << ")\n";
    for (const auto& r : pin["ranges"]) {
      std::cout << "  range " << r["major"].get<std::string>() << " / " << r["sub"].get<std::string>();
      if (r.contains("width")) std::cout << " " << r["width"] << "x" << r["height"] << " " << r["bitRate"] << " bit/s";
      std::cout << "\n";
    }
    for (const auto& m : pin["mediums"]) std::cout << "  medium " << m["set"].get<std::string>() << "\n";
  }
  for (const auto& set : info["deviceProperties"]) {
    std::cout << "property set " << set["set"].get<std::string>() << "\n";
    for (const auto& item : set["items"]) {
      std::cout << "  item " << item["id"] << (item["get"].get<bool>() ? " get" : "")
                << (item["set"].get<bool>() ? " set" : "");
      if (item.contains("range")) std::cout << " range " << item["range"].get<std::string>();
      if (item.contains("default")) std::cout << " default " << item["default"];
      std::cout << "\n";
    }
  }
}

}  // namespace

void addInfoCommand(CLI::App& app, Globals& globals) {
  auto asJson = std::make_shared<bool>(false);
  auto* cmd = app.add_subcommand("info", "Show the pins, formats, properties and state of the device");
  cmd->add_flag("--json", *asJson, "As JSON");
  cmd->callback([&globals, asJson] {
    auto session = openSession(globals);
    const json info = describe(*session);
    if (*asJson) {
      std::cout << info.dump(2) << "\n";
    } else {
      printText(info);
    }
  });
}

}  // namespace cli
