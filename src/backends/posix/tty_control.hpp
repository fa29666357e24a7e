// The terminal ioctls for the modem-control lines, RS-485 direction control,
// the driver's serial flags and manual flow control that the POSIX backend
// makes, as an interface of our own.
//
// Each method is one ioctl on the descriptor with the same argument; it
// returns 0, or the errno value of the failed call. The layer holds no logic
// of the backend. Two implementations exist: the system's
// (tty_control_posix.cpp) and the simulation of the tests, which is how the
// backend's use of these calls is checked without a UART that has an RS-485
// transceiver.
//
// SerialRs485 mirrors the kernel's struct serial_rs485 byte for byte (the
// system layer hands it to the kernel as it is).
#pragma once

#include <cstdint>

namespace corvalink::posix {

struct SerialRs485 {
  std::uint32_t flags = 0;
  std::uint32_t delay_rts_before_send = 0;  // milliseconds
  std::uint32_t delay_rts_after_send = 0;   // milliseconds
  // Bus addressing on newer kernels, reserved on older ones; passed back as read.
  std::uint32_t padding[5] = {};
};
static_assert(sizeof(SerialRs485) == 32);

// The kernel's struct serial_struct (TIOCGSERIAL/TIOCSSERIAL), field for
// field; the backend changes only `flags`.
struct SerialInfo {
  int type = 0;
  int line = 0;
  unsigned int port = 0;
  int irq = 0;
  int flags = 0;
  int xmit_fifo_size = 0;
  int custom_divisor = 0;
  int baud_base = 0;
  unsigned short close_delay = 0;
  char io_type = 0;
  char reserved_char[1] = {};
  int hub6 = 0;
  unsigned short closing_wait = 0;
  unsigned short closing_wait2 = 0;
  unsigned char* iomem_base = nullptr;
  unsigned short iomem_reg_shift = 0;
  unsigned int port_high = 0;
  unsigned long iomap_base = 0;
};
// ASYNC_LOW_LATENCY in SerialInfo::flags: the driver hands received bytes
// on at once instead of batching them.
inline constexpr int kLowLatency = 1 << 13;

// tcflow's actions, as TCXONC takes them.
enum class Flow : int { OutputOff = 0, OutputOn = 1, InputOff = 2, InputOn = 3 };

// The flag bits of SerialRs485 that the backend sets or clears.
namespace rs485 {
inline constexpr std::uint32_t kEnabled = 1u << 0;
inline constexpr std::uint32_t kRtsOnSend = 1u << 1;     // RTS level while sending
inline constexpr std::uint32_t kRtsAfterSend = 1u << 2;  // RTS level after sending
inline constexpr std::uint32_t kRxDuringTx = 1u << 4;    // receiver stays on while sending
}  // namespace rs485

class TtyControl {
 public:
  TtyControl() = default;
  TtyControl(const TtyControl&) = delete;
  TtyControl& operator=(const TtyControl&) = delete;
  virtual ~TtyControl() = default;

  // TIOCMGET: the TIOCM_* bits of the lines.
  virtual int get_modem_lines(int fd, int& bits) = 0;
  // TIOCMBIS (level true) or TIOCMBIC (level false) with the TIOCM_* bits.
  virtual int set_modem_lines(int fd, int bits, bool level) = 0;
  // TIOCGRS485.
  virtual int get_rs485(int fd, SerialRs485& config) = 0;
  // TIOCSRS485. The kernel writes back the configuration it put in force.
  virtual int set_rs485(int fd, SerialRs485& config) = 0;
  // TIOCGSERIAL and TIOCSSERIAL.
  virtual int get_serial(int fd, SerialInfo& info) = 0;
  virtual int set_serial(int fd, const SerialInfo& info) = 0;
  // TCXONC (tcflow).
  virtual int flow(int fd, Flow action) = 0;
};

// The operating system's implementation.
TtyControl& system_tty_control() noexcept;

}  // namespace corvalink::posix
