// Run-time library: memory comparison, counted strings and the text
// helpers shared by the platform.
#include <cwchar>
#include <cstring>

#include "../ex/internal.hpp"

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  // Counted strings hold at most 0xFFFE bytes; longer text is cut there.
  size_t bytes = std::wcslen(SourceString) * sizeof(WCHAR);
  const size_t maxBytes = (0xFFFE / sizeof(WCHAR)) * sizeof(WCHAR);
  if (bytes > maxBytes - sizeof(WCHAR)) bytes = maxBytes - sizeof(WCHAR);
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = std::strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + 1);
}

}  // extern "C"

namespace pf::detail {

std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && lowerAscii(a) == lowerAscii(b);
}

std::string toUtf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring fromUtf8(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c;
    size_t extra;
    if (b < 0x80) { c = b; extra = 0; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
    else { out += wchar_t(0xFFFD); ++i; continue; }
    if (extra && i + extra >= text.size()) {
      out += wchar_t(0xFFFD);
      break;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      auto n = static_cast<unsigned char>(text[i + k]);
      if ((n & 0xC0) != 0x80) { ok = false; break; }
      c = (c << 6) | (n & 0x3F);
    }
    if (!ok) { out += wchar_t(0xFFFD); ++i; continue; }
    out += wchar_t(c);
    i += extra + 1;
  }
  return out;
}

std::string toUtf8(PCUNICODE_STRING text) {
  if (!text || !text->Buffer) return "";
  return toUtf8(std::wstring(text->Buffer, text->Length / sizeof(WCHAR)));
}

}  // namespace pf::detail
