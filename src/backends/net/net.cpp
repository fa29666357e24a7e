#include "backends/net/net.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <format>
#include <utility>

namespace corvalink {

using namespace std::chrono_literals;
namespace com = telnet::com;

namespace {

// in_waiting reads ahead into our buffer at most this far.
constexpr std::size_t kInputCap = std::size_t{1} << 20;
// A wait for the server's answer keeps reading past kInputCap, so an answer
// behind a backlog is seen; this is the bound of what it holds meanwhile.
constexpr std::size_t kAwaitCap = std::size_t{64} << 20;
// Received bytes one call takes in before it lets the caller look at its
// deadline, a cancel or a close: a server may send commands without end.
constexpr std::size_t kReceiveBudget = std::size_t{256} << 10;
// Replies for the server queue up to this much; beyond it nothing more is
// taken in until the server reads (each command taken in may need a reply).
constexpr std::size_t kOutCap = std::size_t{64} << 10;
// Hand-overs remembered for out_waiting before the acknowledged ones go.
constexpr std::size_t kMaxSentMarks = 1024;
// Reads into smaller buffers (a line reader's single bytes, short replies)
// go through our buffer, so one system call serves many of them.
constexpr std::size_t kDirectMin = 1024;
// Data with 0xFF in it is escaped in pieces of at most this many bytes.
constexpr std::size_t kEscapeChunk = 16384;

bool starts_with_nocase(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

constexpr std::string_view kSocketPrefix = "socket://";
constexpr std::string_view kRfc2217Prefix = "rfc2217://";

PortError bad_url(std::string_view name, std::string_view why) {
  return PortError::invalid_value(std::format("invalid URL '{}': {}", name, why));
}

PortError open_failure(std::string_view name, std::string_view cause, const PortError& from) {
  return PortError::failure(std::format("could not open port '{}': {}", name, cause), from.code(), from.code_space());
}

std::uint8_t parity_code(Parity p) {
  switch (p) {
    case Parity::None: return 1;
    case Parity::Odd: return 2;
    case Parity::Even: return 3;
    case Parity::Mark: return 4;
    case Parity::Space: return 5;
  }
  return 1;
}

std::uint8_t stopsize_code(StopBits s) {
  switch (s) {
    case StopBits::One: return 1;
    case StopBits::Two: return 2;
    case StopBits::OnePointFive: return 3;
  }
  return 1;
}

// One SET-CONTROL value for the outbound flow control: RTS/CTS before
// DSR/DTR before XON/XOFF (dsrdtr follows rtscts unless set on its own).
std::uint8_t flow_code(const PortSettings& s) {
  if (s.rtscts) return com::kFlowHardware;
  if (s.dsrdtr) return com::kFlowDsr;
  if (s.xonxoff) return com::kFlowXonXoff;
  return com::kFlowNone;
}

std::string flow_name(std::uint8_t code) {
  switch (code) {
    case com::kFlowNone: return "none";
    case com::kFlowXonXoff: return "XON/XOFF";
    case com::kFlowHardware: return "RTS/CTS";
    case com::kFlowDsr: return "DSR/DTR";
    default: return std::format("code {}", code);
  }
}

}  // namespace

// --- URLs ----------------------------------------------------------------------

bool is_net_url(std::string_view name) {
  return starts_with_nocase(name, kSocketPrefix) || starts_with_nocase(name, kRfc2217Prefix);
}

Result<NetUrl> parse_net_url(std::string_view name) {
  NetUrl url;
  std::string_view rest;
  if (starts_with_nocase(name, kSocketPrefix)) {
    url.scheme = NetUrl::Scheme::Socket;
    rest = name.substr(kSocketPrefix.size());
  } else if (starts_with_nocase(name, kRfc2217Prefix)) {
    url.scheme = NetUrl::Scheme::Rfc2217;
    rest = name.substr(kRfc2217Prefix.size());
  } else {
    return fail(bad_url(name, "not a network port"));
  }
  const std::string_view form = url.scheme == NetUrl::Scheme::Socket
                                    ? "expected socket://HOST:PORT[?timeout=SECONDS]"
                                    : "expected rfc2217://HOST:PORT[?timeout=SECONDS]";
  std::string_view query;
  bool has_query = false;
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
    has_query = true;
  }

