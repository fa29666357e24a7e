#include "backends/trace/trace.hpp"

#include <cerrno>
#include <cstring>
#include <format>

namespace corvalink {

namespace {

bool has_prefix_nocase(std::string_view name, std::string_view prefix) noexcept {
  if (name.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

constexpr std::string_view kPrefix = "trace://";

PortError bad_url(std::string_view name, std::string_view why) {
  return PortError::invalid_value(std::format("invalid URL '{}': {}", name, why));
}

// Sixteen bytes a line: offset, hex, and the printable ASCII.
void hex_dump(std::string& out, Bytes data) {
  for (std::size_t at = 0; at < data.size(); at += 16) {
    std::format_to(std::back_inserter(out), "    {:04x} ", at);
    std::string text;
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) out += ' ';
      if (at + i < data.size()) {
        const std::uint8_t b = data[at + i];
        std::format_to(std::back_inserter(out), " {:02x}", b);
        text += (b >= 0x20 && b < 0x7f) ? static_cast<char>(b) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  ";
    out += text;
    out += '\n';
  }
}

const char* on_off(bool b) noexcept { return b ? "1" : "0"; }

}  // namespace

bool is_trace_url(std::string_view name) noexcept { return has_prefix_nocase(name, kPrefix); }

std::string describe_settings(const PortSettings& s) {
  const char* stop = s.stopbits == StopBits::One ? "1" : s.stopbits == StopBits::Two ? "2" : "1.5";
  std::string out = std::format("{} {}{}{} xonxoff={} rtscts={} dsrdtr={}", s.baudrate, s.bytesize,
                                parity_letter(s.parity), stop, on_off(s.xonxoff), on_off(s.rtscts), on_off(s.dsrdtr));
  if (s.low_latency) out += std::format(" low_latency={}", on_off(*s.low_latency));
  if (s.rs485) out += " rs485";
  return out;
}

// --- the sink ---

Result<std::unique_ptr<TraceSink>> TraceSink::open(const std::string& path, Format format) {
  if (path.empty()) return std::make_unique<TraceSink>(stderr, false, format);
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) {
    const int err = errno;
    return fail(PortError::failure(std::format("could not open trace file '{}': {}", path, os_error_text(err)), err));
  }
  return std::make_unique<TraceSink>(file, true, format);
}

TraceSink::TraceSink(std::FILE* file, bool owned, Format format) noexcept
    : file_(file), owned_(owned), format_(format) {}

TraceSink::~TraceSink() {
  if (owned_) std::fclose(file_);
}

void TraceSink::event(std::string_view what, Bytes data) noexcept {
  try {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    std::string out = std::format("[{:5}.{:06}] {}\n", us / 1000000, us % 1000000, what);
    if (!data.empty()) {
      if (format_ == Format::Hex) {
        hex_dump(out, data);
      } else {
        out.append(reinterpret_cast<const char*>(data.data()), data.size());
        out += '\n';
      }
    }
    // One call: the stream's own lock keeps the block whole.
    std::fwrite(out.data(), 1, out.size(), file_);
    std::fflush(file_);
  } catch (...) {
    // Out of memory while formatting: the event is not traced.
  }
}

// --- opening ---

Result<BackendPtr> open_trace_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr,
                                      BackendOpener open_inner) {
  std::string_view rest = name.substr(kPrefix.size());
  // The options begin at the last '?' followed by one of ours, so the inner
  // URL keeps options of its own.
  std::string_view inner = rest, query;
  for (std::size_t end = rest.size(); end > 0;) {
    const std::size_t at = rest.rfind('?', end - 1);
    if (at == std::string_view::npos) break;
    std::string_view tail = rest.substr(at + 1);
    if (tail.starts_with("file=") || tail.starts_with("format=")) {
      inner = rest.substr(0, at);
      query = tail;
      break;
    }
    end = at;
  }
  if (inner.empty()) return fail(bad_url(name, "trace:// needs the port to trace"));
  std::string path;
  TraceSink::Format format = TraceSink::Format::Hex;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (item.starts_with("file=") && item.size() > 5 && item.find('\0') == std::string_view::npos) {
      path = item.substr(5);
    } else if (item == "format=hex") {
      format = TraceSink::Format::Hex;
    } else if (item == "format=raw") {
      format = TraceSink::Format::Raw;
    } else {
      return fail(bad_url(name, std::format("unknown or malformed option '{}' (file=PATH, format=hex|raw)", item)));
    }
  }
  auto sink = TraceSink::open(path, format);
  if (!sink) return fail(std::move(sink.error()));
  auto backend = open_inner(inner, settings, rts, dtr);
  if (!backend) {
    (*sink)->event(std::format("open {} failed: {}", inner, backend.error().text()));
    return fail(std::move(backend.error()));
  }
  (*sink)->event(std::format("open {} {} rts={} dtr={}", inner, describe_settings(settings), on_off(rts), on_off(dtr)));
  return BackendPtr(std::make_unique<TraceBackend>(std::move(*backend), std::move(*sink)));
}

