// Serial port enumeration on Windows, over win32::EnumerationApi.
//
// Every buffer handed to the system is zero-filled and has a fixed size; a
// string the system leaves without a terminator is read up to the end of
// its buffer and no further. Device-information sets and registry keys are
// owned by guards, so each is released on every path.

#include "listing/windows/list_ports_windows.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <set>
#include <span>
#include <utility>

namespace corvalink::ports {

using namespace win32;

namespace {

// --- text ---

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Whether s[pos] starts a character (or is the end of s).
bool at_boundary(std::string_view s, std::size_t pos) { return pos >= s.size() || !is_continuation(s[pos]); }

// The code point starting at s[pos] and its length in bytes; a length of 0
// for an invalid or truncated sequence.
std::pair<char32_t, std::size_t> next_code_point(std::string_view s, std::size_t pos) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[pos + k]); };
  unsigned char c = b(0);
  if (c < 0x80) return {c, 1};
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return {0, 0};
  }
  if (s.size() - pos < len) return {0, 0};
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return {0, 0};
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
  return {cp, len};
}

struct CodeRange {
  char32_t first;
  char32_t last;
};

constexpr CodeRange kAlphanumeric[] = {
#include "listing/windows/unicode_alnum_table.inc"
};

static_assert(std::ranges::is_sorted(kAlphanumeric, {}, &CodeRange::first));

bool is_alphanumeric(char32_t c) {
  auto it = std::ranges::upper_bound(kAlphanumeric, c, {}, &CodeRange::first);
  return it != std::begin(kAlphanumeric) && c <= std::prev(it)->last;
}