  std::string_view host, port;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) return fail(bad_url(name, "an IPv6 address needs its closing ']'"));
    host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.starts_with(':')) return fail(bad_url(name, form));
    port = rest.substr(1);
  } else {
    const auto colon = rest.rfind(':');
    if (colon == std::string_view::npos) return fail(bad_url(name, form));
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos)
      return fail(bad_url(name, "an IPv6 address goes in brackets, as in [::1]:PORT"));
  }
  if (host.empty()) return fail(bad_url(name, std::format("no host; {}", form)));
  for (char c : host) {
    if (static_cast<unsigned char>(c) <= ' ' || std::string_view("/\\@[]#").find(c) != std::string_view::npos)
      return fail(bad_url(name, std::format("'{}' is not a host name or address", host)));
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || port.front() == '+' || value == 0 ||
      value > 65535)
    return fail(bad_url(name, "the port must be a number from 1 to 65535"));
  url.target.host = std::string(host);
  url.target.port = static_cast<std::uint16_t>(value);

  if (has_query) {
    bool timeout_given = false;
    while (!query.empty()) {
      const auto amp = query.find('&');
      std::string_view item = query.substr(0, amp);
      query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
      if (item.empty()) continue;
      const auto eq = item.find('=');
      const std::string_view key = item.substr(0, eq);
      const std::string_view text = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
      if (key != "timeout")
        return fail(PortError::invalid_value(std::format("unknown option '{}' in URL '{}'", key, name)));
      if (std::exchange(timeout_given, true))
        return fail(PortError::invalid_value(std::format("option '{}' given more than once in URL '{}'", key, name)));
      double seconds = 0;
      auto [e, err] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (text.empty() || err != std::errc() || e != text.data() + text.size() || !std::isfinite(seconds) ||
          seconds <= 0) {
        return fail(PortError::invalid_value(
            std::format("invalid value '{}' for option 'timeout' in URL '{}': expected a positive number of seconds",
                        text, name)));
      }
      url.timeout = saturating_duration(seconds);
    }
  }
  return url;
}

// --- the Telnet sink -------------------------------------------------------------

class NetBackend::Sink final : public telnet::Sink {
 public:
  explicit Sink(NetBackend& b) : b_(b) {}

  void negotiation(std::uint8_t verb, std::uint8_t option) override {
    OptionState* st = state_of(option);
    switch (verb) {
      case telnet::kWill:  // the server offers to perform the option
        if (!st) {
          // Refused once; a server that asks again and again gets no more
          // answers (it would otherwise fill our queue for it).
          if (!b_.refused_will_.test(option)) reply(telnet::kDont, option);
          b_.refused_will_.set(option);
        } else if (st->him != Side::Yes) {
          if (st->him == Side::No) reply(telnet::kDo, option);
          st->him = Side::Yes;
        }
        break;
      case telnet::kWont:
        if (st) {
          if (st->him == Side::Yes) reply(telnet::kDont, option);
          st->him = Side::No;  // also the refusal of our DO
        }
        break;
      case telnet::kDo:  // the server asks us to perform the option
        if (!st) {
          if (!b_.refused_do_.test(option)) reply(telnet::kWont, option);
          b_.refused_do_.set(option);
        } else if (st->us != Side::Yes) {
          if (st->us == Side::No) reply(telnet::kWill, option);
          st->us = Side::Yes;
        }
        break;
      case telnet::kDont:
        if (st) {
          if (st->us == Side::Yes) reply(telnet::kWont, option);
          st->us = Side::No;  // also the refusal of our WILL
        }
        break;
      default:
        break;
    }
  }

  void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) override {
    if (option != telnet::kComPort || payload.empty() || payload[0] < com::kServerOffset) return;
    const std::uint8_t code = static_cast<std::uint8_t>(payload[0] - com::kServerOffset);
    const std::span<const std::uint8_t> value = payload.subspan(1);
    std::optional<Answer> answer;
    switch (code) {
      case com::kNotifyModemstate:
        if (!value.empty()) b_.modem_ = value[0];
        return;
      case com::kFlowcontrolSuspend:
        b_.suspended_ = true;
        return;
      case com::kFlowcontrolResume:
        if (b_.suspended_) b_.resumed_ = true;
        b_.suspended_ = false;
        return;
      case com::kSetBaudrate: answer = Answer::Baudrate; break;
      case com::kSetDatasize: answer = Answer::Datasize; break;
      case com::kSetParity: answer = Answer::Parity; break;
      case com::kSetStopsize: answer = Answer::Stopsize; break;
      case com::kSetControl:
        if (value.empty()) return;
        answer = control_answer(value[0]);
        break;
      case com::kPurgeData:
        answer = Answer::Purge;
        if (b_.purging_input_ && !b_.purge_mark_) b_.purge_mark_ = b_.decode_base_ + b_.decoder_.produced();
        break;
      default:
        return;  // line states and the masks' answers are not looked at
    }
    if (answer) b_.answers_[static_cast<std::size_t>(*answer)].emplace(value.begin(), value.end());
  }

 private:
  OptionState* state_of(std::uint8_t option) {
    switch (option) {
      case telnet::kBinary: return &b_.options_[0];
      case telnet::kSuppressGoAhead: return &b_.options_[1];
      case telnet::kComPort: return &b_.options_[2];
      default: return nullptr;
    }
  }
  void reply(std::uint8_t verb, std::uint8_t option) { telnet::negotiation(verb, option, b_.out_); }

  static std::optional<Answer> control_answer(std::uint8_t v) {
    switch (v) {
      case 0: case 1: case 2: case 3: case 17: case 19: return Answer::Flow;
      case 4: case 5: case 6: return Answer::Break;
      case 7: case 8: case 9: return Answer::Dtr;
      case 10: case 11: case 12: return Answer::Rts;
      case 13: case 14: case 15: case 16: case 18: return Answer::InboundFlow;
      default: return std::nullopt;
    }
  }

  NetBackend& b_;
};

