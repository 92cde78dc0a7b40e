#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/port_base_posix.h"
#include "platform/port_timing.h"
#include "platform/rfc2217_port.h"
#include "platform/telnet_codec.h"

namespace davrilon {

namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;
using telnet::Bytes;
namespace comport = telnet::comport;

constexpr std::size_t kReceiveChunk = 64 * 1024;
// The line data received and not yet read is held up to this much, like a
// serial port's receive buffer; past it bytes are dropped as an overrun drops
// them. Telnet commands and notifications are taken in whatever piles up.
constexpr std::size_t kReceiveBufferLimit = 64 * 1024;
// One look at the connection takes in at most this much, so that a server that
// never stops sending cannot hold the station; at 115200 baud a line brings
// about 11.5 KB a second, far below it.
constexpr std::size_t kMostTakenInPerLook = 4 * 1024 * 1024;
constexpr std::size_t kComPortCommands = comport::kPurgeData + 1;
constexpr std::uint8_t kAllModemLines = 0xFF;
constexpr int kSocketOptionOn = 1;

// The port's settings and the values of SET-PARITY / SET-STOPSIZE.
constexpr std::uint8_t kLargestParity = 4;  // space
constexpr std::uint8_t kSmallestByte = 5;
constexpr std::uint8_t kLargestByte = 8;
constexpr std::uint8_t kOneAndHalfStopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;

std::uint8_t ParityValue(std::uint8_t parity) {
  return static_cast<std::uint8_t>(parity + 1);
}

std::uint8_t StopSizeValue(std::uint8_t stop_bits) {
  switch (stop_bits) {
    case kOneAndHalfStopBits:
      return comport::kStopOneAndHalf;
    case kTwoStopBits:
      return comport::kStopTwo;
    default:
      return comport::kStopOne;
  }
}

std::optional<std::uint8_t> StopBitsOf(std::uint32_t value) {
  switch (value) {
    case comport::kStopOne:
      return kOneStopBit;
    case comport::kStopTwo:
      return kTwoStopBits;
    case comport::kStopOneAndHalf:
      return kOneAndHalfStopBits;
    default:
      return std::nullopt;
  }
}

// The line data received and not yet read: a byte vector read from the front,
// so that taking bytes in and handing them out costs a copy of each run and no
// work per byte.
//
// When more than kReceiveBufferLimit bytes are waiting, the oldest go. The
// station reads the line only in an exchange, which purges it first and then
// reads in step with the centre; what piles up between calls is stale (result
// codes, noise), and a reader that comes late wants what the line says now,
// not what it said a minute ago.
class ReceiveQueue {
 public:
  std::size_t size() const { return bytes_.size() - head_; }

  void Clear() {
    bytes_.clear();
    head_ = 0;
  }

  void Append(std::span<const std::uint8_t> data) {
    if (data.size() >= kReceiveBufferLimit) {
      Clear();
      data = data.last(kReceiveBufferLimit);
    } else if (size() + data.size() > kReceiveBufferLimit) {
      head_ += size() + data.size() - kReceiveBufferLimit;
    }
    Compact();
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }

  // Moves up to into.size() bytes out; the count moved.
  std::size_t Take(std::span<std::uint8_t> into) {
    const std::size_t n = std::min(size(), into.size());
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(head_), n, into.begin());
    head_ += n;
    if (head_ == bytes_.size())
      Clear();
    return n;
  }

