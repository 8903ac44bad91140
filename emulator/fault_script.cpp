#include "emulator/fault_script.hpp"

#include <sstream>

#include "emulator/protocol.hpp"

namespace emu {

const BulkFault* FaultScript::bulkFault(std::uint8_t endpoint, unsigned n) const {
  for (const auto& f : bulk) {
    if (f.endpoint != endpoint) continue;
    const unsigned span = f.kind == BulkFaultKind::Zero ? f.count : 1;
    if (n >= f.nth && n < f.nth + span) return &f;
  }
  return nullptr;
}

std::optional<pf::usb::UsbdStatus> FaultScript::controlFault(std::uint8_t code, unsigned n) const {
  for (const auto& f : control)
    if (f.code == code && (f.nth == 0 || f.nth == n)) return f.status;
  return std::nullopt;
}

namespace {

bool number(const std::string& s, int base, unsigned long& out) {
  if (s.empty()) return false;
  std::size_t used = 0;
  try {
    out = std::stoul(s, &used, base);
  } catch (...) {
    return false;
  }
  return used == s.size();
}

bool parseItem(const std::string& item, FaultScript& script) {
  unsigned long a = 0, b = 0;
  const auto eq = item.find('=');
  const std::string key = item.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);

  if (key == "slow-control" || key == "slow-bulk") {
    if (!number(value, 10, a)) return false;
    (key == "slow-control" ? script.slowControlMs : script.slowBulkMs) = unsigned(a);
    return true;
  }
  if (eq == std::string::npos && item.rfind("unplug@", 0) == 0) {
    if (!number(item.substr(7), 10, a)) return false;
    script.unplugAfterMs = unsigned(a);
    return true;
  }
  if (eq == std::string::npos && item.rfind("unplug#", 0) == 0) {
    if (!number(item.substr(7), 10, a) || a == 0) return false;
    script.unplugAtTransfer = unsigned(a);
    return true;
  }
  if (key.rfind("cmd:", 0) == 0) {
    ControlFault f;
    const std::string which = key.substr(4);
    const auto hash = which.find('#');
    if (!number(which.substr(0, hash), 16, a) || a > 0xFF) return false;
    f.code = std::uint8_t(a);
    if (hash != std::string::npos) {
      if (!number(which.substr(hash + 1), 10, b) || b == 0) return false;
      f.nth = unsigned(b);
    }
    if (value != "stall") {
      if (!number(value, 16, a)) return false;
      f.status = pf::usb::UsbdStatus(a);
    }
    script.control.push_back(f);
    return true;
  }
  if (key.rfind("in#", 0) == 0 || key.rfind("out#", 0) == 0) {
    BulkFault f;
    const bool in = key[0] == 'i';
    f.endpoint = in ? proto::kEndpointIn : proto::kEndpointOut;
    if (!number(key.substr(in ? 3 : 4), 10, a) || a == 0) return false;
    f.nth = unsigned(a);
    if (value == "stall") {
      f.kind = BulkFaultKind::Stall;
    } else if (value == "noresponse") {
      f.kind = BulkFaultKind::NoResponse;
    } else if (value == "gone") {
      f.kind = BulkFaultKind::Gone;
    } else if (value.rfind("zero", 0) == 0) {
      f.kind = BulkFaultKind::Zero;
      if (value.size() > 4) {
        if (value[4] != 'x' || !number(value.substr(5), 10, b) || b == 0) return false;
        f.count = unsigned(b);
      }
    } else {
      f.kind = BulkFaultKind::Status;
      const auto slash = value.find('/');
      if (!number(value.substr(0, slash), 16, a)) return false;
      f.status = pf::usb::UsbdStatus(a);
      if (slash != std::string::npos) {
        if (!number(value.substr(slash + 1), 10, b)) return false;
        f.bytes = b;
      }
    }
    script.bulk.push_back(f);
    return true;
  }
  return false;
}

}  // namespace

std::optional<FaultScript> parseFaultScript(const std::string& text, std::string* why) {
  FaultScript script;
  std::string item;
  std::string normalised = text;
  for (auto& c : normalised)
    if (c == ',') c = ';';
  std::istringstream in(normalised);
  while (std::getline(in, item, ';')) {
    if (item.empty()) continue;
    if (!parseItem(item, script)) {
      *why = "fault script: cannot read \"" + item + "\"";
      return std::nullopt;
    }
  }
  return script;
}

}  // namespace emu
