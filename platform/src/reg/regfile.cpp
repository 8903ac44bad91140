// The .reg text form of the registry store, as the registry editor writes
// and imports it.
#include <cstdio>
#include <cstring>

#include "store.hpp"

namespace pf::registry::detail {
namespace {

const char* const kHeader = "Windows Registry Editor Version 5.00";
const char* const kOldHeader = "REGEDIT4";
const char* const kEol = "\r\n";

std::string quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The text of a REG_SZ value when its data is a plain WCHAR string with
// one terminator and no line breaks; false otherwise (written as hex then).
bool plainString(const std::vector<std::uint8_t>& data, std::string* text) {
  if (data.size() < sizeof(WCHAR) || data.size() % sizeof(WCHAR)) return false;
  std::wstring chars(data.size() / sizeof(WCHAR), L'\0');
  std::memcpy(&chars[0], data.data(), data.size());
  if (chars.back() != L'\0') return false;
  chars.pop_back();
  for (wchar_t c : chars)
    if (c == L'\0' || c == L'\r' || c == L'\n') return false;
  *text = pf::detail::toUtf8(chars);
  return true;
}

std::string hexData(const std::string& prefix, const std::vector<std::uint8_t>& data) {
  std::string out = prefix;
  std::size_t lineLength = out.size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
    lineLength += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++lineLength;
      if (lineLength > 76) {
        out += "\\";
        out += kEol;
        out += "  ";
        lineLength = 2;
      }
    }
  }
  return out;
}

std::string valueLine(const NamedValue& named) {
  std::string line = named.name.empty() ? "@" : quote(named.name);
  line += '=';
  const Value& v = named.value;
  std::string text;
  if (v.type == REG_DWORD && v.data.size() == 4) {
    std::uint32_t n;
    std::memcpy(&n, v.data.data(), 4);
    char word[32];
    std::snprintf(word, sizeof word, "dword:%08x", n);
    return line + word;
  }
  if (v.type == REG_SZ && plainString(v.data, &text)) return line + quote(text);
  if (v.type == REG_BINARY) return line + hexData("hex:", v.data);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", (unsigned)v.type);
  return line + hexData(prefix, v.data);
}

struct Parser {
  const std::string& name;
  int line = 0;
  [[noreturn]] void fail(const std::string& reason) { throw FileError(name, line, reason); }
};

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  std::size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Reads a quoted string at text[pos] (pos at the opening quote); returns the
// position after the closing quote.
std::size_t readQuoted(Parser& p, const std::string& text, std::size_t pos, std::string* out) {
  out->clear();
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (i + 1 >= text.size()) break;
      char next = text[++i];
      if (next != '\\' && next != '"') p.fail(std::string("unknown escape \\") + next);
      *out += next;
      continue;
    }
    *out += c;
  }
  p.fail("missing closing quote");
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void parseHexBytes(Parser& p, const std::string& text, std::vector<std::uint8_t>* out) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t comma = text.find(',', i);
    std::string token = trim(text.substr(i, comma == std::string::npos ? std::string::npos : comma - i));
    if (token.empty() || token.size() > 2 || hexDigit(token[0]) < 0 ||
        (token.size() == 2 && hexDigit(token[1]) < 0))
      p.fail("bad hex byte '" + token + "'");
    int v = hexDigit(token[0]);
    if (token.size() == 2) v = v * 16 + hexDigit(token[1]);
    out->push_back(std::uint8_t(v));
    if (comma == std::string::npos) break;
    i = comma + 1;
    if (i == text.size()) p.fail("hex data ends with a comma");
  }
}

