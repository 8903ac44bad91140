// Files under \SystemRoot\System32\drivers, read from a host folder.
//
// Paths are resolved as on Windows: the prefix and every name compare
// without regard to case. Only existing files are opened, for reading.
#include "pf/host/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "../ex/internal.hpp"
#include "pf/host/verifier.hpp"

namespace pf::files {
namespace {

std::mutex gMutex;
std::optional<std::filesystem::path> gFolder;

const char* const kPrefix = "\\systemroot\\system32\\drivers\\";

struct FileObject : pf::detail::HandleObject {
  int fd = -1;
  std::string name;
  std::mutex mutex;  // guards position
  std::int64_t position = 0;
  bool canRead = false;
  ~FileObject() override {
    if (fd >= 0) ::close(fd);
  }
  const char* kind() const override { return "file"; }
  std::string describe() const override { return name; }
};

// The host path of a platform path; the status when it cannot be found.
NTSTATUS resolve(const std::string& path, std::filesystem::path* out) {
  std::optional<std::filesystem::path> folder;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    folder = gFolder;
  }
  const std::string prefix = kPrefix;
  if (!folder || path.size() <= prefix.size() ||
      !pf::detail::equalsNoCase(path.substr(0, prefix.size()), prefix))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  std::vector<std::string> names;
  std::string rest = path.substr(prefix.size());
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    names.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  std::filesystem::path current = *folder;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
      return STATUS_OBJECT_NAME_INVALID;
    std::error_code ec;
    std::filesystem::path found;
    for (auto& entry : std::filesystem::directory_iterator(current, ec)) {
      if (pf::detail::equalsNoCase(entry.path().filename().string(), name)) {
        found = entry.path();
        break;
      }
    }
    if (found.empty()) return i + 1 == names.size() ? STATUS_OBJECT_NAME_NOT_FOUND
                                                    : STATUS_OBJECT_PATH_NOT_FOUND;
    current = found;
  }
  *out = current;
  return STATUS_SUCCESS;
}

NTSTATUS fileOf(HANDLE handle, std::shared_ptr<FileObject>* file) {
  auto object = pf::detail::lookupHandle(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  *file = std::dynamic_pointer_cast<FileObject>(object);
  return *file ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

}  // namespace

void setDriversFolder(const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> lock(gMutex);
  gFolder = folder;
}

std::optional<std::filesystem::path> driversFolder() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gFolder;
}

void clearDriversFolder() {
  std::lock_guard<std::mutex> lock(gMutex);
  gFolder.reset();
}

}  // namespace pf::files

using namespace pf::files;
using pf::bugcheck;
using pf::detail::requireIrqlAtMost;

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition, ULONG,
                            PVOID, ULONG) {
  requireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
  if (!FileHandle || !ObjectAttributes || !IoStatusBlock)
    bugcheck("ZwCreateFile without a handle, object attributes or status block");
  auto finish = [&](NTSTATUS status, ULONG_PTR information) {
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = information;
    return status;
  };
  if (!ObjectAttributes->ObjectName || ObjectAttributes->RootDirectory)
    return finish(STATUS_OBJECT_NAME_INVALID, 0);
  if (CreateDisposition != FILE_OPEN) return finish(STATUS_NOT_SUPPORTED, 0);
  if (DesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA))
    return finish(STATUS_ACCESS_DENIED, 0);

  std::filesystem::path hostPath;
  NTSTATUS status = resolve(pf::detail::toUtf8(ObjectAttributes->ObjectName), &hostPath);
  if (!NT_SUCCESS(status)) return finish(status, 0);
  std::error_code ec;
  if (std::filesystem::is_directory(hostPath, ec)) return finish(STATUS_FILE_IS_A_DIRECTORY, 0);
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return finish(STATUS_ACCESS_DENIED, 0);
  auto file = std::make_shared<FileObject>();
  file->fd = fd;
  file->name = hostPath.string();
  file->canRead = (DesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  *FileHandle = pf::detail::insertHandle(file);
  return finish(STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass) {
  requireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile");
  if (!IoStatusBlock || (Length && !FileInformation))
    bugcheck("ZwQueryInformationFile without a status block or buffer");
  std::shared_ptr<FileObject> file;
  NTSTATUS status = fileOf(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  auto finish = [&](NTSTATUS s, ULONG_PTR information) {
    IoStatusBlock->Status = s;
    IoStatusBlock->Information = information;
    return s;
  };
  if (FileInformationClass == FileStandardInformation) {
    if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    struct stat st;
    if (fstat(file->fd, &st) != 0) return finish(STATUS_UNSUCCESSFUL, 0);
    auto* info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
    RtlZeroMemory(info, sizeof *info);
    info->EndOfFile.QuadPart = st.st_size;
    info->AllocationSize.QuadPart = (st.st_size + 4095) / 4096 * 4096;
    info->NumberOfLinks = 1;
    return finish(STATUS_SUCCESS, sizeof *info);
  }
  if (FileInformationClass == FilePositionInformation) {
    if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    std::lock_guard<std::mutex> lock(file->mutex);
    static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart =
        file->position;
    return finish(STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
  }
  return STATUS_INVALID_INFO_CLASS;
}

// Reads from ByteOffset, or from the current position when it is null (or
// FILE_USE_FILE_POINTER_POSITION); the position moves past what was read.
NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, PULONG) {
  requireIrqlAtMost(PASSIVE_LEVEL, "ZwReadFile");
  if (!IoStatusBlock || (Length && !Buffer)) bugcheck("ZwReadFile without a status block or buffer");
  std::shared_ptr<FileObject> file;
  NTSTATUS status = fileOf(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  auto finish = [&](NTSTATUS s, ULONG_PTR information) {
    IoStatusBlock->Status = s;
    IoStatusBlock->Information = information;
    return s;
  };
  if (!file->canRead) return finish(STATUS_ACCESS_DENIED, 0);
  std::lock_guard<std::mutex> lock(file->mutex);
  std::int64_t offset = file->position;
  if (ByteOffset && !(ByteOffset->u.HighPart == -1 &&
                      ByteOffset->u.LowPart == (ULONG)FILE_USE_FILE_POINTER_POSITION)) {
    if (ByteOffset->QuadPart < 0) return finish(STATUS_INVALID_PARAMETER, 0);
    offset = ByteOffset->QuadPart;
  }
  struct stat st;
  if (fstat(file->fd, &st) != 0) return finish(STATUS_UNSUCCESSFUL, 0);
  if (offset >= st.st_size) return finish(STATUS_END_OF_FILE, 0);
  std::size_t done = 0;
  while (done < Length) {
    ssize_t n = ::pread(file->fd, static_cast<char*>(Buffer) + done, Length - done, offset + done);
    if (n < 0) return finish(STATUS_UNSUCCESSFUL, 0);
    if (n == 0) break;
    done += std::size_t(n);
  }
  file->position = offset + std::int64_t(done);
  return finish(STATUS_SUCCESS, done);
}

}  // extern "C"
