// The extension module _corvalink: its definition, its namespace and the
// submodules corvalink.aio, corvalink.tools and corvalink.tools.list_ports.
//
// The body adds every attribute in a fixed order through py::add_attribute,
// which also keeps each module's __all__. The module has no state of its own:
// classes and other shared objects live in process-wide once-only cells, so a
// second execution (after removal from sys.modules) reuses them.
//
// Those cells hold objects of the main interpreter, so the module and its
// submodules declare that they do not support other interpreters, and the
// body refuses to run in one: a legacy subinterpreter (the kind
// Py_NewInterpreter() makes) does not check the declaration on the ordinary
// build, and would otherwise be handed the main interpreter's classes.

#include <array>
#include <cstdint>

#include "python/errors_python.hpp"
#include "python/future.hpp"
#include "listing/port_info.hpp"
#include "python/python.hpp"
#include "python/rs485.hpp"
#include "python/serial.hpp"
#include "python/transport.hpp"

namespace corvalink {

namespace {

constexpr std::array<std::uint32_t, 30> kStandardBaudrates = {
    50,     75,     110,    134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

py::OnceCell baudrate_cell;

PyObject* make_baudrate_enum() noexcept {
  py::Ref members = py::Ref::steal(PyList_New(0));
  if (!members) return nullptr;
  for (std::uint32_t rate : kStandardBaudrates) {
    py::Ref pair = py::Ref::steal(Py_BuildValue("(N N)", PyUnicode_FromFormat("B%u", rate), PyLong_FromUnsignedLong(rate)));
    if (!pair || PyList_Append(members.get(), pair.get()) < 0) return nullptr;
  }
  py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:s}", "module", "corvalink"));
  if (!kwargs) return nullptr;
  py::Ref enum_name = py::str("enum");
  if (!enum_name) return nullptr;
  py::Ref enum_module = py::Ref::steal(PyImport_Import(enum_name.get()));
  if (!enum_module) return nullptr;
  py::Ref int_enum = py::Ref::steal(PyObject_GetAttrString(enum_module.get(), "IntEnum"));
  if (!int_enum) return nullptr;
  py::Ref cls_name = py::str("Baudrate");
  if (!cls_name) return nullptr;
  PyObject* args[] = {cls_name.get(), members.get()};
  py::Ref cls = py::Ref::steal(PyObject_VectorcallDict(int_enum.get(), args, 2, kwargs.get()));
  if (!cls) return nullptr;
  py::Ref doc = py::str(
      "The standard line speeds, in bits per second (`SerialBase.BAUDRATES` lists them). A port takes "
      "other speeds too, where its driver does.");
  if (!doc || PyObject_SetAttrString(cls.get(), "__doc__", doc.get()) < 0) return nullptr;
  return cls.release();
}

int add_str(PyObject* m, const char* name, const char* value) noexcept {
  return py::add_attribute(m, name, py::Ref::steal(PyUnicode_FromString(value)).get());
}
int add_int(PyObject* m, const char* name, long value) noexcept {
  return py::add_attribute(m, name, py::Ref::steal(PyLong_FromLong(value)).get());
}
int add_bytes(PyObject* m, const char* name, char value) noexcept {
  return py::add_attribute(m, name, py::Ref::steal(PyBytes_FromStringAndSize(&value, 1)).get());
}

// What every module of the package declares: no GIL needed, main
// interpreter only.
PyModuleDef_Slot submodule_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef aio_def = {PyModuleDef_HEAD_INIT, "corvalink.aio",
                       "Asynchronous access to serial ports: `Serial` whose I/O methods return an awaitable "
                       "`Future`, and an asyncio transport with its connection helpers.", 0, nullptr, submodule_slots,
                       nullptr, nullptr, nullptr};
PyModuleDef tools_def = {PyModuleDef_HEAD_INIT, "corvalink.tools", "The commands that come with the package.", 0, nullptr, submodule_slots,
                         nullptr, nullptr, nullptr};
PyModuleDef list_ports_def = {PyModuleDef_HEAD_INIT, "corvalink.tools.list_ports",
                              "The serial ports of this machine: `comports` and the `ListPortInfo` records it "
                              "returns.", 0, nullptr,
                              submodule_slots, nullptr, nullptr, nullptr};
PyModuleDef rs485_def = {PyModuleDef_HEAD_INIT, "corvalink.rs485",
                         "RS-485 direction control for `SerialBase.rs485_mode`.", 0, nullptr, submodule_slots,
                         nullptr, nullptr, nullptr};

// A new, empty submodule made from its definition, so that it carries the
// definition's declarations.
py::Ref new_submodule(PyModuleDef* def) noexcept {
  py::Ref machinery = py::Ref::steal(PyImport_ImportModule("importlib.machinery"));
  if (!machinery) return {};
  py::Ref spec = py::Ref::steal(PyObject_CallMethod(machinery.get(), "ModuleSpec", "sO", def->m_name, Py_None));
  if (!spec) return {};
  return py::Ref::steal(PyModule_FromDefAndSpec(def, spec.get()));
}

// Other interpreters are refused before the body touches anything shared.
int refuse_other_interpreters(PyObject* m) noexcept {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
  py::Ref name = py::Ref::steal(PyModule_GetNameObject(m));
  if (!name) return -1;
  PyErr_Format(PyExc_ImportError, "module %U does not support loading in subinterpreters", name.get());
  return -1;
}

// Registers child in sys.modules under its full name.
int register_module(PyObject* child) noexcept {
  py::Ref sys_name = py::str("sys");
  if (!sys_name) return -1;
  py::Ref sys = py::Ref::steal(PyImport_Import(sys_name.get()));
  if (!sys) return -1;
  py::Ref modules = py::Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
  if (!modules) return -1;
  py::Ref full_name = py::Ref::steal(PyModule_GetNameObject(child));
  if (!full_name) return -1;
  return PyObject_SetItem(modules.get(), full_name.get(), child);
}

// Adds child to parent under short_name and registers it in sys.modules
// under its full name.
int attach(PyObject* parent, const char* short_name, PyObject* child) noexcept {
  if (py::add_attribute(parent, short_name, child) < 0) return -1;
  return register_module(child);
}

int exec_body(PyObject* m) {
  if (!PyModule_Check(m)) {
    PyErr_SetString(PyExc_TypeError, "the module execution slot needs a module object");
    return -1;
  }
  if (refuse_other_interpreters(m) < 0) return -1;
  // Our threads stop entering the interpreter once it starts to finalize.
  if (watch_interpreter_exit() < 0) return -1;
  if (add_str(m, "__version__", "0.3.0") < 0) return -1;

  static constexpr const char* kParities[][3] = {
      {"PARITY_NONE", "N", "None"}, {"PARITY_EVEN", "E", "Even"}, {"PARITY_ODD", "O", "Odd"},
      {"PARITY_MARK", "M", "Mark"}, {"PARITY_SPACE", "S", "Space"}};
  for (auto& p : kParities)
    if (add_str(m, p[0], p[1]) < 0) return -1;
  py::Ref names = py::Ref::steal(PyDict_New());
  if (!names) return -1;
  for (auto& p : kParities) {
    py::Ref value = py::str(p[2]);
    if (!value || PyDict_SetItemString(names.get(), p[1], value.get()) < 0) return -1;
  }
  if (py::add_attribute(m, "PARITY_NAMES", names.get()) < 0) return -1;

  if (add_int(m, "STOPBITS_ONE", 1) < 0) return -1;
  if (py::add_attribute(m, "STOPBITS_ONE_POINT_FIVE", py::Ref::steal(PyFloat_FromDouble(1.5)).get()) < 0) return -1;
  if (add_int(m, "STOPBITS_TWO", 2) < 0) return -1;
  if (add_int(m, "FIVEBITS", 5) < 0 || add_int(m, "SIXBITS", 6) < 0 || add_int(m, "SEVENBITS", 7) < 0 ||
      add_int(m, "EIGHTBITS", 8) < 0)
    return -1;
  if (add_bytes(m, "XON", '\x11') < 0 || add_bytes(m, "XOFF", '\x13') < 0 || add_bytes(m, "CR", '\r') < 0 ||
      add_bytes(m, "LF", '\n') < 0)
    return -1;

  if (py::add_attribute(m, "SerialException", serial_exception_type()) < 0) return -1;
  if (py::add_attribute(m, "SerialTimeoutException", serial_timeout_exception_type()) < 0) return -1;
  if (py::add_attribute(m, "PortNotOpenError", port_not_open_error_type()) < 0) return -1;
  if (py::add_attribute(m, "Baudrate", baudrate_type()) < 0) return -1;

  // The blocking classes and serial_for_url.
  if (add_serial_classes(m) < 0) return -1;
  if (add_serial_for_url(m) < 0) return -1;

  // corvalink.aio: Future, Serial, serial_for_url, __getattr__ (SerialTransport
  // on demand), then the connection helpers; the asynchronous members are
  // added here as they are built.
  py::Ref aio = new_submodule(&aio_def);
  if (!aio) return -1;
  if (py::add_class(aio.get(), future_type()) < 0) return -1;
  if (add_aio_serial(aio.get()) < 0) return -1;
  if (add_transport_members(aio.get()) < 0) return -1;
  if (attach(m, "aio", aio.get()) < 0) return -1;

  py::Ref tools = new_submodule(&tools_def);
  if (!tools) return -1;
  py::Ref list_ports = new_submodule(&list_ports_def);
  if (!list_ports) return -1;
  if (add_list_ports_members(list_ports.get()) < 0) return -1;
  if (attach(tools.get(), "list_ports", list_ports.get()) < 0) return -1;
  if (attach(m, "tools", tools.get()) < 0) return -1;

  // corvalink.rs485 is only registered: the package binds it (corvalink/__init__.py),
  // so this module's own namespace and __all__ stay as they are.
  py::Ref rs485 = new_submodule(&rs485_def);
  if (!rs485) return -1;
  if (add_rs485_members(rs485.get()) < 0) return -1;
  return register_module(rs485.get());
}

int exec_module(PyObject* m) noexcept {
  try {
    return exec_body(m);
  } catch (...) {
    py::raise_panic("uncaught panic at ffi boundary");
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvalink",  // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: everything is added by the execution slot
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* baudrate_type() noexcept { return baudrate_cell.get_or_init(make_baudrate_enum); }

}  // namespace corvalink

PyMODINIT_FUNC PyInit__corvalink(void) { return PyModuleDef_Init(&corvalink::module_def); }
