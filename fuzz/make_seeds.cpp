// Writes the seed corpora of the harnesses into fuzz/corpus/<harness>/:
// the emulated unit's real descriptors, our microcode images, the
// minidriver's own ranges and formats, and one property record of every
// item of every device property set. Run once when a table changes:
//   fuzz_make_seeds <repo>/fuzz/corpus <folder with our microcode images>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/devprop.h"
#include "driver/drventry.h"
#include "emulator/descriptors.hpp"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

bool write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

void le16(Bytes& b, unsigned v) {
  b.push_back(std::uint8_t(v));
  b.push_back(std::uint8_t(v >> 8));
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR MICROCODE_DIR\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[1];
  bool ok = true;

  // Descriptors: both speeds, plain and padded past the driver's first guess.
  struct Desc {
    const char* name;
    pf::usb::Speed speed;
    std::size_t extra;
  };
  for (const Desc& d : {Desc{"high", pf::usb::Speed::High, 0}, Desc{"full", pf::usb::Speed::Full, 0},
                        Desc{"high-long", pf::usb::Speed::High, 600}}) {
    const Bytes config = emu::buildDescriptors(d.speed, d.extra).configuration;
    ok &= write(corpus / "config_parser", d.name, Bytes{0xFF, 0xFF, 0xFF, 0} + config);
    Bytes head{0, 0};
    le16(head, unsigned(config.size()));
    ok &= write(corpus / "usb_configure", d.name, head + config);
    Bytes changing{0x08, 0};
    le16(changing, unsigned(config.size()));
    const Bytes other = emu::buildDescriptors(pf::usb::Speed::Full, 40).configuration;
    ok &= write(corpus / "usb_configure", std::string(d.name) + "-changing", changing + config + other);
  }

  // Our microcode images.
  for (const auto& entry : fs::directory_iterator(argv[2])) {
    if (entry.path().extension() != ".ux") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ok &= write(corpus / "microcode_image", entry.path().filename().string(), bytes);
  }

  // Property records: every item of every set, GET and SET at its sizes.
  for (unsigned s = 0; s < DEVICE_PROPERTY_SET_COUNT; ++s) {
    const KSPROPERTY_SET& set = DevicePropertySets[s];
    for (unsigned i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      const unsigned extraInput = item.MinProperty > sizeof(KSPROPERTY) ? item.MinProperty - sizeof(KSPROPERTY) : 0;
      for (unsigned get = 0; get < 2; ++get) {
        const std::string name = "set" + std::to_string(s) + "-item" + std::to_string(i) + (get ? "-get" : "-set");
        // ks_client: op 0, set, item, flags (0 GET, 1 SET), sizes, bytes.
        Bytes client{0, std::uint8_t(s), std::uint8_t(i), std::uint8_t(get ? 0 : 1)};
        le16(client, item.MinProperty);
        le16(client, item.MinData);
        client.resize(client.size() + extraInput + item.MinData, 0);
        ok &= write(corpus / "ks_client", name, client);
        // driver_srb: op 0 GET / 1 SET, set, item, flags, table index, sizes.
        Bytes raw{std::uint8_t(get ? 0 : 1), std::uint8_t(s), std::uint8_t(i), 0, 0};
        le16(raw, extraInput);
        le16(raw, item.MinData);
        raw.resize(raw.size() + extraInput + item.MinData, 0);
        ok &= write(corpus / "driver_srb", name, raw);
      }
    }
  }

  // Ranges and formats: each range of each stream, intersected with a
  // buffer of the usual sizes and opened unchanged.
  for (unsigned n = 0; n < StreamCount; ++n) {
    const HW_STREAM_INFORMATION& info = StreamDescriptors[n].StreamInfo;
    for (unsigned r = 0; r < info.NumberOfFormatArrayEntries; ++r) {
      const std::string name = "stream" + std::to_string(n) + "-range" + std::to_string(r);
      for (unsigned sel = 1; sel < 4; ++sel) {
        Bytes client{1, std::uint8_t(n), std::uint8_t(sel), 0, 0, std::uint8_t(r), 0, 0};
        ok &= write(corpus / "ks_client", "intersect-" + name + "-" + std::to_string(sel), client);
      }
      ok &= write(corpus / "ks_client", "open-" + name, Bytes{2, std::uint8_t(n), 0, 0, 0, std::uint8_t(r), 0, 0});
      for (unsigned size : {4u, 80u, 300u}) {
        Bytes raw{2, std::uint8_t(n), std::uint8_t(r)};
        le16(raw, size);
        le16(raw, 0);
        ok &= write(corpus / "driver_srb", "intersect-" + name + "-" + std::to_string(size), raw);
      }
      ok &= write(corpus / "driver_srb", "open-" + name, Bytes{3, std::uint8_t(n), std::uint8_t(r), 0, 0, 0, 0});
    }
  }
  // Format changes: the playback format as it is, NTSC and PAL selectors.
  ok &= write(corpus / "ks_client", "format-change-same", Bytes{3, 0, 0, 0});
  ok &= write(corpus / "ks_client", "format-change-ntsc", Bytes{3, 64, 0, 0, 1});
  ok &= write(corpus / "ks_client", "format-change-pal", Bytes{3, 64, 0, 0, 2});

  if (!ok) {
    std::fprintf(stderr, "cannot write the seeds under %s\n", corpus.string().c_str());
    return 1;
  }
  return 0;
}
