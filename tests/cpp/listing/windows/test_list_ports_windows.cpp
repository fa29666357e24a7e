// The Windows port enumeration over a simulated device tree, and its
// instance-ID scanner and location-path parser.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "listing/windows/list_ports_windows.hpp"
#include "simulated_device_tree.hpp"

// The tables name only the fields that matter for each case.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvalink::ports {
namespace {

using namespace win32;

using sim::kModemGuid;
using sim::kPortsGuid;
using sim::SimulatedDeviceTree;
using sim::SimValue;
using namespace std::string_view_literals;

// The ListPortInfo fields a test names; the rest keep their defaults.
struct Fields {
  std::string device;
  std::string description = "n/a";
  std::string hwid = "n/a";
  std::optional<std::uint16_t> vid;
  std::optional<std::uint16_t> pid;
  std::optional<std::string> serial_number;
  std::optional<std::string> location;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<std::string> interface;
  bool operator==(const Fields&) const = default;
};

void PrintTo(const Fields& f, std::ostream* os) {
  auto opt = [](const auto& v) {
    if (!v) return std::string("None");
    if constexpr (std::is_same_v<std::decay_t<decltype(*v)>, std::string>)
      return "'" + *v + "'";
    else
      return std::to_string(*v);
  };
  *os << "{device='" << f.device << "' description='" << f.description << "' hwid='" << f.hwid
      << "' vid=" << opt(f.vid) << " pid=" << opt(f.pid) << " serial=" << opt(f.serial_number)
      << " location=" << opt(f.location) << " manufacturer=" << opt(f.manufacturer) << " product=" << opt(f.product)
      << " interface=" << opt(f.interface) << "}";
}

Fields fields_of(const PortRecord& r) {
  EXPECT_EQ(r.name, derive_name(r.device));
  return {r.device,       r.description, r.hwid,         r.vid,     r.pid,
          r.serial_number, r.location,   r.manufacturer, r.product, r.interface};
}

void expect_no_misuse(const SimulatedDeviceTree& tree) {
  for (const std::string& m : tree.misuse) ADD_FAILURE() << "misuse: " << m;
}

using GuidCalls = std::vector<std::pair<std::u16string, std::uint32_t>>;

// A port that is not recognised as USB.
Fields plain(std::string device) { return Fields{.device = std::move(device)}; }

class WindowsEnumeration : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(tree.open_sets, 0) << "device-information sets left open";
    EXPECT_EQ(tree.open_keys, 0) << "registry keys left open";
    expect_no_misuse(tree);
  }

  std::vector<Fields> list() {
    Result<std::vector<PortRecord>> records = list_windows_ports(tree);
    EXPECT_TRUE(records.has_value()) << (records ? "" : records.error().text());
    std::vector<Fields> out;
    if (records)
      for (const PortRecord& r : *records) out.push_back(fields_of(r));
    return out;
  }

  SimulatedDeviceTree tree;
};

// --- one case per kind of device ---

struct DeviceCase {
  const char* name;
  std::function<void(SimulatedDeviceTree&)> build;
  std::vector<Fields> expected;
};

