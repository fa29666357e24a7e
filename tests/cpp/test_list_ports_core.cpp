#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "list_ports.hpp"

namespace corvalink::ports {
namespace {

TEST(SanitizeUtf8, ReplacesEachMaximalInvalidSubpart) {
  // Expected results are those of Python's bytes.decode("utf-8", "replace").
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"\xE2\x82", "\xEF\xBF\xBD"},                // truncated at the end
      {"\xE2\x82" "A", "\xEF\xBF\xBD" "A"},         // truncated before ASCII
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},     // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(sanitize_utf8(c.in), c.out) << c.in;
}

TEST(NaturalKey, SplitsDigitAndOtherRuns) {
  EXPECT_EQ(natural_key(""), NaturalKey{});
  EXPECT_EQ(natural_key("COM10"), (NaturalKey{{'C', 'O', 'M'}, {10}}));
  EXPECT_EQ(natural_key("a01b"), (NaturalKey{{'a'}, {1}, {'b'}}));
  // Multi-byte characters stay whole in their non-digit run.
  EXPECT_EQ(natural_key("\xC3\xA9" "7"), (NaturalKey{{0xC3, 0xA9}, {7}}));
}

TEST(NaturalKey, DigitRunsUpTo128Bits) {
  const KeyUnit max = ~KeyUnit{0};
  EXPECT_EQ(natural_key("340282366920938463463374607431768211455"), (NaturalKey{{max}}));
  NaturalKey too_long = natural_key("340282366920938463463374607431768211456");
  ASSERT_EQ(too_long.size(), 1u);
  ASSERT_EQ(too_long[0].size(), 39u);
  EXPECT_EQ(too_long[0][0], KeyUnit{'3'});
  EXPECT_TRUE(natural_less("COM", "COM0"));
  EXPECT_TRUE(natural_less("COM9", "COM10"));
  EXPECT_FALSE(natural_less("COM01", "COM1"));
  EXPECT_FALSE(natural_less("COM1", "COM01"));
}

TEST(DeviceHash, IsSipHash13WithZeroKeyOverDeviceAndFF) {
  // Reference: the interpreter's SipHash-1-3 bytes hash with PYTHONHASHSEED=0,
  // hash(b"COM3\xff").
  EXPECT_EQ(siphash13(0, 0, std::string_view("COM3\xFF", 5)), 16607074886270082307ULL);
  EXPECT_EQ(device_hash("COM3"), -1839669187439469309LL);
  EXPECT_EQ(device_hash("COM3"), device_hash(std::string("COM") + "3"));
  EXPECT_NE(device_hash("COM3"), device_hash("COM4"));
}

TEST(PortRecord, ForDeviceDerivesNameAndDefaults) {
  PortRecord r = PortRecord::for_device("/dev/ttyUSB0");
  EXPECT_EQ(r.name, "ttyUSB0");
  EXPECT_EQ(r.description, "n/a");
  EXPECT_EQ(r.hwid, "n/a");
  r.vid = 0x1234;
  r.pid = 0xABCD;
  r.serial_number = "SN0001";
  r.location = "1-2.3";
  r.apply_usb_info();
  EXPECT_EQ(r.description, "ttyUSB0");
  EXPECT_EQ(r.hwid, "USB VID:PID=1234:ABCD SER=SN0001 LOCATION=1-2.3");
}

}  // namespace
}  // namespace corvalink::ports