// --- opening -----------------------------------------------------------------------

Result<BackendPtr> open_net_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr) {
  Result<NetUrl> url = parse_net_url(name);
  if (!url) return fail(std::move(url.error()));
  const Instant now = Clock::now();
  const Instant deadline = deadline_after(now, url->timeout).value_or(now + 24h);
  Result<NetSocketPtr> socket = connect_tcp(url->target, deadline);
  if (!socket) return fail(open_failure(name, socket.error().text(), socket.error()));
  auto backend = NetBackend::open(std::string(name), *url, std::move(*socket), settings, rts, dtr);
  if (!backend) return fail(std::move(backend.error()));
  return BackendPtr(std::move(*backend));
}

NetBackend::NetBackend(std::string name, const NetUrl& url, NetSocketPtr socket)
    : name_(std::move(name)),
      socket_(std::move(socket)),
      telnet_(url.scheme == NetUrl::Scheme::Rfc2217),
      timeout_(url.timeout) {}

NetBackend::~NetBackend() = default;

Result<std::unique_ptr<NetBackend>> NetBackend::open(std::string name, const NetUrl& url, NetSocketPtr socket,
                                                     const PortSettings& settings, bool rts, bool dtr) {
  std::unique_ptr<NetBackend> b(new NetBackend(std::move(name), url, std::move(socket)));
  if (!b->telnet_) return b;
  // A lost connection reads as the cause of the failed open.
  const auto opening = [&](PortError e) {
    if (e.is_connection_lost()) return open_failure(b->name_, b->loss_cause_, e);
    return e;
  };
  if (Status st = b->negotiate(); !st) {
    if (st.error().is_connection_lost()) return fail(opening(std::move(st.error())));
    return fail(open_failure(b->name_, st.error().text(), st.error()));
  }
  if (Status st = b->apply_settings(settings); !st) return fail(opening(std::move(st.error())));
  if (Status st = b->apply_lines(settings, rts, dtr, true); !st) return fail(opening(std::move(st.error())));
  return b;
}

Status NetBackend::negotiate() {
  for (std::uint8_t option : {telnet::kBinary, telnet::kSuppressGoAhead}) {
    telnet::negotiation(telnet::kWill, option, out_);
    telnet::negotiation(telnet::kDo, option, out_);
  }
  telnet::negotiation(telnet::kWill, telnet::kComPort, out_);
  for (OptionState& o : options_) o = OptionState{Side::WantYes, Side::WantYes};
  options_[2].him = Side::No;  // the server's side of COM-PORT-OPTION is not asked for
  const auto settled = [this] {
    return std::ranges::none_of(options_, [](const OptionState& o) {
      return o.us == Side::WantYes || o.him == Side::WantYes;
    });
  };
  Result<bool> done = await_answer(settled);
  if (!done) return fail(std::move(done.error()));
  const Side port = options_[2].us;
  if (port == Side::No) return fail(PortError::failure("the server refused the COM-PORT-OPTION (RFC 2217)"));
  if (!settled())
    return fail(PortError::failure(std::format("no answer to the Telnet negotiation within {} s", seconds_text())));
  // Binary mode both ways is insisted on: without it Telnet turns carriage
  // returns into CR NUL or CR LF pairs, and bytes would not pass unchanged.
  // Suppressing go-aheads is asked for, not insisted on.
  if (options_[0].us != Side::Yes || options_[0].him != Side::Yes)
    return fail(PortError::failure("the server refused binary mode (Telnet BINARY), which the port needs to pass every byte unchanged"));
  // Changes of the modem lines are reported from here on.
  const std::uint8_t mask[] = {com::kSetModemstateMask, 0xFF};
  telnet::subnegotiation(telnet::kComPort, mask, out_);
  return {};
}

// --- settings ------------------------------------------------------------------------

Status NetBackend::configure(const PortSettings& settings, bool rts, bool dtr) {
  if (!telnet_) return {};
  if (lost_) return fail(*lost_);
  const bool flow_changed = !confirmed_ || confirmed_->rtscts != settings.rtscts || confirmed_->dsrdtr != settings.dsrdtr;
  if (Status st = apply_settings(settings); !st) return st;
  return apply_lines(settings, rts, dtr, flow_changed);
}