// --- the backend ---

TraceBackend::~TraceBackend() {
  inner_.reset();
  sink_->event("close");
}

Status TraceBackend::traced(std::string what, Status st) {
  if (!st) what += std::format(" failed: {}", st.error().text());
  sink_->event(what);
  return st;
}

Poll<Status> TraceBackend::poll_read(Context& cx, ReadBuf& buf) {
  const std::size_t before = buf.filled;
  Poll<Status> r = inner_->poll_read(cx, buf);
  if (buf.filled > before) {
    const std::size_t n = buf.filled - before;
    sink_->event(std::format("read {}", n), Bytes(buf.data + before, n));
  }
  if (r.ready() && !r.value()) sink_->event(std::format("read failed: {}", r.value().error().text()));
  return r;
}

Poll<Result<std::size_t>> TraceBackend::poll_write(Context& cx, Bytes data) {
  Poll<Result<std::size_t>> r = inner_->poll_write(cx, data);
  if (r.ready()) {
    if (!r.value())
      sink_->event(std::format("write failed: {}", r.value().error().text()));
    else if (*r.value() > 0)
      sink_->event(std::format("write {}", *r.value()), data.first(*r.value()));
  }
  return r;
}

Poll<Result<std::size_t>> TraceBackend::poll_write_vectored(Context& cx, std::span<const Bytes> slices) {
  Poll<Result<std::size_t>> r = inner_->poll_write_vectored(cx, slices);
  if (r.ready()) {
    if (!r.value()) {
      sink_->event(std::format("write failed: {}", r.value().error().text()));
    } else if (std::size_t left = *r.value(); left > 0) {
      std::vector<std::uint8_t> taken;
      for (Bytes s : slices) {
        const std::size_t n = std::min(left, s.size());
        taken.insert(taken.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
        left -= n;
        if (left == 0) break;
      }
      sink_->event(std::format("write {}", taken.size()), taken);
    }
  }
  return r;
}

Poll<Status> TraceBackend::poll_flush(Context& cx) {
  Poll<Status> r = inner_->poll_flush(cx);
  if (r.ready()) (void)traced("flush", r.value());
  return r;
}

Status TraceBackend::configure(const PortSettings& settings, bool rts, bool dtr) {
  return traced(std::format("settings {} rts={} dtr={}", describe_settings(settings), on_off(rts), on_off(dtr)),
                inner_->configure(settings, rts, dtr));
}

Status TraceBackend::set_rts(bool level) { return traced(std::format("rts {}", on_off(level)), inner_->set_rts(level)); }
Status TraceBackend::set_dtr(bool level) { return traced(std::format("dtr {}", on_off(level)), inner_->set_dtr(level)); }
Status TraceBackend::set_break(bool level) {
  return traced(std::format("break {}", on_off(level)), inner_->set_break(level));
}

Status TraceBackend::purge(bool input, bool output) {
  const char* what = input && output ? "reset input output" : input ? "reset input" : "reset output";
  return traced(what, inner_->purge(input, output));
}

Status TraceBackend::set_buffer_size(std::uint32_t rx_size, std::uint32_t tx_size) {
  return traced(std::format("buffer size rx={} tx={}", rx_size, tx_size), inner_->set_buffer_size(rx_size, tx_size));
}

Status TraceBackend::flow_control(FlowAction action) {
  const char* what = action == FlowAction::SuspendOutput  ? "output flow off"
                     : action == FlowAction::ResumeOutput ? "output flow on"
                     : action == FlowAction::StopInput    ? "input flow off (XOFF)"
                                                          : "input flow on (XON)";
  return traced(what, inner_->flow_control(action));
}

Result<std::size_t> TraceBackend::abort_write() {
  Result<std::size_t> r = inner_->abort_write();
  if (r && *r > 0) sink_->event(std::format("write aborted after {} more bytes", *r));
  return r;
}

}  // namespace corvalink
