#include "python/future.hpp"

#include <atomic>
#include <cerrno>
#include <unordered_map>

#ifdef __linux__
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#ifdef __linux__
#include "backends/posix/reactor.hpp"
#endif
#include "python/errors_python.hpp"
#include "engine/port.hpp"

namespace corvalink {

// ---------------------------------------------------------------------------
// References dropped on threads without an attached thread state.

namespace {

struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  std::atomic<bool> any{false};
};

PendingReleases& pending_releases() noexcept {
  static PendingReleases* list = new PendingReleases;  // never torn down
  return *list;
}

bool attached() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

}  // namespace

void release_anywhere(PyObject* object) noexcept {
  if (!object) return;
  if (attached()) {
    Py_DECREF(object);
    return;
  }
  PendingReleases& list = pending_releases();
  std::lock_guard lock(list.mutex);
  list.objects.push_back(object);
  list.any.store(true, std::memory_order_release);
}

void release_pending() noexcept {
  PendingReleases& list = pending_releases();
  if (!list.any.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard lock(list.mutex);
    objects.swap(list.objects);
    list.any.store(false, std::memory_order_release);
  }
  // Finalizers may run here; no lock of ours is held.
  for (PyObject* o : objects) Py_DECREF(o);
}

// ---------------------------------------------------------------------------
// Entering the interpreter from our threads.

namespace {

// Cleared by the exit hook when the interpreter starts to finalize; our
// threads read it instead of the interpreter's own state, which they may not
// look at unattached.
std::atomic<bool> g_interpreter_open{false};

// Our threads between reading g_interpreter_open and holding the interpreter.
// The exit hook waits for it to drain: a thread that kept a thread state
// must not touch it once finalization may have freed it, and one that read
// "open" just before the hook cleared it is still on its way in.
std::atomic<int> g_entering{0};

void entry_done() noexcept {
  if (g_entering.fetch_sub(1, std::memory_order_seq_cst) == 1) g_entering.notify_all();
}

// Set on a worker or the readiness thread once it keeps a thread state of
// its own: creating and destroying one for every publication costs more than
// the publication itself. These threads live as long as the process.
thread_local bool t_keeps_thread_state = false;

PyObject* interpreter_exits(PyObject*, PyObject*) noexcept {
  g_interpreter_open.store(false, std::memory_order_seq_cst);
  // Detached, so a thread already on its way in can take the interpreter,
  // do its publication and leave; none starts after this.
  Py_BEGIN_ALLOW_THREADS
  for (int n; (n = g_entering.load(std::memory_order_seq_cst)) != 0;) g_entering.wait(n);
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_interpreter_exits", interpreter_exits, METH_NOARGS, nullptr};

}  // namespace

bool interpreter_open() noexcept { return g_interpreter_open.load(std::memory_order_acquire); }

int watch_interpreter_exit() noexcept {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return 0;
  py::Ref atexit = py::Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  py::Ref hook = py::Ref::steal(PyCFunction_New(&exit_hook_def, nullptr));
  if (!hook) return -1;
  py::Ref r = py::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!r) return -1;
  g_interpreter_open.store(true, std::memory_order_release);
  return 0;
}

Attached::Attached() noexcept {
  if (attached()) {
    how_ = Already;
    return;
  }
  g_entering.fetch_add(1, std::memory_order_seq_cst);
  if (!g_interpreter_open.load(std::memory_order_seq_cst)) {
    entry_done();
    return;
  }
  // An interpreter thread that detached itself (it may hold a lock of ours
  // while detached) does not re-enter here.
  if (PyGILState_GetThisThreadState() != nullptr && !t_keeps_thread_state) {
    entry_done();
    return;
  }
  gil_ = PyGILState_Ensure();
  entry_done();
  how_ = !t_keeps_thread_state && (on_worker_thread() || running_from_io()) ? EnteredToKeep : Entered;
  release_pending();
}

Attached::~Attached() {
  if (how_ == Entered) {
    PyGILState_Release(gil_);
  } else if (how_ == EnteredToKeep) {
    // Detach, but keep the thread state (its count stays at one).
    t_keeps_thread_state = true;
    PyEval_SaveThread();
  }
}

// ---------------------------------------------------------------------------
// Values.

