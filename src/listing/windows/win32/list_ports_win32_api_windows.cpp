// The enumeration's Win32 calls over the system's setupapi, cfgmgr32 and
// advapi32. Windows builds only.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: these need its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "listing/windows/list_ports_win32_api.hpp"

namespace corvalink::ports::win32 {

namespace {

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(DevInfoData) == sizeof(SP_DEVINFO_DATA));
static_assert(offsetof(DevInfoData, dev_inst) == offsetof(SP_DEVINFO_DATA, DevInst));
static_assert(sizeof(char16_t) == sizeof(WCHAR));

HDEVINFO to_native(DevInfoSet set) { return reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(set)); }
DevInfoSet from_native(HDEVINFO set) { return static_cast<DevInfoSet>(reinterpret_cast<std::uintptr_t>(set)); }
HKEY to_native(Hkey key) { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key)); }
Hkey from_native(HKEY key) { return static_cast<Hkey>(reinterpret_cast<std::uintptr_t>(key)); }
WCHAR* to_native(char16_t* text) { return reinterpret_cast<WCHAR*>(text); }
const WCHAR* to_native(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

// SP_DEVINFO_DATA copied in and out around each call, so no object is
// accessed through a type it does not have.
class NativeDevInfo {
 public:
  explicit NativeDevInfo(DevInfoData* ours) : ours_(ours) { std::memcpy(&native_, ours, sizeof native_); }
  NativeDevInfo(const NativeDevInfo&) = delete;
  NativeDevInfo& operator=(const NativeDevInfo&) = delete;
  ~NativeDevInfo() { std::memcpy(static_cast<void*>(ours_), &native_, sizeof native_); }
  SP_DEVINFO_DATA* get() { return &native_; }

 private:
  DevInfoData* ours_;
  SP_DEVINFO_DATA native_;
};

class SystemApi final : public EnumerationApi {
 public:
  std::uint32_t class_guids_from_name(const char16_t* class_name, Guid* guids, std::uint32_t size,
                                      std::uint32_t* required) override {
    DWORD needed = 0;
    // GUID and Guid have the same layout; the buffer is handed over as bytes.
    BOOL ok = SetupDiClassGuidsFromNameW(to_native(class_name), reinterpret_cast<GUID*>(guids), size, &needed);
    *required = needed;
    return ok ? 0 : GetLastError();
  }

  DevInfoSet get_class_devs(const Guid& guid, std::uint32_t flags) override {
    GUID native;
    std::memcpy(&native, &guid, sizeof native);
    return from_native(SetupDiGetClassDevsW(&native, nullptr, nullptr, flags));
  }

  bool enum_device_info(DevInfoSet set, std::uint32_t index, DevInfoData* data) override {
    NativeDevInfo native(data);
    return SetupDiEnumDeviceInfo(to_native(set), index, native.get()) != FALSE;
  }

  bool destroy_device_info_list(DevInfoSet set) override {
    return SetupDiDestroyDeviceInfoList(to_native(set)) != FALSE;
  }

  Hkey open_dev_reg_key(DevInfoSet set, DevInfoData* data, std::uint32_t scope, std::uint32_t profile,
                        std::uint32_t key_type, std::uint32_t access) override {
    NativeDevInfo native(data);
    return from_native(SetupDiOpenDevRegKey(to_native(set), native.get(), scope, profile, key_type, access));
  }

  bool get_device_instance_id(DevInfoSet set, DevInfoData* data, char16_t* buffer, std::uint32_t size,
                              std::uint32_t* required) override {
    NativeDevInfo native(data);
    DWORD needed = 0;
    BOOL ok = SetupDiGetDeviceInstanceIdW(to_native(set), native.get(), to_native(buffer), size, &needed);
    *required = needed;
    return ok != FALSE;
  }

  bool get_device_registry_property(DevInfoSet set, DevInfoData* data, std::uint32_t property,
                                    std::uint32_t* type, std::uint8_t* buffer, std::uint32_t size,
                                    std::uint32_t* required) override {
    NativeDevInfo native(data);
    DWORD value_type = 0;
    DWORD needed = 0;
    BOOL ok = SetupDiGetDeviceRegistryPropertyW(to_native(set), native.get(), property, &value_type, buffer, size,
                                                required ? &needed : nullptr);
    *type = value_type;
    if (required) *required = needed;
    return ok != FALSE;
  }

  std::uint32_t get_devnode_status(std::uint32_t* status, std::uint32_t* problem, DevInst dev_inst,
                                   std::uint32_t flags) override {
    ULONG s = 0;
    ULONG p = 0;
    CONFIGRET cr = CM_Get_DevNode_Status(&s, &p, dev_inst, flags);
    *status = s;
    *problem = p;
    return cr;
  }

  std::uint32_t get_parent(DevInst* parent, DevInst dev_inst, std::uint32_t flags) override {
    DEVINST p = 0;
    CONFIGRET cr = CM_Get_Parent(&p, dev_inst, flags);
    *parent = p;
    return cr;
  }

  std::uint32_t get_device_id(DevInst dev_inst, char16_t* buffer, std::uint32_t length,
                              std::uint32_t flags) override {
    return CM_Get_Device_IDW(dev_inst, to_native(buffer), length, flags);
  }

  std::int32_t reg_open_key(Hkey key, const char16_t* sub_key, std::uint32_t options, std::uint32_t access,
                            Hkey* result) override {
    HKEY opened = nullptr;
    LSTATUS rc = RegOpenKeyExW(to_native(key), to_native(sub_key), options, access, &opened);
    *result = rc == ERROR_SUCCESS ? from_native(opened) : kInvalidKey;
    return rc;
  }

  std::int32_t reg_query_value_count(Hkey key, std::uint32_t* values) override {
    DWORD count = 0;
    LSTATUS rc = RegQueryInfoKeyW(to_native(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                  nullptr, nullptr, nullptr, nullptr);
    *values = count;
    return rc;
  }

  std::int32_t reg_query_value(Hkey key, const char16_t* value_name, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size) override {
    DWORD value_type = 0;
    DWORD bytes = *size;
    LSTATUS rc = RegQueryValueExW(to_native(key), to_native(value_name), nullptr, &value_type, data, &bytes);
    *type = value_type;
    *size = bytes;
    return rc;
  }

  std::int32_t reg_enum_value(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* name_length,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) override {
    DWORD name_chars = *name_length;
    DWORD value_type = 0;
    DWORD bytes = *data_size;
    LSTATUS rc =
        RegEnumValueW(to_native(key), index, to_native(name), &name_chars, nullptr, &value_type, data, &bytes);
    *name_length = name_chars;
    *type = value_type;
    *data_size = bytes;
    return rc;
  }

  std::int32_t reg_close_key(Hkey key) override { return RegCloseKey(to_native(key)); }
};

}  // namespace

EnumerationApi& system_api() {
  static SystemApi api;
  return api;
}

}  // namespace corvalink::ports::win32
