// The registry: the device's driver key, the size-query semantics of
// ZwQueryValueKey, the .reg file and its atomic rewrite.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "pf/host/handles.hpp"
#include "pf/host/registry.hpp"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::registry::reset();
    dir = fs::temp_directory_path() /
          ("pf-registry-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    keyPath = pf::registry::driverKeyPath(0);
    pf::registry::bindDriverKey(&pdo, keyPath);
  }
  void TearDown() override {
    pf::registry::reset();
    fs::remove_all(dir);
  }
  HANDLE open(ACCESS_MASK access) {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, access, &key), STATUS_SUCCESS);
    return key;
  }
  static UNICODE_STRING name(const wchar_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
  }
  NTSTATUS setDword(HANDLE key, const wchar_t* valueName, ULONG value) {
    UNICODE_STRING n = name(valueName);
    return ZwSetValueKey(key, &n, 0, REG_DWORD, &value, sizeof value);
  }

  DEVICE_OBJECT pdo{};
  fs::path dir;
  std::string keyPath;
};

TEST_F(RegistryTest, DriverKeyIsTheMediaClassInstance) {
  EXPECT_EQ(keyPath,
            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
            "{4D36E96C-E325-11CE-BFC1-08002BE10318}\\0000");
  DEVICE_OBJECT stranger{};
  HANDLE key;
  EXPECT_EQ(IoOpenDeviceRegistryKey(&stranger, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, PartialInformationQueryFollowsThePlatformSizes) {
  HANDLE key = open(KEY_ALL_ACCESS);
  ASSERT_EQ(setDword(key, L"BitRate", 4200000), STATUS_SUCCESS);
  UNICODE_STRING n = name(L"BitRate");
  const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ASSERT_EQ(header, 12u);
  struct Case {
    ULONG length;
    NTSTATUS status;
    bool headerFilled;
  } cases[] = {
      {0, STATUS_BUFFER_TOO_SMALL, false},
      {header - 1, STATUS_BUFFER_TOO_SMALL, false},
      {header, STATUS_BUFFER_OVERFLOW, true},
      {header + 3, STATUS_BUFFER_OVERFLOW, true},
      {header + 4, STATUS_SUCCESS, true},
      {64, STATUS_SUCCESS, true},
  };
  for (const Case& c : cases) {
    alignas(8) unsigned char buffer[64];
    std::memset(buffer, 0xAA, sizeof buffer);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &n, KeyValuePartialInformation, c.length ? buffer : nullptr,
                              c.length, &result),
              c.status)
        << "length " << c.length;
    EXPECT_EQ(result, header + 4) << "length " << c.length;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (c.headerFilled) {
      EXPECT_EQ(info->Type, ULONG(REG_DWORD));
      EXPECT_EQ(info->DataLength, 4u);
    } else {
      EXPECT_EQ(buffer[0], 0xAA);
    }
    if (c.status == STATUS_SUCCESS) {
      ULONG value;
      std::memcpy(&value, info->Data, 4);
      EXPECT_EQ(value, 4200000u);
      EXPECT_EQ(buffer[header + 4], 0xAA) << "wrote past the data";
    }
  }
  ULONG result = 0;
  UNICODE_STRING missing = name(L"Missing");
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, ValueNamesIgnoreCaseAndStringsKeepTheirTerminator) {
  pf::registry::setString(keyPath, "MpegDecoderMicrocode", "decoder.ux");
  HANDLE key = open(KEY_READ);
  UNICODE_STRING n = name(L"MPEGDECODERMICROCODE");
  ULONG needed = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &n, KeyValuePartialInformation, nullptr, 0, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 12 + 11 * sizeof(WCHAR));
  std::vector<unsigned char> buffer(needed);
  ASSERT_EQ(ZwQueryValueKey(key, &n, KeyValuePartialInformation, buffer.data(), needed, &needed),
            STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
  EXPECT_EQ(info->Type, ULONG(REG_SZ));
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(info->Data)), L"decoder.ux");
  ZwClose(key);
}

