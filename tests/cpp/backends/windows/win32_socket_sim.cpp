#include "win32_socket_sim.hpp"

#include <algorithm>
#include <format>
#include <utility>

namespace corvalink::test {

using win32::Dword;
using win32::Handle;
using win32::Socket;

namespace {

constexpr std::uintptr_t kStatusSuccess = 0;
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr std::uintptr_t kStatusCancelled = 0xC0000120;
constexpr std::uintptr_t kStatusErrorBase = 0xE0000000;  // | the Winsock code

constexpr int kWsaENotSock = 10038;
constexpr int kErrorInvalidHandle = 6;

thread_local int t_last_error = 0;

std::string narrow(const char16_t* s) {
  std::string out;
  for (; *s; ++s) out.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
  return out;
}

bool numeric(std::string_view host) {
  if (host.find(':') != std::string_view::npos) return true;
  return !host.empty() && std::ranges::all_of(host, [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

}  // namespace

SimWinsock::~SimWinsock() {
  {
    std::lock_guard lock(mutex_);
    for (auto& [h, r] : waits_) r->cancelled = true;
  }
  cv_.notify_all();
  for (auto& [h, r] : waits_)
    if (r->thread.joinable()) r->thread.join();
}

// --- the test's side ------------------------------------------------------------

void SimWinsock::add_name(std::string name, std::vector<std::string> addresses) {
  std::lock_guard lock(mutex_);
  names_[std::move(name)] = std::move(addresses);
}

void SimWinsock::set_peer(std::string_view address, std::uint16_t port, Peer peer) {
  std::lock_guard lock(mutex_);
  peers_[std::format("{}:{}", address, port)] = peer;
}

void SimWinsock::feed(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    if (!last_) return;
    last_->in.insert(last_->in.end(), bytes.begin(), bytes.end());
    serve_receives(*last_);
  }
  cv_.notify_all();
}

void SimWinsock::close_by_peer(bool reset) {
  {
    std::lock_guard lock(mutex_);
    if (!last_) return;
    (reset ? last_->reset : last_->closed) = true;
    if (reset) last_->in.clear();
    serve_receives(*last_);
    for (auto it = ops_.begin(); reset && it != ops_.end();) {
      if (it->kind == Op::Send && sockets_[it->socket].connection == last_) {
        complete(it, kStatusErrorBase | win32::kWsaEConnReset, 0);
        it = ops_.begin();
      } else {
        ++it;
      }
    }
  }
  cv_.notify_all();
}

std::string SimWinsock::take_sent() {
  std::lock_guard lock(mutex_);
  return last_ ? std::exchange(last_->sent, {}) : std::string();
}

void SimWinsock::stall_sends(bool stalled) {
  {
    std::lock_guard lock(mutex_);
    stalled_ = stalled;
    for (auto it = ops_.begin(); !stalled && it != ops_.end();) {
      if (it->kind != Op::Send) {
        ++it;
        continue;
      }
      Connection& c = *sockets_[it->socket].connection;
      c.sent.append(reinterpret_cast<const char*>(it->data), it->size);  // read only now, as the OS would
      complete(it, kStatusSuccess, it->size);
      it = ops_.begin();
    }
  }
  cv_.notify_all();
}

void SimWinsock::fail(NetCall call, int code, int skip) {
  std::lock_guard lock(mutex_);
  faults_[static_cast<std::size_t>(call)] = Fault{code, skip, true};
}

int SimWinsock::calls(NetCall call) {
  std::lock_guard lock(mutex_);
  return calls_[static_cast<std::size_t>(call)];
}

std::string SimWinsock::last_connect() {
  std::lock_guard lock(mutex_);
  return last_connect_;
}

int SimWinsock::open_sockets() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(sockets_.size());
}

int SimWinsock::live_events() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(events_.size());
}

int SimWinsock::live_waits() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(waits_.size());
}

int SimWinsock::pending_operations() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(ops_.size());
}

int SimWinsock::startups() {
  std::lock_guard lock(mutex_);
  return startups_;
}

std::vector<std::string> SimWinsock::violations() {
  std::lock_guard lock(mutex_);
  return violations_;
}

// --- internals (mutex_ held) --------------------------------------------------------

bool SimWinsock::failed(NetCall call) {
  const auto i = static_cast<std::size_t>(call);
  ++calls_[i];
  Fault& f = faults_[i];
  if (!f.armed) return false;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  f.armed = false;
  t_last_error = f.code;
  return true;
}

