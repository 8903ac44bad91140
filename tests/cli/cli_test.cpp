// End-to-end tests of the mpegunit program as a process: what a user runs,
// what it writes, its exit status and its one-line reasons.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "cli/process.hpp"

namespace {

using clitest::mpegunit;
using clitest::Outcome;
using clitest::readFile;
using clitest::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string describe(const Outcome& o) {
  return "exit " + std::to_string(o.status) + (o.timedOut ? " (timed out)" : "") + "\nstdout: " + o.out +
         "\nstderr: " + o.err;
}

// Exit 0, within the time limit.
void expectSuccess(const Outcome& o) {
  ASSERT_FALSE(o.timedOut) << describe(o);
  ASSERT_EQ(o.status, 0) << describe(o);
}

// A failure with a one-line reason on stderr.
void expectFailure(const Outcome& o, int status, const std::string& reason) {
  ASSERT_FALSE(o.timedOut) << describe(o);
  EXPECT_EQ(o.status, status) << describe(o);
  EXPECT_THAT(o.err, StartsWith("mpegunit: ")) << describe(o);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << describe(o);
  EXPECT_THAT(o.err, HasSubstr(reason)) << describe(o);
}

// Runs ffprobe on file; the "key=value" lines of the stream entries asked for.
std::string probe(const std::filesystem::path& file, const std::string& entries) {
  const Outcome o = clitest::run("/usr/bin/env", {"ffprobe", "-v", "error", "-show_entries", entries, "-of",
                                                  "default=noprint_wrappers=1", file.string()});
  EXPECT_EQ(o.status, 0) << describe(o);
  return o.out;
}

class Cli : public ::testing::Test {
 protected:
  TempDir dir{"mpegunit-cli"};
  std::filesystem::path state = dir / "state";
};

// ---- capture ----

struct CaptureCase {
  const char* mode;
  const char* standard;
  const char* codec;
  int width, height;
};

class CaptureFormats : public Cli, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(CaptureFormats, FileHasTheModeAndStandardAsked) {
  if (!clitest::onPath("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  const CaptureCase& c = GetParam();
  const auto file = dir / "capture.mpg";
  const Outcome o = mpegunit(state, {"--fast", "--source-standard", c.standard, "capture", "-o", file.string(),
                                     "--seconds", "2", "--mode", c.mode, "--standard", c.standard});
  expectSuccess(o);
  EXPECT_THAT(o.err, HasSubstr("captured")) << "a one-line summary at the end";

  const std::string streams = probe(file, "stream=codec_type,codec_name,width,height");
  EXPECT_THAT(streams, HasSubstr("codec_name=" + std::string(c.codec)));
  EXPECT_THAT(streams, HasSubstr("width=" + std::to_string(c.width)));
  EXPECT_THAT(streams, HasSubstr("height=" + std::to_string(c.height)));
  EXPECT_THAT(streams, HasSubstr("codec_type=audio"));
  const std::string format = probe(file, "format=duration");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(format, m, std::regex("duration=([0-9.]+)"))) << format;
  const double duration = std::stod(m[1]);
  EXPECT_GT(duration, 1.5);
  EXPECT_LT(duration, 3.5) << "the capture ends near the time asked for";
}

INSTANTIATE_TEST_SUITE_P(ModesAndStandards, CaptureFormats,
                         ::testing::Values(CaptureCase{"mpeg2", "ntsc", "mpeg2video", 720, 480},
                                           CaptureCase{"mpeg2", "pal", "mpeg2video", 720, 576},
                                           CaptureCase{"mpeg1", "ntsc", "mpeg1video", 480, 240},
                                           CaptureCase{"mpeg1", "pal", "mpeg1video", 480, 288}),
                         [](const auto& info) {
                           return std::string(info.param.mode) + "_" + info.param.standard;
                         });

TEST_F(Cli, CaptureByBytesToStandardOutput) {
  const Outcome o = mpegunit(state, {"--fast", "capture", "-o", "-", "--bytes", "100000"});
  expectSuccess(o);
  EXPECT_EQ(o.out.size(), 100000u);
  EXPECT_EQ(o.out.compare(0, 4, std::string("\0\0\1\xBA", 4)), 0) << "the stream starts with a pack header";
}

TEST_F(Cli, CaptureSettingsPersistAsProperties) {
  const auto file = dir / "c.mpg";
  expectSuccess(mpegunit(state, {"--fast", "capture", "-o", file.string(), "--seconds", "1", "--mode", "mpeg1",
                                 "--size", "352x240", "--bitrate", "2000000", "--audio-rate", "44100"}));
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"mode", "mpeg1"}, {"size", "352x240"}, {"bitrate", "2000000"}, {"audio-rate", "44100"}}) {
    const Outcome o = mpegunit(state, {"get", name});
    expectSuccess(o);
    EXPECT_EQ(o.out, value + "\n") << name;
  }
}