TEST_F(RegistryTest, HandlesAndAccessAreChecked) {
  HANDLE reader = open(KEY_READ);
  EXPECT_EQ(setDword(reader, L"Hue", 1), STATUS_ACCESS_DENIED);
  HANDLE writer = open(KEY_WRITE);
  EXPECT_EQ(setDword(writer, L"Hue", 1), STATUS_SUCCESS);
  UNICODE_STRING n = name(L"Hue");
  ULONG result;
  EXPECT_EQ(ZwQueryValueKey(writer, &n, KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(pf::handles::openCount("key"), 2u);
  EXPECT_EQ(ZwClose(reader), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(writer), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(writer), STATUS_INVALID_HANDLE);
  EXPECT_EQ(setDword(writer, L"Hue", 2), STATUS_INVALID_HANDLE);
  EXPECT_EQ(pf::handles::openCount("key"), 0u);
}

TEST_F(RegistryTest, FileRoundTripsEveryKindOfValue) {
  const fs::path file = dir / "settings.reg";
  pf::registry::open(file);
  HANDLE key = open(KEY_WRITE);
  ASSERT_EQ(setDword(key, L"BitRate", 0x2a), STATUS_SUCCESS);
  ZwClose(key);
  pf::registry::setString(keyPath, "Path", "C:\\a \"b\"");
  pf::registry::setBinary(keyPath, "Blob", std::vector<std::uint8_t>(40, 0x5c));
  pf::registry::setString(pf::registry::driverKeyPath(1), "", "default");

  const std::string text = readFile(file);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\", 0), 0u);
  EXPECT_NE(text.find("[" + keyPath + "]\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"BitRate\"=dword:0000002a\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Path\"=\"C:\\\\a \\\"b\\\"\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Blob\"=hex:5c,5c,"), std::string::npos);
  EXPECT_NE(text.find(",\\\r\n  5c"), std::string::npos) << "long hex data is wrapped";
  EXPECT_NE(text.find("@=\"default\""), std::string::npos);

  pf::registry::reset();
  pf::registry::open(file);
  EXPECT_EQ(pf::registry::dword(keyPath, "bitrate"), 0x2au);
  EXPECT_EQ(pf::registry::string(keyPath, "PATH"), "C:\\a \"b\"");
  EXPECT_EQ(pf::registry::value(keyPath, "Blob")->data, std::vector<std::uint8_t>(40, 0x5c));
  EXPECT_EQ(pf::registry::string(pf::registry::driverKeyPath(1), ""), "default");
  EXPECT_EQ(pf::registry::serialize(), text);
}

TEST_F(RegistryTest, ImportsWhatTheRegistryEditorWrites) {
  const fs::path file = dir / "import.reg";
  writeFile(file,
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
            "; a comment\r\n[" + keyPath + "]\r\n"
            "\"Contrast\"=dword:44\r\n"
            "\"Odd\"=hex(4):01,02\r\n"
            "\"Gone\"=dword:1\r\n"
            "\"Gone\"=-\r\n"
            "\"Long\"=hex:01,02,\\\r\n  03\r\n");
  pf::registry::open(file);
  EXPECT_EQ(pf::registry::dword(keyPath, "Contrast"), 0x44u);
  EXPECT_EQ(pf::registry::value(keyPath, "Odd")->type, ULONG(REG_DWORD));
  EXPECT_EQ(pf::registry::value(keyPath, "Odd")->data.size(), 2u);
  EXPECT_FALSE(pf::registry::value(keyPath, "Gone"));
  EXPECT_EQ(pf::registry::value(keyPath, "Long")->data, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(RegistryTest, MalformedFileNamesTheFileAndLineAndChangesNothing) {
  pf::registry::setDword(keyPath, "Kept", 1);
  const std::string head = "Windows Registry Editor Version 5.00\n\n[" + keyPath + "]\n";
  struct Case {
    std::string text;
    int line;
    std::string reason;
  } cases[] = {
      {"REGEDIT5\n", 1, "expected the first line"},
      {"Windows Registry Editor Version 5.00\n\"A\"=dword:1\n", 2, "value outside a key"},
      {head + "\"A\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {head + "\"A\"=dword:xyz\n", 4, "bad hex digit"},
      {head + "\"A\"=\"open\n", 4, "missing closing quote"},
      {head + "\"A\"=hex:01,zz\n", 4, "bad hex byte"},
      {head + "\"A\"=hex:01,\\\n  02,\\\n  0g\n", 6, "bad hex byte"},
      {head + "[" + keyPath + "\n", 4, "closing ']'"},
      {head + "\"A\"=qword:1\n", 4, "unknown value type"},
      {head + "\"A\\n\"=dword:1\n", 4, "unknown escape"},
  };
  for (const Case& c : cases) {
    const fs::path file = dir / "bad.reg";
    writeFile(file, c.text);
    try {
      pf::registry::open(file);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const pf::registry::FileError& e) {
      EXPECT_EQ(e.file(), file.string());
      EXPECT_EQ(e.line(), c.line) << c.text;
      EXPECT_NE(std::string(e.what()).find(file.string() + ":" + std::to_string(c.line) + ": "),
                std::string::npos);
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
    EXPECT_EQ(readFile(file), c.text) << "the malformed file was rewritten";
    EXPECT_EQ(pf::registry::dword(keyPath, "Kept"), 1u);
  }
}

TEST_F(RegistryTest, EverySetRewritesTheFileThroughATemporaryOne) {
  const fs::path file = dir / "settings.reg";
  pf::registry::open(file);
  HANDLE key = open(KEY_WRITE);
  for (ULONG v : {1u, 2u, 3u}) {
    ASSERT_EQ(setDword(key, L"Hue", v), STATUS_SUCCESS);
    pf::registry::reset();
    pf::registry::open(file);
    pf::registry::bindDriverKey(&pdo, keyPath);
    EXPECT_EQ(pf::registry::dword(keyPath, "Hue"), v);
  }
  EXPECT_FALSE(fs::exists(dir / "settings.reg.tmp"));
  // A write that cannot reach the file fails and leaves the old value.
  fs::create_directory(dir / "settings.reg.tmp");
  fs::create_directory(dir / "settings.reg.tmp" / "x");
  EXPECT_EQ(setDword(key, L"Hue", 9), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pf::registry::dword(keyPath, "Hue"), 3u);
  EXPECT_NE(readFile(file).find("\"Hue\"=dword:00000003"), std::string::npos);
  ZwClose(key);
}

}  // namespace
