// Helpers shared by the engine tests: a counting wake-up probe, bounded
// driving of operations, loopback ports and a scripted backend.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backends/open.hpp"
#include "engine/backend.hpp"
#include "engine/port.hpp"
#include "engine/runtime.hpp"
#include "engine/task.hpp"

namespace corvalink::test {

using namespace std::chrono_literals;

// Upper bound for anything that should finish: catches hangs only.
inline constexpr auto kHang = 5s;

// A waker whose wake-ups are counted; polls with it never block.
class Probe {
 public:
  Probe() : target_(new Target), waker_(Waker::adopt(target_)), cx_(waker_) {}
  Context& cx() noexcept { return cx_; }
  int wakes() const noexcept { return target_->wakes.load(); }

 private:
  struct Target final : WakeTarget {
    std::atomic<int> wakes{0};
    void wake() noexcept override { ++wakes; }
  };
  Target* target_;
  Waker waker_;
  Context cx_;
};

inline ByteString bytes(std::string_view s) { return ByteString(s.begin(), s.end()); }
inline std::string text(const ByteString& b) { return std::string(b.begin(), b.end()); }

// Drives op on this thread; fails the test if it does not finish in time.
inline OperationOutcome run(PortOperation& op) {
  std::optional<OperationOutcome> out = run_for(op, kHang);
  if (!out) {
    ADD_FAILURE() << "operation did not finish within " << kHang.count() << " s";
    return fail(PortError::failure("hang"));
  }
  return std::move(*out);
}
inline OperationOutcome run(OperationPtr op) { return run(*op); }

inline std::string read_text(const OperationOutcome& out) {
  if (!out) {
    ADD_FAILURE() << "failed: " << out.error().text();
    return {};
  }
  return text(std::get<ByteString>(*out));
}

inline std::uint64_t count_of(const OperationOutcome& out) {
  if (!out) {
    ADD_FAILURE() << "failed: " << out.error().text();
    return 0;
  }
  return std::get<std::uint64_t>(*out);
}

inline PortRef open_loopback() {
  PortRef port = PortHandle::create(open_backend);
  EXPECT_TRUE(port->change_port("loop://"));
  EXPECT_TRUE(port->open());
  return port;
}

inline void put(const PortRef& port, std::string_view s) {
  EXPECT_EQ(count_of(run(make_write(port, bytes(s), false))), s.size());
}

inline void set_timeouts(PortHandle& port, TimeoutValue timeout, TimeoutValue inter_byte = {},
                         TimeoutValue write_timeout = {}) {
  port.store_settings([&](PortSettings& s) {
    s.timeout = timeout;
    s.inter_byte_timeout = inter_byte;
    s.write_timeout = write_timeout;
  });
}

// A backend whose behaviour the test sets, and which records what the engine
// did with it.
struct Script {
  std::mutex mutex;
  enum class Read { Pending, Data, Empty, Error, Endless } read = Read::Pending;  // Endless: 'x' without end
  std::string data;
  PortError read_error = PortError::failure("unset");
  bool write_pending = false;
  std::size_t detached_bytes = 0;
  bool drains = false;
  std::uint64_t queued_output = 0;  // counts down by one per bytes_to_write call
  std::optional<PortError> configure_error;

  int abort_writes = 0;
  int detaches = 0;
  int configures = 0;
  int output_queries = 0;
  std::vector<std::pair<bool, Instant>> breaks;
  Waker reader;
  std::function<void()> on_abort_write;  // called outside the script's mutex
};

class ScriptedBackend final : public Backend {
 public:
  explicit ScriptedBackend(std::shared_ptr<Script> s) : s_(std::move(s)) {}

  Poll<Status> poll_read(Context& cx, ReadBuf& buf) override {
    std::lock_guard lock(s_->mutex);
    switch (s_->read) {
      case Script::Read::Pending:
        s_->reader = cx.waker();
        return Pending;
      case Script::Read::Empty:
        return Status{};
      case Script::Read::Error:
        return Status(fail(s_->read_error));
      case Script::Read::Endless:
        std::fill_n(buf.data + buf.filled, buf.remaining(), std::uint8_t{'x'});
        buf.filled = buf.capacity;
        return Status{};
      case Script::Read::Data: {
        std::size_t n = std::min(buf.remaining(), s_->data.size());
        std::copy_n(s_->data.begin(), n, buf.data + buf.filled);
        buf.filled += n;
        s_->data.erase(0, n);
        return Status{};
      }
    }
    return Pending;
  }
  Poll<Result<std::size_t>> poll_write(Context&, Bytes data) override {
    std::lock_guard lock(s_->mutex);
    if (s_->write_pending) return Pending;
    return Result<std::size_t>(data.size());
  }
  Poll<Status> poll_flush(Context&) override { return Status{}; }
  Status configure(const PortSettings&, bool, bool) override {
    std::lock_guard lock(s_->mutex);
    ++s_->configures;
    if (s_->configure_error) return fail(*s_->configure_error);
    return {};
  }
  Status set_rts(bool) override { return {}; }
  Status set_dtr(bool) override { return {}; }
  Result<bool> read_cts() override { return true; }
  Result<bool> read_dsr() override { return true; }
  Result<bool> read_ri() override { return false; }
  Result<bool> read_cd() override { return true; }
  Result<std::uint64_t> bytes_to_read() override { return 0; }
  Result<std::uint64_t> bytes_to_write() override {
    std::lock_guard lock(s_->mutex);
    ++s_->output_queries;
    if (s_->queued_output) return s_->queued_output--;
    return 0;
  }
  Status purge(bool, bool) override { return {}; }
  Status set_break(bool level) override {
    std::lock_guard lock(s_->mutex);
    s_->breaks.emplace_back(level, Clock::now());
    return {};
  }
  std::optional<std::int32_t> fileno() override { return 42; }
  Result<bool> drains_output() override {
    std::lock_guard lock(s_->mutex);
    return s_->drains;
  }
  Result<std::size_t> abort_write() override {
    std::function<void()> hook;
    {
      std::lock_guard lock(s_->mutex);
      ++s_->abort_writes;
      hook = s_->on_abort_write;
    }
    if (hook) hook();
    return std::size_t{0};
  }
  std::size_t detach_write() override {
    std::lock_guard lock(s_->mutex);
    ++s_->detaches;
    return s_->detached_bytes;
  }
  Status set_buffer_size(std::uint32_t, std::uint32_t) override { return {}; }

 private:
  std::shared_ptr<Script> s_;
};

inline PortRef open_scripted(const std::shared_ptr<Script>& script) {
  PortRef port = PortHandle::create(open_backend);
  EXPECT_TRUE(port->change_port("scripted"));
  EXPECT_TRUE(port->open_with(std::make_unique<ScriptedBackend>(script)));
  return port;
}

}  // namespace corvalink::test