 private:
  // Drops the bytes already read or dropped once they are at least as many as
  // the limit: each byte is moved at most once more, and the vector stays
  // below twice the limit and one receive.
  void Compact() {
    if (head_ < kReceiveBufferLimit)
      return;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t head_ = 0;  // where the unread bytes begin
};

// One address of the access server, as the name lookup gave it.
struct Endpoint {
  int family = 0;
  int type = 0;
  int protocol = 0;
  sockaddr_storage address{};
  socklen_t length = 0;
};

// The addresses of the access server, or none (with the error number). Looked
// up once, when the port is opened: a reconnect during the day must not wait
// for a name server.
std::vector<Endpoint> Resolve(const NetworkPortAddress& address, std::uint32_t& error,
                              std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int lookup = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (lookup != 0) {
    // The platform has no error number for a name that does not resolve.
    error = ErrorNumber(lookup == EAI_SYSTEM ? errno : EHOSTUNREACH);
    reason = "cannot resolve host name " + address.host + ": " + gai_strerror(lookup);
    return {};
  }
  std::vector<Endpoint> endpoints;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    Endpoint e{a->ai_family, a->ai_socktype, a->ai_protocol, {}, a->ai_addrlen};
    std::memcpy(&e.address, a->ai_addr, a->ai_addrlen);
    endpoints.push_back(e);
  }
  freeaddrinfo(found);
  if (endpoints.empty())
    error = ErrorNumber(EHOSTUNREACH);
  return endpoints;
}

// A TCP socket connected to the first endpoint that answers by `end`,
// non-blocking, or -1 and the error number.
int Connect(const std::vector<Endpoint>& endpoints, SteadyClock::time_point end,
            std::uint32_t& error) {
  int fd = -1;
  error = ErrorNumber(EHOSTUNREACH);
  for (auto e = endpoints.begin(); e != endpoints.end() && fd < 0; ++e) {
    fd = socket(e->family, e->type | SOCK_NONBLOCK | SOCK_CLOEXEC, e->protocol);
    if (fd < 0) {
      error = ErrorNumber(errno);
      continue;
    }
    int result =
        connect(fd, reinterpret_cast<const sockaddr*>(&e->address), e->length) == 0 ? 0 : errno;
    if (result == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      const int r = poll(&p, 1, PollMilliseconds(TimeLeft(end, SteadyClock::now())));
      socklen_t len = sizeof result;
      if (r == 0)
        result = ETIMEDOUT;
      else if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &len) != 0)
        result = errno;
    }
    if (result != 0) {
      error = ErrorNumber(result);
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) {
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &kSocketOptionOn, sizeof kSocketOptionOn);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &kSocketOptionOn, sizeof kSocketOptionOn);
  }
  return fd;
}

class Rfc2217Port final : public PortBase {
 public:
  Rfc2217Port(int fd, std::vector<Endpoint> endpoints, Clock& clock)
      : fd_(fd), endpoints_(std::move(endpoints)), clock_(clock) {}
  ~Rfc2217Port() override { Close(); }
  Rfc2217Port(const Rfc2217Port&) = delete;
  Rfc2217Port& operator=(const Rfc2217Port&) = delete;

  // Agrees the options and asks for the modem lines; 0 or the error number.
  std::uint32_t Start() {
    using namespace telnet;
    for (const Bytes& ask :
         {options_.RequestLocal(kOptBinary), options_.RequestRemote(kOptBinary),
          options_.RequestLocal(kOptSuppressGoAhead), options_.RequestRemote(kOptSuppressGoAhead),
          options_.RequestLocal(kOptComPort)})
      outbox_.insert(outbox_.end(), ask.begin(), ask.end());
    const auto end = DeadlineIn(kNegotiationDeadline);
    auto pending = [this] {
      return options_.LocalPending(kOptBinary) || options_.RemotePending(kOptBinary) ||
             options_.LocalPending(kOptSuppressGoAhead) ||
             options_.RemotePending(kOptSuppressGoAhead) || options_.LocalPending(kOptComPort);
    };
    while (pending()) {
      const milliseconds left = TimeLeft(end, SteadyClock::now());
      if (left.count() == 0)
        return ErrorNumber(ETIMEDOUT);
      if (!Service(left))
        return ErrorNumber(broken_);
    }
    if (!options_.LocalEnabled(kOptComPort) || !options_.LocalEnabled(kOptBinary) ||
        !options_.RemoteEnabled(kOptBinary))
      return ErrorNumber(EPROTO);

    // Every modem line change is to be notified. Servers answer the mask, or
    // notify the lines at once, or both; one that does neither leaves the word
    // at 0 until its first notification.
    const auto seen_mask = replies_[comport::kSetModemStateMask];
    const auto seen_lines = replies_[comport::kNotifyModemState];
    const auto mask_end = DeadlineIn(kAcknowledgeDeadline);
    if (!Send(telnet::ComPortU8(comport::kSetModemStateMask, kAllModemLines), mask_end))
      return last_error();
    while (replies_[comport::kSetModemStateMask] == seen_mask &&
           replies_[comport::kNotifyModemState] == seen_lines) {
      const milliseconds left = TimeLeft(mask_end, SteadyClock::now());
      if (left.count() == 0)
        break;
      if (!Service(left))
        return ErrorNumber(broken_);
    }
    return 0;
  }

