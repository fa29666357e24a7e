#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>

#include "backends/posix/tty_control.hpp"

#include <termios.h>

#if defined(__linux__)
#include <linux/serial.h>  // struct serial_rs485, SER_RS485_*, struct serial_struct, ASYNC_*
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

#if defined(__linux__) && defined(TIOCSSERIAL)
#define CORVALINK_HAVE_SERIAL_INFO 1
static_assert(sizeof(SerialInfo) == sizeof(struct serial_struct));
static_assert(offsetof(SerialInfo, flags) == offsetof(struct serial_struct, flags));
static_assert(offsetof(SerialInfo, iomap_base) == offsetof(struct serial_struct, iomap_base));
static_assert(kLowLatency == ASYNC_LOW_LATENCY);
#endif
static_assert(static_cast<int>(Flow::OutputOff) == TCOOFF && static_cast<int>(Flow::OutputOn) == TCOON &&
              static_cast<int>(Flow::InputOff) == TCIOFF && static_cast<int>(Flow::InputOn) == TCION);

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
#ifdef CORVALINK_HAVE_SERIAL_INFO
  int get_serial(int fd, SerialInfo& info) override { return result(::ioctl(fd, TIOCGSERIAL, &info)); }
  int set_serial(int fd, const SerialInfo& info) override {
    SerialInfo copy = info;  // the ioctl's argument is not const
    return result(::ioctl(fd, TIOCSSERIAL, &copy));
  }
#else
  int get_serial(int, SerialInfo&) override { return ENOTTY; }
  int set_serial(int, const SerialInfo&) override { return ENOTTY; }
#endif
  int flow(int fd, Flow action) override { return result(::tcflow(fd, static_cast<int>(action))); }
};

}  // namespace

TtyControl& system_tty_control() noexcept {
  static SystemTtyControl control;
  return control;
}

}  // namespace corvalink::posix