Status NetBackend::apply_settings(const PortSettings& s) {
  struct Item {
    Answer answer;
    std::uint8_t code;
    std::vector<std::uint8_t> value;
    std::vector<std::uint8_t> previous;  // empty when unknown
    std::string what;
  };
  const std::optional<PortSettings>& was = confirmed_;
  const auto be32 = [](std::uint32_t v) {
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                     static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  };
  std::vector<Item> items;
  if (!was || was->baudrate != s.baudrate) {
    items.push_back({Answer::Baudrate, com::kSetBaudrate, be32(s.baudrate), was ? be32(was->baudrate) : std::vector<std::uint8_t>{},
                     std::format("baud rate {}", s.baudrate)});
  }
  if (!was || was->bytesize != s.bytesize) {
    items.push_back({Answer::Datasize, com::kSetDatasize, {s.bytesize},
                     was ? std::vector<std::uint8_t>{was->bytesize} : std::vector<std::uint8_t>{},
                     std::format("byte size {}", s.bytesize)});
  }
  if (!was || was->parity != s.parity) {
    items.push_back({Answer::Parity, com::kSetParity, {parity_code(s.parity)},
                     was ? std::vector<std::uint8_t>{parity_code(was->parity)} : std::vector<std::uint8_t>{},
                     std::format("parity '{}'", parity_letter(s.parity))});
  }
  if (!was || was->stopbits != s.stopbits) {
    static constexpr std::string_view kStop[] = {"1", "1.5", "2"};
    items.push_back({Answer::Stopsize, com::kSetStopsize, {stopsize_code(s.stopbits)},
                     was ? std::vector<std::uint8_t>{stopsize_code(was->stopbits)} : std::vector<std::uint8_t>{},
                     std::format("stop bits {}", kStop[static_cast<int>(s.stopbits)])});
  }
  if (!was || flow_code(*was) != flow_code(s)) {
    items.push_back({Answer::Flow, com::kSetControl, {flow_code(s)},
                     was ? std::vector<std::uint8_t>{flow_code(*was)} : std::vector<std::uint8_t>{},
                     std::format("flow control {}", flow_name(flow_code(s)))});
  }
  if (items.empty()) {
    confirmed_ = s;
    return {};
  }
  const auto slot = [this](Answer a) -> std::optional<std::vector<std::uint8_t>>& {
    return answers_[static_cast<std::size_t>(a)];
  };
  for (const Item& item : items) {
    slot(item.answer).reset();
    std::vector<std::uint8_t> payload{item.code};
    payload.insert(payload.end(), item.value.begin(), item.value.end());
    telnet::subnegotiation(telnet::kComPort, payload, out_);
  }
  Result<bool> done = await_answer([&] {
    return std::ranges::all_of(items, [&](const Item& item) { return slot(item.answer).has_value(); });
  });
  if (!done) return fail(std::move(done.error()));

  std::optional<PortError> refused;
  for (const Item& item : items) {
    const auto& got = slot(item.answer);
    if (!got) {
      refused = PortError::failure(
          std::format("{}: no answer from the server to {} within {} s", name_, item.what, seconds_text()));
      break;
    }
    if (*got != item.value) {
      std::string reported;
      if (item.answer == Answer::Baudrate && got->size() == 4) {
        reported = std::to_string((std::uint32_t{(*got)[0]} << 24) | (std::uint32_t{(*got)[1]} << 16) |
                                  (std::uint32_t{(*got)[2]} << 8) | std::uint32_t{(*got)[3]});
      } else if (item.answer == Answer::Flow && got->size() == 1) {
        reported = flow_name((*got)[0]);
      } else if (!got->empty()) {
        for (std::uint8_t b : *got) reported += std::format("{}{}", reported.empty() ? "" : " ", b);
        reported = std::format("code {}", reported);
      }
      refused = PortError::failure(
          reported.empty() ? std::format("{}: the server refused {} (its answer carries no value)", name_, item.what)
                           : std::format("{}: the server refused {} (it reports {})", name_, item.what, reported));
      break;
    }
  }
  if (!refused) {
    confirmed_ = s;
    return {};
  }
  // Put back what the server did take, so the previous settings stay in
  // force on both ends. What it did not answer may have been taken as well
  // (its answer late, or behind more than we hold): it is put back too, but
  // not waited for again. Best effort: the first failure is what gets
  // reported.
  std::vector<Answer> awaited;
  for (const Item& item : items) {
    const auto& got = slot(item.answer);
    if (item.previous.empty() || (got && *got != item.value)) continue;
    if (got) awaited.push_back(item.answer);
    slot(item.answer).reset();
    std::vector<std::uint8_t> payload{item.code};
    payload.insert(payload.end(), item.previous.begin(), item.previous.end());
    telnet::subnegotiation(telnet::kComPort, payload, out_);
  }
  if (out_head_ < out_.size()) {
    Result<bool> restored = await_answer([&] {
      return std::ranges::all_of(awaited, [&](Answer a) { return slot(a).has_value(); });
    });
    if (!restored) return fail(std::move(restored.error()));
  }
  return fail(std::move(*refused));
}