  bool GetLineSettings(LineSettings& settings) override {
    if (!Usable())
      return false;
    struct Query {
      std::uint8_t command;
      Bytes message;
    };
    const Query queries[] = {
        {comport::kSetBaudRate, telnet::ComPortU32(comport::kSetBaudRate, comport::kQueryBaudRate)},
        {comport::kSetDataSize, telnet::ComPortU8(comport::kSetDataSize, comport::kQuery)},
        {comport::kSetParity, telnet::ComPortU8(comport::kSetParity, comport::kQuery)},
        {comport::kSetStopSize, telnet::ComPortU8(comport::kSetStopSize, comport::kQuery)},
    };
    for (const auto& q : queries) {
      if (acknowledged_[q.command])
        continue;
      if (!Request(q.command, q.message))
        return false;
      if (!acknowledged_[q.command])
        return Fail(EPROTO);  // an answer without a value of its width
    }

    const std::uint32_t baud = *acknowledged_[comport::kSetBaudRate];
    const std::uint32_t size = *acknowledged_[comport::kSetDataSize];
    const std::uint32_t parity = *acknowledged_[comport::kSetParity];
    const auto stop = StopBitsOf(*acknowledged_[comport::kSetStopSize]);
    if (size < kSmallestByte || size > kLargestByte || parity < comport::kParityNone ||
        parity > comport::kParitySpace || !stop)
      return Fail(EPROTO);
    settings.baud_rate = baud;
    settings.byte_size = static_cast<std::uint8_t>(size);
    settings.parity = static_cast<std::uint8_t>(parity - comport::kParityNone);
    settings.stop_bits = *stop;
    return true;
  }

  bool SetLineSettings(const LineSettings& s) override {
    if (!Usable())
      return false;
    if (s.baud_rate == 0 || s.byte_size < kSmallestByte || s.byte_size > kLargestByte ||
        s.parity > kLargestParity || s.stop_bits > kTwoStopBits)
      return Fail(EINVAL);
    struct Setting {
      std::uint8_t command;
      Bytes message;
      std::uint32_t value;
    };
    const Setting settings[] = {
        {comport::kSetBaudRate, telnet::ComPortU32(comport::kSetBaudRate, s.baud_rate),
         s.baud_rate},
        {comport::kSetDataSize, telnet::ComPortU8(comport::kSetDataSize, s.byte_size), s.byte_size},
        {comport::kSetParity, telnet::ComPortU8(comport::kSetParity, ParityValue(s.parity)),
         ParityValue(s.parity)},
        {comport::kSetStopSize,
         telnet::ComPortU8(comport::kSetStopSize, StopSizeValue(s.stop_bits)),
         StopSizeValue(s.stop_bits)},
    };
    for (const auto& setting : settings) {
      if (!Request(setting.command, setting.message))
        return false;
      if (!acknowledged_[setting.command])
        return Fail(EPROTO);  // an answer without a value of its width
      // The server answers with the value now in force: another one is a refusal.
      if (acknowledged_[setting.command] != setting.value)
        return Fail(EINVAL);
    }
    in_force_ = s;
    return true;
  }

  bool GetModemStatus(std::uint32_t& status) override {
    if (!Usable())
      return false;
    TakeInWhatArrived();
    if (broken_ != 0 && schedule_.Due(clock_.Monotonic()))
      Reconnect();
    if (broken_ != 0)
      return Fail(broken_);
    status = modem_lines_ & comport::kModemStateLines;  // the bits sit where MS_*_ON have them
    return true;
  }

