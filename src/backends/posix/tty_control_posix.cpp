#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>

#include "backends/posix/tty_control.hpp"

#if defined(__linux__)
#include <linux/serial.h>  // struct serial_rs485, SER_RS485_*
#endif

namespace corvalink::posix {

#if defined(__linux__) && defined(TIOCSRS485)
#define CORVALINK_HAVE_RS485 1
static_assert(sizeof(SerialRs485) == sizeof(struct serial_rs485));
static_assert(offsetof(SerialRs485, delay_rts_before_send) == offsetof(struct serial_rs485, delay_rts_before_send));
static_assert(offsetof(SerialRs485, delay_rts_after_send) == offsetof(struct serial_rs485, delay_rts_after_send));
static_assert(rs485::kEnabled == SER_RS485_ENABLED && rs485::kRtsOnSend == SER_RS485_RTS_ON_SEND &&
              rs485::kRtsAfterSend == SER_RS485_RTS_AFTER_SEND && rs485::kRxDuringTx == SER_RS485_RX_DURING_TX);
#endif

namespace {

int result(int rc) noexcept { return rc == 0 ? 0 : errno; }

class SystemTtyControl final : public TtyControl {
 public:
  int get_modem_lines(int fd, int& bits) override { return result(::ioctl(fd, TIOCMGET, &bits)); }
  int set_modem_lines(int fd, int bits, bool level) override {
    return result(::ioctl(fd, level ? TIOCMBIS : TIOCMBIC, &bits));
  }
#ifdef CORVALINK_HAVE_RS485
  int get_rs485(int fd, SerialRs485& config) override { return result(::ioctl(fd, TIOCGRS485, &config)); }
  int set_rs485(int fd, SerialRs485& config) override { return result(::ioctl(fd, TIOCSRS485, &config)); }
#else
  // No such ioctl here: every device answers as one whose driver lacks it.
  int get_rs485(int, SerialRs485&) override { return ENOTTY; }
  int set_rs485(int, SerialRs485&) override { return ENOTTY; }
#endif
};

}  // namespace

TtyControl& system_tty_control() noexcept {
  static SystemTtyControl control;
  return control;
}

}  // namespace corvalink::posix