int SimWinsock::error(int code) {
  t_last_error = code;
  return win32::kSocketError;
}

SimWinsock::Sock* SimWinsock::sock_of(Socket s) {
  auto it = sockets_.find(s);
  if (it == sockets_.end()) {
    violations_.push_back(std::format("call on unknown socket {}", s));
    return nullptr;
  }
  return &it->second;
}

void SimWinsock::signal(Handle event) {
  auto it = events_.find(event);
  if (it == events_.end()) {
    violations_.push_back("an operation completed on a closed event");
    return;
  }
  it->second = true;
}

void SimWinsock::complete(std::vector<Op>::iterator op, std::uintptr_t status, Dword count) {
  op->ov->internal = status;
  op->ov->internal_high = count;
  signal(op->ov->event);
  ops_.erase(op);
}

void SimWinsock::serve_receives(Connection& c) {
  for (auto it = ops_.begin(); it != ops_.end();) {
    if (it->kind != Op::Recv || sockets_[it->socket].connection.get() != &c) {
      ++it;
      continue;
    }
    if (c.reset) {
      complete(it, kStatusErrorBase | win32::kWsaEConnReset, 0);
    } else if (!c.in.empty()) {
      const Dword n = static_cast<Dword>(std::min<std::size_t>(it->size, c.in.size()));
      std::copy_n(c.in.begin(), n, it->buffer);
      c.in.erase(c.in.begin(), c.in.begin() + n);
      complete(it, kStatusSuccess, n);
    } else if (c.closed) {
      complete(it, kStatusSuccess, 0);
    } else {
      ++it;
      continue;
    }
    it = ops_.begin();
  }
}

void SimWinsock::wait_thread(Registration* r) {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] {
    if (r->cancelled) return true;
    auto it = events_.find(r->event);
    return it != events_.end() && it->second;
  });
  if (r->cancelled) return;
  lock.unlock();
  r->callback(r->context, 0);  // WT_EXECUTEONLYONCE: once, then the thread ends
}

// --- Winsock ---------------------------------------------------------------------------

int SimWinsock::startup() {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::Startup)) return t_last_error;
  ++startups_;
  return 0;
}

int SimWinsock::cleanup() {
  std::lock_guard lock(mutex_);
  if (startups_ == 0) {
    violations_.push_back("WSACleanup without WSAStartup");
    return error(10093);
  }
  --startups_;
  return 0;
}

int SimWinsock::last_error() { return t_last_error; }

std::string SimWinsock::system_message(Dword code) {
  switch (code) {
    case 10054: return "An existing connection was forcibly closed by the remote host.";
    case 10060: return "A connection attempt failed because the connected party did not properly respond.";
    case 10061: return "No connection could be made because the target machine actively refused it.";
    case 11001: return "No such host is known.";
    default: return std::format("OS Error {} (FormatMessageW() returned error 317)", code);
  }
}

int SimWinsock::get_addr_info(const char16_t* node, const char16_t* service, const win32::AddressHints& hints,
                              std::vector<win32::AddressInfo>& out) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::GetAddrInfo)) return t_last_error;
  const std::string host = narrow(node);
  const std::string port = narrow(service);
  std::vector<std::string> addresses;
  if (numeric(host)) {
    addresses.push_back(host);
  } else if (hints.flags & win32::kAiNumericHost) {
    return win32::kWsaHostNotFound;
  } else if (auto it = names_.find(host); it != names_.end()) {
    addresses = it->second;
  } else {
    return win32::kWsaHostNotFound;
  }
  for (const std::string& a : addresses) {
    const std::string key = std::format("{}:{}", a, port);
    out.push_back({a.find(':') != std::string::npos ? 23 : 2, hints.socktype, hints.protocol,
                   std::vector<std::uint8_t>(key.begin(), key.end())});
  }
  return 0;
}

Socket SimWinsock::socket(int, int type, int protocol, Dword flags) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::Socket)) return win32::kInvalidSocket;
  if (type != win32::kSockStream || protocol != win32::kIpProtoTcp || !(flags & win32::kWsaFlagOverlapped))
    violations_.push_back("a socket that is not an overlapped TCP socket");
  if (startups_ == 0) violations_.push_back("a socket before WSAStartup");
  next_handle_ += 16;
  sockets_[next_handle_] = Sock{};
  return next_handle_;
}

