// Files under \SystemRoot\System32\drivers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "pf/host/files.hpp"
#include "pf/host/handles.hpp"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("pf-files-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Sub");
    std::ofstream(dir / "Decoder.UX", std::ios::binary) << "C3UX0123456789";
    std::ofstream(dir / "Sub" / "inner.bin", std::ios::binary) << "xy";
    pf::files::setDriversFolder(dir);
  }
  void TearDown() override {
    pf::files::clearDriversFolder();
    fs::remove_all(dir);
  }
  NTSTATUS open(const wchar_t* path, HANDLE* handle, IO_STATUS_BLOCK* iosb,
                ACCESS_MASK access = GENERIC_READ) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwCreateFile(handle, access, &attributes, iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }
  fs::path dir;
};

TEST_F(FilesTest, NamesResolveWithoutRegardToCase) {
  struct Case {
    const wchar_t* path;
    NTSTATUS status;
  } cases[] = {
      {L"\\systemroot\\SYSTEM32\\DRIVERS\\decoder.ux", STATUS_SUCCESS},
      {L"\\SystemRoot\\System32\\drivers\\DECODER.ux", STATUS_SUCCESS},
      {L"\\SystemRoot\\System32\\drivers\\sub\\INNER.bin", STATUS_SUCCESS},
      {L"\\SystemRoot\\System32\\drivers\\enc2pal.ux", STATUS_OBJECT_NAME_NOT_FOUND},
      {L"\\SystemRoot\\System32\\drivers\\none\\enc2pal.ux", STATUS_OBJECT_PATH_NOT_FOUND},
      {L"\\SystemRoot\\System32\\drivers\\..\\etc", STATUS_OBJECT_NAME_INVALID},
      {L"\\SystemRoot\\System32\\decoder.ux", STATUS_OBJECT_PATH_NOT_FOUND},
      {L"\\SystemRoot\\System32\\drivers\\Sub", STATUS_FILE_IS_A_DIRECTORY},
  };
  for (const Case& c : cases) {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 99;
    EXPECT_EQ(open(c.path, &handle, &iosb), c.status) << fs::path(c.path).string();
    EXPECT_EQ(iosb.Status, c.status);
    EXPECT_EQ(iosb.Information, c.status == STATUS_SUCCESS ? ULONG_PTR(FILE_OPENED) : 0u);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
  }
  EXPECT_EQ(pf::handles::openCount("file"), 0u);
}

TEST_F(FilesTest, ReadsFromThePositionOrTheGivenOffsetUntilTheEnd) {
  HANDLE handle;
  IO_STATUS_BLOCK iosb;
  ASSERT_EQ(open(L"\\SystemRoot\\System32\\drivers\\decoder.ux", &handle, &iosb), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION info;
  ASSERT_EQ(ZwQueryInformationFile(handle, &iosb, &info, sizeof info, FileStandardInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 14);
  EXPECT_EQ(ZwQueryInformationFile(handle, &iosb, &info, 8, FileStandardInformation),
            STATUS_INFO_LENGTH_MISMATCH);

  char buffer[32] = {};
  ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(std::string(buffer, 4), "C3UX");
  ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, nullptr,
                       nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 10u);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr),
            STATUS_END_OF_FILE);
  EXPECT_EQ(iosb.Information, 0u);
  LARGE_INTEGER offset;
  offset.QuadPart = 12;
  ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 4, &offset, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, iosb.Information), "89");
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr),
            STATUS_INVALID_HANDLE);
}

TEST_F(FilesTest, OnlyReadingAnExistingFileIsOffered) {
  HANDLE handle;
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(open(L"\\SystemRoot\\System32\\drivers\\decoder.ux", &handle, &iosb, GENERIC_WRITE),
            STATUS_ACCESS_DENIED);
  pf::files::clearDriversFolder();
  EXPECT_EQ(open(L"\\SystemRoot\\System32\\drivers\\decoder.ux", &handle, &iosb),
            STATUS_OBJECT_PATH_NOT_FOUND);
}

}  // namespace