  bool PurgeReceive() override {
    if (!Usable())
      return false;
    received_.Clear();
    // Bytes that come before the server's answer were received before its
    // purge: the answer drops them as it is taken in.
    return Request(comport::kPurgeData,
                   telnet::ComPortU8(comport::kPurgeData, comport::kPurgeReceive));
  }

  bool Read(std::span<std::uint8_t> into, std::uint32_t& got) override {
    got = 0;
    if (!Usable())
      return false;
    ReadDeadline deadline(timeouts_, into.size(), SteadyClock::now());
    while (true) {
      const std::size_t take = received_.Take(into.subspan(got));
      if (take > 0) {
        got += static_cast<std::uint32_t>(take);
        deadline.BytesCame(SteadyClock::now());
      }
      if (got == into.size())
        return true;
      if (broken_ != 0)
        return got > 0 ? true : Fail(broken_);  // the next read reports it
      const auto left = deadline.Remaining(SteadyClock::now());
      if (left && left->count() == 0)
        return true;
      Service(left);
    }
  }

  bool Write(std::span<const std::uint8_t> bytes, std::uint32_t& written) override {
    written = 0;
    if (!Usable())
      return false;
    if (broken_ != 0)
      return Fail(broken_);
    WriteDeadline deadline(timeouts_, bytes.size(), SteadyClock::now());
    // The data joins the outbox behind whatever the server is still owed, so
    // the Telnet stream keeps its order.
    const Bytes wire = telnet::Escape(bytes);
    const std::size_t ahead = outbox_.size();
    const std::uint64_t sent_before = outbox_sent_;
    outbox_.insert(outbox_.end(), wire.begin(), wire.end());
    auto data_sent = [&] {
      const std::uint64_t s = outbox_sent_ - sent_before;
      return s <= ahead ? std::size_t{0} : std::min<std::size_t>(s - ahead, wire.size());
    };
    while (true) {
      SendOutbox();
      if (data_sent() == wire.size())
        break;
      if (broken_ != 0) {
        written = WholeBytesIn(bytes, data_sent());
        return Fail(broken_);
      }
      const auto left = deadline.Remaining(SteadyClock::now());
      if (left && left->count() == 0)
        break;
      Service(left);
    }
    const std::size_t done = data_sent();
    if (done < wire.size()) {
      // Time is up: take back what has not gone out, except the second half
      // of a doubled 0xFF already half sent, which must follow to keep the
      // stream whole (its byte then counts as written).
      const std::uint64_t s = outbox_sent_ - sent_before;
      const std::size_t ahead_left = s < ahead ? ahead - static_cast<std::size_t>(s) : 0;
      const std::size_t keep = HalfPairAt(wire, done) ? 1 : 0;
      const auto from = outbox_.begin() + static_cast<std::ptrdiff_t>(ahead_left + keep);
      outbox_.erase(from, from + static_cast<std::ptrdiff_t>(wire.size() - done - keep));
      written = WholeBytesIn(bytes, done + keep);
      return true;
    }
    written = static_cast<std::uint32_t>(bytes.size());
    return true;
  }

  bool TakeReconnected() override { return !is_closed() && std::exchange(reconnected_, false); }
  bool WillReconnect() const override { return !is_closed() && broken_ != 0; }

  void Release() override { Disconnect(); }

 private:
  bool Broken(int error) {
    if (broken_ == 0) {
      broken_ = error;
      schedule_.Lost(clock_.Monotonic());
    }
    return false;
  }

  void Disconnect() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

  // The latest end of a wait of `length` from now: within a reconnect, no
  // later than the reconnect's own end.
  SteadyClock::time_point DeadlineIn(milliseconds length) const {
    const auto end = SteadyClock::now() + length;
    return attempt_end_ ? std::min(end, *attempt_end_) : end;
  }

