// The device-setup, configuration-manager and registry calls the Windows port
// enumeration makes, behind an interface of our own.
//
// Every member is one Win32 call with the same arguments, in types that
// compile anywhere: handles are opaque integers, text is UTF-16 in char16_t
// buffers the caller owns. No enumeration logic lives here. The real
// implementation (list_ports_win32_api_windows.cpp) exists only in Windows
// builds; the tests drive the enumeration through a simulated device tree.
#pragma once

#include <array>
#include <cstdint>

namespace corvalink::ports::win32 {

// A GUID as the system lays it out (16 bytes).
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};
  bool operator==(const Guid&) const = default;
};

// HDEVINFO and HKEY.
enum class DevInfoSet : std::uintptr_t {};
enum class Hkey : std::uintptr_t {};
// A device node of the configuration manager (DEVINST).
using DevInst = std::uint32_t;

// INVALID_HANDLE_VALUE, the failure of SetupDiGetClassDevsW and SetupDiOpenDevRegKey.
inline constexpr auto kInvalidSet = static_cast<DevInfoSet>(~std::uintptr_t{0});
inline constexpr auto kInvalidKey = static_cast<Hkey>(~std::uintptr_t{0});
// HKEY_LOCAL_MACHINE: the 32-bit value 0x80000002, sign-extended.
inline constexpr auto kLocalMachine =
    static_cast<Hkey>(static_cast<std::uintptr_t>(static_cast<std::intptr_t>(std::int32_t{-0x7FFFFFFE})));

// SP_DEVINFO_DATA; cbSize must be 32 (its size on 64-bit Windows).
struct DevInfoData {
  std::uint32_t cb_size = 0;
  Guid class_guid;
  DevInst dev_inst = 0;
  std::uintptr_t reserved = 0;
};

inline constexpr std::uint32_t kDigcfPresent = 0x2;
inline constexpr std::uint32_t kDicsFlagGlobal = 1;
inline constexpr std::uint32_t kDiregDev = 1;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kSpdrpHardwareId = 1;
inline constexpr std::uint32_t kSpdrpMfg = 11;
inline constexpr std::uint32_t kSpdrpFriendlyName = 12;
inline constexpr std::uint32_t kSpdrpLocationPaths = 35;
inline constexpr std::uint32_t kCrSuccess = 0;
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;

class EnumerationApi {
 public:
  virtual ~EnumerationApi() = default;

  // SetupDiClassGuidsFromNameW; 0 on success, else the thread's last error.
  virtual std::uint32_t class_guids_from_name(const char16_t* class_name, Guid* guids, std::uint32_t size,
                                              std::uint32_t* required) = 0;
  // SetupDiGetClassDevsW(guid, no enumerator, no window, flags); kInvalidSet on failure.
  virtual DevInfoSet get_class_devs(const Guid& guid, std::uint32_t flags) = 0;
  // SetupDiEnumDeviceInfo.
  virtual bool enum_device_info(DevInfoSet set, std::uint32_t index, DevInfoData* data) = 0;
  // SetupDiDestroyDeviceInfoList.
  virtual bool destroy_device_info_list(DevInfoSet set) = 0;
  // SetupDiOpenDevRegKey; kInvalidKey on failure.
  virtual Hkey open_dev_reg_key(DevInfoSet set, DevInfoData* data, std::uint32_t scope, std::uint32_t profile,
                                std::uint32_t key_type, std::uint32_t access) = 0;
  // SetupDiGetDeviceInstanceIdW; size and required in characters.
  virtual bool get_device_instance_id(DevInfoSet set, DevInfoData* data, char16_t* buffer, std::uint32_t size,
                                      std::uint32_t* required) = 0;
  // SetupDiGetDeviceRegistryPropertyW; size and required in bytes, required may be null.
  virtual bool get_device_registry_property(DevInfoSet set, DevInfoData* data, std::uint32_t property,
                                            std::uint32_t* type, std::uint8_t* buffer, std::uint32_t size,
                                            std::uint32_t* required) = 0;

  // CM_Get_DevNode_Status; a CONFIGRET.
  virtual std::uint32_t get_devnode_status(std::uint32_t* status, std::uint32_t* problem, DevInst dev_inst,
                                           std::uint32_t flags) = 0;
  // CM_Get_Parent; a CONFIGRET.
  virtual std::uint32_t get_parent(DevInst* parent, DevInst dev_inst, std::uint32_t flags) = 0;
  // CM_Get_Device_IDW; length in characters; a CONFIGRET.
  virtual std::uint32_t get_device_id(DevInst dev_inst, char16_t* buffer, std::uint32_t length,
                                      std::uint32_t flags) = 0;

  // RegOpenKeyExW; a Win32 error code.
  virtual std::int32_t reg_open_key(Hkey key, const char16_t* sub_key, std::uint32_t options,
                                    std::uint32_t access, Hkey* result) = 0;
  // RegQueryInfoKeyW asking only for the number of values; a Win32 error code.
  virtual std::int32_t reg_query_value_count(Hkey key, std::uint32_t* values) = 0;
  // RegQueryValueExW; size in bytes; a Win32 error code.
  virtual std::int32_t reg_query_value(Hkey key, const char16_t* value_name, std::uint32_t* type,
                                       std::uint8_t* data, std::uint32_t* size) = 0;
  // RegEnumValueW; name_length in characters, data_size in bytes; a Win32 error code.
  virtual std::int32_t reg_enum_value(Hkey key, std::uint32_t index, char16_t* name, std::uint32_t* name_length,
                                      std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) = 0;
  // RegCloseKey; a Win32 error code.
  virtual std::int32_t reg_close_key(Hkey key) = 0;
};

// The system's functions. Only in Windows builds.
EnumerationApi& system_api();

}  // namespace corvalink::ports::win32