template <class T>
std::optional<T> parse_unsigned(std::string_view text, unsigned base) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  T value = 0;
  for (char ch : text) {
    unsigned digit;
    if (ch >= '0' && ch <= '9') {
      digit = static_cast<unsigned>(ch - '0');
    } else if (ch >= 'A' && ch <= 'F') {
      digit = static_cast<unsigned>(ch - 'A' + 10);
    } else if (ch >= 'a' && ch <= 'f') {
      digit = static_cast<unsigned>(ch - 'a' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    if (value > (std::numeric_limits<T>::max() - digit) / base) return std::nullopt;
    value = static_cast<T>(value * base + digit);
  }
  return value;
}

// --- handles ---

class DeviceSet {
 public:
  DeviceSet(EnumerationApi& api, DevInfoSet set) : api_(api), set_(set) {}
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  ~DeviceSet() {
    if (set_ != kInvalidSet) api_.destroy_device_info_list(set_);
  }
  DevInfoSet get() const { return set_; }
  bool valid() const { return set_ != kInvalidSet; }

 private:
  EnumerationApi& api_;
  DevInfoSet set_;
};

class RegistryKey {
 public:
  explicit RegistryKey(EnumerationApi& api) : api_(api) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() { close(); }
  // Takes ownership of an opened key (kInvalidKey: none).
  void reset(Hkey key) {
    close();
    key_ = key;
  }
  Hkey get() const { return key_; }
  bool valid() const { return key_ != kInvalidKey; }

 private:
  void close() {
    if (key_ != kInvalidKey) api_.reg_close_key(std::exchange(key_, kInvalidKey));
  }
  EnumerationApi& api_;
  Hkey key_ = kInvalidKey;
};

// --- reading one device ---

constexpr std::uint32_t kDevInfoDataSize = 32;
constexpr std::size_t kStringUnits = 260;  // the 520-byte buffers
constexpr std::uint32_t kStringBytes = kStringUnits * 2;
constexpr std::size_t kInstanceIdUnits = 199;
constexpr std::uint32_t kDeviceIdUnits = 259;
// More GUIDs than any class name has; a larger count is not believed.
constexpr std::uint32_t kMaxClassGuids = 4096;

using StringBuffer = std::array<char16_t, kStringUnits>;

std::uint8_t* bytes_of(StringBuffer& buffer) { return reinterpret_cast<std::uint8_t*>(buffer.data()); }

std::string decode_all(const StringBuffer& buffer) { return decode_utf16({buffer.data(), buffer.size()}); }

struct Device {
  EnumerationApi& api;
  DevInfoSet set;
  DevInfoData data;
};

std::string read_port_name(Device& dev) {
  RegistryKey key(dev.api);
  key.reset(dev.api.open_dev_reg_key(dev.set, &dev.data, kDicsFlagGlobal, 0, kDiregDev, kKeyRead));
  if (!key.valid()) return {};
  StringBuffer buffer{};
  std::uint32_t type = 0;
  std::uint32_t size = kStringBytes;
  std::int32_t rc = dev.api.reg_query_value(key.get(), u"PortName", &type, bytes_of(buffer), &size);
  if (rc != kErrorSuccess || type != kRegSz || size > kStringBytes || size % 2 != 0) return {};
  return decode_all(buffer);
}

// A REG_SZ device property, the last ';'-separated piece of it.
std::optional<std::string> read_string_property(Device& dev, std::uint32_t property) {
  StringBuffer buffer{};
  std::uint32_t type = 0;
  if (!dev.api.get_device_registry_property(dev.set, &dev.data, property, &type, bytes_of(buffer), kStringBytes,
                                            nullptr) ||
      type != kRegSz)
    return std::nullopt;
  std::string text = decode_all(buffer);
  std::size_t semicolon = text.rfind(';');
  if (semicolon != std::string::npos) text.erase(0, semicolon + 1);
  return text;
}

std::optional<std::string> read_instance_id(Device& dev) {
  std::array<char16_t, kInstanceIdUnits> buffer{};
  std::uint32_t required = 0;
  if (dev.api.get_device_instance_id(dev.set, &dev.data, buffer.data(), kInstanceIdUnits, &required)) {
    return decode_utf16({buffer.data(), std::min<std::size_t>(required, kInstanceIdUnits)});
  }
  return read_string_property(dev, kSpdrpHardwareId);
}

std::optional<std::string> read_parent_id(Device& dev) {
  DevInst parent = 0;
  if (dev.api.get_parent(&parent, dev.data.dev_inst, 0) != kCrSuccess) return std::nullopt;
  StringBuffer buffer{};
  if (dev.api.get_device_id(parent, buffer.data(), kDeviceIdUnits, 0) != kCrSuccess) return std::nullopt;
  return decode_all(buffer);
}

std::optional<UsbLocation> read_location(Device& dev) {
  StringBuffer buffer{};
  std::uint32_t type = 0;
  if (!dev.api.get_device_registry_property(dev.set, &dev.data, kSpdrpLocationPaths, &type, bytes_of(buffer),
                                            kStringBytes, nullptr) ||
      type != kRegMultiSz)
    return std::nullopt;
  return parse_location_paths({buffer.data(), buffer.size()});
}

std::optional<UsbDetails> read_usb_details(Device& dev, std::string_view instance_id) {
  std::optional<std::string> parent_id = read_parent_id(dev);
  std::optional<HardwareIdMatch> match = scan_instance_id(instance_id);
  if (!match) return std::nullopt;
  // One function of a composite device: the parent (the device itself)
  // carries the ids and the serial number.
  if (match->interface && parse_hex_u8(*match->interface)) {
    if (!parent_id) return std::nullopt;
    match = scan_instance_id(*parent_id);
    if (!match) return std::nullopt;
  }
  std::optional<std::uint16_t> vid = parse_hex_u16(match->vid);
  std::optional<std::uint16_t> pid = parse_hex_u16(match->pid);
  if (!vid || !pid) return std::nullopt;
  UsbDetails usb;
  usb.vid = *vid;
  usb.pid = *pid;
  usb.serial_number = std::move(match->serial);
  usb.manufacturer = read_string_property(dev, kSpdrpMfg);
  usb.product = read_string_property(dev, kSpdrpFriendlyName);
  usb.location = read_location(dev);
  return usb;
}

// --- the walk ---

// Appends the GUIDs of one class name (at most two calls); false when the
// system cannot say how many there are.
bool collect_class_guids(EnumerationApi& api, const char16_t* class_name, std::vector<Guid>& guids) {
  const std::size_t base = guids.size();
  guids.resize(base + 1);
  std::uint32_t required = 0;
  std::uint32_t rc = api.class_guids_from_name(class_name, guids.data() + base, 1, &required);
  // A room too small is reported as a failure that still gives the count.
  if (rc != 0 && !(rc == kErrorInsufficientBuffer && required > 1)) {
    guids.resize(base);
    return false;
  }
  if (required <= 1) {
    guids.resize(base + required);
    return true;
  }
  if (required > kMaxClassGuids) {
    guids.resize(base);
    return true;
  }
  const std::uint32_t room = required;
  guids.resize(base);
  guids.resize(base + room);
  required = 0;
  rc = api.class_guids_from_name(class_name, guids.data() + base, room, &required);
  if (rc != 0) {
    guids.resize(base);
    return false;
  }
  guids.resize(base + std::min(required, room));
  return true;
}

void enumerate_class(EnumerationApi& api, const Guid& guid, std::vector<EnumeratedPort>& ports) {
  DeviceSet set(api, api.get_class_devs(guid, kDigcfPresent));
  if (!set.valid()) return;
  for (std::uint32_t index = 0;; ++index) {
    Device dev{api, set.get(), DevInfoData{}};
    dev.data.cb_size = kDevInfoDataSize;
    if (!api.enum_device_info(set.get(), index, &dev.data)) break;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    if (api.get_devnode_status(&status, &problem, dev.data.dev_inst, 0) != kCrSuccess || problem != 0) continue;
    EnumeratedPort port{read_port_name(dev), std::nullopt};
    if (port.port_name.starts_with("LPT")) continue;
    if (std::optional<std::string> id = read_instance_id(dev)) port.usb = read_usb_details(dev, *id);
    ports.push_back(std::move(port));
  }
}

// The names of HARDWARE\DEVICEMAP\SERIALCOMM, up to the first unreadable value.
std::set<std::string> read_serialcomm(EnumerationApi& api) {
  std::set<std::string> names;
  RegistryKey key(api);
  Hkey opened = kInvalidKey;
  if (api.reg_open_key(kLocalMachine, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, kKeyRead, &opened) != kErrorSuccess)
    return names;
  key.reset(opened);
  std::uint32_t count = 0;
  if (api.reg_query_value_count(key.get(), &count) != kErrorSuccess) return names;
  for (std::uint32_t index = 0; index < count; ++index) {
    StringBuffer name{};
    StringBuffer data{};
    std::uint32_t name_length = kStringUnits;
    std::uint32_t type = 0;
    std::uint32_t size = kStringBytes;
    if (api.reg_enum_value(key.get(), index, name.data(), &name_length, &type, bytes_of(data), &size) !=
            kErrorSuccess ||
        type != kRegSz || size > kStringBytes || size % 2 != 0)
      break;
    std::string port = decode_utf16({data.data(), size / 2});
    // An empty value names no port.
    if (!port.empty()) names.insert(std::move(port));
  }
  return names;
}

}  // namespace