  // One reconnect attempt, all of it by kReconnectDeadline: a new connection,
  // the options and the modem-state mask agreed again, the line settings last
  // set put back. The connection state starts afresh; what was received and
  // not read is gone with the old connection.
  void Reconnect() {
    Disconnect();
    attempt_end_ = SteadyClock::now() + kReconnectDeadline;
    std::uint32_t error = 0;
    const int fd = Connect(endpoints_, *attempt_end_, error);
    if (fd >= 0) {
      fd_ = fd;
      broken_ = 0;
      decoder_ = telnet::TelnetDecoder();
      options_ = telnet::OptionNegotiator();
      received_.Clear();
      outbox_.clear();
      outbox_sent_ = 0;
      modem_lines_ = 0;
      replies_ = {};
      acknowledged_ = {};
      error = Start();
      if (error == 0 && in_force_ && !SetLineSettings(*in_force_))
        error = last_error();
    }
    attempt_end_.reset();
    if (error != 0) {
      Disconnect();
      broken_ = static_cast<int>(error);
      schedule_.AttemptFailed(clock_.Monotonic());
      return;
    }
    schedule_.Reconnected();
    reconnected_ = true;
  }

  // How many of `bytes` the first `length` bytes of their escaped form hold whole.
  static std::uint32_t WholeBytesIn(std::span<const std::uint8_t> bytes, std::size_t length) {
    std::size_t pos = 0;
    std::uint32_t count = 0;
    for (std::uint8_t b : bytes) {
      pos += b == telnet::kIac ? 2 : 1;
      if (pos > length)
        break;
      ++count;
    }
    return count;
  }

  // Whether `pos` in an escaped stream falls between the two halves of a doubled 0xFF.
  static bool HalfPairAt(const Bytes& wire, std::size_t pos) {
    std::size_t run = 0;
    while (run < pos && wire[pos - 1 - run] == telnet::kIac)
      ++run;
    return run % 2 == 1;
  }