int SimWinsock::close_socket(Socket s) {
  std::lock_guard lock(mutex_);
  auto it = sockets_.find(s);
  if (it == sockets_.end()) {
    violations_.push_back("closesocket of an unknown socket");
    return error(kWsaENotSock);
  }
  for (const Op& op : ops_)
    if (op.socket == s) violations_.push_back("a socket was closed with operations pending");
  std::erase_if(ops_, [s](const Op& op) { return op.socket == s; });
  sockets_.erase(it);
  return 0;
}

int SimWinsock::set_non_blocking(Socket s, bool on) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::SetNonBlocking)) return win32::kSocketError;
  Sock* k = sock_of(s);
  if (!k) return error(kWsaENotSock);
  k->non_blocking = on;
  return 0;
}

int SimWinsock::connect(Socket s, const void* address, int length) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::Connect)) return win32::kSocketError;
  Sock* k = sock_of(s);
  if (!k) return error(kWsaENotSock);
  const std::string key(static_cast<const char*>(address), static_cast<std::size_t>(length));
  last_connect_ = key;
  auto it = peers_.find(key);
  k->peer = it == peers_.end() ? Peer::Refuse : it->second;
  k->connecting = true;
  if (k->peer == Peer::Accept) {
    k->connection = std::make_shared<Connection>();
    last_ = k->connection;
  }
  if (!k->non_blocking) violations_.push_back("a blocking connect");
  return error(win32::kWsaEWouldBlock);
}

int SimWinsock::select_connect(Socket s, std::int64_t timeout_us, bool& writable, bool& failed_set) {
  Peer peer;
  {
    std::lock_guard lock(mutex_);
    if (failed(NetCall::Select)) return win32::kSocketError;
    Sock* k = sock_of(s);
    if (!k) return error(kWsaENotSock);
    if (!k->connecting) violations_.push_back("select on a socket that is not connecting");
    peer = k->peer;
  }
  writable = peer == Peer::Accept;
  failed_set = peer == Peer::Refuse;
  if (peer == Peer::Silent) {
    std::this_thread::sleep_for(std::chrono::microseconds(std::min<std::int64_t>(timeout_us, 5'000'000)));
    return 0;
  }
  return 1;
}

int SimWinsock::get_socket_error(Socket s, int& err) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::GetSocketError)) return win32::kSocketError;
  Sock* k = sock_of(s);
  if (!k) return error(kWsaENotSock);
  err = k->peer == Peer::Accept ? 0 : win32::kWsaEConnRefused;
  return 0;
}

int SimWinsock::set_no_delay(Socket s, bool) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::SetNoDelay)) return win32::kSocketError;
  if (!sock_of(s)) return error(kWsaENotSock);
  return 0;
}

int SimWinsock::recv(Socket s, void* buffer, Dword size, win32::Overlapped* ov) {
  {
    std::lock_guard lock(mutex_);
    if (failed(NetCall::Recv)) return win32::kSocketError;
    Sock* k = sock_of(s);
    if (!k) return error(kWsaENotSock);
    if (!k->connection) return error(10057);  // WSAENOTCONN
    if (k->non_blocking) violations_.push_back("an overlapped receive on a non-blocking socket");
    for (const Op& op : ops_)
      if (op.socket == s && op.kind == Op::Recv) violations_.push_back("a second receive while one is pending");
    Connection& c = *k->connection;
    if (c.reset) return error(win32::kWsaEConnReset);
    ov->internal = kStatusPending;
    ops_.push_back(Op{Op::Recv, s, ov, static_cast<std::uint8_t*>(buffer), nullptr, size});
    serve_receives(c);
    if (ov->internal != kStatusPending) return 0;  // finished at once (the event is signalled as well)
  }
  return error(static_cast<int>(win32::kErrorIoPending));
}

int SimWinsock::send(Socket s, const void* data, Dword size, win32::Overlapped* ov) {
  {
    std::lock_guard lock(mutex_);
    if (failed(NetCall::Send)) return win32::kSocketError;
    Sock* k = sock_of(s);
    if (!k) return error(kWsaENotSock);
    if (!k->connection) return error(10057);
    Connection& c = *k->connection;
    if (c.reset) return error(win32::kWsaEConnReset);
    if (!stalled_) {
      c.sent.append(static_cast<const char*>(data), size);
      ov->internal = kStatusSuccess;
      ov->internal_high = size;
      signal(ov->event);
      return 0;
    }
    ov->internal = kStatusPending;
    ops_.push_back(Op{Op::Send, s, ov, nullptr, static_cast<const std::uint8_t*>(data), size});
  }
  return error(static_cast<int>(win32::kErrorIoPending));
}