// UTF-16LE file text (with its byte-order mark) as UTF-8.
std::string fromUtf16(const std::string& bytes) {
  std::wstring text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    std::uint32_t u = std::uint8_t(bytes[i]) | (std::uint8_t(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      std::uint32_t low = std::uint8_t(bytes[i + 2]) | (std::uint8_t(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text += wchar_t(u);
  }
  return pf::detail::toUtf8(text);
}

}  // namespace

std::string serializeKeys(const Keys& keys) {
  std::string out = kHeader;
  out += kEol;
  for (auto& entry : keys) {
    out += kEol;
    out += "[" + entry.second.path + "]" + kEol;
    for (auto& value : entry.second.values) out += valueLine(value.second) + kEol;
  }
  return out;
}

void parseKeys(const std::string& input, const std::string& name, Keys& keys) {
  std::string text = input;
  if (text.size() >= 2 && std::uint8_t(text[0]) == 0xFF && std::uint8_t(text[1]) == 0xFE)
    text = fromUtf16(text);
  else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text.erase(0, 3);

  Parser p{name};
  std::vector<std::string> lines;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }

  bool sawHeader = false;
  Key* current = nullptr;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    p.line = int(n + 1);
    std::string line = trim(lines[n]);
    if (!sawHeader) {
      if (line.empty()) continue;
      if (line != kHeader && line != kOldHeader)
        p.fail(std::string("expected the first line '") + kHeader + "'");
      sawHeader = true;
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') p.fail("key line without a closing ']'");
      std::string path = line.substr(1, line.size() - 2);
      bool remove = !path.empty() && path[0] == '-';
      if (remove) path.erase(0, 1);
      if (path.compare(0, 5, "HKEY_") != 0) p.fail("key path must begin with a root key (HKEY_...)");
      if (path.back() == '\\') p.fail("key path ends with a backslash");
      if (remove) {
        std::string prefix = pf::detail::lowerAscii(path) + "\\";
        for (auto it = keys.begin(); it != keys.end();) {
          std::string lower = pf::detail::lowerAscii(it->first);
          if (pf::detail::equalsNoCase(it->first, path) || lower.compare(0, prefix.size(), prefix) == 0)
            it = keys.erase(it);
          else
            ++it;
        }
        current = nullptr;
        continue;
      }
      Key& key = keys[path];
      if (key.path.empty()) key.path = path;
      current = &key;
      continue;
    }
    if (line[0] != '"' && line[0] != '@') p.fail("expected a key in [...] or a value line");
    if (!current) p.fail("value outside a key");
    std::string valueName;
    std::size_t pos = 1;
    if (line[0] == '"') pos = readQuoted(p, line, 0, &valueName);
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') p.fail("expected '=' after the value name");
    std::string data = trim(line.substr(pos + 1));

    if (data == "-") {
      current->values.erase(valueName);
      continue;
    }
    Value value;
    if (!data.empty() && data[0] == '"') {
      std::string str;
      std::size_t after = readQuoted(p, data, 0, &str);
      if (!trim(data.substr(after)).empty()) p.fail("text after the closing quote");
      std::wstring chars = pf::detail::fromUtf8(str);
      chars.push_back(L'\0');
      value.type = REG_SZ;
      value.data.resize(chars.size() * sizeof(WCHAR));
      std::memcpy(value.data.data(), chars.data(), value.data.size());
    } else if (data.compare(0, 6, "dword:") == 0) {
      std::string digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) p.fail("a dword needs 1 to 8 hex digits");
      std::uint32_t n = 0;
      for (char c : digits) {
        if (hexDigit(c) < 0) p.fail("bad hex digit in dword '" + digits + "'");
        n = n * 16 + std::uint32_t(hexDigit(c));
      }
      value.type = REG_DWORD;
      value.data.resize(4);
      std::memcpy(value.data.data(), &n, 4);
    } else if (data.compare(0, 3, "hex") == 0) {
      std::size_t colon = data.find(':');
      if (colon == std::string::npos) p.fail("expected ':' after hex");
      std::string kind = data.substr(3, colon - 3);
      value.type = REG_BINARY;
      if (!kind.empty()) {
        if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
          p.fail("bad hex type '" + kind + "'");
        std::uint32_t t = 0;
        for (char c : kind.substr(1, kind.size() - 2)) {
          if (hexDigit(c) < 0) p.fail("bad hex type '" + kind + "'");
          t = t * 16 + std::uint32_t(hexDigit(c));
        }
        value.type = t;
      }
      std::string bytes = trim(data.substr(colon + 1));
      // A trailing backslash continues the bytes on the next line.
      while (!bytes.empty() && bytes.back() == '\\') {
        bytes.pop_back();
        if (n + 1 >= lines.size()) p.fail("hex data continues past the end of the file");
        p.line = int(++n + 1);
        bytes += trim(lines[n]);
      }
      if (!bytes.empty()) parseHexBytes(p, bytes, &value.data);
    } else {
      p.fail("unknown value type in '" + data.substr(0, 16) + "'");
    }
    NamedValue& named = current->values[valueName];
    if (named.name.empty()) named.name = valueName;
    named.value = std::move(value);
  }
  if (!sawHeader) {
    p.line = 1;
    p.fail(std::string("expected the first line '") + kHeader + "'");
  }
}

}  // namespace pf::registry::detail