const DeviceCase kDeviceCases[] = {
    {"usb single function",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM5", u"USB\\VID_1234&PID_ABCD\\SN0001")
           .friendly_name(u"USB Serial Port (COM5)")
           .manufacturer(u"vendor.inf,%vendor%;Vendor")
           .location_paths({u"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"});
     },
     {{.device = "COM5",
       .description = "USB Serial Port (COM5)",
       .hwid = "USB VID:PID=1234:ABCD SER=SN0001 LOCATION=1-2",
       .vid = 0x1234,
       .pid = 0xABCD,
       .serial_number = "SN0001",
       .location = "1-2",
       .manufacturer = "Vendor",
       .product = "USB Serial Port (COM5)"}}},
    {"usb composite function takes the parent's ids",
     [](SimulatedDeviceTree& t) {
       t.add_node(u"USB\\VID_0403&PID_6010\\FT4XYZ");
       t.add_port(u"COM7", u"USB\\VID_0403&PID_6010&MI_01\\7&1A2B&0&0001")
           .child_of(t.last_node() - 1)
           .friendly_name(u"Dual RS232 (COM7)")
           .location_paths({u"PCIROOT(0)#PCI(1400)#USBROOT(1)#USB(4)#USB(1)"});
     },
     {{.device = "COM7",
       .description = "Dual RS232 (COM7)",
       .hwid = "USB VID:PID=0403:6010 SER=FT4XYZ LOCATION=2-4.1",
       .vid = 0x0403,
       .pid = 0x6010,
       .serial_number = "FT4XYZ",
       .location = "2-4.1",
       .product = "Dual RS232 (COM7)"}}},
    {"composite function without a parent is not usb",
     [](SimulatedDeviceTree& t) { t.add_port(u"COM7", u"USB\\VID_0403&PID_6010&MI_01\\7&1A2B&0&0001"); },
     {plain("COM7")}},
    {"composite function whose parent ID does not match is not usb",
     [](SimulatedDeviceTree& t) {
       t.add_node(u"USB\\ROOT_HUB30\\4&2F1C&0&0");
       t.add_port(u"COM7", u"USB\\VID_0403&PID_6010&MI_01\\X").child_of(t.last_node() - 1);
     },
     {plain("COM7")}},
    {"composite function whose parent ID cannot be read is not usb",
     [](SimulatedDeviceTree& t) {
       t.add_node(u"USB\\VID_0403&PID_6010\\FT4XYZ").parent_id_fails = true;
       t.add_port(u"COM7", u"USB\\VID_0403&PID_6010&MI_01\\X").child_of(t.last_node() - 1);
     },
     {plain("COM7")}},
    {"an interface that is not hex leaves the device's own ids",
     [](SimulatedDeviceTree& t) {
       t.add_node(u"USB\\VID_0403&PID_6010\\PARENT");
       t.add_port(u"COM8", u"USB\\VID_1234&PID_5678&MI_ZZ\\OWN").child_of(t.last_node() - 1);
     },
     {{.device = "COM8",
       .description = "COM8",
       .hwid = "USB VID:PID=1234:5678 SER=OWN",
       .vid = 0x1234,
       .pid = 0x5678,
       .serial_number = "OWN"}}},
    {"acpi and pci ports, a modem after the ports",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM9", u"USB\\VID_1111&PID_2222\\MDM", kModemGuid);
       t.add_port(u"COM1", u"ACPI\\PNP0501\\1").friendly_name(u"Communications Port (COM1)");
       t.add_port(u"COM3", u"PCI\\VEN_8086&DEV_A13D&SUBSYS_A1AB1458&REV_31\\3&11583659&0&B3");
     },
     {plain("COM1"), plain("COM3"),
      {.device = "COM9",
       .description = "COM9",
       .hwid = "USB VID:PID=1111:2222 SER=MDM",
       .vid = 0x1111,
       .pid = 0x2222,
       .serial_number = "MDM"}}},
    {"printer ports, disabled, failing and absent devices are left out",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"LPT1", u"ACPI\\PNP0400\\0");
       t.add_port(u"COM2", u"ACPI\\PNP0501\\2").problem = 22;
       t.add_port(u"COM4", u"ACPI\\PNP0501\\4").status_result = sim::kCrNoSuchDevnode;
       t.add_port(u"COM6", u"ACPI\\PNP0501\\6").present = false;
       t.add_port(u"lpt2", u"ACPI\\PNP0400\\1");
       t.add_port(u"LP", u"ACPI\\PNP0400\\2");
     },
     {plain("lpt2"), plain("LP")}},
    {"a device without a readable PortName is listed with an empty name",
     [](SimulatedDeviceTree& t) {
       t.add_node(u"ACPI\\PNP0501\\1").class_guid = kPortsGuid;  // no PortName value
       t.add_port(u"COM2", u"ACPI\\PNP0501\\2").open_key_fails = true;
       t.add_port(u"COM3", u"ACPI\\PNP0501\\3").value(u"PortName", SimValue::raw(2, u"COM3\0"sv));  // REG_EXPAND_SZ
       t.add_port(u"COM4", u"ACPI\\PNP0501\\4")
           .value(u"PortName", SimValue{1, {'C', 0, 'O', 0, 'M', 0, '4', 0, 0}, {}});  // odd size
       SimValue lying = SimValue::sz(u"COM5");
       lying.reported_size = 522;
       t.add_port(u"COM5", u"ACPI\\PNP0501\\5").value(u"PortName", lying);
       t.add_port(u"COM6", u"ACPI\\PNP0501\\6").port_name(std::u16string(260, u'X'));  // 522 bytes: too large
     },
     {plain(""), plain(""), plain(""), plain(""), plain(""), plain("")}},
    {"names without terminators and up to the buffer's end",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"", u"ACPI\\PNP0501\\1").value(u"PortName", SimValue::raw(1, u"COM12"));
       t.add_port(u"", u"ACPI\\PNP0501\\2").value(u"PortName", SimValue::raw(1, std::u16string(260, u'Y')));
       t.add_port(u"", u"ACPI\\PNP0501\\3").value(u"PortName", SimValue::raw(1, u"CO\0M\0\0"sv));
       t.add_port(u"", u"ACPI\\PNP0501\\4").value(u"PortName", SimValue::raw(1, u"C\xD800OM"));
     },
     {plain("COM12"), plain(std::string(260, 'Y')), plain(std::string("CO\0M", 4)), plain("C\uFFFDOM")}},
    {"string properties: the last piece after ';', whole without one",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM5", u"USB\\VID_1234&PID_ABCD\\S1")
           .manufacturer(u"a;b;Maker")
           .friendly_name(u"Trailing;");
       t.add_port(u"COM6", u"USB\\VID_1234&PID_ABCD\\S2")
           .manufacturer(u"Plain Maker")
           .property(kSpdrpFriendlyName, SimValue::raw(kRegMultiSz, u"Not\0a string\0\0"sv));
     },
     {{.device = "COM5",
       .description = "",
       .hwid = "USB VID:PID=1234:ABCD SER=S1",
       .vid = 0x1234,
       .pid = 0xABCD,
       .serial_number = "S1",
       .manufacturer = "Maker",
       .product = ""},
      {.device = "COM6",
       .description = "COM6",
       .hwid = "USB VID:PID=1234:ABCD SER=S2",
       .vid = 0x1234,
       .pid = 0xABCD,
       .serial_number = "S2",
       .manufacturer = "Plain Maker"}}},
    {"an instance ID that cannot be read falls back to a REG_SZ hardware ID",
     [](SimulatedDeviceTree& t) {
       auto& a = t.add_port(u"COM5", u"unused").property(kSpdrpHardwareId, SimValue::sz(u"USB\\VID_1234&PID_0001"));
       a.instance_id_fails = true;
       auto& b = t.add_port(u"COM6", u"unused")
                     .property(kSpdrpHardwareId, SimValue::multi_sz({u"USB\\VID_1234&PID_0001"}));
       b.instance_id_fails = true;
       t.add_port(u"COM7", u"unused").instance_id_fails = true;
     },
     {{.device = "COM5", .description = "COM5", .hwid = "USB VID:PID=1234:0001", .vid = 0x1234, .pid = 0x0001},
      plain("COM6"), plain("COM7")}},
    {"instance IDs: reported size cuts the text, long IDs do not fit",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM5", u"USB\\VID_1234&PID_0001\\SERIAL").instance_id_required = 25;  // up to "SER"
       t.add_port(u"COM6", u"USB\\VID_1234&PID_0002\\SERIAL").instance_id_required = 0;
       t.add_port(u"COM7", u"USB\\VID_1234&PID_0003\\" + std::u16string(180, u'S'));  // 202 units
       t.add_port(u"COM8", u"USB\\VID_1234&PID_0004\\" + std::u16string(176, u'S'));  // 198 units and the NUL
     },
     {{.device = "COM5",
       .description = "COM5",
       .hwid = "USB VID:PID=1234:0001 SER=SER",
       .vid = 0x1234,
       .pid = 0x0001,
       .serial_number = "SER"},
      plain("COM6"), plain("COM7"),
      {.device = "COM8",
       .description = "COM8",
       .hwid = "USB VID:PID=1234:0004 SER=" + std::string(176, 'S'),
       .vid = 0x1234,
       .pid = 0x0004,
       .serial_number = std::string(176, 'S')}}},
    {"ids that are not hex, a missing pid, an empty serial",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM1", u"USB\\VID_12G4&PID_0001\\A");
       t.add_port(u"COM2", u"USB\\VID_1234_PID_0001\\A");
       t.add_port(u"COM3", u"USB\\VID_1234&PID_0001\\#A");
     },
     {plain("COM1"), plain("COM2"),
      {.device = "COM3",
       .description = "COM3",
       .hwid = "USB VID:PID=1234:0001 SER=",
       .vid = 0x1234,
       .pid = 0x0001,
       .serial_number = ""}}},
    {"location: the highest root hub number, later paths, unusable paths",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM1", u"USB\\VID_1234&PID_0001")
           .location_paths({u"PCIROOT(0)#PCI(1400)#USBROOT(4294967295)#USB(1)"});
       t.add_port(u"COM2", u"USB\\VID_1234&PID_0002")
           .location_paths({u"ACPI(_SB_)#ACPI(PCI0)", u"PCIROOT(0)#USBROOT(0)#USB(300)",
                            u"PCIROOT(0)#USBROOT(2)#USB(3)#USB(+4)"});
       t.add_port(u"COM3", u"USB\\VID_1234&PID_0003").location_paths({u"", u"PCIROOT(0)#USBROOT(2)#USB(3)"});
       t.add_port(u"COM4", u"USB\\VID_1234&PID_0004")
           .property(kSpdrpLocationPaths, SimValue::sz(u"PCIROOT(0)#USBROOT(2)#USB(3)"));
       t.add_port(u"COM5", u"USB\\VID_1234&PID_0005").location_paths({u"X#USBROOT(abc)#USB(7)"});
     },
     {{.device = "COM1",
       .description = "COM1",
       .hwid = "USB VID:PID=1234:0001 LOCATION=4294967295-1",
       .vid = 0x1234,
       .pid = 0x0001,
       .location = "4294967295-1"},
      {.device = "COM2",
       .description = "COM2",
       .hwid = "USB VID:PID=1234:0002 LOCATION=3-3.4",
       .vid = 0x1234,
       .pid = 0x0002,
       .location = "3-3.4"},
      {.device = "COM3", .description = "COM3", .hwid = "USB VID:PID=1234:0003", .vid = 0x1234, .pid = 0x0003},
      {.device = "COM4", .description = "COM4", .hwid = "USB VID:PID=1234:0004", .vid = 0x1234, .pid = 0x0004},
      {.device = "COM5",
       .description = "COM5",
       .hwid = "USB VID:PID=1234:0005 LOCATION=X#USBROOT(abc)-7",
       .vid = 0x1234,
       .pid = 0x0005,
       .location = "X#USBROOT(abc)-7"}}},
    {"a port known only to SERIALCOMM is added when the map knows more ports",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM1", u"ACPI\\PNP0501\\1");
       t.add_serialcomm(u"\\Device\\Serial0", u"COM1");
       t.add_serialcomm(u"\\Device\\VSerial1", u"COM20");
       t.add_serialcomm(u"\\Device\\VSerial2", u"COM20");  // duplicates collapse
       t.add_serialcomm(u"\\Device\\VSerial3", u"COM21");
     },
     {plain("COM1"), plain("COM20"), plain("COM21")}},
    {"SERIALCOMM is ignored when it knows no more ports than the walk found",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM1", u"ACPI\\PNP0501\\1");
       t.add_port(u"COM2", u"ACPI\\PNP0501\\2");
       t.add_serialcomm(u"\\Device\\VSerial1", u"COM20");
       t.add_serialcomm(u"\\Device\\VSerial2", u"COM21");
     },
     {plain("COM1"), plain("COM2")}},
    {"SERIALCOMM is read up to the first value that is not a proper string",
     [](SimulatedDeviceTree& t) {
       t.add_serialcomm(u"a", u"COM1");
       t.add_serialcomm(u"empty", u"");  // names no port
       t.add_serialcomm(u"b", u"COM2");
       t.serialcomm->emplace_back(u"c", SimValue::raw(4, u"\x0003\0"sv));  // REG_DWORD
       t.add_serialcomm(u"d", u"COM3");
     },
     {plain("COM1"), plain("COM2")}},
    {"SERIALCOMM values of odd or oversized length end the read",
     [](SimulatedDeviceTree& t) {
       t.add_serialcomm(u"a", u"COM1");
       t.serialcomm->emplace_back(u"b", SimValue{kRegSz, {'C', 0, 'O', 0, 'M', 0, '2', 0, 0}, {}});
       t.add_serialcomm(u"c", u"COM3");
       t.add_serialcomm(u"d", u"COM4");
     },
     {plain("COM1")}},
    {"SERIALCOMM count larger than its values",
     [](SimulatedDeviceTree& t) {
       t.add_serialcomm(u"a", u"COM1");
       t.add_serialcomm(u"b", u"COM2");
       t.serialcomm_count = 50;
     },
     {plain("COM1"), plain("COM2")}},
    {"SERIALCOMM whose value count cannot be read adds nothing",
     [](SimulatedDeviceTree& t) {
       t.add_serialcomm(u"a", u"COM1");
       t.serialcomm_count_fails = true;
     },
     {}},
    {"a device set that cannot be made yields no devices",
     [](SimulatedDeviceTree& t) {
       t.add_port(u"COM1", u"ACPI\\PNP0501\\1");
       t.class_devs_fail = true;
       t.add_serialcomm(u"a", u"COM1");
     },
     {plain("COM1")}},
};