namespace {

py::Ref bytes_object(const ByteString& b) noexcept {
  return py::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                  static_cast<Py_ssize_t>(b.size())));
}

}  // namespace

py::Ref value_to_python(const OperationValue& value) noexcept {
  struct Visitor {
    py::Ref operator()(std::monostate) const noexcept { return py::Ref::borrow(Py_None); }
    py::Ref operator()(std::uint64_t n) const noexcept { return py::Ref::steal(PyLong_FromUnsignedLongLong(n)); }
    py::Ref operator()(const ByteString& b) const noexcept { return bytes_object(b); }
    py::Ref operator()(const std::vector<ByteString>& lines) const noexcept {
      py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
      if (!list) return {};
      for (std::size_t i = 0; i < lines.size(); ++i) {
        py::Ref item = bytes_object(lines[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      return list;
    }
    py::Ref operator()(const std::shared_ptr<PyObjectHolder>& holder) const noexcept {
      if (!holder || !holder->object) return py::Ref::borrow(Py_None);
      return holder->object.ref();
    }
  };
  return std::visit(Visitor{}, value);
}

py::Ref error_to_python(const PortError& error) noexcept {
  if (error.kind() == ErrorKind::Cancelled) {
    PyObject* type = cancelled_error_type();
    if (!type) return {};
    return py::Ref::steal(PyObject_CallNoArgs(type));
  }
  return to_python_exception(error);
}

py::Ref outcome_to_python(const OperationOutcome& outcome) noexcept {
  if (outcome) return value_to_python(*outcome);
  py::Ref exc = error_to_python(outcome.error());
  if (exc) PyErr_SetRaisedException(exc.release());
  return {};
}

// ---------------------------------------------------------------------------
// Exceptions that leave the loop.

bool exit_raised() noexcept {
  return PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
}

bool keep_exit_else_unraisable(PyObject* where) noexcept {
  if (!PyErr_Occurred()) return false;
  if (exit_raised()) return true;
  PyErr_WriteUnraisable(where);
  return false;
}

// ---------------------------------------------------------------------------
// The running loop.

namespace {
py::OnceCell get_running_loop_cell;
}  // namespace

PyObject* running_loop_or_null(bool& failed) noexcept {
  failed = false;
  PyObject* f = get_running_loop_cell.get_or_init([]() -> PyObject* {
    py::Ref m = py::Ref::steal(PyImport_ImportModule("asyncio"));
    if (!m) return nullptr;
    return PyObject_GetAttrString(m.get(), "_get_running_loop");
  });
  if (!f) {
    failed = true;
    return nullptr;
  }
  py::Ref loop = py::Ref::steal(PyObject_CallNoArgs(f));
  if (!loop) {
    failed = true;
    return nullptr;
  }
  if (loop.get() == Py_None) return nullptr;
  return loop.get();  // the running loop outlives this call: its thread runs it
}

// ---------------------------------------------------------------------------
// Inboxes.

namespace {

// The ticket of one hand-over: run by the loop (drain), or dropped unrun when
// the loop is closed or goes away (gone).
struct TicketObject {
  PyObject_HEAD
  std::shared_ptr<LoopInbox> inbox;
  bool ran;
};

PyObject* ticket_call(PyObject* self, PyObject*, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    auto* t = reinterpret_cast<TicketObject*>(self);
    if (!t->ran) {
      t->ran = true;
      t->inbox->drain();
      if (PyErr_Occurred()) return nullptr;  // SystemExit or KeyboardInterrupt: out of the loop
    }
    Py_RETURN_NONE;
  });
}

// Frees a ticket or doorbell; one the loop dropped before it ran (the loop
// closed, its ready queue cleared, or was collected) tells the inbox's items
// that the loop is gone.
// `doorbell`: the holder is the doorbell, which only a closed or collected
// loop drops; no selector holds the poller's descriptor any more.
void free_inbox_holder(PyObject* self, std::shared_ptr<LoopInbox>& slot, bool dropped_unrun,
                       bool doorbell = false) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::shared_ptr<LoopInbox> inbox = std::move(slot);
  slot.~shared_ptr();
  if (dropped_unrun && inbox) {
    PyObject* pending = PyErr_GetRaisedException();
    inbox->gone(doorbell);
    PyErr_SetRaisedException(pending);
  }
  inbox.reset();
  type->tp_free(self);
  Py_DECREF(type);
}

void ticket_dealloc(PyObject* self) noexcept {
  auto* t = reinterpret_cast<TicketObject*>(self);
  free_inbox_holder(self, t->inbox, !t->ran);
}

py::OnceCell ticket_cell;

PyObject* ticket_type() noexcept {
  return ticket_cell.get_or_init([]() -> PyObject* {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Delivers the outcomes queued for an event loop since the last delivery.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(ticket_dealloc)},
        {Py_tp_call, reinterpret_cast<void*>(ticket_call)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"corvalink.aio._Delivery", static_cast<int>(sizeof(TicketObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
  });
}

py::Ref make_ticket(std::shared_ptr<LoopInbox> inbox) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(ticket_type());
  if (!type) return {};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return {};
  auto* t = reinterpret_cast<TicketObject*>(self);
  new (&t->inbox) std::shared_ptr<LoopInbox>(std::move(inbox));
  t->ran = false;
  return py::Ref::steal(self);
}

// The scheduling of a hand-over, for a thread that cannot enter the
// interpreter itself.
class ScheduleJob final : public Runtime::Job {
 public:
  explicit ScheduleJob(std::shared_ptr<LoopInbox> inbox) noexcept : inbox_(std::move(inbox)) {}
  Poll<std::monostate> poll(Context&) override {
    Attached a;
    if (a.ok()) inbox_->push(nullptr);  // schedules what is queued
    return std::monostate{};
  }

 private:
  std::shared_ptr<LoopInbox> inbox_;
};

// The doorbell's callable, kept by the loop's selector for as long as the
// loop lives: rung, it delivers; dropped (the loop closed or went away), the
// inbox's items learn that the loop is gone.
struct DoorbellObject {
  PyObject_HEAD
  std::shared_ptr<LoopInbox> inbox;
};

PyObject* doorbell_call(PyObject* self, PyObject*, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    if (const std::shared_ptr<LoopInbox>& inbox = reinterpret_cast<DoorbellObject*>(self)->inbox) inbox->answer();
    if (PyErr_Occurred()) return nullptr;  // SystemExit or KeyboardInterrupt: out of the loop
    Py_RETURN_NONE;
  });
}