Status NetBackend::apply_lines(const PortSettings& s, bool rts, bool dtr, bool always) {
  bool queued = false;
  const auto control = [&](std::uint8_t value) {
    const std::uint8_t payload[] = {com::kSetControl, value};
    telnet::subnegotiation(telnet::kComPort, payload, out_);
    queued = true;
  };
  if (!s.rtscts && (always || sent_rts_ != rts)) {
    control(rts ? com::kRtsOn : com::kRtsOff);
    sent_rts_ = rts;
  }
  if (!s.dsrdtr && (always || sent_dtr_ != dtr)) {
    control(dtr ? com::kDtrOn : com::kDtrOff);
    sent_dtr_ = dtr;
  }
  if (!queued) return {};
  return send_queued_now("the modem lines");
}

Status NetBackend::command(std::uint8_t code, std::span<const std::uint8_t> value, std::string_view what) {
  if (lost_) return fail(*lost_);
  std::vector<std::uint8_t> payload{code};
  payload.insert(payload.end(), value.begin(), value.end());
  telnet::subnegotiation(telnet::kComPort, payload, out_);
  return send_queued_now(what);
}

Status NetBackend::send_queued_now(std::string_view what) {
  // The answers to these are not waited for: servers on devices without
  // modem lines do not send them.
  Result<bool> sent = await_answer([] { return true; });
  if (!sent) return fail(std::move(sent.error()));
  if (!*sent)
    return fail(PortError::failure(
        std::format("{}: could not send {} within {} s (the server does not read)", name_, what, seconds_text())));
  return {};
}

Status NetBackend::set_rts(bool level) {
  if (!telnet_) return {};
  const std::uint8_t v = level ? com::kRtsOn : com::kRtsOff;
  sent_rts_ = level;
  return command(com::kSetControl, std::span(&v, 1), "RTS");
}

Status NetBackend::set_dtr(bool level) {
  if (!telnet_) return {};
  const std::uint8_t v = level ? com::kDtrOn : com::kDtrOff;
  sent_dtr_ = level;
  return command(com::kSetControl, std::span(&v, 1), "DTR");
}

Status NetBackend::set_break(bool level) {
  if (!telnet_) return {};
  const std::uint8_t v = level ? com::kBreakOn : com::kBreakOff;
  return command(com::kSetControl, std::span(&v, 1), "the break");
}

Result<bool> NetBackend::modem_bit(std::uint8_t bit) {
  if (!telnet_) return false;  // a raw stream has no modem lines: inactive
  if (lost_) return fail(*lost_);
  // Notifications that came meanwhile are taken in first.
  Waker none;
  Context cx(none);
  const std::size_t before = in_.size();
  Status got = receive_all(cx, false, kInputCap);
  if (in_.size() != before) wake_others();
  if (!got) return fail(std::move(got.error()));
  if (!modem_) {
    Result<bool> done = await_answer([this] { return modem_.has_value(); });
    if (!done) return fail(std::move(done.error()));
    if (!*done)
      return fail(PortError::failure(
          std::format("{}: the server reported no modem line states within {} s", name_, seconds_text())));
  }
  return (*modem_ & bit) != 0;
}

// --- buffers -------------------------------------------------------------------------

Result<std::uint64_t> NetBackend::bytes_to_read() {
  if (in_.size() - in_head_ < kInputCap && !lost_) {
    Waker none;
    Context cx(none);
    const std::size_t before = in_.size();
    Status got = receive_all(cx, false, kInputCap);
    if (in_.size() != before) wake_others();
    if (!got && in_.size() == in_head_) return fail(std::move(got.error()));
  } else if (lost_ && in_.size() == in_head_) {
    return fail(*lost_);
  }
  return std::uint64_t{in_.size() - in_head_};
}

Result<std::uint64_t> NetBackend::bytes_to_write() {
  if (lost_) return fail(*lost_);
  // Replies and commands for the server are no data of the caller's.
  return data_unacknowledged();
}

