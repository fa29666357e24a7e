// The port enumeration over the real SetupAPI, configuration manager and
// registry, run under Wine by tools/wine-test: the prefix's dosdevices map
// COM ports to pseudo-terminals, and the listing must name exactly those.
//
// The system's functions are wrapped so the run also shows which path found
// the ports (the device-setup walk or HARDWARE\DEVICEMAP\SERIALCOMM) and
// that every device-information set and registry key was released.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "listing/windows/list_ports_windows.hpp"

namespace corvalink::ports {
namespace {

using namespace win32;

// The system's calls, counted.
class CountingApi final : public EnumerationApi {
 public:
  explicit CountingApi(EnumerationApi& real) : real_(real) {}

  int open_sets = 0;
  int open_keys = 0;
  int devices_walked = 0;
  int serialcomm_values = 0;

  std::uint32_t class_guids_from_name(const char16_t* n, Guid* g, std::uint32_t s, std::uint32_t* r) override {
    return real_.class_guids_from_name(n, g, s, r);
  }
  DevInfoSet get_class_devs(const Guid& guid, std::uint32_t flags) override {
    DevInfoSet set = real_.get_class_devs(guid, flags);
    if (set != kInvalidSet) ++open_sets;
    return set;
  }
  bool enum_device_info(DevInfoSet set, std::uint32_t index, DevInfoData* data) override {
    bool ok = real_.enum_device_info(set, index, data);
    devices_walked += ok;
    return ok;
  }
  bool destroy_device_info_list(DevInfoSet set) override {
    --open_sets;
    return real_.destroy_device_info_list(set);
  }
  Hkey open_dev_reg_key(DevInfoSet set, DevInfoData* d, std::uint32_t a, std::uint32_t b, std::uint32_t c,
                        std::uint32_t e) override {
    Hkey key = real_.open_dev_reg_key(set, d, a, b, c, e);
    if (key != kInvalidKey) ++open_keys;
    return key;
  }
  bool get_device_instance_id(DevInfoSet set, DevInfoData* d, char16_t* b, std::uint32_t s,
                              std::uint32_t* r) override {
    return real_.get_device_instance_id(set, d, b, s, r);
  }
  bool get_device_registry_property(DevInfoSet set, DevInfoData* d, std::uint32_t p, std::uint32_t* t,
                                    std::uint8_t* b, std::uint32_t s, std::uint32_t* r) override {
    return real_.get_device_registry_property(set, d, p, t, b, s, r);
  }
  std::uint32_t get_devnode_status(std::uint32_t* s, std::uint32_t* p, DevInst d, std::uint32_t f) override {
    return real_.get_devnode_status(s, p, d, f);
  }
  std::uint32_t get_parent(DevInst* p, DevInst d, std::uint32_t f) override { return real_.get_parent(p, d, f); }
  std::uint32_t get_device_id(DevInst d, char16_t* b, std::uint32_t l, std::uint32_t f) override {
    return real_.get_device_id(d, b, l, f);
  }
  std::int32_t reg_open_key(Hkey k, const char16_t* s, std::uint32_t o, std::uint32_t a, Hkey* r) override {
    std::int32_t rc = real_.reg_open_key(k, s, o, a, r);
    if (rc == kErrorSuccess) ++open_keys;
    return rc;
  }
  std::int32_t reg_query_value_count(Hkey k, std::uint32_t* v) override { return real_.reg_query_value_count(k, v); }
  std::int32_t reg_query_value(Hkey k, const char16_t* n, std::uint32_t* t, std::uint8_t* d,
                               std::uint32_t* s) override {
    return real_.reg_query_value(k, n, t, d, s);
  }
  std::int32_t reg_enum_value(Hkey k, std::uint32_t i, char16_t* n, std::uint32_t* nl, std::uint32_t* t,
                              std::uint8_t* d, std::uint32_t* s) override {
    std::int32_t rc = real_.reg_enum_value(k, i, n, nl, t, d, s);
    serialcomm_values += rc == kErrorSuccess;
    return rc;
  }
  std::int32_t reg_close_key(Hkey k) override {
    --open_keys;
    return real_.reg_close_key(k);
  }

 private:
  EnumerationApi& real_;
};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// COM ports the prefix maps: its dosdevices entries named com<digits>, seen
// through Wine's Z: drive; the names tools/wine-test passes on otherwise.
std::set<std::string> mapped_ports() {
  std::set<std::string> names;
  if (const char* prefix = std::getenv("WINEPREFIX")) {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::path("Z:") / (std::string(prefix) + "/dosdevices");
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      std::string name = upper(entry.path().filename().string());
      if (name.size() > 3 && name.starts_with("COM") &&
          std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        names.insert(name);
    }
    if (!ec && !names.empty()) return names;
  }
  if (const char* ports = std::getenv("CORVALINK_TEST_COM")) {
    std::istringstream in(ports);
    for (std::string p; in >> p;) names.insert(upper(p));
  }
  return names;
}

TEST(WineEnumeration, ListsTheComPortsThePrefixMaps) {
  const std::set<std::string> expected = mapped_ports();
  ASSERT_FALSE(expected.empty()) << "no COM port mapped (run under tools/wine-test)";

  CountingApi api(system_api());
  Result<std::vector<PortRecord>> records = list_windows_ports(api);
  ASSERT_TRUE(records.has_value()) << "the class GUIDs could not be read";
  EXPECT_EQ(api.open_sets, 0);
  EXPECT_EQ(api.open_keys, 0);

  std::set<std::string> listed;
  for (const PortRecord& r : *records) {
    std::cout << "listed: " << r.device << " | " << r.description << " | " << r.hwid << "\n";
    listed.insert(r.device);
  }
  std::cout << "device-setup walk: " << api.devices_walked << " devices; SERIALCOMM: " << api.serialcomm_values
            << " values\n";
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(listed.size(), records->size()) << "a port listed twice";
}

TEST(WineEnumeration, RepeatedListingsAgree) {
  CountingApi api(system_api());
  Result<std::vector<PortRecord>> first = list_windows_ports(api);
  Result<std::vector<PortRecord>> second = list_windows_ports(api);
  ASSERT_TRUE(first.has_value() && second.has_value());
  std::set<std::string> a, b;
  for (const PortRecord& r : *first) a.insert(r.device);
  for (const PortRecord& r : *second) b.insert(r.device);
  EXPECT_EQ(a, b);
  EXPECT_EQ(api.open_sets, 0);
  EXPECT_EQ(api.open_keys, 0);
}

}  // namespace
}  // namespace corvalink::ports
