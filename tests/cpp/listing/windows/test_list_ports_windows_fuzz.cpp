// Random and mutated input for the instance-ID scanner, the location-path
// parser and the whole enumeration, for a fixed time each
// (CORVALINK_FUZZ_SECONDS, default 1.5; CORVALINK_FUZZ_SEED repeats a run).
//
// Every input lives in a heap block of exactly its size, so a read past it
// is caught by AddressSanitizer; each result is checked against what the
// input allows and computed twice.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "listing/windows/list_ports_windows.hpp"
#include "simulated_device_tree.hpp"

namespace corvalink::ports {
namespace {

using namespace win32;

std::chrono::duration<double> fuzz_time() {
  const char* s = std::getenv("CORVALINK_FUZZ_SECONDS");
  return std::chrono::duration<double>(s ? std::atof(s) : 1.5);
}

std::uint64_t fuzz_seed() {
  const char* s = std::getenv("CORVALINK_FUZZ_SEED");
  return s ? std::strtoull(s, nullptr, 10) : std::random_device{}();
}

// Input bytes in a block of exactly their size.
template <class Char>
class ExactCopy {
 public:
  explicit ExactCopy(std::basic_string_view<Char> s) : size_(s.size()), data_(new Char[s.size()]) {
    if (size_ > 0) std::memcpy(data_.get(), s.data(), size_ * sizeof(Char));
  }
  std::basic_string_view<Char> view() const { return {data_.get(), size_}; }

