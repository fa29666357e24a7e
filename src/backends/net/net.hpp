// Ports on the network: "socket://HOST:PORT", a raw TCP byte stream, and
// "rfc2217://HOST:PORT", a Telnet connection with the COM-PORT-OPTION
// (RFC 2217), which also carries the line settings, the modem lines, breaks
// and purges. HOST is a name, an IPv4 address or an IPv6 address in
// brackets; "?timeout=SECONDS" bounds each step of the open (resolving and
// connecting, the negotiation, the settings) and every later wait for the
// server's answer (3 s when not given).
//
// NetBackend holds all of the protocol and no platform code: it drives a
// NetSocket (net_socket.hpp). Received data is read straight into the
// reader's buffer when that is large, otherwise through a buffer of ours;
// decoded data that arrives while a control call waits for an answer (or is
// counted for in_waiting) waits in that buffer and is read first, so nothing
// is lost or reordered. Bytes handed to the OS are sent whatever happens to
// the write that handed them over: a TCP stream cannot take them back, so
// abort_write and detach_write have nothing to cancel.
//
// Control calls that need the server (settings, purges, the modem lines)
// drive the socket on the calling thread, bounded by the timeout; they are
// made with the port's device lock held, so no read or write runs meanwhile.
// A lost connection (closed or reset by the peer, or any socket error) is
// sticky and fatal: once the data that came before it has been read, every
// call reports it and the engine closes the port.
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <deque>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/backend.hpp"
#include "backends/net/net_socket.hpp"
#include "backends/net/telnet.hpp"

namespace corvalink {

struct NetUrl {
  enum class Scheme : std::uint8_t { Socket, Rfc2217 };
  static constexpr std::chrono::nanoseconds kDefaultTimeout = std::chrono::seconds(3);

  Scheme scheme = Scheme::Socket;
  NetTarget target;
  std::chrono::nanoseconds timeout = kDefaultTimeout;
};

// True for a name that starts with "socket://" or "rfc2217://" (ASCII case
// insensitive).
bool is_net_url(std::string_view name);
// The URL's parts; InvalidValue naming what is wrong (a missing or bad port,
// an unknown option, a bad option value).
Result<NetUrl> parse_net_url(std::string_view name);

// open_backend for network names: the parse, the connection and, for
// rfc2217://, the negotiation and the settings. Failures to connect or
// negotiate read "could not open port '{name}': {cause}"; a setting the
// server refuses fails with configure's own error.
Result<BackendPtr> open_net_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr);

class NetBackend final : public Backend {
 public:
  // Over a connected socket: negotiates (rfc2217) and applies the settings
  // and lines. Errors as open_net_backend reports them.
  static Result<std::unique_ptr<NetBackend>> open(std::string name, const NetUrl& url, NetSocketPtr socket,
                                                  const PortSettings& settings, bool rts, bool dtr);
  ~NetBackend() override;

  Poll<Status> poll_read(Context& cx, ReadBuf& buf) override;
  Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override;
  Poll<Status> poll_flush(Context& cx) override;
  void kick_loop_reader() noexcept override {
    if (socket_) socket_->kick_loop_reader();
  }

  Status configure(const PortSettings& settings, bool rts, bool dtr) override;
  Status set_rts(bool level) override;
  Status set_dtr(bool level) override;
  Result<bool> read_cts() override { return modem_bit(telnet::com::kModemCts); }
  Result<bool> read_dsr() override { return modem_bit(telnet::com::kModemDsr); }
  Result<bool> read_ri() override { return modem_bit(telnet::com::kModemRi); }
  Result<bool> read_cd() override { return modem_bit(telnet::com::kModemCd); }
  Result<std::uint64_t> bytes_to_read() override;
  Result<std::uint64_t> bytes_to_write() override;
  Status purge(bool input, bool output) override;
  Status set_break(bool level) override;
  std::optional<std::int32_t> fileno() override { return std::nullopt; }
  Result<bool> drains_output() override { return true; }
  Result<std::size_t> abort_write() override { return std::size_t{0}; }
  std::size_t detach_write() override { return 0; }
  // A connection that has just begun holds nothing stale: what the server
  // sent first (a greeting) is kept.
  bool discards_input_at_open() const override { return false; }
  Status set_buffer_size(std::uint32_t, std::uint32_t) override { return Status{}; }

 private:
  class Sink;
  friend class Sink;

  // Telnet option negotiation, one side of one option.
  enum class Side : std::uint8_t { No, WantYes, Yes };
  struct OptionState {
    Side us = Side::No;   // we perform it (WILL/WONT from us)
    Side him = Side::No;  // the server performs it (DO/DONT from us)
  };
  // Answers from the server, by the command they answer. SET-CONTROL answers
  // are kept by what they concern (flow control, break, DTR, RTS, inbound
  // flow control), so a late answer about one is not taken for another.
  enum class Answer : std::uint8_t {
    Baudrate, Datasize, Parity, Stopsize, Flow, Break, Dtr, Rts, InboundFlow, Purge, Count
  };