TEST_F(Cli, CtrlCStopsTheCaptureCleanly) {
  if (!clitest::onPath("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  const auto file = dir / "c.mpg";
  clitest::RunOptions run;
  run.interruptAfter = std::chrono::milliseconds(6000);  // the unit takes seconds to settle
  // Real-time pacing and no time limit: only Ctrl-C ends it.
  const Outcome o = mpegunit(state, {"capture", "-o", file.string(), "--seconds", "0"}, run);
  expectSuccess(o);
  EXPECT_THAT(o.err, HasSubstr("interrupted"));
  EXPECT_THAT(probe(file, "stream=codec_name"), HasSubstr("mpeg2video"));
}

// ---- failures of a capture: an error, what was written kept, no hang ----

struct FaultCase {
  const char* name;
  const char* fault;
  const char* reason;
};

class CaptureFaults : public Cli, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CaptureFaults, EndWithAnErrorAndKeepTheFile) {
  const auto file = dir / "c.mpg";
  const Outcome o =
      mpegunit(state, {"--fast", "--fault", GetParam().fault, "capture", "-o", file.string(), "--seconds", "30"});
  expectFailure(o, 1, GetParam().reason);
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_THAT(o.err, HasSubstr("kept " )) << "says what was kept";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CaptureFaults,
    ::testing::Values(FaultCase{"TransferFails", "in#12=c0000004", "a capture transfer failed"},
                      FaultCase{"EncoderNeverDelivers", "in#1=zerox1000000", "delivered no data"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cli, UnpluggedMidCaptureKeepsWhatArrived) {
  const auto file = dir / "c.mpg";
  const Outcome o = mpegunit(state, {"--fast", "--fault", "unplug#200", "capture", "-o", file.string(),
                                     "--seconds", "60"});
  expectFailure(o, 1, "kept");
  EXPECT_GT(std::filesystem::file_size(file), 0u);
}

TEST_F(Cli, CaptureStartRefusedByTheUnit) {
  const Outcome o =
      mpegunit(state, {"--fast", "--fault", "cmd:21=stall", "capture", "-o", (dir / "c.mpg").string()});
  expectFailure(o, 1, "the capture did not start");
}

// ---- play ----

TEST_F(Cli, PlaySavesDecodedFrames) {
  const auto file = dir / "c.mpg";
  expectSuccess(mpegunit(state, {"--fast", "capture", "-o", file.string(), "--seconds", "3"}));
  const auto frames = dir / "frames";
  const Outcome o = mpegunit(state, {"--fast", "play", file.string(), "--frames", frames.string()});
  expectSuccess(o);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.err, m, std::regex("([0-9]+) frames decoded"))) << describe(o);
  const int decoded = std::stoi(m[1]);
  EXPECT_GE(decoded, 60) << "about three seconds of 30 frames a second";
  int pngs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(frames)) {
    if (entry.path().extension() == ".png") ++pngs;
  }
  EXPECT_GT(pngs, 0);
  EXPECT_LE(pngs, decoded);
}

TEST_F(Cli, PlayOfAFileThatIsNotThere) {
  expectFailure(mpegunit(state, {"--fast", "play", (dir / "missing.mpg").string()}), 1, "cannot read");
}

// ---- properties ----

struct RoundTrip {
  const char* name;
  const char* value;
  const char* shown;  // what get shows afterwards
};

TEST_F(Cli, SettingsPersistAcrossProcesses) {
  const std::vector<RoundTrip> cases = {
      {"brightness", "200", "200"},        {"sharpness", "12", "12"},     {"input", "svideo", "svideo"},
      {"audio-volume", "-20", "-20"},      {"audio-rate", "32000", "32000"}, {"standard", "pal", "pal"},
      {"mode", "mpeg1", "mpeg1"},          {"size", "352x288", "352x288"}, {"bitrate", "3000000", "3000000"},
      {"vbr", "off", "off"},
  };
  // No signal on the inputs: with one, the device starts on the input and
  // standard it detects.
  for (const auto& c : cases) {
    const Outcome set = mpegunit(state, {"--signal", "none", "set", c.name, c.value});
    expectSuccess(set);
    EXPECT_EQ(set.out, std::string(c.name) + " = " + c.shown + "\n");
  }
  // Each get is a new process over the registry file the sets left.
  for (const auto& c : cases) {
    const Outcome get = mpegunit(state, {"--signal", "none", "get", c.name});
    expectSuccess(get);
    EXPECT_EQ(get.out, std::string(c.shown) + "\n") << c.name;
  }
  const std::string reg = readFile(state / "mpegunit.reg");
  EXPECT_THAT(reg, HasSubstr("\"Brightness\"=dword:000000c8"));
  EXPECT_THAT(reg, HasSubstr("\"BitRate\"=dword:002dc6c0"));
}