void NetBackend::note_sent(std::size_t wire, std::size_t data) {
  if (wire == 0) return;
  wire_sent_ += wire;
  data_sent_ += data;
  // Hand-overs of one kind in a row (all data, or no data) make one piece.
  if (sent_marks_.size() >= 2) {
    auto& last = sent_marks_.back();
    const auto& prev = sent_marks_[sent_marks_.size() - 2];
    const bool last_all_data = last.second - prev.second == last.first - prev.first;
    const bool last_no_data = last.second == prev.second;
    if ((data == wire && last_all_data) || (data == 0 && last_no_data)) {
      last = {wire_sent_, data_sent_};
      return;
    }
  }
  sent_marks_.emplace_back(wire_sent_, data_sent_);
  if (sent_marks_.size() > kMaxSentMarks) {
    (void)data_unacknowledged();  // drops the acknowledged ones
    // Still too many (a huge send buffer): two old pieces become one.
    if (sent_marks_.size() > kMaxSentMarks) sent_marks_.erase(sent_marks_.begin() + 1);
  }
}

Result<std::uint64_t> NetBackend::data_unacknowledged() {
  Result<std::uint64_t> held = socket_->unacknowledged();
  if (!held) return fail(lose(held.error()));
  const std::uint64_t acked = wire_sent_ - std::min(*held, wire_sent_);
  while (sent_marks_.size() >= 2 && sent_marks_[1].first <= acked) sent_marks_.pop_front();
  const auto [wire0, data0] = sent_marks_.front();
  std::uint64_t data_acked = data0;
  if (sent_marks_.size() >= 2 && acked > wire0) {
    // Within a piece, data and wire bytes are taken to go in step.
    const auto [wire1, data1] = sent_marks_[1];
    data_acked += static_cast<std::uint64_t>(static_cast<long double>(acked - wire0) * (data1 - data0) / (wire1 - wire0));
  }
  return data_sent_ - std::min(data_acked, data_sent_);
}

Status NetBackend::purge(bool input, bool output) {
  if (!input && !output) return {};
  if (!telnet_) {
    if (!input) return {};
    // What has arrived goes: our buffer and what the OS holds (a bounded
    // amount from a server that sends without end).
    Waker none;
    Context cx(none);
    Status got;
    for (std::size_t round = 0; round < kAwaitCap / kReceiveBudget && got; ++round) {
      bool more = false;
      got = receive_all(cx, false, kAwaitCap, &more);
      in_.clear();
      in_head_ = 0;
      if (!more) break;
    }
    if (!got && lost_) return {};  // reported by the next read or write
    return got;
  }
  if (lost_) return fail(*lost_);
  Answer purge = Answer::Purge;
  answers_[static_cast<std::size_t>(purge)].reset();
  purge_mark_.reset();
  // Everything received so far came before the server's answer.
  purging_input_ = input;
  if (input) drop_purged();
  const std::uint8_t payload[] = {com::kPurgeData, static_cast<std::uint8_t>(
                                                        input && output ? com::kPurgeReceive | com::kPurgeTransmit
                                                        : input         ? com::kPurgeReceive
                                                                        : com::kPurgeTransmit)};
  telnet::subnegotiation(telnet::kComPort, payload, out_);
  Result<bool> done = await_answer([&] { return answers_[static_cast<std::size_t>(purge)].has_value(); });
  purging_input_ = false;
  purge_mark_.reset();
  if (!done) return fail(std::move(done.error()));
  if (!*done)
    return fail(PortError::failure(
        std::format("{}: no answer from the server to the purge within {} s", name_, seconds_text())));
  return {};
}

void NetBackend::drop_purged() noexcept {
  // Data that came before the server's answer was sent before its purge.
  const std::size_t cut = purge_mark_ ? std::min(*purge_mark_, in_.size()) : in_.size();
  in_head_ = std::max(in_head_, cut);
  if (in_head_ == in_.size()) {
    in_.clear();
    in_head_ = 0;
  }
  if (purge_mark_) {
    // The answer is in: what follows it is kept.
    purging_input_ = false;
    purge_mark_.reset();
  }
}

// --- I/O -------------------------------------------------------------------------------

PortError NetBackend::lose(const PortError& cause) {
  if (!lost_) {
    loss_cause_ = std::format("connection lost: {}", cause.text());
    lost_ = PortError::connection_lost(std::format("{}: {}", name_, loss_cause_), cause.code(), cause.code_space());
  }
  return *lost_;
}

PortError NetBackend::lose_closed() {
  if (!lost_) {
    loss_cause_ = "the connection was closed by the peer";
    lost_ = PortError::peer_closed(std::format("{}: {}", name_, loss_cause_));
  }
  return *lost_;
}

std::string NetBackend::seconds_text() const {
  return std::format("{:g}", std::chrono::duration<double>(timeout_).count());
}

std::size_t NetBackend::decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  Sink sink(*this);
  return decoder_.decode(in, n, out, sink);
}

