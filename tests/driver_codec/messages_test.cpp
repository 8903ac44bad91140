// The codec's parameter messages: every sender's exact bytes on the wire, as
// the data stage of vendor command 0x20.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_codec/codec_fixture.hpp"

namespace {

using codectest::CodecFixture;
using codectest::Hex;

struct MessageCase {
  const char* name;
  std::function<NTSTATUS(DeviceContext*)> send;
  const char* bytes;  // expected data stage, hex with spaces for readability
};

// Flag byte, word count, then per command: prefix, code|channel|M, arguments.
const MessageCase kMessages[] = {
    {"EncMsg0004", EncMsg0004, "00 00000003 FFFFFFFF 00040001 FFFFFFFF"},
    {"EncMsgB115", EncMsgB115, "01 00000006 FFFFFFFF B1150004 00000000 00000000 00000000 00000001"},
    {"EncMsgC119", EncMsgC119, "01 00000004 FFFFFFFF C1190002 00000000 00000000"},
    {"EncMsgC11A", EncMsgC11A, "01 00000004 FFFFFFFF C11A0002 00000000 00000000"},
    {"EncMsgA004", EncMsgA004, "01 00000003 FFFFFFFF A0040001 00000000"},
    {"EncMsgA002", EncMsgA002, "01 00000003 FFFFFFFF A0020001 00000001"},
    {"EncMsgA00E", EncMsgA00E, "01 00000003 FFFFFFFF A00E0001 00000000"},
    {"EncMsgA001", EncMsgA001, "01 00000003 FFFFFFFF A0010001 00000002"},
    {"EncMsgFrameRate25", [](DeviceContext* d) { return EncMsgFrameRate(d, 3); },
     "01 00000004 FFFFFFFF A1060002 00000003 00000001"},
    {"EncMsgFrameRate2997", [](DeviceContext* d) { return EncMsgFrameRate(d, 4); },
     "01 00000004 FFFFFFFF A1060002 00000004 00000001"},
    {"EncMsgMuxDelay0", [](DeviceContext* d) { return EncMsgMux(d, 0); },
     "01 00 00 00 0A FF FF FF FF 91 03 00 08 00 00 00 01 00 99 CF 00 00 01 77 00 00 00 00 02 "
     "00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"EncMsgMuxDelay", [](DeviceContext* d) { return EncMsgMux(d, 0x12345678); },
     "01 0000000A FFFFFFFF 91030008 00000001 0099CF00 00017700 00000002 00000001 00000000 "
     "00000000 12345678"},
    {"EncMsgA035", EncMsgA035, "00 00000003 FFFFFFFF A0350101 00000001"},
    {"EncMsgHorizontalSize", [](DeviceContext* d) { return EncMsgHorizontalSize(d, 7); },
     "01 00000004 FFFFFFFF B1130002 00000007 00000004"},
    {"EncMsgBitRate4200000", [](DeviceContext* d) { return EncMsgBitRate(d, 4200000); },
     "01 00 00 00 03 FF FF FF FF A0 0D 00 01 00 40 16 40"},
    {"EncMsgBitRateFullWord", [](DeviceContext* d) { return EncMsgBitRate(d, 8000000); },
     "01 00000003 FFFFFFFF A00D0001 007A1200"},
    {"EncMsgVariableBitRate",
     [](DeviceContext* d) { return EncMsgVariableBitRate(d, 4200000, 6000000); },
     "01 00 00 00 0A FF FF FF FF A1 30 00 08 00 00 00 01 00 5B 8D 80 00 00 00 01 00 00 00 01 "
     "00 00 00 01 00 40 16 40 FF FF FF FF 00 00 00 FF"},
    {"EncMsg8011", EncMsg8011, "01 00000003 FFFFFFFF 80110001 00000000"},
    {"EncMsgStartMpeg1", [](DeviceContext* d) { return EncMsgStart(d, EncStartPrefixMpeg1); },
     "01 00 00 00 04 00 00 01 00 80 01 00 00 00 00 01 00 80 01 01 00"},
    {"EncMsgStartMpeg2", [](DeviceContext* d) { return EncMsgStart(d, EncStartPrefixMpeg2); },
     "01 00000004 00000300 80010000 00000300 80010100"},
    {"EncMsgStop", EncMsgStop,
     "00 00 00 00 06 FF FF FF FF 80 02 00 01 00 00 00 00 FF FF FF FF 80 02 01 01 00 00 00 00"},
    {"DecMsg0003", [](DeviceContext* d) { return DecMsg0003(d, 0x0E, 0x1C); },
     "00 00000003 FFFFFFFF 00030E01 0000001C"},
    {"DecMsg0093", DecMsg0093, "00 00000006 FFFFFFFF 00930004 FFFFFFFF FFFFFFFF 00000000 00000000"},
    {"DecMsg0098", DecMsg0098, "00 00000006 FFFFFFFF 00980304 FFFFFFFF 00000000 00000000 00000000"},
    {"DecMsg009E", DecMsg009E, "00 00000005 FFFFFFFF 009E0000 FFFFFFFF 00990301 00000001"},
    {"DecMsg009FPair", DecMsg009FPair, "00 00000004 FFFFFFFF 009F0000 FFFFFFFF 009F0300"},
    {"DecMsg009F", DecMsg009F, "00 00 00 00 02 FF FF FF FF 00 9F 0F 00"},
};

class MessageTest : public CodecFixture {};

TEST_F(MessageTest, EverySenderPutsItsExactBytesOnTheWire) {
  for (const auto& c : kMessages) {
    SCOPED_TRACE(c.name);
    mark();
    EXPECT_EQ(c.send(dev()), STATUS_SUCCESS);
    const auto records = sentSinceMark();
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    EXPECT_EQ(r.setup.bmRequestType, 0x41);
    EXPECT_EQ(r.setup.bRequest, 0);
    EXPECT_EQ(r.setup.wIndex, 0x20);
    EXPECT_EQ(r.setup.wValue, 0);
    EXPECT_EQ(Hex(r.data), Hex(codectest::ParseHex(c.bytes)));
    EXPECT_EQ(r.setup.wLength, r.data.size());
  }
}

// The audio and decoder-output messages carry DeviceContext values byte by byte.
struct DeviceValueCase {
  const char* name;
  ULONG rate;
  BOOLEAN flag1, flag2;
  ULONG standard;
  std::function<NTSTATUS(DeviceContext*)> send;
  const char* bytes;
};

const DeviceValueCase kDeviceValueMessages[] = {
    {"EncAudio48000", 48000, 0, 0, 1, EncMsgAudio,
     "00 00 00 00 09 FF FF FF FF 00 0D 01 07 04 01 00 00 01 00 01 00 00 00 BB 80 00 00 01 40 00 "
     "01 00 01 00 00 00 00 00 00 00 00"},
    {"EncAudio44100Flags", 44100, 1, 1, 1, EncMsgAudio,
     "00 00000009 FFFFFFFF 000D0107 04010000 01010100 0000AC44 00000140 01010001 00000000 "
     "00000000"},
    {"EncAudioFlagsAnyNonzero", 32000, 0x80, 0x02, 1, EncMsgAudio,
     "00 00000009 FFFFFFFF 000D0107 04010000 01010100 00007D00 00000140 01010001 00000000 "
     "00000000"},
    {"DecAudio48000", 48000, 0, 0, 1, DecMsgAudio,
     "00 00000009 FFFFFFFF 000D0307 04010000 01000100 0000BB80 00000140 00000100 00000000 "
     "00000000"},
    {"DecAudioFlags", 32000, 1, 1, 1, DecMsgAudio,
     "00 00000009 FFFFFFFF 000D0307 04010000 01010100 00007D00 00000140 01000100 00000000 "
     "00000000"},
    {"Dec0090Pal", 48000, 0, 0, 0x10, DecMsg0090,
     "00 00 00 00 07 FF FF FF FF 00 90 0F 05 01 02 00 01 00 00 00 00 00 00 00 00 00 00 80 80 00 "
     "00 00 00"},
    {"Dec0090Ntsc", 48000, 0, 0, 0x1, DecMsg0090,
     "00 00000007 FFFFFFFF 00900F05 01020000 00000000 00000000 00008080 00000000"},
    {"Dec0090NtscJCountsAsNotNtscM", 48000, 0, 0, 0x2, DecMsg0090,
     "00 00000007 FFFFFFFF 00900F05 01020001 00000000 00000000 00008080 00000000"},
};

TEST_F(MessageTest, DeviceValuesAreLaidOutByteByByte) {
  for (const auto& c : kDeviceValueMessages) {
    SCOPED_TRACE(c.name);
    dev()->AudioSamplingFrequency = c.rate;
    dev()->AudioFlag1 = c.flag1;
    dev()->AudioFlag2 = c.flag2;
    dev()->VideoStandard = c.standard;
    mark();
    EXPECT_EQ(c.send(dev()), STATUS_SUCCESS);
    const auto records = sentSinceMark();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Hex(records[0].data), Hex(codectest::ParseHex(c.bytes)));
  }
}

// A sender has no failure of its own: the vendor request's status comes back
// unchanged, and nothing is repeated.
TEST_F(MessageTest, FailedRequestStatusIsReturnedWithoutRetry) {
  useFaults("cmd:20=stall");
  mark();
  const NTSTATUS status = EncMsgStop(dev());
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(sentSinceMark().size(), 1u);
}

}  // namespace