bool SimWinsock::get_overlapped_result(Socket s, win32::Overlapped* ov, Dword& count, bool wait) {
  std::unique_lock lock(mutex_);
  if (!sock_of(s)) {
    t_last_error = kWsaENotSock;
    return false;
  }
  if (wait) cv_.wait(lock, [&] { return ov->internal != kStatusPending; });
  if (ov->internal == kStatusPending) {
    ++calls_[static_cast<std::size_t>(NetCall::GetOverlappedResult)];
    t_last_error = static_cast<int>(win32::kErrorIoIncomplete);
    return false;
  }
  if (failed(NetCall::GetOverlappedResult)) return false;  // applies to a finished operation
  count = static_cast<Dword>(ov->internal_high);
  if (ov->internal == kStatusSuccess) return true;
  t_last_error = ov->internal == kStatusCancelled ? static_cast<int>(win32::kErrorOperationAborted)
                                                  : static_cast<int>(ov->internal - kStatusErrorBase);
  return false;
}

bool SimWinsock::cancel_io_ex(Socket s, win32::Overlapped* ov) {
  bool found = false;
  {
    std::lock_guard lock(mutex_);
    if (failed(NetCall::CancelIoEx)) return false;
    if (!sock_of(s)) {
      t_last_error = kErrorInvalidHandle;
      return false;
    }
    for (auto it = ops_.begin(); it != ops_.end();) {
      if (it->socket == s && (!ov || it->ov == ov)) {
        complete(it, kStatusCancelled, 0);
        found = true;
        it = ops_.begin();
      } else {
        ++it;
      }
    }
  }
  cv_.notify_all();
  if (!found) t_last_error = static_cast<int>(win32::kErrorNotFound);
  return found;
}

Handle SimWinsock::create_event(bool, bool initial_state) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::CreateEvent)) return nullptr;
  next_handle_ += 16;
  Handle h = reinterpret_cast<Handle>(next_handle_);
  events_[h] = initial_state;
  return h;
}

bool SimWinsock::close_handle(Handle h) {
  std::lock_guard lock(mutex_);
  auto it = events_.find(h);
  if (it == events_.end()) {
    violations_.push_back("CloseHandle of an unknown handle");
    t_last_error = kErrorInvalidHandle;
    return false;
  }
  for (const Op& op : ops_)
    if (op.ov->event == h) violations_.push_back("an event was closed under a pending operation");
  for (const auto& [w, r] : waits_)
    if (r->event == h && !r->cancelled) violations_.push_back("an event was closed under a wait registration");
  events_.erase(it);
  return true;
}

bool SimWinsock::reset_event(Handle event) {
  std::lock_guard lock(mutex_);
  auto it = events_.find(event);
  if (it == events_.end()) {
    t_last_error = kErrorInvalidHandle;
    return false;
  }
  it->second = false;
  return true;
}

bool SimWinsock::register_wait(Handle& wait_handle, Handle object, win32::WaitCallback callback, void* context,
                               Dword timeout_ms, Dword flags) {
  std::lock_guard lock(mutex_);
  if (failed(NetCall::RegisterWait)) return false;
  if (timeout_ms != win32::kInfinite || flags != win32::kWtExecuteOnlyOnce)
    violations_.push_back("a wait registration other than INFINITE, WT_EXECUTEONLYONCE");
  if (!events_.contains(object)) {
    t_last_error = kErrorInvalidHandle;
    return false;
  }
  auto r = std::make_unique<Registration>();
  r->event = object;
  r->callback = callback;
  r->context = context;
  Registration* raw = r.get();
  next_handle_ += 16;
  Handle h = reinterpret_cast<Handle>(next_handle_);
  waits_[h] = std::move(r);
  raw->thread = std::thread([this, raw] { wait_thread(raw); });
  wait_handle = h;
  return true;
}

bool SimWinsock::unregister_wait_ex(Handle wait_handle, Handle completion_event) {
  std::unique_ptr<Registration> r;
  {
    std::lock_guard lock(mutex_);
    auto it = waits_.find(wait_handle);
    if (it == waits_.end()) {
      violations_.push_back("UnregisterWaitEx of an unknown registration");
      t_last_error = kErrorInvalidHandle;
      return false;
    }
    if (completion_event != win32::invalid_handle_value())
      violations_.push_back("UnregisterWaitEx without waiting for a running callback");
    it->second->cancelled = true;
    r = std::move(it->second);
    waits_.erase(it);
  }
  cv_.notify_all();
  r->thread.join();  // a callback that is running has returned after this
  return true;
}

}  // namespace corvalink::test
