// The terminal ioctls for the modem-control lines and for RS-485 direction
// control that the POSIX backend makes, as an interface of our own.
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
};

// The operating system's implementation.
TtyControl& system_tty_control() noexcept;

}  // namespace corvalink::posix
