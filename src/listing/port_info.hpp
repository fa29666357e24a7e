// Port listing: the description record behind ListPortInfo, its derived
// strings, natural ordering and hash, and the enumeration of the machine's
// serial ports.
//
// Everything in namespace corvalink::ports is plain C++ (no interpreter) and
// lives in the engine library; the Python class and comports() are built on
// it in list_ports.cpp.
#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The interpreter's object type, declared the way Python.h declares it so
// this header stays usable without the interpreter's headers.
typedef struct _object PyObject;

namespace corvalink {

// Adds ListPortInfo and comports to the corvalink.tools.list_ports module.
// 0 on success, -1 with a Python exception set.
int add_list_ports_members(PyObject* module);

namespace ports {

// One serial port as ListPortInfo shows it.
struct PortRecord {
  std::string device;
  std::string name;
  std::string description = "n/a";
  std::string hwid = "n/a";
  std::optional<std::uint16_t> vid;
  std::optional<std::uint16_t> pid;
  std::optional<std::string> serial_number;
  std::optional<std::string> location;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<std::string> interface;

  // A record for the device with its derived name and "n/a" texts.
  static PortRecord for_device(std::string device);

  // The product (or name), or "{product} - {interface}" for one interface
  // of a device.
  std::string usb_description() const;
  // "USB VID:PID=XXXX:XXXX[ SER=..][ LOCATION=..]".
  std::string usb_info() const;
  // Stores usb_description() and usb_info() into description and hwid.
  void apply_usb_info();
};

// A PortRecord that several threads may read and change at once, as one
// ListPortInfo is in a free-threaded interpreter. A short reader-writer lock
// guards it: readers wait out a writer instead of failing, so every reader
// sees a whole record. The lock is held only while plain C++ data is copied,
// compared or changed; callers build interpreter objects from what read()
// returned, after the lock is released, and never call back into Python
// from inside read() or write().
class SharedPortRecord {
 public:
  explicit SharedPortRecord(PortRecord record) : record_(std::move(record)) {}
  SharedPortRecord(const SharedPortRecord&) = delete;
  SharedPortRecord& operator=(const SharedPortRecord&) = delete;

  // f(const PortRecord&) under the shared lock; returns what f returns.
  template <class F>
  auto read(F&& f) const {
    std::shared_lock lock(mutex_);
    return std::forward<F>(f)(std::as_const(record_));
  }
  // f(PortRecord&) under the exclusive lock; returns what f returns.
  template <class F>
  auto write(F&& f) {
    std::unique_lock lock(mutex_);
    return std::forward<F>(f)(record_);
  }

  PortRecord snapshot() const {
    return read([](const PortRecord& r) { return r; });
  }
  std::string device() const {
    return read([](const PortRecord& r) { return r.device; });
  }
  std::int64_t hash() const;

 private:
  mutable std::shared_mutex mutex_;
  PortRecord record_;
};

// Equality and natural order of two shared records by device. They hold one
// record's lock at a time, so a == b and b == a in two threads cannot wait
// on each other, and a record compares with itself.
bool same_device(const SharedPortRecord& a, const SharedPortRecord& b);
bool device_less(const SharedPortRecord& a, const SharedPortRecord& b);

// The last component of device read as a Windows path (both separators,
// drive and device prefixes); the whole device when the path ends in a
// prefix, a root or "..".
std::string derive_name(std::string_view device);

// Replaces every invalid UTF-8 sequence with U+FFFD.
std::string sanitize_utf8(std::string_view bytes);

// Natural ordering: the text split into digit and non-digit runs; a digit
// run that fits 128 bits counts as its value, any other run byte by byte.
__extension__ typedef unsigned __int128 KeyUnit;
using NaturalKey = std::vector<std::vector<KeyUnit>>;
NaturalKey natural_key(std::string_view text);
bool natural_less(std::string_view a, std::string_view b);

// SipHash-1-3 of data with a 128-bit key given as two little-endian words.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data);
// The hash of a port: SipHash-1-3 with a zero key over the device's bytes
// and one 0xFF byte, read as signed; -1 becomes -2.
std::int64_t device_hash(std::string_view device);

// Serial ports found under a Linux sysfs tree (sysfs_root/class/tty), with
// device names under dev_root, in natural order of the device. Ports without
// a device behind them and 8250 placeholders (UART type 0) are left out;
// USB ports carry the USB device's details.
std::vector<PortRecord> enumerate_sysfs(const std::filesystem::path& sysfs_root,
                                        const std::filesystem::path& dev_root);

}  // namespace ports
}  // namespace corvalink
