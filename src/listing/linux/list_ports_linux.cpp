// Serial port enumeration on Linux from sysfs.
//
// Every entry of <sysfs>/class/tty that has a device behind it is a port,
// except the placeholder ports that the 8250 driver registers for UARTs it
// did not find (their "type" attribute reads 0). For a port on USB the
// sysfs path is walked up to the USB device (the first ancestor with an
// idVendor attribute); the directory just below it is the interface.

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <system_error>

#include "listing/port_info.hpp"

namespace corvalink::ports {

namespace fs = std::filesystem;

namespace {

// The text of a sysfs attribute without its trailing line break and spaces;
// nothing when it cannot be read.
std::optional<std::string> read_attribute(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\r' || text.back() == '\0'))
    text.pop_back();
  return sanitize_utf8(text);
}

std::optional<std::uint16_t> parse_hex16(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::uint16_t value = 0;
  const char* first = text->data();
  const char* last = first + text->size();
  auto [end, ec] = std::from_chars(first, last, value, 16);
  if (ec != std::errc() || end != last) return std::nullopt;
  return value;
}

bool is_within(const fs::path& path, const fs::path& root) {
  auto [r, p] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return r == root.end();
}

// A UART that the 8250 driver registered without finding one.
bool is_placeholder(const fs::path& tty_dir) {
  std::optional<std::string> type = read_attribute(tty_dir / "type");
  return type && *type == "0";
}

// Fills the USB fields when the port's device sits on a USB device.
void add_usb_details(PortRecord& record, const fs::path& device, const fs::path& root) {
  std::error_code ec;
  fs::path interface_dir;
  for (fs::path dir = device; is_within(dir, root) && dir != root; dir = dir.parent_path()) {
    if (fs::is_regular_file(dir / "idVendor", ec)) {
      std::optional<std::uint16_t> vid = parse_hex16(read_attribute(dir / "idVendor"));
      std::optional<std::uint16_t> pid = parse_hex16(read_attribute(dir / "idProduct"));
      if (!vid || !pid) return;
      record.vid = vid;
      record.pid = pid;
      record.serial_number = read_attribute(dir / "serial");
      record.manufacturer = read_attribute(dir / "manufacturer");
      record.product = read_attribute(dir / "product");
      record.location = sanitize_utf8(dir.filename().string());
      if (!interface_dir.empty()) record.interface = read_attribute(interface_dir / "interface");
      record.apply_usb_info();
      return;
    }
    if (!dir.has_parent_path() || dir.parent_path() == dir) return;
    interface_dir = fs::is_regular_file(dir / "bInterfaceNumber", ec) ? dir : fs::path();
  }
}

}  // namespace

std::vector<PortRecord> enumerate_sysfs(const fs::path& sysfs_root, const fs::path& dev_root) {
  std::vector<PortRecord> found;
  std::error_code ec;
  fs::path root = fs::canonical(sysfs_root, ec);
  if (ec) return found;
  fs::directory_iterator it(root / "class" / "tty", ec);
  if (ec) return found;
  // A failing step ends the listing with what was found so far.
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path tty_dir = it->path();
    std::error_code link_ec;
    fs::path device = fs::canonical(tty_dir / "device", link_ec);
    if (link_ec) continue;  // no device behind it: a virtual terminal, a pty, the console
    if (is_placeholder(tty_dir)) continue;
    std::string name = tty_dir.filename().string();
    PortRecord record = PortRecord::for_device(sanitize_utf8((dev_root / name).string()));
    add_usb_details(record, device, root);
    found.push_back(std::move(record));
  }
  std::ranges::sort(found, [](const PortRecord& a, const PortRecord& b) { return natural_less(a.device, b.device); });
  return found;
}

}  // namespace corvalink::ports