TEST_F(WindowsEnumeration, DeviceTable) {
  for (const DeviceCase& c : kDeviceCases) {
    SCOPED_TRACE(c.name);
    tree = SimulatedDeviceTree{};
    c.build(tree);
    EXPECT_EQ(list(), c.expected);
    EXPECT_EQ(tree.open_sets, 0);
    EXPECT_EQ(tree.open_keys, 0);
    expect_no_misuse(tree);
  }
}

TEST_F(WindowsEnumeration, EveryDeviceSetAndKeyOpenedIsReleased) {
  tree.add_port(u"COM1", u"ACPI\\PNP0501\\1");
  tree.add_port(u"LPT1", u"ACPI\\PNP0400\\1");
  tree.add_port(u"COM9", u"USB\\VID_1111&PID_2222\\MDM", kModemGuid);
  tree.add_serialcomm(u"a", u"COM1");
  list();
  EXPECT_EQ(tree.sets_created, 2);
  EXPECT_EQ(tree.keys_opened, 4);  // three PortName keys and SERIALCOMM
}

// --- the class GUIDs ---

TEST_F(WindowsEnumeration, SeveralGuidsForOneClassTakeTwoCalls) {
  const Guid second{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  tree.class_guids[u"Ports"] = {kPortsGuid, second};
  tree.add_port(u"COM2", u"ACPI\\PNP0501\\2", second);
  tree.add_port(u"COM1", u"ACPI\\PNP0501\\1");
  tree.add_port(u"COM9", u"ACPI\\PNP0501\\9", kModemGuid);
  EXPECT_EQ(list(), (std::vector{plain("COM1"), plain("COM2"), plain("COM9")}));
  EXPECT_EQ(tree.class_guid_calls, (GuidCalls{{u"Ports", 1}, {u"Ports", 2}, {u"Modem", 1}}));
}

TEST_F(WindowsEnumeration, ClassWithoutGuidsContributesNothing) {
  tree.class_guids.erase(u"Modem");
  tree.add_port(u"COM1", u"ACPI\\PNP0501\\1");
  EXPECT_EQ(list(), std::vector{plain("COM1")});
  EXPECT_EQ(tree.sets_created, 1);
}

TEST_F(WindowsEnumeration, SurplusRoomOfTheSecondCallIsDropped) {
  // The count shrinks between the two calls.
  tree.class_guids_hook = [](std::u16string_view name, Guid* guids, std::uint32_t size, std::uint32_t* required) {
    if (name == u"Modem") return *required = 0, 0u;
    if (size < 3) return *required = 3, kErrorInsufficientBuffer;
    guids[0] = kPortsGuid;
    guids[1] = kModemGuid;
    return *required = 2, 0u;
  };
  tree.add_port(u"COM1", u"ACPI\\PNP0501\\1");
  tree.add_port(u"COM9", u"ACPI\\PNP0501\\9", kModemGuid);
  EXPECT_EQ(list(), (std::vector{plain("COM1"), plain("COM9")}));
  EXPECT_EQ(tree.sets_created, 2);
}

TEST_F(WindowsEnumeration, AnIncredibleGuidCountSkipsTheClass) {
  tree.class_guids_hook = [](std::u16string_view name, Guid* guids, std::uint32_t, std::uint32_t* required) {
    if (name == u"Ports") return *required = 0xFFFFFFFF, kErrorInsufficientBuffer;
    guids[0] = kModemGuid;
    return *required = 1, 0u;
  };
  tree.add_port(u"COM1", u"ACPI\\PNP0501\\1");
  tree.add_port(u"COM9", u"ACPI\\PNP0501\\9", kModemGuid);
  EXPECT_EQ(list(), std::vector{plain("COM9")});
  EXPECT_EQ(tree.class_guid_calls, (GuidCalls{{u"Ports", 1}, {u"Modem", 1}}));
}

TEST_F(WindowsEnumeration, FailingGuidLookupFailsTheListing) {
  struct Case {
    const char* name;
    std::function<std::uint32_t(std::u16string_view, Guid*, std::uint32_t, std::uint32_t*)> hook;
  };
  const Case cases[] = {
      {"first call for Ports", [](auto, Guid*, std::uint32_t, std::uint32_t*) { return 5u; }},
      {"first call for Modem",
       [](std::u16string_view name, Guid*, std::uint32_t, std::uint32_t* required) {
         return name == u"Modem" ? 1784u : (*required = 0, 0u);
       }},
      {"too small without a larger count",
       [](auto, Guid*, std::uint32_t, std::uint32_t* required) { return *required = 1, kErrorInsufficientBuffer; }},
      {"second call",
       [](auto, Guid*, std::uint32_t size, std::uint32_t* required) {
         return size == 1 ? (*required = 2, kErrorInsufficientBuffer) : 13u;
       }},
  };
  tree.add_port(u"COM1", u"ACPI\\PNP0501\\1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tree.class_guids_hook = c.hook;
    Result<std::vector<PortRecord>> r = list_windows_ports(tree);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), PortError::failure("Unable to determine number of Ports GUIDs"));
    EXPECT_FALSE(r.error().code());
    EXPECT_EQ(tree.sets_created, 0);
    EXPECT_EQ(tree.keys_opened, 0);
  }
}