void NetBackend::after_decode(Context& cx) {
  // Answers to the server's requests go out at once when the OS takes them;
  // otherwise with the next thing we send.
  if (out_head_ < out_.size()) (void)send_queued(cx, false);
  if (std::exchange(resumed_, false)) std::exchange(writer_, Waker()).wake();
}

bool NetBackend::room_for_replies(Context& cx, bool arm) {
  if (out_.size() - out_head_ < kOutCap) return true;
  if (send_queued(cx, false).ready()) return true;  // sent, or lost (found by the next call)
  if (!arm) return false;
  if (Status watched = socket_->watch_other(cx, false); !watched) {
    (void)lose(watched.error());
    return true;
  }
  return send_queued(cx, false).ready();
}

Poll<Status> NetBackend::receive(Context& cx, bool arm) {
  if (!room_for_replies(cx, arm)) return Pending;
  auto got = socket_->poll_recv(cx, rx_, arm);
  if (got.pending()) return Pending;
  Result<std::size_t> n = std::move(got).take();
  if (!n) return Status(fail(lose(n.error())));
  if (*n == 0) return Status(fail(lose_closed()));
  received_ += *n;
  if (!telnet_) {
    in_.insert(in_.end(), rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(*n));
    return Status{};
  }
  decode_base_ = in_.size();
  in_.resize(decode_base_ + *n);
  const std::size_t k = decode(rx_.data(), *n, in_.data() + decode_base_);
  in_.resize(decode_base_ + k);
  if (purging_input_) drop_purged();
  after_decode(cx);
  return Status{};
}

Status NetBackend::receive_all(Context& cx, bool arm, std::size_t cap, bool* more) {
  const std::uint64_t start = received_;
  while (in_.size() - in_head_ < cap) {
    if (received_ - start >= kReceiveBudget) {
      if (more) *more = true;
      return {};
    }
    Poll<Status> got = receive(cx, arm);
    if (got.pending()) return {};
    if (!got.value()) return got.take();
  }
  return {};
}

Poll<Status> NetBackend::send_queued(Context& cx, bool arm) {
  const bool was_full = out_.size() - out_head_ >= kOutCap;
  while (out_head_ < out_.size()) {
    auto sent = socket_->poll_send(cx, std::span(out_).subspan(out_head_), arm);
    if (sent.pending()) return Pending;
    Result<std::size_t> n = std::move(sent).take();
    if (!n) return Status(fail(lose(n.error())));
    out_head_ += *n;
    note_sent(*n, 0);
  }
  out_.clear();
  out_head_ = 0;
  // A reader that stopped for room may go on.
  if (was_full) std::exchange(reader_, Waker()).wake();
  return Status{};
}

template <class Done>
Result<bool> NetBackend::await_answer(Done&& done) {
  const Instant start = Clock::now();
  const Instant deadline = deadline_after(start, timeout_).value_or(start + 24h);
  Result<bool> outcome = block_in_place([&]() -> Result<bool> {
    detail::Parker& parker = detail::current_parker();
    detail::DirectWaitScope direct(parker);
    Context cx(detail::current_waker());
    // A close from another thread ends the wait: it wakes the parker.
    CloseRequest::Waiting waiting(close_request_, parker);
    for (;;) {
      if (close_pending()) return fail(PortError::not_open());
      Poll<Status> sent = send_queued(cx, true);
      if (sent.ready() && !sent.value()) return fail(std::move(sent.value().error()));
      const std::uint64_t before = received_;
      bool more = false;
      // Past the input cap: the answer may be behind a backlog.
      Status got = receive_all(cx, true, kAwaitCap, &more);
      // Answers come one by one; the next may wait for our acknowledgement.
      if (received_ != before) socket_->acknowledge();
      if (sent.ready() && done()) return true;
      if (!got) return fail(std::move(got.error()));
      if (Clock::now() >= deadline) return false;
      if (!more) parker.park_until(deadline);
    }
  });
  wake_others();
  return outcome;
}

void NetBackend::wake_others() noexcept {
  std::exchange(reader_, Waker()).wake();
  std::exchange(writer_, Waker()).wake();
}