  // Waits up to `wait` (nothing: no limit) for the connection, takes in what
  // came and sends what waits in the outbox. False once the connection failed.
  bool Service(std::optional<milliseconds> wait) {
    if (broken_ != 0)
      return false;
    pollfd p{fd_, POLLIN, 0};
    if (!outbox_.empty())
      p.events |= POLLOUT;
    const int r = poll(&p, 1, PollMilliseconds(wait));
    if (r < 0)
      return errno == EINTR ? true : Broken(errno);
    if (r == 0)
      return true;
    if ((p.revents & POLLNVAL) != 0)
      return Broken(EBADF);
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0)
      TakeIn();
    if ((p.revents & POLLOUT) != 0)
      SendOutbox();
    return broken_ == 0;
  }

  // One receive without waiting; the count of bytes that came.
  std::size_t TakeIn() {
    const ssize_t n = recv(fd_, chunk_.data(), chunk_.size(), MSG_DONTWAIT);
    if (n == 0)
      Broken(ECONNRESET);  // the server closed the connection
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      Broken(errno);
    if (n <= 0)
      return 0;
    decoder_.Feed(
        std::span(chunk_.data(), static_cast<std::size_t>(n)),
        [this](std::span<const std::uint8_t> data) { received_.Append(data); },
        [this](const telnet::TelnetCommand& command) { Handle(command); });
    return static_cast<std::size_t>(n);
  }

  // Everything that has arrived, without waiting.
  void TakeInWhatArrived() {
    std::size_t taken = 0;
    while (broken_ == 0 && taken < kMostTakenInPerLook) {
      SendOutbox();
      const std::size_t n = TakeIn();
      if (n == 0)
        break;
      taken += n;
    }
  }

  void SendOutbox() {
    while (broken_ == 0 && !outbox_.empty()) {
      const ssize_t n = send(fd_, outbox_.data(), outbox_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        outbox_.erase(outbox_.begin(), outbox_.begin() + n);
        outbox_sent_ += static_cast<std::uint64_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
          Broken(errno);
        return;
      }
    }
  }

  void Handle(const telnet::TelnetCommand& command) {
    using namespace telnet;
    if (command.verb == kWill || command.verb == kWont || command.verb == kDo ||
        command.verb == kDont) {
      const Bytes answer = options_.Receive(command.verb, command.option);
      outbox_.insert(outbox_.end(), answer.begin(), answer.end());
      return;
    }
    const auto message = AsComPort(command);
    if (!message || !message->is_server_reply())
      return;
    const std::uint8_t base = message->base_command();
    if (base >= kComPortCommands)
      return;
    ++replies_[base];
    // The baud rate is four bytes, every other value one; an answer of another
    // width leaves no value, which the caller takes as a protocol failure.
    std::optional<std::uint32_t> value = message->U32();
    if (base != comport::kSetBaudRate)
      value = message->U8();
    acknowledged_[base] = value;
    if (base == comport::kNotifyModemState && message->U8())
      modem_lines_ = *message->U8();
    if (base == comport::kPurgeData &&
        (value == comport::kPurgeReceive || value == comport::kPurgeBoth))
      received_.Clear();
  }

  // Queues `message` and sends it by `end`.
  bool Send(const Bytes& message, SteadyClock::time_point end) {
    if (broken_ != 0)
      return Fail(broken_);
    outbox_.insert(outbox_.end(), message.begin(), message.end());
    while (true) {
      SendOutbox();
      if (broken_ != 0)
        return Fail(broken_);
      if (outbox_.empty())
        return true;
      const milliseconds left = TimeLeft(end, SteadyClock::now());
      if (left.count() == 0)
        return Fail(ETIMEDOUT);
      Service(left);
    }
  }

  // Sends a COM-PORT-OPTION command and waits for the server's answer to it.
  bool Request(std::uint8_t command, const Bytes& message) {
    const auto seen = replies_[command];
    const auto end = DeadlineIn(kAcknowledgeDeadline);
    if (!Send(message, end))
      return false;
    while (replies_[command] == seen) {
      const milliseconds left = TimeLeft(end, SteadyClock::now());
      if (left.count() == 0)
        return Fail(ETIMEDOUT);
      if (!Service(left))
        return Fail(broken_);
    }
    return true;
  }

  int fd_;  // -1 between a lost connection and the next attempt
  const std::vector<Endpoint> endpoints_;
  Clock& clock_;  // times the reconnect attempts
  ReconnectSchedule schedule_;
  std::optional<SteadyClock::time_point> attempt_end_;  // while a reconnect runs
  std::optional<LineSettings> in_force_;                // the line settings last set
  bool reconnected_ = false;                            // not yet taken
  int broken_ = 0;  // the error that ended the connection, 0 while it lives
  telnet::TelnetDecoder decoder_;
  telnet::OptionNegotiator options_;
  ReceiveQueue received_;  // data from the line not yet read
  std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(kReceiveChunk);  // one receive
  Bytes outbox_;  // everything still to go to the server, in order: answers, commands, data
  std::uint64_t outbox_sent_ = 0;  // bytes of the outbox sent so far, in all
  std::uint8_t modem_lines_ = 0;   // the last NOTIFY-MODEMSTATE
  std::array<std::uint32_t, kComPortCommands> replies_{};  // answers counted per command
  std::array<std::optional<std::uint32_t>, kComPortCommands> acknowledged_{};  // their values
};

}  // namespace

PortOpenResult OpenRfc2217Port(const NetworkPortAddress& address) {
  return OpenRfc2217Port(address, SystemClock());
}

PortOpenResult OpenRfc2217Port(const NetworkPortAddress& address, Clock& clock) {
  std::uint32_t error = 0;
  std::string reason;
  std::vector<Endpoint> endpoints = Resolve(address, error, reason);
  if (endpoints.empty())
    return {nullptr, error, reason, ""};
  const int fd = Connect(endpoints, SteadyClock::now() + kConnectDeadline, error);
  if (fd < 0)
    return {nullptr, error};
  auto port = std::make_unique<Rfc2217Port>(fd, std::move(endpoints), clock);
  error = port->Start();
  if (error != 0)
    return {nullptr, error};
  return {std::move(port), 0};
}

}  // namespace davrilon