TEST_F(Cli, ModeChangeTakesASizeOfTheNewMode) {
  expectSuccess(mpegunit(state, {"set", "mode", "mpeg1"}));
  EXPECT_EQ(mpegunit(state, {"get", "size"}).out, "480x240\n");
  EXPECT_EQ(mpegunit(state, {"get", "vbr"}).out, "off\n");
  expectSuccess(mpegunit(state, {"set", "mode", "mpeg2"}));
  EXPECT_EQ(mpegunit(state, {"get", "size"}).out, "720x480\n");
}

TEST_F(Cli, ListShowsEveryName) {
  Outcome o = mpegunit(state, {"list"});
  expectSuccess(o);
  o.out = "\n" + o.out;
  for (const char* name : {"brightness", "contrast", "hue", "saturation", "sharpness", "standard", "output-enable",
                           "quality", "input", "audio-volume", "audio-rate", "audio-mute", "mode", "bitrate",
                           "peak-bitrate", "vbr", "size", "memory", "idle"}) {
    EXPECT_THAT(o.out, HasSubstr(std::string("\n") + name + " ")) << name;
  }
}

struct Refusal {
  std::vector<std::string> args;
  std::string reason;
};

TEST_F(Cli, RefusedSettingsNameTheAcceptedValuesAndChangeNothing) {
  // Once every setting is on file (a fresh device writes them as they are
  // first changed), the file must stay as it is, byte for byte.
  for (const auto& [name, value] : std::vector<std::pair<const char*, const char*>>{
           {"brightness", "100"}, {"standard", "pal"}, {"standard", "ntsc"}, {"mode", "mpeg1"}, {"mode", "mpeg2"}}) {
    expectSuccess(mpegunit(state, {"set", name, value}));
  }
  const std::string before = readFile(state / "mpegunit.reg");
  const std::vector<Refusal> refusals = {
      {{"set", "brightness", "256"}, "brightness must be 0..255"},
      {{"set", "brightness", "4294967297"}, "brightness must be 0..255"},
      {{"set", "sharpness", "0"}, "sharpness must be 1..15"},
      {{"set", "contrast", "ten"}, "contrast must be 0..127"},
      {{"set", "quality", "12000"}, "quality must be 0..10000"},
      {{"set", "audio-volume", "-51"}, "audio-volume must be -50..0"},
      {{"set", "audio-rate", "22050"}, "audio-rate must be 48000|44100|32000"},
      {{"set", "standard", "secam"}, "standard must be ntsc|pal"},
      {{"set", "bitrate", "9000000"}, "bitrate must be 1000000..8000000"},
      {{"set", "size", "100x100"}, "size must be one of 720x480, 704x480, 544x480, 480x480, 352x480"},
      {{"set", "nonsense", "1"}, "no setting named 'nonsense'"},
      {{"--fast", "capture", "-o", (dir / "x.mpg").string(), "--mode", "mpeg1", "--size", "720x480"},
       "size must be one of 480x240, 352x240, 320x240"},
      {{"--fast", "capture", "-o", (dir / "x.mpg").string(), "--standard", "pal", "--size", "720x480"},
       "size must be one of 720x576, 704x576, 544x576, 480x576, 352x576"},
      {{"--fast", "capture", "-o", (dir / "x.mpg").string(), "--mode", "mpeg1", "--vbr"},
       "vbr must be off in MPEG-1 mode"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.args[1]);
    expectFailure(mpegunit(state, r.args), 2, r.reason);
    EXPECT_EQ(readFile(state / "mpegunit.reg"), before) << "a refused setting changes nothing";
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "x.mpg")) << "a refused capture writes no file";
}

TEST_F(Cli, UnreadableRegistryFileNamesFileAndLine) {
  std::filesystem::create_directories(state);
  {
    std::ofstream reg(state / "mpegunit.reg");
    reg << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"Brightness\"=dword:zz\n";
  }
  const Outcome o = mpegunit(state, {"get", "brightness"});
  expectFailure(o, 1, (state / "mpegunit.reg").string() + ":4");
}