// --- scanners and parsers as tables ---

TEST(InstanceIdScanner, Table) {
  struct Case {
    std::string_view id;
    std::optional<HardwareIdMatch> match;
  };
  using M = HardwareIdMatch;
  const Case cases[] = {
      {"USB\\VID_1234&PID_ABCD\\SN0001", M{"1234", "ABCD", {}, "SN0001"}},
      {"USB\\VID_1234&PID_5678&MI_00\\6&2A&0&0000", M{"1234", "5678", "00", "6"}},
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", M{"0403", "6001", {}, "A50285BIA"}},
      {"USB\\VID_1234+PID_5678+MI_01+X", M{"1234", "5678", "01", "X"}},
      {"USB\\VID_1234&PID_5678", M{"1234", "5678", {}, {}}},
      {"USB\\VID_1234&PID_5678&MI_01", M{"1234", "5678", "01", {}}},
      {"USB\\VID_1234&PID_5678&MI_0", M{"1234", "5678", {}, {}}},  // interface truncated
      {"USB\\VID_1234&PID_5678&MI_", M{"1234", "5678", {}, {}}},
      {"USB\\VID_1234&PID_5678&MI_0\\", M{"1234", "5678", "0\\", {}}},
      {"USB\\VID_1234&PID_5678\\", M{"1234", "5678", {}, ""}},
      {"USB\\VID_1234&PID_5678\\#ABC", M{"1234", "5678", {}, ""}},
      {"USB\\VID_1234&PID_5678\\AB CD", M{"1234", "5678", {}, "AB"}},
      {"USB\\VID_1234&PID_5678/AB", M{"1234", "5678", {}, {}}},
      {"USB\\VID_1234&PID_5678\\SN-1:2_3\uFF3F4\u00E95\u0663\u2163x",
       M{"1234", "5678", {}, "SN-1:2_3\uFF3F4\u00E95\u0663\u2163x"}},
      {"USB\\VID_1234&PID_5678\\AB\u00B7C", M{"1234", "5678", {}, "AB"}},  // U+00B7 is punctuation
      {"USB\\VID_1234&PID_5678\\A\xFF" "B", M{"1234", "5678", {}, "A"}},     // invalid byte ends the run
      {"X VID_GGGG&PID_ZZZZ", M{"GGGG", "ZZZZ", {}, {}}},                   // digits are checked later
      {"VID_12\u00E9&PID_5678", M{"12\u00E9", "5678", {}, {}}},             // 4 bytes, whole characters
      {"USB\\VID_1234_PID_5678", {}},
      {"USB\\VID_1234-PID_5678", {}},
      {"USB\\VID_1234&PID_56", {}},
      {"USB\\VID_12", {}},
      {"USB\\VID_", {}},
      {"USB\\VID_123\u00E9&PID_5678", {}},  // the 4 bytes split a character
      {"USB\\VID_1234&PID_567\u00E9", {}},
      {"usb\\vid_1234&pid_5678", {}},
      {"VID_VID_1234&PID_5678", {}},  // only the first VID_ counts
      {"ACPI\\PNP0501\\1", {}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(scan_instance_id(c.id), c.match) << c.id;
}

TEST(LocationPathParser, Table) {
  struct Case {
    std::string_view path;
    std::optional<UsbLocation> location;
  };
  const std::string root = "PCIROOT(0)#PCI(1400)#USBROOT(0)";
  using L = UsbLocation;
  const Case cases[] = {
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", L{root, {2, 3}}},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)", L{root, {}}},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(+7)#USB(007)#USB(0)#USB(255)", L{root, {7, 7, 0, 255}}},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(1)", L{root, {2}}},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)xx#USB(4)yy", L{root, {4}}},
      {"#USBROOT()", L{"#USBROOT()", {}}},
      {"#USBROOT(0)#USB(1)#USB(2", {}},
      {"#USBROOT(0)#USB(256)", {}},
      {"#USBROOT(0)#USB(99999999999999999999)", {}},
      {"#USBROOT(0)#USB()", {}},
      {"#USBROOT(0)#USB(+)", {}},
      {"#USBROOT(0)#USB(-1)", {}},
      {"#USBROOT(0)#USB(0x1)", {}},
      {"#USBROOT(0)#USB( 1)", {}},
      {"#USBROOT(0", {}},
      {"PCIROOT(0)USBROOT(0)#USB(1)", {}},
      {"ACPI(_SB_)#ACPI(PCI0)", {}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_location_path(c.path), c.location) << c.path;
}

TEST(LocationPathParser, MultiStringTakesTheFirstPathThatGivesALocation) {
  using namespace std::string_view_literals;
  struct Case {
    std::u16string_view multi;
    std::optional<UsbLocation> location;
  };
  const Case cases[] = {
      {u"ACPI(x)\0#USBROOT(1)#USB(4)\0\0"sv, UsbLocation{"#USBROOT(1)", {4}}},
      {u"#USBROOT(0)#USB(999)\0#USBROOT(1)#USB(4)\0\0"sv, UsbLocation{"#USBROOT(1)", {4}}},
      {u"#USBROOT(0)#USB(1)\0#USBROOT(1)#USB(4)\0\0"sv, UsbLocation{"#USBROOT(0)", {1}}},
      {u"\0#USBROOT(1)#USB(4)\0\0"sv, {}},  // an empty path ends the list
      {u"#USBROOT(2)#USB(5)"sv, UsbLocation{"#USBROOT(2)", {5}}},  // no terminator at all
      {u""sv, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_location_paths(c.multi), c.location);
}

TEST(LocationText, BusIsTheRootHubNumberPlusOne) {
  struct Case {
    UsbLocation location;
    std::string_view text;
  };
  const Case cases[] = {
      {{"PCIROOT(0)#PCI(1400)#USBROOT(0)", {2, 3}}, "1-2.3"},
      {{"PCIROOT(0)#PCI(1400)#USBROOT(0)", {}}, "1-"},
      {{"#USBROOT(4294967294)", {1}}, "4294967295-1"},
      {{"#USBROOT(4294967295)", {1}}, "4294967295-1"},
      {{"#USBROOT(4294967296)", {1}}, "#USBROOT(4294967296)-1"},
      {{"#USBROOT(007)", {1}}, "8-1"},
      {{"#USBROOT(12abc)", {255, 0}}, "13-255.0"},
      {{"#USBROOT()", {1}}, "#USBROOT()-1"},
      {{"#USBROOT(+1)", {1}}, "#USBROOT(+1)-1"},
  };
  for (const Case& c : cases) EXPECT_EQ(location_text(c.location), c.text) << c.location.root;
}

TEST(NumberParsers, Table) {
  struct Case {
    std::string_view text;
    std::optional<std::uint16_t> hex16;
    std::optional<std::uint8_t> hex8;
    std::optional<std::uint8_t> dec8;
  };
  const Case cases[] = {
      {"0", 0, 0, 0},
      {"12", 0x12, 0x12, 12},
      {"+12", 0x12, 0x12, 12},
      {"ff", 0xFF, 0xFF, {}},
      {"aBcD", 0xABCD, {}, {}},
      {"255", 0x255, {}, 255},
      {"256", 0x256, {}, {}},
      {"0000FFFF", 0xFFFF, {}, {}},
      {"10000", {}, {}, {}},
      {"", {}, {}, {}},
      {"+", {}, {}, {}},
      {"++1", {}, {}, {}},
      {"-1", {}, {}, {}},
      {"0x1", {}, {}, {}},
      {" 1", {}, {}, {}},
      {"1 ", {}, {}, {}},
      {"G", {}, {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_hex_u16(c.text), c.hex16) << c.text;
    EXPECT_EQ(parse_hex_u8(c.text), c.hex8) << c.text;
    EXPECT_EQ(parse_dec_u8(c.text), c.dec8) << c.text;
  }
}

TEST(DecodeUtf16, ReplacesBrokenSurrogatesAndDropsTrailingNuls) {
  using namespace std::string_view_literals;
  struct Case {
    std::u16string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {u"COM1\0\0\0"sv, "COM1"},
      {u"A\0B\0"sv, "A\0B"sv},
      {u"\0\0"sv, ""},
      {u"\u00E9\u4E2D"sv, "\u00E9\u4E2D"},
      {u"\xD83D\xDE00"sv, "\xF0\x9F\x98\x80"},
      {u"a\xD83D"sv, "a\uFFFD"},
      {u"\xDE00\xD83D" "b"sv, "\uFFFD\uFFFD" "b"},
      {u"\xD83D\xD83D\xDE00"sv, "\uFFFD\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_utf16(c.in), c.out);
}

}  // namespace
}  // namespace corvalink::ports
