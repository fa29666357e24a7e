// The port description record: derived name and USB strings, natural
// ordering and the device hash. No interpreter involved.

#include <algorithm>
#include <bit>
#include <cstring>
#include <format>

#include "listing/port_info.hpp"

namespace corvalink::ports {

PortRecord PortRecord::for_device(std::string device) {
  PortRecord r;
  r.name = derive_name(device);
  r.device = std::move(device);
  return r;
}

std::string PortRecord::usb_description() const {
  if (!interface) return product ? *product : name;
  return std::format("{} - {}", product ? std::string_view(*product) : std::string_view("None"), *interface);
}

std::string PortRecord::usb_info() const {
  std::string s = std::format("USB VID:PID={:04X}:{:04X}", vid.value_or(0), pid.value_or(0));
  if (serial_number) s += std::format(" SER={}", *serial_number);
  if (location) s += std::format(" LOCATION={}", *location);
  return s;
}

void PortRecord::apply_usb_info() {
  std::string d = usb_description();
  std::string h = usb_info();
  description = std::move(d);
  hwid = std::move(h);
}

// --- name derivation ---

namespace {

bool is_sep(char c, bool verbatim) { return c == '\\' || (!verbatim && c == '/'); }

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Length of the next component of s (up to the first separator).
std::size_t component_len(std::string_view s, bool verbatim) {
  std::size_t i = 0;
  while (i < s.size() && !is_sep(s[i], verbatim)) ++i;
  return i;
}

bool is_drive(std::string_view s) {
  return s.size() >= 2 && s[1] == ':' && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

struct Prefix {
  std::size_t length = 0;
  bool verbatim = false;
};

// Recognises \\?\UNC\server\share, \\?\C:, \\?\x, \\.\device, \\server\share
// and C: at the start of a path.
Prefix parse_prefix(std::string_view p) {
  if (starts_with(p, "\\\\")) {
    std::string_view rest = p.substr(2);
    if (starts_with(rest, "?\\")) {
      rest = rest.substr(2);
      if (starts_with(rest, "UNC\\")) {
        rest = rest.substr(4);
        std::size_t server = component_len(rest, true);
        std::size_t len = 8 + server;
        if (server < rest.size()) {
          std::size_t share = component_len(rest.substr(server + 1), true);
          if (share > 0) len += 1 + share;
        }
        return {len, true};
      }
      std::size_t first = component_len(rest, true);
      std::string_view comp = rest.substr(0, first);
      if (comp.size() == 2 && is_drive(comp)) return {6, true};
      return {4 + first, true};
    }
    if (starts_with(rest, ".\\")) return {4 + component_len(rest.substr(2), false), false};
    std::size_t server = component_len(rest, false);
    if (server > 0 && server < rest.size()) {
      std::size_t share = component_len(rest.substr(server + 1), false);
      if (share > 0) return {2 + server + 1 + share, false};
    }
    return {};
  }
  if (is_drive(p)) return {2, false};
  return {};
}

}  // namespace

std::string derive_name(std::string_view device) {
  Prefix prefix = parse_prefix(device);
  std::string_view rest = device.substr(prefix.length);
  enum class Last { None, Normal, Other } last = Last::None;
  std::string_view last_name;
  bool first = true;
  while (true) {
    std::size_t n = component_len(rest, prefix.verbatim);
    std::string_view comp = rest.substr(0, n);
    if (comp.empty()) {
      // separators and empty components carry no name
    } else if (comp == ".") {
      // "." only counts in verbatim paths and at the start of a rootless path
      if (prefix.verbatim || first) last = Last::Other;
    } else if (comp == "..") {
      last = Last::Other;
    } else {
      last = Last::Normal;
      last_name = comp;
    }
    first = false;
    if (n >= rest.size()) break;
    rest = rest.substr(n + 1);
  }
  if (last == Last::Normal) return sanitize_utf8(last_name);
  return std::string(device);
}

std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  const std::size_t n = s.size();
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < n) {
    unsigned char c = byte(i);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t good = 1;  // bytes of a valid prefix of the sequence
    if (len > 0) {
      while (good < len && i + good < n) {
        unsigned char b = byte(i + good);
        unsigned char l = good == 1 ? lo : 0x80, h = good == 1 ? hi : 0xBF;
        if (b < l || b > h) break;
        ++good;
      }
    }
    if (len > 0 && good == len) {
      out.append(s.substr(i, len));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += good;
  }
  return out;
}

// --- natural ordering ---

NaturalKey natural_key(std::string_view text) {
  NaturalKey key;
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  while (i < text.size()) {
    bool digits = is_digit(text[i]);
    std::size_t j = i;
    while (j < text.size() && is_digit(text[j]) == digits) ++j;
    std::string_view run = text.substr(i, j - i);
    std::vector<KeyUnit> units;
    bool fits = digits;
    if (digits) {
      constexpr KeyUnit kMax = ~KeyUnit{0};
      KeyUnit value = 0;
      for (char c : run) {
        auto d = static_cast<KeyUnit>(c - '0');
        if (value > (kMax - d) / 10) {
          fits = false;
          break;
        }
        value = value * 10 + d;
      }
      if (fits) units.push_back(value);
    }
    if (!fits) {
      units.reserve(run.size());
      for (char c : run) units.push_back(static_cast<unsigned char>(c));
    }
    key.push_back(std::move(units));
    i = j;
  }
  return key;
}

bool natural_less(std::string_view a, std::string_view b) { return natural_key(a) < natural_key(b); }

// --- hash ---

namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p, std::size_t n) {
  std::uint64_t m = 0;
  for (std::size_t k = 0; k < n; ++k) m |= std::uint64_t{p[k]} << (8 * k);
  return m;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) s.absorb(load_le64(p + i, 8));
  std::uint64_t last = (std::uint64_t{n} << 56) | load_le64(p + i, n - i);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::int64_t device_hash(std::string_view device) {
  std::string data(device);
  data += '\xFF';
  auto h = static_cast<std::int64_t>(siphash13(0, 0, data));
  return h == -1 ? -2 : h;
}

// --- records shared between threads ---

std::int64_t SharedPortRecord::hash() const {
  return read([](const PortRecord& r) { return device_hash(r.device); });
}

bool same_device(const SharedPortRecord& a, const SharedPortRecord& b) {
  if (&a == &b) return true;
  std::string mine = a.device();
  return b.read([&](const PortRecord& r) { return r.device == mine; });
}

bool device_less(const SharedPortRecord& a, const SharedPortRecord& b) {
  if (&a == &b) return false;
  std::string mine = a.device();
  std::string theirs = b.device();
  return natural_less(mine, theirs);
}

}  // namespace corvalink::ports
