// A simulated device tree behind win32::EnumerationApi: device nodes with
// their device-setup class, instance ID, parent, status, registry key and
// properties, plus HARDWARE\DEVICEMAP\SERIALCOMM. The calls behave as the
// system's do for the cases the enumeration meets (a buffer too small fails
// and reports the size it needs), and faults are switched on per device or
// per call.
//
// The tree counts device-information sets and registry keys that are open
// and records every misuse (a handle released twice or never opened, a
// buffer not zero-filled, arguments other than the enumeration must pass),
// so a test can check that a run left nothing behind.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "listing/windows/list_ports_win32_api.hpp"

namespace corvalink::ports::sim {

using namespace win32;

inline constexpr Guid kPortsGuid{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr Guid kModemGuid{0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorMoreData = 234;
inline constexpr std::int32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kCrNoSuchDevnode = 0x0D;
inline constexpr std::uint32_t kCrBufferSmall = 0x1A;

// memcpy that also takes the null pointers of empty buffers.
inline void copy_bytes(void* to, const void* from, std::size_t n) {
  if (n > 0) std::memcpy(to, from, n);
}

// A registry value or device property: its type and bytes, and optionally a
// size the system reports instead of the real one.
struct SimValue {
  std::uint32_t type = kRegSz;
  std::vector<std::uint8_t> bytes;
  std::optional<std::uint32_t> reported_size;

  static SimValue raw(std::uint32_t type, std::u16string_view units) {
    SimValue v{type, {}, {}};
    v.bytes.resize(units.size() * 2);
    copy_bytes(v.bytes.data(), units.data(), v.bytes.size());
    return v;
  }
  // A string with its terminator.
  static SimValue sz(std::u16string_view text) { return raw(kRegSz, std::u16string(text) + u'\0'); }
  // Strings each with a terminator, and the final empty one.
  static SimValue multi_sz(std::initializer_list<std::u16string_view> texts) {
    std::u16string all;
    for (auto t : texts) (all += t) += u'\0';
    return raw(kRegMultiSz, all + u'\0');
  }
};

struct SimDevice {
  std::u16string id;
  std::optional<Guid> class_guid;  // none: a node that is in no port class
  DevInst parent = 0;              // 0: no parent
  bool present = true;
  std::uint32_t status_result = kCrSuccess;
  std::uint32_t problem = 0;
  bool open_key_fails = false;
  bool instance_id_fails = false;
  std::optional<std::uint32_t> instance_id_required;  // reported instead of the real size
  bool parent_id_fails = false;                        // CM_Get_Device_IDW on this node
  std::vector<std::pair<std::u16string, SimValue>> key_values;  // the device's registry key
  std::map<std::uint32_t, SimValue> properties;

  SimDevice& port_name(std::u16string_view name) { return value(u"PortName", SimValue::sz(name)); }
  SimDevice& value(std::u16string_view name, SimValue v) {
    for (auto& [n, old] : key_values) {
      if (n == name) {
        old = std::move(v);
        return *this;
      }
    }
    key_values.emplace_back(std::u16string(name), std::move(v));
    return *this;
  }
  SimDevice& property(std::uint32_t which, SimValue v) {
    properties[which] = std::move(v);
    return *this;
  }
  SimDevice& manufacturer(std::u16string_view text) { return property(kSpdrpMfg, SimValue::sz(text)); }
  SimDevice& friendly_name(std::u16string_view text) { return property(kSpdrpFriendlyName, SimValue::sz(text)); }
  SimDevice& location_paths(std::initializer_list<std::u16string_view> paths) {
    return property(kSpdrpLocationPaths, SimValue::multi_sz(paths));
  }
  SimDevice& child_of(DevInst node) {
    parent = node;
    return *this;
  }
};

class SimulatedDeviceTree final : public EnumerationApi {
 public:
  std::map<std::u16string, std::vector<Guid>, std::less<>> class_guids{{u"Ports", {kPortsGuid}},
                                                                       {u"Modem", {kModemGuid}}};
  // Replaces SetupDiClassGuidsFromNameW when set.
  std::function<std::uint32_t(std::u16string_view, Guid*, std::uint32_t, std::uint32_t*)> class_guids_hook;
  bool class_devs_fail = false;

  // HARDWARE\DEVICEMAP\SERIALCOMM; none: the key does not exist.
  std::optional<std::vector<std::pair<std::u16string, SimValue>>> serialcomm;
  bool serialcomm_count_fails = false;
  std::optional<std::uint32_t> serialcomm_count;  // reported instead of the real count

  // Adds a device node; its DevInst is its position plus one.
  SimDevice& add_node(std::u16string_view id) {
    SimDevice& d = nodes_.emplace_back();
    d.id = id;
    return d;
  }
  DevInst last_node() const { return static_cast<DevInst>(nodes_.size()); }
  // A present port of the "Ports" class (or another class) with its PortName.
  SimDevice& add_port(std::u16string_view port_name, std::u16string_view id, Guid cls = kPortsGuid) {
    SimDevice& d = add_node(id);
    d.class_guid = cls;
    return d.port_name(port_name);
  }
  void add_serialcomm(std::u16string_view value_name, std::u16string_view port) {
    if (!serialcomm) serialcomm.emplace();
    serialcomm->emplace_back(std::u16string(value_name), SimValue::sz(port));
  }

  // --- bookkeeping ---
  int open_sets = 0;
  int open_keys = 0;
  int sets_created = 0;
  int keys_opened = 0;
  std::vector<std::string> misuse;
  std::vector<std::pair<std::u16string, std::uint32_t>> class_guid_calls;  // name, room

  // --- the calls ---

  std::uint32_t class_guids_from_name(const char16_t* class_name, Guid* guids, std::uint32_t size,
                                      std::uint32_t* required) override {
    std::u16string_view name(class_name);
    class_guid_calls.emplace_back(std::u16string(name), size);
    check_zero(guids, size * sizeof(Guid), "class GUID buffer");
    if (class_guids_hook) return class_guids_hook(name, guids, size, required);
    auto it = class_guids.find(name);
    std::size_t count = it == class_guids.end() ? 0 : it->second.size();
    *required = static_cast<std::uint32_t>(count);
    if (count > size) return kErrorInsufficientBuffer;
    for (std::size_t k = 0; k < count; ++k) guids[k] = it->second[k];
    return 0;
  }

  DevInfoSet get_class_devs(const Guid& guid, std::uint32_t flags) override {
    if (flags != kDigcfPresent) misuse.push_back("SetupDiGetClassDevsW flags");
    if (class_devs_fail) return kInvalidSet;
    std::vector<DevInst> members;
    for (std::size_t k = 0; k < nodes_.size(); ++k)
      if (nodes_[k].class_guid == guid && nodes_[k].present) members.push_back(static_cast<DevInst>(k + 1));
    auto handle = static_cast<DevInfoSet>(0x1000 + ++sets_created);
    sets_[handle] = std::move(members);
    ++open_sets;
    return handle;
  }

  bool enum_device_info(DevInfoSet set, std::uint32_t index, DevInfoData* data) override {
    auto it = sets_.find(set);
    if (it == sets_.end()) {
      misuse.push_back("SetupDiEnumDeviceInfo on a set not open");
      return false;
    }
    if (data->cb_size != 32) misuse.push_back("SP_DEVINFO_DATA cbSize");
    if (index >= it->second.size()) return false;
    data->dev_inst = it->second[index];
    data->reserved = index;
    return true;
  }

  bool destroy_device_info_list(DevInfoSet set) override {
    if (sets_.erase(set) == 0) {
      misuse.push_back("SetupDiDestroyDeviceInfoList on a set not open");
      return false;
    }
    --open_sets;
    return true;
  }

  Hkey open_dev_reg_key(DevInfoSet set, DevInfoData* data, std::uint32_t scope, std::uint32_t profile,
                        std::uint32_t key_type, std::uint32_t access) override {
    if (scope != kDicsFlagGlobal || profile != 0 || key_type != kDiregDev || access != kKeyRead)
      misuse.push_back("SetupDiOpenDevRegKey arguments");
    SimDevice* d = member(set, data);
    if (!d || d->open_key_fails) return kInvalidKey;
    return open_key(&d->key_values);
  }

  bool get_device_instance_id(DevInfoSet set, DevInfoData* data, char16_t* buffer, std::uint32_t size,
                              std::uint32_t* required) override {
    check_zero(buffer, size * 2, "instance ID buffer");
    if (size != 199) misuse.push_back("SetupDiGetDeviceInstanceIdW size");
    SimDevice* d = member(set, data);
    if (!d || d->instance_id_fails) return false;
    auto needed = static_cast<std::uint32_t>(d->id.size() + 1);
    *required = d->instance_id_required.value_or(needed);
    if (needed > size) return false;
    std::memcpy(buffer, d->id.c_str(), needed * 2);
    return true;
  }

  bool get_device_registry_property(DevInfoSet set, DevInfoData* data, std::uint32_t property,
                                    std::uint32_t* type, std::uint8_t* buffer, std::uint32_t size,
                                    std::uint32_t* required) override {
    check_zero(buffer, size, "property buffer");
    if (size != 520 || required) misuse.push_back("SetupDiGetDeviceRegistryPropertyW sizes");
    SimDevice* d = member(set, data);
    if (!d) return false;
    auto it = d->properties.find(property);
    if (it == d->properties.end()) return false;
    *type = it->second.type;
    if (it->second.bytes.size() > size) return false;
    copy_bytes(buffer, it->second.bytes.data(), it->second.bytes.size());
    return true;
  }

  std::uint32_t get_devnode_status(std::uint32_t* status, std::uint32_t* problem, DevInst dev_inst,
                                   std::uint32_t flags) override {
    if (flags != 0) misuse.push_back("CM_Get_DevNode_Status flags");
    SimDevice* d = node(dev_inst);
    if (!d) return kCrNoSuchDevnode;
    *status = 0x0180200A;  // DN_DRIVER_LOADED | DN_STARTED | ...
    *problem = d->problem;
    return d->status_result;
  }

  std::uint32_t get_parent(DevInst* parent, DevInst dev_inst, std::uint32_t flags) override {
    if (flags != 0) misuse.push_back("CM_Get_Parent flags");
    SimDevice* d = node(dev_inst);
    if (!d || d->parent == 0) return kCrNoSuchDevnode;
    *parent = d->parent;
    return kCrSuccess;
  }

  std::uint32_t get_device_id(DevInst dev_inst, char16_t* buffer, std::uint32_t length,
                              std::uint32_t flags) override {
    if (flags != 0 || length != 259) misuse.push_back("CM_Get_Device_IDW arguments");
    check_zero(buffer, 260 * 2, "device ID buffer");
    SimDevice* d = node(dev_inst);
    if (!d) return kCrNoSuchDevnode;
    if (d->parent_id_fails) return kCrBufferSmall;
    if (d->id.size() + 1 > length) return kCrBufferSmall;
    std::memcpy(buffer, d->id.c_str(), (d->id.size() + 1) * 2);
    return kCrSuccess;
  }

  std::int32_t reg_open_key(Hkey key, const char16_t* sub_key, std::uint32_t options, std::uint32_t access,
                            Hkey* result) override {
    if (key != kLocalMachine || std::u16string_view(sub_key) != u"HARDWARE\\DEVICEMAP\\SERIALCOMM" ||
        options != 0 || access != kKeyRead)
      misuse.push_back("RegOpenKeyExW arguments");
    if (!serialcomm) return kErrorFileNotFound;
    *result = open_key(&*serialcomm);
    return kErrorSuccess;
  }

  std::int32_t reg_query_value_count(Hkey key, std::uint32_t* values) override {
    auto* k = open(key);
    if (!k) return kErrorFileNotFound;
    if (serialcomm_count_fails) return kErrorFileNotFound;
    *values = serialcomm_count.value_or(static_cast<std::uint32_t>(k->size()));
    return kErrorSuccess;
  }

  std::int32_t reg_query_value(Hkey key, const char16_t* value_name, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size) override {
    check_zero(data, *size, "value buffer");
    if (*size != 520) misuse.push_back("RegQueryValueExW size");
    auto* k = open(key);
    if (!k) return kErrorFileNotFound;
    for (auto& [name, value] : *k)
      if (name == value_name) return copy_value(value, type, data, size);
    return kErrorFileNotFound;
  }

  std::int32_t reg_enum_value(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* name_length,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) override {
    check_zero(name, *name_length * 2, "value name buffer");
    check_zero(data, *data_size, "value buffer");
    if (*name_length != 260 || *data_size != 520) misuse.push_back("RegEnumValueW sizes");
    auto* k = open(key);
    if (!k) return kErrorFileNotFound;
    if (index >= k->size()) return kErrorNoMoreItems;
    auto& [value_name, value] = (*k)[index];
    if (value_name.size() + 1 > *name_length) return kErrorMoreData;
    std::memcpy(name, value_name.c_str(), (value_name.size() + 1) * 2);
    *name_length = static_cast<std::uint32_t>(value_name.size());
    return copy_value(value, type, data, data_size);
  }

  std::int32_t reg_close_key(Hkey key) override {
    if (keys_.erase(key) == 0) {
      misuse.push_back("RegCloseKey on a key not open");
      return kErrorFileNotFound;
    }
    --open_keys;
    return kErrorSuccess;
  }

 private:
  using Values = std::vector<std::pair<std::u16string, SimValue>>;

  SimDevice* node(DevInst dev_inst) {
    if (dev_inst == 0 || dev_inst > nodes_.size()) return nullptr;
    return &nodes_[dev_inst - 1];
  }

  SimDevice* member(DevInfoSet set, const DevInfoData* data) {
    auto it = sets_.find(set);
    if (it == sets_.end()) {
      misuse.push_back("device of a set not open");
      return nullptr;
    }
    for (DevInst d : it->second)
      if (d == data->dev_inst) return node(d);
    misuse.push_back("device not in its set");
    return nullptr;
  }

  Hkey open_key(Values* values) {
    auto handle = static_cast<Hkey>(0x2000 + ++keys_opened);
    keys_[handle] = values;
    ++open_keys;
    return handle;
  }

  Values* open(Hkey key) {
    auto it = keys_.find(key);
    if (it == keys_.end()) {
      misuse.push_back("registry call on a key not open");
      return nullptr;
    }
    return it->second;
  }

  static std::int32_t copy_value(const SimValue& value, std::uint32_t* type, std::uint8_t* data,
                                 std::uint32_t* size) {
    *type = value.type;
    auto needed = static_cast<std::uint32_t>(value.bytes.size());
    if (needed > *size) {
      *size = needed;
      return kErrorMoreData;
    }
    copy_bytes(data, value.bytes.data(), needed);
    *size = value.reported_size.value_or(needed);
    return kErrorSuccess;
  }

  void check_zero(const void* buffer, std::size_t bytes, const char* what) {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    for (std::size_t k = 0; k < bytes; ++k) {
      if (p[k] != 0) {
        misuse.push_back(std::string(what) + " not zero-filled");
        return;
      }
    }
  }

  std::deque<SimDevice> nodes_;
  std::map<DevInfoSet, std::vector<DevInst>> sets_;
  std::map<Hkey, Values*> keys_;
};

}  // namespace corvalink::ports::sim
