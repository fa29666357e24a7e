#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "listing/port_info.hpp"

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


// One ListPortInfo shared by Python threads: one thread keeps rewriting it
// (and its twin of the same device) while others compare, order, hash and
// copy it. Every reader must see whole records and never a wrong answer; under
// ThreadSanitizer this also shows that nothing is touched outside the lock.
TEST(SharedPortRecord, ReadersSeeWholeRecordsWhileAWriterChangesThem) {
  auto start = [](const char* device) {
    PortRecord r = PortRecord::for_device(device);
    r.description = "d0";
    r.product = "p0";
    return r;
  };
  SharedPortRecord info(start("COM3"));
  SharedPortRecord twin(start("COM3"));
  SharedPortRecord later(start("COM10"));
  const std::int64_t hash = device_hash("COM3");
  // description and product are written together and end in the same tag.
  auto whole = [](const PortRecord& r) {
    return r.device == "COM3" && r.product && r.description.substr(1) == r.product->substr(1);
  };

  constexpr int kWrites = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= kWrites; ++i) {
      // Long texts live on the heap, short ones inside the string: a torn
      // copy of either shows.
      std::string tag = i % 2 ? std::string(40, static_cast<char>('a' + i % 26)) : std::to_string(i);
      SharedPortRecord& target = i % 3 ? info : twin;
      target.write([&](PortRecord& r) {
        r.device = i % 2 ? "COM3" : std::string("COM") + "3";
        r.description = "d" + tag;
        r.product = "p" + tag;
        r.vid = static_cast<std::uint16_t>(i);
        if (i % 5 == 0) r.apply_usb_info();  // description = product
      });
    }
    done.store(true, std::memory_order_release);
  });

  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int k = 0; k < 3; ++k) {
    readers.emplace_back([&] {
      while (!done.load(std::memory_order_acquire)) {
        bool ok = same_device(info, twin) && same_device(twin, info) && same_device(info, info) &&
                  !device_less(info, twin) && !device_less(twin, info) && device_less(info, later) &&
                  !device_less(later, info) && info.hash() == hash && info.device() == "COM3" &&
                  info.read(whole) && twin.read(whole) && whole(info.snapshot());
        if (!ok) wrong.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  // The last write (number 20000) went to info and applied the USB info.
  PortRecord last = info.snapshot();
  EXPECT_EQ(last.vid, std::uint16_t{kWrites});
  EXPECT_EQ(last.description, "p20000");
  EXPECT_EQ(last.product, "p20000");
}

}  // namespace
}  // namespace corvalink::ports