// A doorbell is never dropped by a loop that still runs.
void doorbell_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  free_inbox_holder(self, reinterpret_cast<DoorbellObject*>(self)->inbox, true, true);
}

// The loop's selector keeps the doorbell for as long as the loop lives, so
// the references of what waits for this loop are shown to the collector
// here: a loop left without close() (its thread ended) whose only
// references come from its own pending operations is then collected.
int doorbell_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  if (const std::shared_ptr<LoopInbox>& inbox = reinterpret_cast<DoorbellObject*>(self)->inbox)
    return inbox->traverse(visit, arg);
  return 0;
}

// The collector found the loop unreachable: it never runs again.
int doorbell_clear(PyObject* self) noexcept {
  std::shared_ptr<LoopInbox> inbox = std::move(reinterpret_cast<DoorbellObject*>(self)->inbox);
  if (inbox) {
    PyObject* pending = PyErr_GetRaisedException();
    inbox->abandon();
    PyErr_SetRaisedException(pending);
  }
  return 0;
}

py::OnceCell doorbell_cell;

PyObject* doorbell_type() noexcept {
  return doorbell_cell.get_or_init([]() -> PyObject* {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Rung when outcomes wait for an event loop.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(doorbell_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(doorbell_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(doorbell_clear)},
        {Py_tp_call, reinterpret_cast<void*>(doorbell_call)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"corvalink.aio._Doorbell", static_cast<int>(sizeof(DoorbellObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
  });
}

}  // namespace

std::shared_ptr<LoopInbox> LoopInbox::of(PyObject* loop) noexcept {
  struct Last {
    PyObject* loop = nullptr;
    std::weak_ptr<LoopInbox> inbox;
  };
  thread_local Last t_last;
  std::shared_ptr<LoopInbox> sp;
  if (t_last.loop == loop) sp = t_last.inbox.lock();
  if (!sp || !sp->names(loop)) {
    static std::mutex mutex;
    static auto* inboxes = new std::unordered_map<PyObject*, std::weak_ptr<LoopInbox>>;
    static std::size_t inserts = 0;
    py::Ref weak = py::Ref::steal(PyWeakref_NewRef(loop, nullptr));
    if (!weak) return nullptr;
    try {
      std::lock_guard lock(mutex);
      std::weak_ptr<LoopInbox>& slot = (*inboxes)[loop];
      sp = slot.lock();
      // An address names the same loop only while its inbox's weak
      // reference still reaches it.
      if (!sp || !sp->names(loop)) {
        sp = std::make_shared<LoopInbox>(loop, std::move(weak));
        slot = sp;
        if (++inserts % 64 == 0) std::erase_if(*inboxes, [](const auto& e) { return e.second.expired(); });
      }
    } catch (...) {
      PyErr_NoMemory();
      return nullptr;
    }
    t_last.loop = loop;
    t_last.inbox = sp;
  }
  sp->install_doorbell();
  return sp;
}

LoopInbox::~LoopInbox() {
  if (int fd = doorbell_.exchange(-1); fd >= 0) ::close(fd);
}

py::Ref LoopInbox::loop() const noexcept {
  PyObject* strong = nullptr;
  if (PyWeakref_GetRef(loop_weak_.get(), &strong) < 0) PyErr_Clear();
  return py::Ref::steal(strong);
}

bool LoopInbox::on_loop_thread() const noexcept {
  if (PyThreadState_GetUnchecked() == nullptr) return false;  // our threads run no loop
  bool failed = false;
  PyObject* running = running_loop_or_null(failed);
  if (failed) PyErr_Clear();
  return running && running == loop_id_;
}

bool LoopInbox::names(PyObject* loop) const noexcept {
  if (loop != loop_id_) return false;
  py::Ref alive = this->loop();
  return alive.get() == loop;
}

void LoopInbox::install_doorbell() noexcept {
#ifdef __linux__
  {
    std::lock_guard lock(mutex_);
    if (doorbell_tried_ || closed_) return;
  }
  bool failed = false;
  if (running_loop_or_null(failed) != loop_id_) {
    if (failed) PyErr_Clear();
    return;  // add_reader belongs to the loop's own thread
  }
  {
    std::lock_guard lock(mutex_);
    if (doorbell_tried_) return;
    doorbell_tried_ = true;
  }
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return;
  std::shared_ptr<LoopPoller> poller = LoopPoller::create();
  if (!poller || !poller->add_doorbell(fd)) {
    ::close(fd);
    return;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(doorbell_type());
  py::Ref bell = type ? py::Ref::steal(type->tp_alloc(type, 0)) : py::Ref();
  py::Ref fd_object = py::Ref::steal(PyLong_FromLong(poller->fd()));
  py::Ref loop = this->loop();
  py::Ref r;
  if (bell && fd_object && loop) {
    new (&reinterpret_cast<DoorbellObject*>(bell.get())->inbox) std::shared_ptr<LoopInbox>(shared_from_this());
    r = py::Ref::steal(PyObject_CallMethod(loop.get(), "add_reader", "OO", fd_object.get(), bell.get()));
  }
  if (!r) {
    // A loop without a selector (or a closed one): tickets, then.
    PyErr_Clear();
    if (bell) reinterpret_cast<DoorbellObject*>(bell.get())->inbox.reset();  // not the loop's: no news
    ::close(fd);
    return;
  }
  poller_ = std::move(poller);
  doorbell_.store(fd, std::memory_order_release);
#endif
}

void LoopInbox::push(InboxItem* item) noexcept {
  bool need = false, closed = false;
  std::shared_ptr<LoopInbox> self;
  if (item && !item->inbox_) self = shared_from_this();
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      closed = true;
    } else {
      if (item) {
        if (self) {
          item->inbox_ = std::move(self);
          link_bound_locked(item);
        }
        item->next_ = nullptr;
        if (tail_)
          tail_->next_ = item;
        else
          head_ = item;
        tail_ = item;
      }
      if (!scheduled_ && head_) {
        scheduled_ = true;
        need = true;
      }
    }
  }
  if (closed) {
    if (!item) return;
    Attached a;
    if (a.ok())
      item->loop_gone();
    else
      delete item;  // the interpreter is going away: nothing to tell
    return;
  }
  if (need) schedule();
}

void LoopInbox::ring() noexcept {
#ifdef __linux__
  // Under the lock: gone() takes the descriptor out under it before closing
  // it, so a ring never writes to a number that was closed meanwhile (and
  // may already name someone else's file). An eventfd write never blocks.
  std::lock_guard lock(mutex_);
  const int fd = doorbell_.load(std::memory_order_relaxed);
  if (fd < 0) return;
  // A child created by fork() shares the doorbell with its parent's loop.
  if (poller_->foreign()) return;
  const std::uint64_t one = 1;
  ssize_t r;
  do {
    r = ::write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
#endif
}

namespace {
// The inbox whose poller this thread serves right now (detached), and
// whether an item was queued for it meanwhile.
thread_local LoopInbox* t_serving = nullptr;
thread_local bool t_served_item = false;
}  // namespace

void LoopInbox::schedule() noexcept {
  // Queued by a read that the loop's thread finished while serving the
  // poller: handed over once it is attached again.
  if (t_serving == this) {
    t_served_item = true;
    return;
  }
  // From another thread the doorbell needs no interpreter. On the loop's own
  // thread a ticket goes behind the callbacks already scheduled there, in
  // order, as the loop's own callbacks are.
  if (doorbell_.load(std::memory_order_acquire) >= 0 && !on_loop_thread()) {
    ring();
    return;
  }
  schedule_ticket();
}

void LoopInbox::schedule_ticket() noexcept {
  Attached a;
  if (!a.ok()) {
    // This thread cannot enter the interpreter: a worker hands over instead.
    {
      std::lock_guard lock(mutex_);
      scheduled_ = false;
    }
    if (!interpreter_open()) return;
    try {
      if (Result<Runtime*> rt = runtime()) (*rt)->spawn(std::make_unique<ScheduleJob>(shared_from_this()));
    } catch (...) {
    }
    return;
  }
  py::Ref ticket = make_ticket(shared_from_this());
  py::Ref loop = this->loop();
  if (!ticket || !loop) {
    if (!ticket) PyErr_WriteUnraisable(nullptr);
    std::lock_guard lock(mutex_);
    scheduled_ = false;
    return;  // a loop that is gone: the ticket, dropped unrun, says so
  }
  bool failed = false;
  PyObject* running = running_loop_or_null(failed);
  if (failed) PyErr_Clear();
  // On the loop's own thread no wake-up is needed.
  const char* method = running == loop.get() ? "call_soon" : "call_soon_threadsafe";
  py::Ref r = py::Ref::steal(PyObject_CallMethod(loop.get(), method, "O", ticket.get()));
  if (!r) {
    // A closed loop refuses it (RuntimeError); anything else is reported.
    // Either way the ticket, dropped unrun below, hands the items to gone().
    if (PyErr_ExceptionMatches(PyExc_RuntimeError))
      PyErr_Clear();
    else
      PyErr_WriteUnraisable(loop.get());
  }
}

void LoopInbox::answer() noexcept {
#ifdef __linux__
  bool rang = true;
  if (LoopPoller* poller = poller_.get()) {
    LoopInbox* outer = std::exchange(t_serving, this);
    const bool outer_item = std::exchange(t_served_item, false);
    rang = detached([&] { return poller->serve(); });
    const bool queued = std::exchange(t_served_item, outer_item);
    t_serving = outer;
    // What the reads queued is delivered now, with what other threads
    // queued (the doorbell): both came from the device or another thread
    // while the loop waited, like what a reader callback finds.
    if (!rang && !queued) return;
  }
  if (rang) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t r = ::read(doorbell_.load(std::memory_order_acquire), &count, sizeof count);
  }
#endif
  drain();
}

void LoopInbox::drain() noexcept {
  // One batch: what was queued when the hand-over came. What is queued while
  // it is delivered (by the batch's own callbacks, or other threads) gets a
  // hand-over of its own, behind the callbacks the batch scheduled on the
  // loop: a transport made in a task that a delivery resumed has its
  // connection_made ahead of anything its port reports.
  InboxItem* list = nullptr;
  {
    std::lock_guard lock(mutex_);
    list = std::exchange(head_, nullptr);
    tail_ = nullptr;
    if (!list) {
      scheduled_ = false;
      return;
    }
  }
  while (list) {
    InboxItem* next = std::exchange(list->next_, nullptr);
    list->deliver();
    list = next;
    if (PyErr_Occurred()) {
      if (exit_raised()) break;  // it leaves the loop; the rest waits for the next turn
      PyErr_WriteUnraisable(nullptr);
    }
  }
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (list) {
      InboxItem* last = list;
      while (last->next_) last = last->next_;
      last->next_ = head_;
      if (!head_) tail_ = last;
      head_ = list;
    }
    more = head_ != nullptr;
    if (!more) scheduled_ = false;
  }
  if (more) {
    PyObject* escaping = PyErr_GetRaisedException();
    schedule();
    PyErr_SetRaisedException(escaping);
  }
}

InboxItem* LoopInbox::close_locked(int& doorbell) noexcept {
  closed_ = true;
  scheduled_ = false;
  tail_ = nullptr;
  doorbell = doorbell_.exchange(-1);  // no ring writes to it from here on
  return std::exchange(head_, nullptr);
}

void LoopInbox::gone(bool release_set) noexcept {
  // A loop that is being collected (its weak reference is cleared first)
  // never runs anything again, whoever tells us.
  shut(release_set, !loop());
}

void LoopInbox::abandon() noexcept { shut(true, true); }

void LoopInbox::shut(bool release_set, bool collected) noexcept {
  InboxItem* list = nullptr;
  int fd = -1;
  std::vector<AnyThreadRef> refs;
  {
    std::lock_guard lock(mutex_);
    list = close_locked(fd);
    // Operations still running keep their subscribers, which will find the
    // inbox closed; what they held for a collected loop goes now (for a
    // closed one they still report it).
    try {
      for (InboxItem* item = collected ? bound_ : nullptr; item; item = item->bound_next_)
        for (AnyThreadRef& r : item->held_)
          if (r) refs.push_back(std::move(r));
    } catch (...) {
      // Out of memory: what was not taken stays, as if the loop lived on.
    }
  }
  closed(list, fd, release_set);
  refs.clear();  // finalizers may run here; no lock of ours is held
}

int LoopInbox::traverse(visitproc visit, void* arg) noexcept {
  std::lock_guard lock(mutex_);
  for (InboxItem* item = bound_; item; item = item->bound_next_)
    for (AnyThreadRef& r : item->held_) Py_VISIT(r.get());
  return 0;
}

void LoopInbox::link_bound_locked(InboxItem* item) noexcept {
  item->bound_prev_ = nullptr;
  item->bound_next_ = bound_;
  if (bound_) bound_->bound_prev_ = item;
  bound_ = item;
}

void LoopInbox::unbind(InboxItem* item) noexcept {
  std::lock_guard lock(mutex_);
  if (item->bound_prev_)
    item->bound_prev_->bound_next_ = item->bound_next_;
  else if (bound_ == item)
    bound_ = item->bound_next_;
  if (item->bound_next_) item->bound_next_->bound_prev_ = item->bound_prev_;
  item->bound_prev_ = item->bound_next_ = nullptr;
}

void LoopInbox::closed(InboxItem* list, int fd, bool release_set) noexcept {
  if (fd >= 0) {
    ::close(fd);
#ifdef __linux__
    // Reads waiting on this loop go back to the readiness thread. Once the
    // loop's selector let go of the set, its descriptor goes now, not with
    // the last operation that still refers to the inbox.
    if (poller_) poller_->close(release_set);
#endif
  }
  while (list) {
    InboxItem* next = std::exchange(list->next_, nullptr);
    list->loop_gone();
    list = next;
  }
}

// ---------------------------------------------------------------------------
// Items.

InboxItem::InboxItem(std::shared_ptr<LoopInbox> inbox, py::Ref a, py::Ref b, py::Ref c) noexcept
    : held_{AnyThreadRef(std::move(a)), AnyThreadRef(std::move(b)), AnyThreadRef(std::move(c))}, inbox_(std::move(inbox)) {
  if (inbox_) {
    std::lock_guard lock(inbox_->mutex_);
    inbox_->link_bound_locked(this);
  }
}

InboxItem::~InboxItem() {
  // Before held_ goes: the inbox no longer reaches it.
  if (inbox_) inbox_->unbind(this);
}

// ---------------------------------------------------------------------------
// Starting operations.

namespace {

// Publishes a kept-back outcome on the loop that started the operation, the
// next time it runs its callbacks.
class FinishLater final : public InboxItem {
 public:
  explicit FinishLater(TaskRef task) noexcept : task_(std::move(task)) {}
  void deliver() noexcept override {
    task_->finish_deferred();
    delete this;
  }
  void loop_gone() noexcept override { deliver(); }

 private:
  TaskRef task_;
};

// The same on a worker, for an operation started outside any loop.
class FinishJob final : public Runtime::Job {
 public:
  explicit FinishJob(TaskRef task) noexcept : task_(std::move(task)) {}
  Poll<std::monostate> poll(Context&) override {
    task_->finish_deferred();
    return std::monostate{};
  }

 private:
  TaskRef task_;
};

// Arranges the publication of a first step's kept-back outcome soon after
// the caller returned.
void finish_soon(const TaskRef& task) noexcept {
  bool failed = false;
  if (PyObject* loop = running_loop_or_null(failed)) {
    if (std::shared_ptr<LoopInbox> inbox = LoopInbox::of(loop)) {
      inbox->push(new FinishLater(task));
      return;
    }
  }
  if (PyErr_Occurred()) PyErr_Clear();
  try {
    if (Result<Runtime*> rt = runtime()) {
      (*rt)->spawn(std::make_unique<FinishJob>(task));
      return;
    }
  } catch (...) {
  }
  task->finish_deferred();  // no worker to do it: published now
}

}  // namespace

void refuse_operation(OperationPtr op, const PortError& error) noexcept {
  detached([&] { op.reset(); });
  py::raise(error);
}

bool cancel_task(OperationTask& task) noexcept {
  // A write whose outcome was kept back went out: not cancelled, and its
  // count is there at once for the caller.
  if (task.phase() == OperationTask::Phase::Finishing) task.finish_deferred();
  if (task.phase() != OperationTask::Phase::Running) return false;
  const bool cancelled = detached([&] { return task.cancel(/*publish_now=*/false); });
  task.publish_pending();
  return cancelled;
}

TaskRef start_operation(OperationPtr op, StartForm form, PortRef source, PortHandle* write_side) noexcept {
  return py::guard<TaskRef>(TaskRef(), [&]() -> TaskRef {
    // The first step needs no runtime of its own: a read of buffered data
    // finishes without building it (and so without starting its threads).
    if (Status usable = runtime_usable(); !usable) {
      refuse_operation(std::move(op), usable.error());
      return {};
    }
    if (form == StartForm::SpawnOnly) {
      Result<Runtime*> rt = runtime();
      if (!rt) {
        refuse_operation(std::move(op), rt.error());
        return {};
      }
      TaskRef task = OperationTask::create(std::move(op), std::move(source), OperationTask::Start::Queued);
      task->spawn();
      return task;
    }
    TaskRef task = OperationTask::create(std::move(op), std::move(source), OperationTask::Start::FirstStepHere);
    const bool defer = form == StartForm::FirstStepPending;
    // Behind a write whose outcome is still kept back, this one's outcome
    // comes after that one's.
    if (write_side) {
      Waker last = write_side->kept_back();
      auto* earlier = static_cast<OperationTask*>(last.target());
      if (earlier && earlier->phase() == OperationTask::Phase::Finishing) task->chain_after(TaskRef::share(earlier));
    }
    // On an event loop's thread, a read that must wait waits on that loop's
    // poller, and the loop's thread finishes it.
    std::shared_ptr<LoopInbox> inbox;
    bool failed = false;
    if (PyObject* loop = running_loop_or_null(failed)) inbox = LoopInbox::of(loop);
    if (PyErr_Occurred()) PyErr_Clear();
    LoopPoller* poller = inbox ? inbox->poller() : nullptr;
    const bool done = detached([&] {
      LoopPollScope scope(poller, task.get());
      return task->first_step(defer);
    });
    if (done) {
      if (defer) {
        if (write_side) write_side->exchange_kept_back(Waker::share(task.get()));
        finish_soon(task);
      }
      return task;
    }
    // Going on as a task: the runtime must be there to run it, unless the
    // loop's thread runs its next step (a wake from anywhere else builds the
    // runtime then, or ends the task with the reason it cannot).
    if (task->loop_wait()) return task;
    if (Result<Runtime*> rt = runtime(); !rt) {
      cancel_task(*task);
      py::raise(rt.error());
      return {};
    }
    return task;
  });
}

}  // namespace corvalink
