// Settings durability: a process killed while the driver writes its settings
// never leaves a broken registry file, and a malformed file is refused with
// its line number and left exactly as it was.
//
// The writer is this test program itself, started again with
// MPEGUNIT_REGISTRY_WRITER=<file>: it writes settings through the driver's
// settings store in a loop until it is killed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "driver/utils.h"
#include "pf/host/registry.hpp"
#include "reliability/reliability.hpp"
#include "tools/host/session.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBlobSize = 256 * 1024;  // makes each rewrite take a while

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The writer's loop: the driver's SettingsSave on a driver key bound to a
// device object of its own, with a large value in the key so that every
// rewrite of the file is long.
[[noreturn]] void writeForever(const fs::path& file) {
  pf::registry::open(file);
  const std::string key = pf::registry::driverKeyPath(0);
  pf::registry::setBinary(key, "Blob", std::vector<std::uint8_t>(kBlobSize, 0x5A));
  static DEVICE_OBJECT pdo{};
  pf::registry::bindDriverKey(&pdo, key);
  DeviceContext device{};
  device.RealPhysicalDeviceObject = &pdo;
  std::ofstream(file.string() + ".ready") << "ready";
  for (ULONG n = 1;; ++n) {
    SettingsSave(&device, L"BitRate", n);
    SettingsSave(&device, L"PeakBitRate", n);
  }
}

TEST(SettingsDurability, WriterStartsWhenAsked) {
  const char* file = std::getenv("MPEGUNIT_REGISTRY_WRITER");
  if (!file) GTEST_SKIP() << "only runs as the writer of KilledWriterNeverLeavesABrokenFile";
  writeForever(file);
}

TEST(SettingsDurability, KilledWriterNeverLeavesABrokenFile) {
  rig::TempDir dir;
  const fs::path file = dir.path() / "mpegunit.reg";
  const unsigned kills = rel::soakSeconds() ? 200 : 12;
  std::mt19937 rng(rel::seed());
  unsigned lastSeen = 0;
  for (unsigned trial = 0; trial < kills; ++trial) {
    fs::remove(file.string() + ".ready");
    const pid_t child = fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) {
      setenv("MPEGUNIT_REGISTRY_WRITER", file.c_str(), 1);
      execl("/proc/self/exe", "reliability_tests",
            "--gtest_filter=SettingsDurability.WriterStartsWhenAsked", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Bounded wait for the writer to start, then kill it at a random moment.
    const auto deadline = rel::Clock::now() + rel::kWait;
    while (!fs::exists(file.string() + ".ready") && rel::Clock::now() < deadline) usleep(1000);
    const bool started = fs::exists(file.string() + ".ready");
    usleep(1000 + rng() % 30000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(started) << "the writer did not start";
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";

    // The file is whole: it loads, the large value is intact and the two
    // settings hold a value that was written.
    SCOPED_TRACE("kill " + std::to_string(trial));
    try {
      pf::registry::open(file);
    } catch (const std::exception& e) {
      FAIL() << "a killed writer left a broken file: " << e.what();
    }
    const std::string key = pf::registry::driverKeyPath(0);
    auto blob = pf::registry::value(key, "Blob");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->data, std::vector<std::uint8_t>(kBlobSize, 0x5A));
    auto rate = pf::registry::dword(key, "BitRate");
    auto peak = pf::registry::dword(key, "PeakBitRate");
    // Written in pairs, BitRate first: either may still be missing when the
    // kill came early, and the pair is never more than one write apart.
    if (peak) {
      ASSERT_TRUE(rate);
      EXPECT_TRUE(*peak == *rate || *peak + 1 == *rate) << *rate << " " << *peak;
    }
    if (rate) lastSeen = *rate;
    pf::registry::close();
    pf::registry::reset();
  }
  std::cout << "[ kills    ] " << kills << " writers killed; the last file held write " << lastSeen
            << std::endl;
}

struct Malformed {
  const char* name;
  const char* text;
  int line;
};

class MalformedFile : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedFile, IsRefusedWithItsLineAndLeftAsItWas) {
  const Malformed& c = GetParam();
  rig::TempDir dir;
  const fs::path file = mpegunit::registryFile(dir.path());
  { std::ofstream(file, std::ios::binary) << c.text; }
  const std::string before = readFile(file);

  std::string why;
  EXPECT_FALSE(mpegunit::prepareState(dir.path(), &why));
  EXPECT_NE(why.find(file.string() + ":" + std::to_string(c.line) + ":"), std::string::npos) << why;
  EXPECT_EQ(why.find('\n'), std::string::npos) << "not one line: " << why;
  EXPECT_EQ(readFile(file), before);
  // The store did not take the file: it is not the backing file either.
  EXPECT_FALSE(pf::registry::backingFile());
  pf::registry::reset();
}

#define KEY "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96C-E325-11CE-BFC1-08002BE10318}\\0000]\r\n"

INSTANTIATE_TEST_SUITE_P(
    Files, MalformedFile,
    ::testing::Values(
        Malformed{"NoHeader", "[HKEY_LOCAL_MACHINE\\X]\r\n", 1},
        Malformed{"BadDword", "Windows Registry Editor Version 5.00\r\n\r\n" KEY "\"BitRate\"=dword:12345678\r\n\"Contrast\"=dword:xyz\r\n", 5},
        Malformed{"ValueOutsideAKey", "Windows Registry Editor Version 5.00\r\n\"BitRate\"=dword:1\r\n", 2},
        Malformed{"UnclosedKey", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X\r\n", 3},
        Malformed{"BadHexByte", "Windows Registry Editor Version 5.00\r\n\r\n" KEY "\"Blob\"=hex:01,0g\r\n", 4},
        Malformed{"CutInAQuote", "Windows Registry Editor Version 5.00\r\n\r\n" KEY "\"Mpeg\"=\"dec", 4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