TEST_F(Cli, UsageErrors) {
  const std::vector<Refusal> cases = {
      {{"capture"}, "--output is required"},
      {{"capture", "-o", "x", "--mode", "mpeg4"}, "--mode"},
      {{"--fault", "bogus", "get", "brightness"}, "--fault"},
      {{"--revision", "xyz", "info"}, "--revision must be a hex word"},
      {{"frobnicate"}, "subcommand"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    expectFailure(mpegunit(state, c.args), 2, c.reason);
  }
}

TEST_F(Cli, EveryCommandHasHelp) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"capture", "--help"}, {"play", "--help"},
                                             {"info", "--help"}, {"get", "--help"}, {"set", "--help"},
                                             {"list", "--help"}, {"microcode", "--help"},
                                             {"microcode", "build", "--help"}, {"microcode", "inspect", "--help"}}) {
    const Outcome o = clitest::run(clitest::mpegunit(), args);
    expectSuccess(o);
    EXPECT_THAT(o.out, HasSubstr("Usage")) << args[0];
  }
}

// ---- info ----

TEST_F(Cli, InfoAsJsonDescribesTheDevice) {
  const Outcome o = mpegunit(state, {"--full-speed", "--revision", "0103", "--signal", "svideo", "info", "--json"});
  expectSuccess(o);
  EXPECT_THAT(o.out, HasSubstr("\"busSpeed\": \"full\""));
  EXPECT_THAT(o.out, HasSubstr("\"revision\": \"0103\""));
  EXPECT_THAT(o.out, HasSubstr("\"input\": \"svideo\""));
  EXPECT_THAT(o.out, HasSubstr("PROPSETID_UNIT_CONTROL"));
  EXPECT_THAT(o.out, HasSubstr("\"range\": \"0..255\""));
  EXPECT_THAT(o.out, HasSubstr("MEDIASUBTYPE_MPEG2_PROGRAM"));
}

// ---- microcode ----

TEST_F(Cli, MicrocodeBuildThenInspect) {
  const auto folder = dir / "images";
  const Outcome built = clitest::run(clitest::mpegunit(), {"microcode", "build", folder.string()});
  expectSuccess(built);
  EXPECT_EQ(std::count(built.out.begin(), built.out.end(), '\n'), 5);
  expectSuccess(clitest::run(clitest::mpegunit(), {"microcode", "inspect", (folder / "enc2ntsc.ux").string()}));
  {
    std::ofstream broken(dir / "broken.ux", std::ios::binary);
    broken << "not an image";
  }
  const Outcome bad = clitest::run(clitest::mpegunit(), {"microcode", "inspect", (dir / "broken.ux").string()});
  EXPECT_EQ(bad.status, 1) << describe(bad);
  EXPECT_THAT(bad.err, HasSubstr("broken.ux"));
}

// ---- the USB trace ----

TEST_F(Cli, TraceShowsTheVendorRequestsOfACaptureStart) {
  if (!clitest::onPath("tshark")) GTEST_SKIP() << "tshark is not installed";
  const auto trace = dir / "capture.pcap";
  expectSuccess(mpegunit(state, {"--fast", "--trace", trace.string(), "capture", "-o", (dir / "c.mpg").string(),
                                 "--seconds", "1"}));
  clitest::RunOptions slow;
  slow.limit = std::chrono::seconds(120);
  const Outcome o = clitest::run("/usr/bin/env",
                                 {"tshark", "-r", trace.string(), "-Y",
                                  "usb.bmRequestType.type == 2", "-T", "fields", "-e",
                                  "usb.setup.wIndex"},
                                 slow);
  ASSERT_EQ(o.status, 0) << describe(o);
  // The command codes in the order the unit first received them.
  std::vector<unsigned> codes;
  std::istringstream lines(o.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const unsigned code = static_cast<unsigned>(std::stoul(line, nullptr, 0)) & 0xFF;
    if (std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
  }
  const auto position = [&codes](unsigned code) {
    return std::find(codes.begin(), codes.end(), code) - codes.begin();
  };
  // Reset the codec, load its microcode, configure it, enter encode mode and
  // start the encoder.
  for (unsigned code : {0x23u, 0x28u, 0x25u, 0x20u, 0x04u, 0x21u}) {
    EXPECT_LT(position(code), static_cast<long>(codes.size())) << "command " << code << " missing";
  }
  EXPECT_LT(position(0x28), position(0x25));
  EXPECT_LT(position(0x25), position(0x20));
  EXPECT_LT(position(0x04), position(0x21));
}

}  // namespace
