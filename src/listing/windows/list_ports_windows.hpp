// Serial port enumeration on Windows: the device-setup classes "Ports" and
// "Modem", each present device's PortName, USB details from the device
// instance IDs, and the names only HARDWARE\DEVICEMAP\SERIALCOMM knows.
//
// The logic is plain C++ over win32::EnumerationApi, so it builds (and is
// tested against a simulated device tree) on every platform; Windows builds
// list their ports with it over the system's functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"
#include "listing/port_info.hpp"
#include "listing/windows/list_ports_win32_api.hpp"

namespace corvalink::ports {

// Where a USB device hangs: the root hub's location path and the hub port
// numbers below it.
struct UsbLocation {
  std::string root;
  std::vector<std::uint8_t> hub_ports;
  bool operator==(const UsbLocation&) const = default;
};

struct UsbDetails {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  std::optional<std::string> serial_number;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<UsbLocation> location;
  bool operator==(const UsbDetails&) const = default;
};

struct EnumeratedPort {
  std::string port_name;  // may be empty
  std::optional<UsbDetails> usb;
  bool operator==(const EnumeratedPort&) const = default;
};

// What a device instance ID such as USB\VID_1234&PID_ABCD&MI_01\SN says.
struct HardwareIdMatch {
  std::string vid;  // 4 bytes
  std::string pid;  // 4 bytes
  std::optional<std::string> interface;  // 2 bytes
  std::optional<std::string> serial;
  bool operator==(const HardwareIdMatch&) const = default;
};

// UTF-16 text from the system as UTF-8: unpaired surrogates become U+FFFD,
// trailing NULs are dropped, interior ones stay.
std::string decode_utf16(std::u16string_view units);

// Scans an instance ID (case-sensitive): "VID_" and 4 bytes, "&PID_" or
// "+PID_" and 4 bytes, optionally "&MI_"/"+MI_" and 2 bytes, then after a
// backslash or '+' the serial number. Nothing when there is no vid and pid.
std::optional<HardwareIdMatch> scan_instance_id(std::string_view id);

// Whether the code point may appear in a serial number: alphabetic or
// numeric, '-', ':', '_' or U+FF3F.
bool is_serial_char(char32_t c);

// The root ("...#USBROOT(n)") and hub ports ("#USB(p)" each) of one location
// path; nothing when the path has no root or a malformed port number.
std::optional<UsbLocation> parse_location_path(std::string_view path);
// The first location among the NUL-separated paths of a multi-string (the
// first empty path ends the list).
std::optional<UsbLocation> parse_location_paths(std::u16string_view multi);
// "{bus}-{p1}.{p2}...": the bus is the root hub's number plus one, or the
// whole root when it carries no number.
std::string location_text(const UsbLocation& location);

// Hexadecimal (digits in either case) or decimal numbers with an optional
// leading '+', as the instance IDs and location paths write them.
std::optional<std::uint8_t> parse_hex_u8(std::string_view text);
std::optional<std::uint16_t> parse_hex_u16(std::string_view text);
std::optional<std::uint8_t> parse_dec_u8(std::string_view text);

// The ports of the machine in the order found: device-setup classes, then
// the registry-only names. Fails only when the class GUIDs cannot be read.
Result<std::vector<EnumeratedPort>> enumerate_windows_ports(win32::EnumerationApi& api);

// The ListPortInfo record of an enumerated port.
PortRecord to_port_record(const EnumeratedPort& port);

// enumerate_windows_ports() turned into records.
Result<std::vector<PortRecord>> list_windows_ports(win32::EnumerationApi& api);

}  // namespace corvalink::ports
