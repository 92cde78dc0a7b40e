#include "platform/serial_termios.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include "platform/port_base_posix.h"
#include "platform/port_timing.h"
#include "platform/uucp_lock_posix.h"

namespace davrilon {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct BaudCode {
  std::uint32_t baud;
  speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedCode(std::uint32_t baud) {
  for (const auto& b : kBaudCodes)
    if (b.baud == baud)
      return b.code;
  return std::nullopt;
}

std::uint32_t BaudOf(speed_t code) {
  for (const auto& b : kBaudCodes)
    if (b.code == code)
      return b.baud;
  return 0;  // a speed with no number (B0: hang up)
}

// Parity as the port's settings give it: 0 none, 1 odd, 2 even, 3 mark, 4 space.
constexpr std::uint8_t kParityOdd = 1;
constexpr std::uint8_t kParityEven = 2;
constexpr std::uint8_t kParityMark = 3;
constexpr std::uint8_t kParitySpace = 4;
constexpr std::uint8_t kOneAndHalfStopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;
constexpr std::uint8_t kSmallestByte = 5;
constexpr std::uint8_t kLargestByte = 8;

tcflag_t SizeFlag(std::uint8_t byte_size) {
  switch (byte_size) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

LineSettings SettingsOf(const termios& t) {
  LineSettings s;
  s.baud_rate = BaudOf(cfgetospeed(&t));
  s.byte_size = ByteSizeOf(t.c_cflag);
  if ((t.c_cflag & PARENB) == 0) {
    s.parity = kNoParity;
  } else if ((t.c_cflag & CMSPAR) != 0) {
    s.parity = (t.c_cflag & PARODD) != 0 ? kParityMark : kParitySpace;
  } else {
    s.parity = (t.c_cflag & PARODD) != 0 ? kParityOdd : kParityEven;
  }
  if ((t.c_cflag & CSTOPB) == 0)
    s.stop_bits = kOneStopBit;
  else
    s.stop_bits = s.byte_size == kSmallestByte ? kOneAndHalfStopBits : kTwoStopBits;
  return s;
}

bool SameSettings(const LineSettings& a, const LineSettings& b) {
  return a.baud_rate == b.baud_rate && a.byte_size == b.byte_size && a.parity == b.parity &&
         a.stop_bits == b.stop_bits;
}

// Writes the four settings into `t`, keeping every other flag; false when the
// device cannot have them (1.5 stop bits exist only with 5-bit bytes, 2 only without).
bool ApplySettings(const LineSettings& s, termios& t) {
  const std::optional<speed_t> speed = SpeedCode(s.baud_rate);
  if (!speed || s.byte_size < kSmallestByte || s.byte_size > kLargestByte ||
      s.parity > kParitySpace || s.stop_bits > kTwoStopBits)
    return false;
  const bool five_bits = s.byte_size == kSmallestByte;
  if ((s.stop_bits == kOneAndHalfStopBits) != (five_bits && s.stop_bits != kOneStopBit))
    return false;
  if (cfsetispeed(&t, *speed) != 0 || cfsetospeed(&t, *speed) != 0)
    return false;
  t.c_cflag = (t.c_cflag & ~CSIZE) | SizeFlag(s.byte_size);
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (s.parity) {
    case kParityOdd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case kParityEven:
      t.c_cflag |= PARENB;
      break;
    case kParityMark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case kParitySpace:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.stop_bits == kOneStopBit)
    t.c_cflag &= ~CSTOPB;
  else
    t.c_cflag |= CSTOPB;
  return true;
}

// Raw mode: nothing between the line and the station changes or eats a byte.
// Hardware flow control (CRTSCTS) is left as it was.
void MakeRaw(termios& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CREAD | CLOCAL;  // the carrier is watched through the status word, not by hang-ups
  // With the descriptor non-blocking, one byte wanted and no timer, an empty
  // line reads as EAGAIN and an end of file as a hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

class TermiosPort final : public PortBase {
 public:
  TermiosPort(int fd, UucpLock lock) : fd_(fd), lock_(std::move(lock)) {}
  ~TermiosPort() override { Close(); }
  TermiosPort(const TermiosPort&) = delete;
  TermiosPort& operator=(const TermiosPort&) = delete;

  bool GetLineSettings(LineSettings& settings) override {
    termios t{};
    if (!Usable())
      return false;
    if (tcgetattr(fd_, &t) != 0)
      return Fail(errno);
    settings = SettingsOf(t);
    return true;
  }

  bool SetLineSettings(const LineSettings& settings) override {
    termios before{};
    if (!Usable())
      return false;
    if (tcgetattr(fd_, &before) != 0)
      return Fail(errno);
    termios t = before;
    if (!ApplySettings(settings, t))
      return Fail(EINVAL);
    if (tcsetattr(fd_, TCSANOW, &t) != 0)
      return Fail(errno);
    // tcsetattr succeeds when any part of the change took: check the whole,
    // and put back what the port had when the device did not take all of it.
    termios now{};
    if (tcgetattr(fd_, &now) != 0)
      return Fail(errno);
    if (!SameSettings(SettingsOf(now), settings)) {
      tcsetattr(fd_, TCSANOW, &before);
      return Fail(EINVAL);
    }
    return true;
  }

  bool GetModemStatus(std::uint32_t& status) override {
    if (!Usable())
      return false;
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0)
      return Fail(errno);
    status = 0;
    if ((lines & TIOCM_CTS) != 0)
      status |= MS_CTS_ON;
    if ((lines & TIOCM_DSR) != 0)
      status |= MS_DSR_ON;
    if ((lines & TIOCM_RNG) != 0)
      status |= MS_RING_ON;
    if ((lines & TIOCM_CAR) != 0)
      status |= MS_RLSD_ON;
    return true;
  }

  bool PurgeReceive() override {
    if (!Usable())
      return false;
    if (tcflush(fd_, TCIFLUSH) != 0)
      return Fail(errno);
    return true;
  }

  bool Read(std::span<std::uint8_t> into, std::uint32_t& got) override {
    got = 0;
    if (!Usable())
      return false;
    ReadDeadline deadline(timeouts_, into.size(), SteadyClock::now());
    while (got < into.size()) {
      const ssize_t n = read(fd_, into.data() + got, into.size() - got);
      if (n > 0) {
        got += static_cast<std::uint32_t>(n);
        deadline.BytesCame(SteadyClock::now());
        continue;
      }
      if (n == 0)
        return Fail(EIO);  // the device hung up
      if (errno == EINTR)
        continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        return Fail(errno);
      const auto left = deadline.Remaining(SteadyClock::now());
      if (left && left->count() == 0)
        break;
      const int ready = WaitFor(POLLIN, left);
      if (ready < 0)
        return false;
    }
    return true;
  }

  bool Write(std::span<const std::uint8_t> bytes, std::uint32_t& written) override {
    written = 0;
    if (!Usable())
      return false;
    WriteDeadline deadline(timeouts_, bytes.size(), SteadyClock::now());
    while (written < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + written, bytes.size() - written);
      if (n > 0) {
        written += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return Fail(errno);
      const auto left = deadline.Remaining(SteadyClock::now());
      if (left && left->count() == 0)
        break;
      if (WaitFor(POLLOUT, left) < 0)
        return false;
    }
    return true;
  }

  void Release() override {
    close(fd_);  // also drops the flock
    fd_ = -1;
    lock_.Release();
  }

 private:
  // Waits until the device is ready for `events` or the wait is over: 1 when
  // ready, 0 when the time is up, -1 (with the error kept) when the device failed.
  int WaitFor(short events, std::optional<std::chrono::milliseconds> left) {
    pollfd p{fd_, events, 0};
    const int r = poll(&p, 1, PollMilliseconds(left));
    if (r < 0) {
      if (errno == EINTR)
        return 0;
      Fail(errno);
      return -1;
    }
    if (r > 0 && (p.revents & events) == 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      Fail((p.revents & POLLNVAL) != 0 ? EBADF : EIO);
      return -1;
    }
    return r;
  }

  int fd_;
  UucpLock lock_;
};

}  // namespace

PortOpenResult OpenTermiosPort(const std::string& device_path) {
  // The UUCP lock first, as the other programs of the serial world take it;
  // it goes again with the port, on every way out.
  const std::string lock_directory = UucpLockDirectory();
  int lock_error = 0;
  std::optional<UucpLock> lock = UucpLock::Take(device_path, lock_directory, lock_error);
  if (!lock)
    return {nullptr, ErrorNumber(lock_error),
            "held by another program (lock file " + lock_directory + "/" +
                UucpLockName(device_path) + ")"};
  const int fd = open(device_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return {nullptr, ErrorNumber(errno)};
  auto refuse = [fd](int error) {
    close(fd);
    return PortOpenResult{nullptr, ErrorNumber(error)};
  };
  // Both locks: flock keeps out every program that asks (and root), TIOCEXCL
  // keeps out other users' programs that do not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
  termios t{};
  if (tcgetattr(fd, &t) != 0)
    return refuse(errno);
  if (ioctl(fd, TIOCEXCL) != 0)
    return refuse(errno);
  MakeRaw(t);
  if (tcsetattr(fd, TCSANOW, &t) != 0)
    return refuse(errno);
  return {std::make_unique<TermiosPort>(fd, std::move(*lock)), 0};
}

}  // namespace davrilon
