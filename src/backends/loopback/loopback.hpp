// The in-memory port behind "loop://": what is written is what is read.
#pragma once

#include <mutex>

#include "engine/backend.hpp"

namespace corvalink {

class LoopbackBackend final : public Backend {
 public:
  static constexpr std::size_t kCapacity = 4096;

  LoopbackBackend(bool rts, bool dtr) : rts_(rts), dtr_(dtr) {}

  Poll<Status> poll_read(Context& cx, ReadBuf& buf) override;
  Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override;
  Poll<Status> poll_flush(Context&) override { return Status{}; }

  Status configure(const PortSettings&, bool rts, bool dtr) override;
  Status set_rts(bool level) override;
  Status set_dtr(bool level) override;
  Result<bool> read_cts() override;
  Result<bool> read_dsr() override;
  Result<bool> read_ri() override { return false; }
  Result<bool> read_cd() override { return true; }
  Result<std::uint64_t> bytes_to_read() override;
  Result<std::uint64_t> bytes_to_write() override { return bytes_to_read(); }
  Status purge(bool input, bool output) override;
  Status set_break(bool) override { return Status{}; }
  std::optional<std::int32_t> fileno() override { return std::nullopt; }
  Result<bool> drains_output() override { return false; }
  Result<std::size_t> abort_write() override { return std::size_t{0}; }
  std::size_t detach_write() override { return 0; }
  Status set_buffer_size(std::uint32_t, std::uint32_t) override { return Status{}; }
  std::string_view write_timeout_note() const override {
    return "loop:// holds at most 4096 unread bytes; a write waits until they are read";
  }

 private:
  std::mutex mutex_;
  // A ring of kCapacity bytes.
  std::uint8_t ring_[kCapacity];
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  Waker reader_;
  Waker writer_;
  bool rts_;
  bool dtr_;
};

}  // namespace corvalink