  NetBackend(std::string name, const NetUrl& url, NetSocketPtr socket);

  Status negotiate();
  // Sends the settings that differ from what the server confirmed last (all
  // of them the first time) and waits for its answers.
  Status apply_settings(const PortSettings& settings);
  Status apply_lines(const PortSettings& settings, bool rts, bool dtr, bool always);

  // Reads once from the socket into in_ (decoded): ready(success) if bytes
  // came (perhaps only commands), ready(error) once the connection is lost,
  // pending if there was nothing, or while out_ is full of replies the
  // server does not take (then armed for room, with `arm`).
  Poll<Status> receive(Context& cx, bool arm);
  // receive() until there is nothing more, in_ holds `cap` bytes, or
  // kReceiveBudget bytes came in this call (then *more is set, if given).
  Status receive_all(Context& cx, bool arm, std::size_t cap, bool* more = nullptr);
  // While out_ holds kOutCap bytes or more: tries to send, and with `arm`
  // watches for room without displacing the writer. True if there is room.
  bool room_for_replies(Context& cx, bool arm);
  // During a purge of the input: drops what came before the server's answer.
  void drop_purged() noexcept;
  // Records wire bytes handed to the OS, `data` of them data bytes.
  void note_sent(std::size_t wire, std::size_t data);
  // Data bytes handed to the OS that the peer has not acknowledged.
  Result<std::uint64_t> data_unacknowledged();
  // Decodes n received bytes into out (which may be in); returns the data
  // byte count.
  std::size_t decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out);
  // After a decode: answers for the server go out, a resumed writer is woken.
  void after_decode(Context& cx);
  // Hands out_ to the OS.
  Poll<Status> send_queued(Context& cx, bool arm);
  // Drives the socket on this thread (sending out_, receiving into in_)
  // until done() holds: true, false when the deadline passed first, or the
  // connection's loss.
  template <class Done>
  Result<bool> await_answer(Done&& done);
  // Queues a COM-PORT-OPTION command and sends it, waiting at most the timeout.
  Status command(std::uint8_t code, std::span<const std::uint8_t> value, std::string_view what);
  // Sends what is queued, waiting at most the timeout; `what` names it in
  // the error when the server does not take it.
  Status send_queued_now(std::string_view what);
  // Wakes the reader and the writer, whose wake-ups a control call may have
  // displaced and whose data it may have taken into in_.
  void wake_others() noexcept;

  Result<bool> modem_bit(std::uint8_t bit);
  // The loss of the connection, kept for every later call.
  PortError lose(const PortError& cause);
  PortError lose_closed();
  std::string seconds_text() const;

  std::string name_;
  NetSocketPtr socket_;
  bool telnet_;
  std::chrono::nanoseconds timeout_;

  std::vector<std::uint8_t> in_;  // data received, not yet read, from in_head_
  std::size_t in_head_ = 0;
  std::vector<std::uint8_t> out_;  // bytes for the OS, from out_head_
  std::size_t out_head_ = 0;
  std::vector<std::uint8_t> scratch_;  // escaped data being handed over
  std::array<std::uint8_t, 16384> rx_{};
  std::uint64_t received_ = 0;  // bytes receive() took from the socket
  std::optional<PortError> lost_;
  std::string loss_cause_;
  Waker reader_;
  Waker writer_;

  telnet::Decoder decoder_;
  std::array<OptionState, 3> options_{};  // binary, suppress-go-ahead, com-port
  std::array<std::optional<std::vector<std::uint8_t>>, static_cast<std::size_t>(Answer::Count)> answers_{};
  std::optional<std::uint8_t> modem_;
  // Options whose request we refused once: repeats get no answer.
  std::bitset<256> refused_do_, refused_will_;
  // (wire bytes, data bytes) handed to the OS so far, at the ends of
  // hand-overs; the first entry is at or before what the peer acknowledged.
  std::deque<std::pair<std::uint64_t, std::uint64_t>> sent_marks_{{0, 0}};
  std::uint64_t wire_sent_ = 0;
  std::uint64_t data_sent_ = 0;
  bool suspended_ = false;  // the server asked us to stop sending data
  bool resumed_ = false;    // ... and allowed it again since the last look
  // Set while a purge of the input waits for its answer: the count of data
  // bytes in_ held when the answer came (everything before it goes).
  bool purging_input_ = false;
  std::optional<std::size_t> purge_mark_;
  std::size_t decode_base_ = 0;  // where in in_ the decode under way writes

  std::optional<PortSettings> confirmed_;  // the line settings the server accepted last
  std::optional<bool> sent_rts_, sent_dtr_;
};

}  // namespace corvalink