Poll<Status> NetBackend::poll_read(Context& cx, ReadBuf& buf) {
  if (buf.remaining() == 0) return Status{};
  const auto take = [&] {
    const std::size_t n = std::min(buf.remaining(), in_.size() - in_head_);
    std::memcpy(buf.data + buf.filled, in_.data() + in_head_, n);
    buf.filled += n;
    in_head_ += n;
    if (in_head_ == in_.size()) {
      in_.clear();
      in_head_ = 0;
    } else if (in_head_ >= 65536 && in_head_ * 2 >= in_.size()) {
      in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(in_head_));
      in_head_ = 0;
    }
  };
  if (in_head_ < in_.size()) {
    take();
    return Status{};
  }
  if (lost_) return Status(fail(*lost_));
  const std::uint64_t start = received_;
  for (;;) {
    if (received_ - start >= kReceiveBudget) {
      // Only commands came, and more may follow: the caller looks at its
      // deadline, a cancel and a close before it polls again.
      if (buf.may_wait) cx.waker().wake();
      return Pending;
    }
    if (buf.remaining() < kDirectMin) {
      Poll<Status> got = receive(cx, buf.may_wait);
      if (got.pending()) break;
      if (!got.value()) return got;
      if (in_head_ < in_.size()) {
        take();
        return Status{};
      }
      continue;  // only commands came
    }
    if (!room_for_replies(cx, buf.may_wait)) break;
    std::uint8_t* at = buf.data + buf.filled;
    auto got = socket_->poll_recv(cx, std::span(at, buf.remaining()), buf.may_wait);
    if (got.pending()) break;
    Result<std::size_t> n = std::move(got).take();
    if (!n) return Status(fail(lose(n.error())));
    if (*n == 0) return Status(fail(lose_closed()));
    received_ += *n;
    if (!telnet_) {
      buf.filled += *n;
      return Status{};
    }
    const std::size_t k = decode(at, *n, at);
    after_decode(cx);
    if (k > 0) {
      buf.filled += k;
      return Status{};
    }
  }
  if (buf.may_wait && !reader_.will_wake(cx.waker())) reader_ = cx.waker();
  return Pending;
}

Poll<Result<std::size_t>> NetBackend::poll_write(Context& cx, Bytes data) {
  using R = Result<std::size_t>;
  if (lost_) return R(fail(*lost_));
  const auto wait = [&]() -> Poll<R> {
    if (!writer_.will_wake(cx.waker())) writer_ = cx.waker();
    return Pending;
  };
  Poll<Status> queued = send_queued(cx, true);
  if (queued.pending()) return wait();
  if (!queued.value()) return R(fail(std::move(queued.value().error())));
  if (data.empty()) return R(std::size_t{0});
  if (suspended_) {
    // Only the server's resume lets data go again. Nobody may be reading, so
    // look for it here as well; the wait for it is the writer's own and
    // leaves a reader's wait alone.
    for (bool watched = false;;) {
      const std::size_t before = in_.size();
      bool more = false;
      Status got = receive_all(cx, false, kInputCap, &more);
      if (in_.size() != before) std::exchange(reader_, Waker()).wake();
      if (!got) return R(fail(std::move(got.error())));
      if (!suspended_) break;
      // Our buffer is full: the reader makes room, and the resume reaches
      // this writer through its decoding.
      if (in_.size() - in_head_ >= kInputCap) return wait();
      if (more) {
        cx.waker().wake();  // commands without end: a look at the deadline first
        return wait();
      }
      if (watched) return wait();
      if (Status st = socket_->watch_other(cx, true); !st) return R(fail(lose(st.error())));
      watched = true;  // and one more look, for what came before the watch
    }
    resumed_ = false;
  }
  if (!telnet_ || std::memchr(data.data(), telnet::kIac, data.size()) == nullptr) {
    auto sent = socket_->poll_send(cx, data, true);
    if (sent.pending()) return wait();
    R n = std::move(sent).take();
    if (!n) return R(fail(lose(n.error())));
    note_sent(*n, *n);
    return n;
  }
  const Bytes chunk = data.first(std::min(data.size(), kEscapeChunk));
  scratch_.clear();
  telnet::escape(chunk, scratch_);
  auto sent = socket_->poll_send(cx, scratch_, true);
  if (sent.pending()) return wait();
  R n = std::move(sent).take();
  if (!n) return R(fail(lose(n.error())));
  // Count the data bytes whose encoding went out; a doubled 0xFF cut in two
  // owes its second half, which is queued and counts as taken.
  std::size_t used = 0;
  for (std::size_t pos = 0; pos < *n; ++used) {
    if (chunk[used] == telnet::kIac && pos + 1 == *n) {
      out_.push_back(telnet::kIac);
      pos += 1;
    } else {
      pos += chunk[used] == telnet::kIac ? 2 : 1;
    }
  }
  note_sent(*n, used);
  return R(used);
}

Poll<Status> NetBackend::poll_flush(Context& cx) {
  if (lost_) return Status(fail(*lost_));
  const auto wait = [&]() -> Poll<Status> {
    if (!writer_.will_wake(cx.waker())) writer_ = cx.waker();
    return Pending;
  };
  Poll<Status> queued = send_queued(cx, true);
  if (queued.pending()) return wait();
  if (!queued.value()) return queued;
  Poll<Status> sent = socket_->poll_sent(cx);
  if (sent.pending()) return wait();
  if (!sent.value()) return Status(fail(lose(sent.value().error())));
  return Status{};
}

}  // namespace corvalink