std::string decode_utf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    append_utf8(out, u);
  }
  while (!out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

bool is_serial_char(char32_t c) { return c == '-' || c == ':' || c == '_' || c == 0xFF3F || is_alphanumeric(c); }

std::optional<HardwareIdMatch> scan_instance_id(std::string_view id) {
  // n bytes at pos that begin and end on character boundaries.
  auto take = [&](std::size_t pos, std::size_t n) -> std::optional<std::string> {
    if (pos > id.size() || id.size() - pos < n || !at_boundary(id, pos) || !at_boundary(id, pos + n))
      return std::nullopt;
    return std::string(id.substr(pos, n));
  };
  std::size_t pos = id.find("VID_");
  if (pos == std::string_view::npos) return std::nullopt;
  pos += 4;
  HardwareIdMatch match;
  std::optional<std::string> vid = take(pos, 4);
  if (!vid) return std::nullopt;
  match.vid = std::move(*vid);
  pos += 4;
  std::string_view rest = id.substr(pos);
  if (!rest.starts_with("&PID_") && !rest.starts_with("+PID_")) return std::nullopt;
  pos += 5;
  std::optional<std::string> pid = take(pos, 4);
  if (!pid) return std::nullopt;
  match.pid = std::move(*pid);
  pos += 4;
  rest = id.substr(pos);
  if (rest.starts_with("&MI_") || rest.starts_with("+MI_")) {
    match.interface = take(pos + 4, 2);
    if (match.interface) pos += 6;
  }
  rest = id.substr(pos);
  if (rest.starts_with('\\') || rest.starts_with('+')) {
    std::size_t end = pos + 1;
    while (end < id.size()) {
      auto [cp, len] = next_code_point(id, end);
      if (len == 0 || !is_serial_char(cp)) break;
      end += len;
    }
    match.serial = std::string(id.substr(pos + 1, end - pos - 1));
  }
  return match;
}

std::optional<UsbLocation> parse_location_path(std::string_view path) {
  std::size_t open = path.find("#USBROOT(");
  if (open == std::string_view::npos) return std::nullopt;
  std::size_t close = path.find(')', open + 9);
  if (close == std::string_view::npos) return std::nullopt;
  UsbLocation location{std::string(path.substr(0, close + 1)), {}};
  std::string_view rest = path.substr(close + 1);
  while (true) {
    std::size_t hub = rest.find("#USB(");
    if (hub == std::string_view::npos) return location;
    rest.remove_prefix(hub + 5);
    std::size_t end = rest.find(')');
    if (end == std::string_view::npos) return std::nullopt;
    std::optional<std::uint8_t> port = parse_dec_u8(rest.substr(0, end));
    if (!port) return std::nullopt;
    location.hub_ports.push_back(*port);
    rest.remove_prefix(end + 1);
  }
}

std::optional<UsbLocation> parse_location_paths(std::u16string_view multi) {
  while (true) {
    std::size_t nul = multi.find(u'\0');
    std::string path = decode_utf16(multi.substr(0, nul));
    if (path.empty()) return std::nullopt;
    if (std::optional<UsbLocation> location = parse_location_path(path)) return location;
    if (nul == std::u16string_view::npos) return std::nullopt;
    multi.remove_prefix(nul + 1);
  }
}

std::string location_text(const UsbLocation& location) {
  std::string text;
  const std::string& root = location.root;
  std::size_t pos = root.find("USBROOT(");
  std::optional<std::uint32_t> bus;
  if (pos != std::string::npos) {
    pos += 8;
    std::size_t end = pos;
    while (end < root.size() && root[end] >= '0' && root[end] <= '9') ++end;
    bus = parse_unsigned<std::uint32_t>(std::string_view(root).substr(pos, end - pos), 10);
  }
  if (bus) {
    text = std::to_string(*bus == std::numeric_limits<std::uint32_t>::max() ? *bus : *bus + 1);
  } else {
    text = root;
  }
  text += '-';
  for (std::size_t k = 0; k < location.hub_ports.size(); ++k) {
    if (k > 0) text += '.';
    text += std::to_string(location.hub_ports[k]);
  }
  return text;
}

std::optional<std::uint8_t> parse_hex_u8(std::string_view text) { return parse_unsigned<std::uint8_t>(text, 16); }
std::optional<std::uint16_t> parse_hex_u16(std::string_view text) { return parse_unsigned<std::uint16_t>(text, 16); }
std::optional<std::uint8_t> parse_dec_u8(std::string_view text) { return parse_unsigned<std::uint8_t>(text, 10); }

Result<std::vector<EnumeratedPort>> enumerate_windows_ports(EnumerationApi& api) {
  std::vector<Guid> guids;
  for (const char16_t* class_name : {u"Ports", u"Modem"}) {
    if (!collect_class_guids(api, class_name, guids))
      return fail(PortError::failure("Unable to determine number of Ports GUIDs"));
  }
  std::vector<EnumeratedPort> ports;
  for (const Guid& guid : guids) enumerate_class(api, guid, ports);

  // The legacy map is only believed when it knows more ports than the walk found.
  std::set<std::string> legacy = read_serialcomm(api);
  if (legacy.size() > ports.size()) {
    for (const EnumeratedPort& port : ports) legacy.erase(port.port_name);
    for (const std::string& name : legacy) ports.push_back(EnumeratedPort{name, std::nullopt});
  }
  return ports;
}

PortRecord to_port_record(const EnumeratedPort& port) {
  PortRecord record = PortRecord::for_device(port.port_name);
  if (!port.usb) return record;
  const UsbDetails& usb = *port.usb;
  record.vid = usb.vid;
  record.pid = usb.pid;
  record.serial_number = usb.serial_number;
  record.manufacturer = usb.manufacturer;
  record.product = usb.product;
  if (usb.location) record.location = location_text(*usb.location);
  record.apply_usb_info();
  return record;
}

Result<std::vector<PortRecord>> list_windows_ports(EnumerationApi& api) {
  Result<std::vector<EnumeratedPort>> ports = enumerate_windows_ports(api);
  if (!ports) return fail(std::move(ports.error()));
  std::vector<PortRecord> records;
  records.reserve(ports->size());
  for (const EnumeratedPort& port : *ports) records.push_back(to_port_record(port));
  return records;
}

}  // namespace corvalink::ports