 private:
  std::size_t size_;
  std::unique_ptr<Char[]> data_;
};

const std::vector<std::string> kTokens = {
    "USB\\", "VID_", "&PID_", "+PID_", "&MI_", "+MI_", "\\", "+", "&", "_", "-", ":", "1234", "ABCD", "00",
    "ff", "\xEF\xBC\xBF", "\xC3\xA9", "\xD9\xA3", "\xC3", "\xA9", "\xE2\x82", "\xF0\x9F\x98\x80", "\xFF",
    std::string(1, '\0'), "#USBROOT(", "#USB(", "USBROOT(", ")", "(", "PCIROOT(0)", "#PCI(1400)", "255", "256",
    "4294967295", "+7", "99999999999999999999", " ", "ACPI\\PNP0501\\1"};

const std::vector<std::string> kSeeds = {
    "USB\\VID_1234&PID_ABCD\\SN0001",
    "USB\\VID_1234&PID_5678&MI_00\\6&2A&0&0000",
    "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
    "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)",
    "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#USBROOT(0)#USB(4)",
};

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  std::string next() {
    std::string s = pick(2) == 0 ? random_bytes() : kSeeds[pick(kSeeds.size())];
    int steps = 1 + static_cast<int>(pick(6));
    for (int k = 0; k < steps; ++k) mutate(s);
    return s;
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  std::string random_bytes() {
    std::string s(pick(40), '\0');
    for (char& c : s) c = static_cast<char>(pick(256));
    return s;
  }

  void mutate(std::string& s) {
    std::size_t at = pick(s.size() + 1);
    switch (pick(5)) {
      case 0:
        s.insert(at, kTokens[pick(kTokens.size())]);
        break;
      case 1:
        if (!s.empty()) s.erase(pick(s.size()), 1 + pick(4));
        break;
      case 2:
        if (!s.empty()) s[pick(s.size())] = static_cast<char>(pick(256));
        break;
      case 3:
        s.resize(at);
        break;
      default:
        s.insert(at, 1, static_cast<char>(pick(256)));
    }
  }

  std::mt19937_64 rng_;
};

bool is_substring_of(std::string_view part, std::string_view whole) { return whole.find(part) != whole.npos; }

template <class Body>
void fuzz_for_a_while(Body body) {
  const std::uint64_t seed = fuzz_seed();
  SCOPED_TRACE("CORVALINK_FUZZ_SEED=" + std::to_string(seed));
  Mutator m(seed);
  const auto end = std::chrono::steady_clock::now() + fuzz_time();
  long runs = 0;
  do {
    for (int k = 0; k < 64; ++k, ++runs) {
      body(m);
      if (::testing::Test::HasFailure()) return;
    }
  } while (std::chrono::steady_clock::now() < end);
  ::testing::Test::RecordProperty("runs", std::to_string(runs));
}

TEST(FuzzWindowsEnumeration, InstanceIdScanner) {
  fuzz_for_a_while([](Mutator& m) {
    const std::string input = m.next();
    ExactCopy<char> copy{std::string_view(input)};
    std::optional<HardwareIdMatch> match = scan_instance_id(copy.view());
    ASSERT_EQ(match, scan_instance_id(input)) << input;
    if (!match) return;
    ASSERT_EQ(match->vid.size(), 4u) << input;
    ASSERT_EQ(match->pid.size(), 4u) << input;
    ASSERT_TRUE(is_substring_of("VID_" + match->vid, input)) << input;
    ASSERT_TRUE(is_substring_of("PID_" + match->pid, input)) << input;
    if (match->interface) {
      ASSERT_TRUE(is_substring_of("MI_" + *match->interface, input)) << input;
    }
    if (match->serial) {
      ASSERT_TRUE(is_substring_of(*match->serial, input)) << input;
      ASSERT_EQ(sanitize_utf8(*match->serial), *match->serial) << input;
    }
  });
}

TEST(FuzzWindowsEnumeration, LocationPathParser) {
  fuzz_for_a_while([](Mutator& m) {
    const std::string input = m.next();
    ExactCopy<char> copy{std::string_view(input)};
    std::optional<UsbLocation> location = parse_location_path(copy.view());
    ASSERT_EQ(location, parse_location_path(input)) << input;
    if (location) {
      ASSERT_TRUE(input.starts_with(location->root)) << input;
      ASSERT_TRUE(location->root.ends_with(')')) << input;
      std::string text = location_text(*location);
      ASSERT_EQ(text, location_text(*location));
    }
    // The same bytes as UTF-16 units of a multi-string, odd byte dropped.
    std::u16string units(input.size() / 2, u'\0');
    std::memcpy(units.data(), input.data(), units.size() * 2);
    ExactCopy<char16_t> multi{std::u16string_view(units)};
    std::optional<UsbLocation> first = parse_location_paths(multi.view());
    ASSERT_EQ(first, parse_location_paths(units));
    std::string decoded = decode_utf16(multi.view());
    ASSERT_EQ(sanitize_utf8(decoded), decoded);
  });
}

// Devices whose every string comes from the mutator, with random value
// types and sizes: the walk lists them without reading past a buffer and
// releases everything.
TEST(FuzzWindowsEnumeration, EnumerationOverRandomDevices) {
  auto units_of = [](const std::string& s) {
    std::u16string u(s.size() / 2, u'\0');
    std::memcpy(u.data(), s.data(), u.size() * 2);
    return u;
  };
  fuzz_for_a_while([&](Mutator& m) {
    sim::SimulatedDeviceTree tree;
    auto value = [&]() {
      std::string text = m.next();
      // Wide text from the narrow input half the time, raw bytes otherwise.
      sim::SimValue v = m.pick(2) ? sim::SimValue::sz(std::u16string(text.begin(), text.end()))
                                  : sim::SimValue::raw(kRegSz, units_of(text));
      if (m.pick(4) == 0) v.type = m.pick(2) ? kRegMultiSz : static_cast<std::uint32_t>(m.pick(12));
      if (m.pick(8) == 0) v.bytes.resize(m.pick(600));
      return v;
    };
    int devices = static_cast<int>(m.pick(4));
    for (int k = 0; k < devices; ++k) {
      if (m.pick(2)) tree.add_node(std::u16string(u"USB\\VID_1234&PID_5678\\P"));
      std::string id = m.next();
      sim::SimDevice& d = tree.add_port(u"COM1", std::u16string(id.begin(), id.end()),
                                        m.pick(3) ? sim::kPortsGuid : sim::kModemGuid);
      d.parent = static_cast<DevInst>(m.pick(tree.last_node() + 1));
      d.value(u"PortName", value());
      for (std::uint32_t p : {kSpdrpHardwareId, kSpdrpMfg, kSpdrpFriendlyName, kSpdrpLocationPaths})
        if (m.pick(2)) d.property(p, value());
      d.instance_id_fails = m.pick(6) == 0;
      d.open_key_fails = m.pick(8) == 0;
    }
    for (int k = static_cast<int>(m.pick(4)); k > 0; --k) {
      if (!tree.serialcomm) tree.serialcomm.emplace();
      tree.serialcomm->emplace_back(u"v", value());
    }
    Result<std::vector<PortRecord>> first = list_windows_ports(tree);
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(tree.open_sets, 0);
    ASSERT_EQ(tree.open_keys, 0);
    ASSERT_TRUE(tree.misuse.empty()) << tree.misuse.front();
    for (const PortRecord& r : *first) {
      ASSERT_EQ(sanitize_utf8(r.device), r.device);
      ASSERT_EQ(sanitize_utf8(r.hwid), r.hwid);
    }
    Result<std::vector<PortRecord>> second = list_windows_ports(tree);
    ASSERT_EQ(first->size(), second->size());
    for (std::size_t k = 0; k < first->size(); ++k) {
      ASSERT_EQ((*first)[k].device, (*second)[k].device);
      ASSERT_EQ((*first)[k].hwid, (*second)[k].hwid);
    }
  });
}

}  // namespace
}  // namespace corvalink::ports
