// Microcode download: the commands and bulk bytes of each record type, our
// images accepted whole by the unit, and damaged files sending nothing.
#include <fstream>

#include "driver/fileio.h"
#include "driver/kivchip.h"
#include "driver/kivproto.h"
#include "emulator/microcode_image.hpp"
#include "pf/host/files.hpp"
#include "usb_fixture.hpp"

namespace {

std::vector<std::uint8_t> bulkOutBytes(const emu::Unit& unit) {
  return unit.bulkLog(usbtest::kOut).bytes;
}

// A rig in the middle of a download (command 0x28 sent).
std::unique_ptr<rig::UnitRig> loadingRig() {
  auto r = usbtest::configuredRig();
  EXPECT_EQ(VendorBeginMicrocodeLoad(r->device()), STATUS_SUCCESS);
  return r;
}

struct RecordCase {
  const char* name;
  UCHAR flags;
  UCHAR mode;
  ULONG address;
  std::vector<std::uint8_t> data;
  std::uint16_t command;
  std::uint16_t wValue;
  std::vector<std::uint8_t> parameters;
  std::vector<std::uint32_t> writes;   // bulk OUT lengths
  std::vector<std::uint8_t> outBytes;  // bulk OUT bytes, when checked
  unsigned ackReads;
};

std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t(i);
  return v;
}

class RecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordTest, SendsTheCommandAndItsBytes) {
  const RecordCase& c = GetParam();
  auto r = loadingRig();
  r->bus().clearTraffic();
  MicrocodeRecordHeader header{c.mode, c.flags, ULONG(c.data.size()), c.address};
  EXPECT_EQ(MicrocodeSendRecord(r->device(), &header, c.data.data()), STATUS_SUCCESS);

  const auto last = rig::vendorRequests(r->unit()).back();
  EXPECT_EQ(last.setup.wIndex, c.command);
  EXPECT_EQ(last.setup.wValue, c.wValue);
  EXPECT_EQ(last.setup.bmRequestType, 0x41);
  EXPECT_EQ(last.data, c.parameters);
  EXPECT_EQ(usbtest::bulkRequests(r->bus(), usbtest::kOut), c.writes);
  if (!c.outBytes.empty()) EXPECT_EQ(bulkOutBytes(r->unit()), c.outBytes);
  EXPECT_EQ(usbtest::bulkRequests(r->bus(), usbtest::kIn).size(), c.ackReads);
}

