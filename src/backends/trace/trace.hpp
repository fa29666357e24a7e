// trace://<inner>[?file=PATH][&format=hex|raw]: a backend that wraps the
// backend of another port and writes what is read and written, and every
// control call, to a file or to standard error, with the time since the
// open. Ports not traced never meet it.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "engine/backend.hpp"

namespace corvalink {

bool is_trace_url(std::string_view name) noexcept;

// Where a trace goes and how data is written there.
class TraceSink {
 public:
  enum class Format : std::uint8_t { Hex, Raw };

  // Standard error when `path` is empty; a file is appended to.
  static Result<std::unique_ptr<TraceSink>> open(const std::string& path, Format format);
  TraceSink(std::FILE* file, bool owned, Format format) noexcept;
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;
  ~TraceSink();

  // One event line ("[  0.000123] what"), and its data when there is any,
  // written with one call so that traces of several ports do not mix.
  void event(std::string_view what, Bytes data = {}) noexcept;

 private:
  std::FILE* file_;
  bool owned_;
  Format format_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Parses the URL, opens the sink, then the inner port with `open_inner`
// (the same choice of backend as any port's).
Result<BackendPtr> open_trace_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr,
                                      BackendOpener open_inner);

class TraceBackend final : public Backend {
 public:
  TraceBackend(BackendPtr inner, std::unique_ptr<TraceSink> sink) noexcept
      : inner_(std::move(inner)), sink_(std::move(sink)) {}
  ~TraceBackend() override;

  Poll<Status> poll_read(Context& cx, ReadBuf& buf) override;
  Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override;
  Poll<Status> poll_flush(Context& cx) override;
  Poll<Status> poll_shutdown(Context& cx) override { return inner_->poll_shutdown(cx); }
  Poll<Result<std::size_t>> poll_write_vectored(Context& cx, std::span<const Bytes> slices) override;
  bool is_write_vectored() const override { return inner_->is_write_vectored(); }
  void kick_loop_reader() noexcept override { inner_->kick_loop_reader(); }

  Status configure(const PortSettings& settings, bool rts, bool dtr) override;
  Status set_rts(bool level) override;
  Status set_dtr(bool level) override;
  Result<bool> read_cts() override { return inner_->read_cts(); }
  Result<bool> read_dsr() override { return inner_->read_dsr(); }
  Result<bool> read_ri() override { return inner_->read_ri(); }
  Result<bool> read_cd() override { return inner_->read_cd(); }
  Result<std::uint64_t> bytes_to_read() override { return inner_->bytes_to_read(); }
  Result<std::uint64_t> bytes_to_write() override { return inner_->bytes_to_write(); }
  Status purge(bool input, bool output) override;
  Status set_break(bool level) override;
  std::optional<std::int32_t> fileno() override { return inner_->fileno(); }
  Result<bool> drains_output() override { return inner_->drains_output(); }
  Result<std::size_t> abort_write() override;
  std::size_t detach_write() override { return inner_->detach_write(); }
  Status set_buffer_size(std::uint32_t rx_size, std::uint32_t tx_size) override;
  Status flow_control(FlowAction action) override;
  std::string_view write_timeout_note() const override { return inner_->write_timeout_note(); }
  std::vector<SettingNotKept> settings_not_kept() const override { return inner_->settings_not_kept(); }

 private:
  Status traced(std::string what, Status st);

  BackendPtr inner_;
  std::unique_ptr<TraceSink> sink_;
};

// The settings as the trace shows them: "115200 8N1 xonxoff=0 rtscts=0 dsrdtr=0".
std::string describe_settings(const PortSettings& s);

}  // namespace corvalink
