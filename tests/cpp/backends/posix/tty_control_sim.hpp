// A simulated tty driver behind posix::TtyControl: which of the line and
// RS-485 ioctls it implements, what it holds, and failures on request. The
// descriptor is not looked at, so a backend opened on a pseudo-terminal can
// be driven as if it were a UART with lines and an RS-485 transceiver.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "backends/posix/tty_control.hpp"

namespace corvalink::testing {

class SimulatedTtyControl final : public posix::TtyControl {
 public:
  // What the driver implements; a missing one answers ENOTTY, as the kernel
  // does (old kernels answered EINVAL for missing lines).
  bool has_modem_lines = true;
  bool has_rs485 = true;
  int no_lines_answer = ENOTTY;
  // The driver's state: the TIOCM_* bits, and its RS-485 configuration.
  int lines = 0;
  posix::SerialRs485 rs485;
  int rs485_sets = 0;  // TIOCSRS485 calls that reached the driver
  // The next call of that kind fails with this errno (0: none).
  int fail_get_lines = 0;
  int fail_set_lines = 0;
  int fail_set_rs485 = 0;
  // TIOCGSERIAL/TIOCSSERIAL: whether the driver has them, its flags, the
  // calls that changed them, and a refusal of the next set (EPERM, say).
  bool has_serial_info = true;
  int serial_flags = 0;
  int serial_sets = 0;
  int fail_set_serial = 0;
  // The tcflow actions in order; the next one fails with this errno.
  std::vector<posix::Flow> flows;
  int fail_flow = 0;

  int get_modem_lines(int, int& bits) override {
    if (int err = std::exchange(fail_get_lines, 0)) return err;
    if (!has_modem_lines) return no_lines_answer;
    bits = lines;
    return 0;
  }
  int set_modem_lines(int, int bits, bool level) override {
    if (int err = std::exchange(fail_set_lines, 0)) return err;
    if (!has_modem_lines) return no_lines_answer;
    lines = level ? (lines | bits) : (lines & ~bits);
    return 0;
  }
  int get_rs485(int, posix::SerialRs485& config) override {
    if (!has_rs485) return ENOTTY;
    config = rs485;
    return 0;
  }
  int set_rs485(int, posix::SerialRs485& config) override {
    if (int err = std::exchange(fail_set_rs485, 0)) return err;
    if (!has_rs485) return ENOTTY;
    ++rs485_sets;
    rs485 = config;
    return 0;
  }
  int get_serial(int, posix::SerialInfo& info) override {
    if (!has_serial_info) return ENOTTY;
    info = posix::SerialInfo{};
    info.flags = serial_flags;
    info.baud_base = 115200;
    return 0;
  }
  int set_serial(int, const posix::SerialInfo& info) override {
    if (int err = std::exchange(fail_set_serial, 0)) return err;
    if (!has_serial_info) return ENOTTY;
    ++serial_sets;
    serial_flags = info.flags;
    return 0;
  }
  int flow(int, posix::Flow action) override {
    if (int err = std::exchange(fail_flow, 0)) return err;
    flows.push_back(action);
    return 0;
  }
};

}  // namespace corvalink::testing