INSTANTIATE_TEST_SUITE_P(
    Types, RecordTest,
    ::testing::Values(
        RecordCase{"Block", UCODE_TYPE_BLOCK, 1, 0x1000, counting(300), 0x10, 0,
                   {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x2C}, {300}, counting(300), 0},
        RecordCase{"PackedGroup", UCODE_TYPE_PACKED, 0, 0, {0x11, 0x22, 0x33, 0x46, 0x55}, 0x11, 0,
                   {0x00, 0x00, 0x00, 0x08, 0x00}, {8},
                   {0x11, 0x22, 0x33, 0x46, 0x00, 0x00, 0x55, 0x00}, 0},
        RecordCase{"PackedTwoGroups", UCODE_TYPE_PACKED, 0, 0,
                   {1, 2, 3, 0x04, 5, 6, 7, 8, 0x0B, 9}, 0x11, 0, {0x00, 0x00, 0x00, 0x10, 0x00},
                   {8, 8}, {1, 2, 3, 4, 5, 0, 0, 0, 6, 7, 8, 0x0B, 0, 0, 0, 9}, 0},
        RecordCase{"PackedPlain", UCODE_TYPE_PACKED, 1, 0, counting(7), 0x11, 0,
                   {0x00, 0x00, 0x00, 0x07, 0x01}, {7}, counting(7), 0},
        RecordCase{"Single", UCODE_TYPE_SINGLE, 0, 0x3F00, {0x9A, 0xFF}, 0x12, 0,
                   {0x00, 0x00, 0x3F, 0x00, 0x9A}, {}, {}, 0},
        RecordCase{"Sync", UCODE_TYPE_SYNC, 0, 0, {0x00, 0x00, 0x13, 0x88}, 0x13, 0x0400, {}, {}, {},
                   1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MicrocodeRecord, MalformedRecordsSendNothing) {
  auto r = loadingRig();
  const std::size_t before = rig::vendorRequests(r->unit()).size();
  const std::uint8_t data[7] = {};
  MicrocodeRecordHeader packed{UCODE_PACK_PACKED, UCODE_TYPE_PACKED, 7, 0};
  EXPECT_EQ(MicrocodeSendRecord(r->device(), &packed, data), STATUS_IO_DEVICE_ERROR);
  MicrocodeRecordHeader sync{0, UCODE_TYPE_SYNC, 3, 0};
  EXPECT_EQ(MicrocodeSendRecord(r->device(), &sync, data), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(rig::vendorRequests(r->unit()).size(), before);
}

// ---- whole images ----

std::wstring driverPath(const std::string& name) {
  return L"\\systemroot\\SYSTEM32\\DRIVERS\\" + std::wstring(name.begin(), name.end());
}

void writeDriverFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  auto folder = pf::files::driversFolder();
  ASSERT_TRUE(folder.has_value());
  std::ofstream out(*folder / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(MicrocodeImage, EachOfOurImagesLoadsIntact) {
  for (const auto& info : emu::ucode::kImages) {
    SCOPED_TRACE(info.fileName);
    auto r = loadingRig();
    EXPECT_EQ(MicrocodeLoadImage(r->device(), driverPath(info.fileName).c_str()), STATUS_SUCCESS);
    ASSERT_EQ(VendorFinishMicrocodeLoad(r->device()), STATUS_SUCCESS);
    const auto loaded = r->unit().microcode();
    EXPECT_TRUE(loaded.valid) << loaded.reason;
    EXPECT_EQ(loaded.kind, info.kind);
    EXPECT_EQ(loaded.standard, info.standard);
  }
}

struct BadImageCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  NTSTATUS status;
  std::size_t sentBefore = 0;  // bulk bytes of the good records before the damage
};

std::vector<std::uint8_t> image(std::uint32_t count, const std::vector<std::uint8_t>& records) {
  std::vector<std::uint8_t> out = {'C', '3', 'U', 'X', std::uint8_t(count), std::uint8_t(count >> 8),
                                   0, 0, 0, 0, 0, 0};
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

std::vector<std::uint8_t> record(std::uint8_t mode, std::uint8_t flags, std::uint32_t length,
                                 std::size_t dataBytes) {
  std::vector<std::uint8_t> out = {mode, flags, 0, 0, std::uint8_t(length), std::uint8_t(length >> 8),
                                   0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0};
  out.resize(out.size() + dataBytes, 0x5A);
  return out;
}

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class BadImageTest : public ::testing::TestWithParam<BadImageCase> {};

// The load stops at the damage, having sent only the records before it.
TEST_P(BadImageTest, StopsAtTheDamage) {
  auto r = loadingRig();
  writeDriverFile("test.ux", GetParam().bytes);
  const std::size_t before = rig::vendorRequests(r->unit()).size();
  EXPECT_EQ(MicrocodeLoadImage(r->device(), driverPath("test.ux").c_str()), GetParam().status);
  EXPECT_EQ(bulkOutBytes(r->unit()).size(), GetParam().sentBefore);
  if (GetParam().sentBefore == 0) EXPECT_EQ(rig::vendorRequests(r->unit()).size(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadImageTest,
    ::testing::Values(
        BadImageCase{"WrongMagic", {0x43, 0x33, 0x55, 0x59, 1, 0, 0, 0, 0, 0, 0, 0}, STATUS_IO_DEVICE_ERROR},
        BadImageCase{"ShorterThanItsHeader", {0x43, 0x33}, STATUS_IO_DEVICE_ERROR},
        BadImageCase{"Empty", {}, STATUS_SUCCESS},
        BadImageCase{"NoRecords", image(0, {}), STATUS_SUCCESS},
        BadImageCase{"OnlyEmptyRecords", image(2, concat(record(0, 0, 0, 0), record(0, 6, 0, 0))),
                     STATUS_SUCCESS},
        BadImageCase{"CountPastTheEnd", image(2, record(1, 0, 4, 4)), STATUS_IO_DEVICE_ERROR, 4},
        BadImageCase{"DamageAfterAGoodRecord", image(2, concat(record(1, 0, 4, 4), record(0, 2, 7, 7))),
                     STATUS_IO_DEVICE_ERROR, 4},
        BadImageCase{"DataPastTheEnd", image(1, record(1, 0, 40, 4)), STATUS_IO_DEVICE_ERROR},
        BadImageCase{"PackedNotWholeGroups", image(1, record(0, 2, 7, 7)), STATUS_IO_DEVICE_ERROR},
        BadImageCase{"ShortSync", image(1, record(0, 6, 2, 2)), STATUS_IO_DEVICE_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MicrocodeImage, ZeroLengthRecordIsSkipped) {
  // An empty record, then a single-byte record 16 bytes further on.
  auto r = loadingRig();
  writeDriverFile("skip.ux", image(2, concat(record(0, 0, 0, 0), record(0, 4, 1, 1))));
  const std::size_t before = rig::vendorRequests(r->unit()).size();
  EXPECT_EQ(MicrocodeLoadImage(r->device(), driverPath("skip.ux").c_str()), STATUS_SUCCESS);
  const auto requests = rig::vendorRequests(r->unit());
  ASSERT_EQ(requests.size(), before + 1);
  EXPECT_EQ(requests.back().setup.wIndex, 0x12);
  EXPECT_EQ(requests.back().data, (std::vector<std::uint8_t>{0x00, 0x00, 0x10, 0x00, 0x5A}));
}

TEST(MicrocodeImage, MissingFileReportsTheOpen) {
  auto r = loadingRig();
  EXPECT_LT(MicrocodeLoadImage(r->device(), driverPath("absent.ux").c_str()), 0);
}

TEST(MicrocodeImage, FailedRecordIsReportedAndTheRestStillSent) {
  auto r = usbtest::configuredRig(usbtest::unitWithFaults("cmd:12#1=stall"));
  ASSERT_EQ(VendorBeginMicrocodeLoad(r->device()), STATUS_SUCCESS);
  writeDriverFile("two.ux", image(2, concat(record(0, 4, 1, 1), record(0, 4, 1, 1))));
  EXPECT_EQ(MicrocodeLoadImage(r->device(), driverPath("two.ux").c_str()),
            pf::usb::ntStatusFromUsbd(USBD_STATUS_STALL_PID));
  unsigned singles = 0;
  for (const auto& req : rig::vendorRequests(r->unit()))
    if (req.setup.wIndex == 0x12) ++singles;
  EXPECT_EQ(singles, 2u);
}

TEST(FileIo, ReadsAFileWholeAndClosesIt) {
  rig::UnitRig r;
  writeDriverFile("plain.bin", counting(1000));
  HANDLE file = nullptr;
  ASSERT_EQ(FileOpen(driverPath("PLAIN.BIN").c_str(), &file), STATUS_SUCCESS);
  EXPECT_EQ(FileGetSize(file), 1000u);
  std::vector<std::uint8_t> buffer(1000);
  ULONG read = 0;
  EXPECT_EQ(FileRead(file, buffer.data(), 1000, &read), STATUS_SUCCESS);
  EXPECT_EQ(read, 1000u);
  EXPECT_EQ(buffer, counting(1000));
  FileClose(file);
}

}  // namespace
