#include "platform/rfc2217_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fakes/fake_clock.h"
#include "platform/telnet_codec.h"

extern char** environ;

namespace davrilon {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using telnet::Bytes;
namespace comport = telnet::comport;

constexpr PortTimeouts kStationTimeouts{3000, 0, 3000, 3000, 3000};
constexpr PortTimeouts kShortTimeouts{500, 0, 2000, 0, 2000};
constexpr auto kPeerWait = 5s;  // how long a test's far end waits for what it expects
// The modem lines of a switched-on modem that waits for calls.
constexpr std::uint8_t kIdleLines = comport::kModemStateDsr | comport::kModemStateCts;

Bytes AllByteValues() {
  Bytes all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<std::uint8_t>(i));
  return all;
}

Bytes ReadExactly(SerialPort& port, std::size_t count) {
  Bytes in(count);
  std::uint32_t got = 0;
  EXPECT_TRUE(port.Read(in, got)) << port.last_error();
  in.resize(got);
  return in;
}

TEST(NetworkPortAddress, ReadsHostAndPort) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    const char* port;
  };
  const Case cases[] = {
      {"rfc2217://127.0.0.1:7000", true, "127.0.0.1", "7000"},
      {"rfc2217://modem-server.local:65535", true, "modem-server.local", "65535"},
      {"rfc2217://[::1]:2217", true, "::1", "2217"},
      {"rfc2217://127.0.0.1", false, "", ""},
      {"rfc2217://127.0.0.1:", false, "", ""},
      {"rfc2217://:7000", false, "", ""},
      {"rfc2217://host:0", false, "", ""},
      {"rfc2217://host:65536", false, "", ""},
      {"rfc2217://host:70a", false, "", ""},
      {"rfc2217://::1:2217", false, "", ""},
      {"rfc2217://[::1]2217", false, "", ""},
      {"telnet://host:23", false, "", ""},
      {"/dev/ttyUSB0", false, "", ""},
  };
  for (const auto& c : cases) {
    const auto a = ParseNetworkPortAddress(c.text);
    ASSERT_EQ(a.has_value(), c.ok) << c.text;
    if (!c.ok)
      continue;
    EXPECT_EQ(a->host, c.host) << c.text;
    EXPECT_EQ(a->port, c.port) << c.text;
  }
}

// Attempts after a loss, in virtual time: 1 s, then each wait twice the last,
// never more than 60 s; a reconnect starts the rule again.
TEST(ReconnectSchedule, WaitsOneSecondThenDoublesUpToAMinute) {
  using TimePoint = ReconnectSchedule::TimePoint;
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  ReconnectSchedule schedule;
  const TimePoint lost_at{100s};
  EXPECT_FALSE(schedule.Due(lost_at + 1h)) << "due without a loss";
  schedule.Lost(lost_at);
  std::vector<long long> attempts;  // ms after the loss
  for (TimePoint t = lost_at; t <= lost_at + 400s; t += 100ms) {
    if (!schedule.Due(t))
      continue;
    attempts.push_back(duration_cast<milliseconds>(t - lost_at).count());
    schedule.Lost(t);  // the failed attempt loses its connection again: no new start
    schedule.AttemptFailed(t);
  }
  EXPECT_EQ(attempts, (std::vector<long long>{1000, 3000, 7000, 15000, 31000, 63000, 123000, 183000,
                                              243000, 303000, 363000}));

  schedule.Reconnected();
  EXPECT_FALSE(schedule.Due(lost_at + 1h));
  const TimePoint lost_again = lost_at + 2h;
  schedule.Lost(lost_again);
  EXPECT_FALSE(schedule.Due(lost_again + 999ms));
  EXPECT_TRUE(schedule.Due(lost_again + 1s));
}

// --- A small access server on 127.0.0.1 for the cases ser2net cannot play:
// silence, refusals, malformed answers, modem line changes, a connection cut
// at will, a server that goes away and comes back on the same port. ---
class TinyAccessServer {
 public:
  struct Behaviour {
    bool offer_com_port = true;
    bool answer_settings = true;
    std::uint8_t modem_lines = 0;  // notified after the client's mask
    // This command (0: none) is answered with `misanswer` as its value.
    std::uint8_t misanswered = 0;
    Bytes misanswer{};
    // Line data containing `answer_on` is answered by notifying `answer_lines`,
    // as a modem raises its carrier after "ATHA".
    std::string answer_on{};
    std::uint8_t answer_lines = 0;
  };

  explicit TinyAccessServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
    if (!Listen())
      ADD_FAILURE() << "cannot listen: " << errno;
    thread_ = std::thread([this] { Run(); });
  }

  ~TinyAccessServer() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0)
      close(listener_);
  }

  NetworkPortAddress address() const { return {"127.0.0.1", std::to_string(port_)}; }

  // Closes the connection; the next one is accepted.
  void Drop() { drop_ = true; }
  // Closes the connection and stops listening, as a restarted access server
  // does; ComeBack() listens on the same port again.
  void GoAway() { away_ = true; }
  void ComeBack() { away_ = false; }
  bool listening() const { return listening_; }
  int connections() const { return connections_; }

  void Pause(bool paused) { paused_ = paused; }
  void SendData(const Bytes& data) { Queue(telnet::Escape(data)); }
  void Notify(std::uint8_t lines) {
    Queue(telnet::ComPortU8(comport::ServerReply(comport::kNotifyModemState), lines));
  }

  Bytes Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  int purges() {
    std::lock_guard lock(mutex_);
    return purges_;
  }
  // The baud rate the current connection's client set (9600 until it sets one).
  std::uint32_t baud() {
    std::lock_guard lock(mutex_);
    return baud_;
  }
  int masks() {
    std::lock_guard lock(mutex_);
    return masks_;
  }

 private:
  bool Listen() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small_buffer = 64 * 1024;  // so that a client's write can fill it
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(listener_);
      listener_ = -1;
      return false;
    }
    port_ = ntohs(a.sin_port);
    return true;
  }

  void Queue(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
  }

  void Run() {
    while (!stop_) {
      if (away_ && listener_ >= 0) {
        close(listener_);
        listener_ = -1;
      }
      if (!away_ && listener_ < 0 && !Listen()) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      listening_ = listener_ >= 0;
      if (listener_ < 0) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0)
        continue;
      const int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0)
        continue;
      {
        std::lock_guard lock(mutex_);
        outgoing_.clear();
        baud_ = kFirstBaud;
      }
      ++connections_;
      Serve(conn);
      close(conn);
      drop_ = false;
    }
  }

  void Serve(int conn) {
    telnet::TelnetDecoder decoder;
    telnet::OptionNegotiator options;
    options.AllowLocal(telnet::kOptBinary);
    options.AllowLocal(telnet::kOptSuppressGoAhead);
    options.AllowRemote(telnet::kOptBinary);
    options.AllowRemote(telnet::kOptSuppressGoAhead);
    if (behaviour_.offer_com_port)
      options.AllowRemote(telnet::kOptComPort);
    std::string line_data;  // what the client sent, for `answer_on`
    while (!stop_ && !drop_ && !away_) {
      {
        std::lock_guard lock(mutex_);
        while (!outgoing_.empty()) {
          const ssize_t n =
              send(conn, outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n <= 0)
            break;
          outgoing_.erase(outgoing_.begin(), outgoing_.begin() + n);
        }
      }
      pollfd p{conn, static_cast<short>(paused_ ? 0 : POLLIN), 0};
      if (poll(&p, 1, 5) <= 0 || paused_)
        continue;
      std::uint8_t buf[4096];
      const ssize_t n = recv(conn, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0)
        return;
      Bytes answers;
      Bytes data;
      decoder.Feed(
          std::span(buf, static_cast<std::size_t>(n)),
          [&](std::span<const std::uint8_t> d) { data.insert(data.end(), d.begin(), d.end()); },
          [&](const telnet::TelnetCommand& c) {
            Bytes a = options.Receive(c.verb, c.option);
            if (auto m = telnet::AsComPort(c))
              a = Answer(*m);
            answers.insert(answers.end(), a.begin(), a.end());
          });
      {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), data.begin(), data.end());
      }
      if (!behaviour_.answer_on.empty())
        line_data.append(data.begin(), data.end());
      if (!behaviour_.answer_on.empty() &&
          line_data.find(behaviour_.answer_on) != std::string::npos) {
        line_data.clear();
        const Bytes lines = telnet::ComPortU8(comport::ServerReply(comport::kNotifyModemState),
                                              behaviour_.answer_lines);
        answers.insert(answers.end(), lines.begin(), lines.end());
      }
      Queue(answers);
    }
  }

  // The server's side of COM-PORT-OPTION: each command answered with +100 and
  // the value in force; a value of 0 asks for it.
  Bytes Answer(const telnet::ComPortMessage& m) {
    const std::uint8_t reply = comport::ServerReply(m.command);
    if (m.command == behaviour_.misanswered && m.command != 0)
      return telnet::ComPortValue(reply, behaviour_.misanswer);
    switch (m.command) {
      case comport::kSetBaudRate: {
        if (!behaviour_.answer_settings)
          return {};
        std::lock_guard lock(mutex_);
        if (m.U32().value_or(0) != 0)
          baud_ = std::min(*m.U32(), kFastestBaud);
        return telnet::ComPortU32(reply, baud_);
      }
      case comport::kSetDataSize:
      case comport::kSetParity:
      case comport::kSetStopSize: {
        if (!behaviour_.answer_settings)
          return {};
        std::uint8_t& kept = settings_[m.command];
        if (m.U8().value_or(0) != 0)
          kept = *m.U8();
        return telnet::ComPortU8(reply, kept);
      }
      case comport::kSetModemStateMask: {
        {
          std::lock_guard lock(mutex_);
          ++masks_;
        }
        Bytes a = telnet::ComPortU8(reply, m.U8().value_or(0));
        const Bytes lines = telnet::ComPortU8(comport::ServerReply(comport::kNotifyModemState),
                                              behaviour_.modem_lines);
        a.insert(a.end(), lines.begin(), lines.end());
        return a;
      }
      case comport::kPurgeData: {
        std::lock_guard lock(mutex_);
        ++purges_;
        return telnet::ComPortU8(reply, m.U8().value_or(0));
      }
      default:
        return {};
    }
  }

  static constexpr std::uint32_t kFastestBaud = 115200;  // faster requests get this
  static constexpr std::uint32_t kFirstBaud = 9600;      // each connection starts with this

  const Behaviour behaviour_;
  int listener_ = -1;
  std::uint16_t port_ = 0;  // 0 until the first bind, then kept for every later one
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<bool> away_{false};
  std::atomic<bool> listening_{false};
  std::atomic<int> connections_{0};
  std::atomic<bool> paused_{false};
  std::mutex mutex_;
  Bytes outgoing_;
  Bytes received_;
  int purges_ = 0;
  int masks_ = 0;
  std::uint32_t baud_ = kFirstBaud;
  std::uint8_t settings_[comport::kSetStopSize + 1] = {0, 0, 8, comport::kParityNone,
                                                       comport::kStopOne};
};

std::unique_ptr<SerialPort> OpenAt(const TinyAccessServer& server) {
  PortOpenResult r = OpenRfc2217Port(server.address());
  EXPECT_NE(r.port, nullptr) << "open failed: " << r.error;
  return std::move(r.port);
}

TEST(Rfc2217Client, DroppedConnectionFailsAReadPromptly) {
  TinyAccessServer server({});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kStationTimeouts));
  std::thread dropper([&] {
    std::this_thread::sleep_for(300ms);
    server.Drop();
  });
  Bytes in(132);
  std::uint32_t got = 0;
  const auto start = SteadyClock::now();
  const bool ok = port->Read(in, got);
  const auto took = SteadyClock::now() - start;
  dropper.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(ECONNRESET));
  EXPECT_LT(took, 2500ms) << "the read waited for its time-out instead of failing";
  std::uint32_t status = 0;
  EXPECT_FALSE(port->GetModemStatus(status));
  std::uint32_t written = 0;
  EXPECT_FALSE(port->Write(Bytes{'A', 'T'}, written));
}

TEST(Rfc2217Client, WritesToADroppedConnectionFailWithoutSigpipe) {
  TinyAccessServer server({});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kShortTimeouts));
  server.Drop();
  std::this_thread::sleep_for(200ms);
  bool failed = false;
  for (int i = 0; i < 20 && !failed; ++i) {  // the first write may still be taken by the kernel
    std::uint32_t written = 0;
    failed = !port->Write(Bytes(1000, 'x'), written);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(failed);
  const std::uint32_t e = port->last_error();
  EXPECT_TRUE(e == EPIPE || e == ECONNRESET) << e;
}

TEST(Rfc2217Client, ServerThatDoesNotAnswerASettingFailsWithTimedOut) {
  TinyAccessServer server({.answer_settings = false});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  const auto start = SteadyClock::now();
  EXPECT_FALSE(port->SetLineSettings(LineSettings{115200, 8, 0, 0}));
  EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_GE(SteadyClock::now() - start, kAcknowledgeDeadline - 500ms);
  EXPECT_LT(SteadyClock::now() - start, kAcknowledgeDeadline + 3s);
}

TEST(Rfc2217Client, ServerWithoutComPortOptionIsRefused) {
  TinyAccessServer server({.offer_com_port = false});
  PortOpenResult r = OpenRfc2217Port(server.address());
  EXPECT_EQ(r.port, nullptr);
  EXPECT_EQ(r.error, static_cast<std::uint32_t>(EPROTO));
}

TEST(Rfc2217Client, NobodyListeningIsRefusedWithItsErrorNumber) {
  std::uint16_t port = 0;
  {
    TinyAccessServer gone({});
    port = static_cast<std::uint16_t>(std::stoi(gone.address().port));
  }
  PortOpenResult r = OpenRfc2217Port({"127.0.0.1", std::to_string(port)});
  EXPECT_EQ(r.port, nullptr);
  EXPECT_EQ(r.error, static_cast<std::uint32_t>(ECONNREFUSED));
}

TEST(Rfc2217Client, ModemStatusFollowsNotificationsWithoutWaiting) {
  constexpr std::uint8_t kCarrierDsrCtsWithDeltas = 0xB0 | comport::kModemStateDeltaCarrier;
  TinyAccessServer server({.modem_lines = kCarrierDsrCtsWithDeltas});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  std::uint32_t status = 0;
  ASSERT_TRUE(port->GetModemStatus(status));
  EXPECT_EQ(status, MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON) << "delta bits must not show";

  server.Notify(comport::kModemStateRing | comport::kModemStateDsr);
  const auto end = SteadyClock::now() + kPeerWait;
  auto longest = SteadyClock::duration::zero();
  while (status != (MS_RING_ON | MS_DSR_ON) && SteadyClock::now() < end) {
    const auto start = SteadyClock::now();
    ASSERT_TRUE(port->GetModemStatus(status));
    longest = std::max(longest, SteadyClock::now() - start);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(status, MS_RING_ON | MS_DSR_ON);
  EXPECT_LT(longest, 500ms) << "reading the status word waited";
}

TEST(Rfc2217Client, PurgeDropsWhatWasAlreadyReceived) {
  TinyAccessServer server({});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kShortTimeouts));
  server.SendData({'s', 't', 'a', 'l', 'e'});
  std::this_thread::sleep_for(200ms);
  std::uint32_t status = 0;
  ASSERT_TRUE(port->GetModemStatus(status));  // takes the stale bytes in
  ASSERT_TRUE(port->PurgeReceive()) << port->last_error();
  EXPECT_EQ(server.purges(), 1);
  server.SendData({'n', 'e', 'w'});
  const Bytes got = ReadExactly(*port, 3);
  EXPECT_EQ(std::string(got.begin(), got.end()), "new");
}

TEST(Rfc2217Client, SettingsAnsweredWithAnotherValueAreRefused) {
  TinyAccessServer server({});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  LineSettings s;
  ASSERT_TRUE(port->GetLineSettings(s));
  EXPECT_EQ(s.baud_rate, 9600u);
  EXPECT_EQ(s.byte_size, 8);
  EXPECT_EQ(s.parity, kNoParity);
  EXPECT_EQ(s.stop_bits, kOneStopBit);
  ASSERT_TRUE(port->SetLineSettings(LineSettings{115200, 7, 2, 2}));
  ASSERT_TRUE(port->GetLineSettings(s));
  EXPECT_EQ(s.baud_rate, 115200u);
  EXPECT_EQ(s.byte_size, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_EQ(s.stop_bits, 2);
  EXPECT_FALSE(port->SetLineSettings(LineSettings{230400, 8, 0, 0}));
  EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(EINVAL));
  ASSERT_TRUE(port->GetLineSettings(s));
  EXPECT_EQ(s.baud_rate, 115200u) << "the settings are what the server last answered";
}

// A malformed answer to a line setting is a protocol failure, whether the
// settings are asked for or set; the port stays usable.
TEST(Rfc2217Client, SettingAnsweredWithAValueOfTheWrongWidthIsAProtocolFailure) {
  struct Case {
    const char* name;
    std::uint8_t command;
    Bytes value;
  };
  const Case cases[] = {
      {"baud rate in one byte", comport::kSetBaudRate, {8}},
      {"baud rate in two bytes", comport::kSetBaudRate, {0x25, 0x80}},
      {"data size in four bytes", comport::kSetDataSize, {0, 0, 0, 8}},
      {"parity without a value", comport::kSetParity, {}},
      {"stop size in two bytes", comport::kSetStopSize, {comport::kStopOne, comport::kStopOne}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TinyAccessServer server({.misanswered = c.command, .misanswer = c.value});
    auto port = OpenAt(server);
    ASSERT_NE(port, nullptr);
    LineSettings s;
    EXPECT_FALSE(port->GetLineSettings(s));
    EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(EPROTO));
    EXPECT_FALSE(port->SetLineSettings(LineSettings{115200, 8, kNoParity, kOneStopBit}));
    EXPECT_EQ(port->last_error(), static_cast<std::uint32_t>(EPROTO));
    std::uint32_t status = 0;
    EXPECT_TRUE(port->GetModemStatus(status)) << port->last_error();
  }
}

// Noise that nobody reads (result codes of unanswered calls, a babbling line)
// neither hides the modem lines behind it nor grows without bound: the port
// keeps the newest bytes, as many as its receive buffer holds.
TEST(Rfc2217Client, FloodOfUnreadDataHidesNeitherTheRingNorTheCarrier) {
  TinyAccessServer server({.modem_lines = kIdleLines,
                           .answer_on = "ATHA\r",
                           .answer_lines = kIdleLines | comport::kModemStateCarrier});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(kShortTimeouts));
  Bytes noise(1024 * 1024);
  for (std::size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<std::uint8_t>(i * 7 + i / 509);  // every value, 0xFF too
  server.SendData(noise);
  server.Notify(kIdleLines | comport::kModemStateRing);

  auto wait_for = [&](std::uint32_t bit) {
    std::uint32_t status = 0;
    const auto end = SteadyClock::now() + kPeerWait;
    while ((status & bit) == 0 && SteadyClock::now() < end) {
      if (!port->GetModemStatus(status))
        ADD_FAILURE() << "status read failed: " << port->last_error();
      std::this_thread::sleep_for(1ms);
    }
    return status;
  };
  EXPECT_NE(wait_for(MS_RING_ON) & MS_RING_ON, 0u) << "the ring stayed behind the noise";
  const Bytes atha = {'A', 'T', 'H', 'A', '\r'};
  std::uint32_t written = 0;
  ASSERT_TRUE(port->Write(atha, written));
  EXPECT_EQ(wait_for(MS_RLSD_ON) & MS_RLSD_ON, 0u + MS_RLSD_ON) << "no carrier after ATHA";

  constexpr std::size_t kKept = 64 * 1024;
  const Bytes kept = ReadExactly(*port, 2 * kKept);
  ASSERT_EQ(kept.size(), kKept);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), noise.end() - kKept))
      << "the bytes kept are not the newest ones";
}

// Bounded waits in real time for what the server thread does.
template <typename Condition>
bool WaitFor(Condition condition) {
  const auto end = SteadyClock::now() + kPeerWait;
  while (!condition() && SteadyClock::now() < end)
    std::this_thread::sleep_for(5ms);
  return condition();
}

// The loss of the connection, as the station sees it: a failing status read.
bool LossSeen(SerialPort& port) {
  std::uint32_t status = 0;
  return WaitFor([&] { return !port.GetModemStatus(status); });
}

// An access server restarted on the same port: status reads fail while it is
// away and until the back-off's next attempt; then the port is connected again
// with the options, the modem-state mask, the line settings and the time-outs
// in force, says so once, and carries data both ways.
TEST(Rfc2217Client, ConnectsAgainOnTheBackOffScheduleWhenTheServerComesBack) {
  FakeClock clock;  // times the attempts; the I/O waits are real
  TinyAccessServer server({.modem_lines = kIdleLines});
  PortOpenResult opened = OpenRfc2217Port(server.address(), clock);
  ASSERT_NE(opened.port, nullptr) << opened.error;
  SerialPort& port = *opened.port;
  ASSERT_TRUE(port.SetLineSettings(LineSettings{115200, 8, kNoParity, kOneStopBit}));
  ASSERT_TRUE(port.SetTimeouts(kShortTimeouts));
  ASSERT_EQ(server.masks(), 1);

  server.GoAway();
  ASSERT_TRUE(WaitFor([&] { return !server.listening(); }));
  ASSERT_TRUE(LossSeen(port));
  EXPECT_TRUE(port.WillReconnect()) << "a failed modem command must not close it";
  std::uint32_t status = 0;
  clock.Advance(1s);  // the first attempt finds nobody listening
  EXPECT_FALSE(port.GetModemStatus(status));
  EXPECT_EQ(port.last_error(), static_cast<std::uint32_t>(ECONNREFUSED));

  server.ComeBack();
  ASSERT_TRUE(WaitFor([&] { return server.listening(); }));
  clock.Advance(1999ms);
  EXPECT_FALSE(port.GetModemStatus(status)) << "attempted before the back-off ran out";
  EXPECT_FALSE(port.TakeReconnected());
  EXPECT_EQ(server.connections(), 1);
  clock.Advance(1ms);
  ASSERT_TRUE(port.GetModemStatus(status)) << port.last_error();
  EXPECT_EQ(status, MS_DSR_ON | MS_CTS_ON);
  EXPECT_TRUE(port.TakeReconnected());
  EXPECT_FALSE(port.TakeReconnected()) << "said more than once";
  EXPECT_FALSE(port.WillReconnect());
  EXPECT_EQ(server.connections(), 2);
  EXPECT_EQ(server.masks(), 2) << "modem-state mask not sent again";
  EXPECT_EQ(server.baud(), 115200u) << "line settings not put back";
  PortTimeouts t;
  ASSERT_TRUE(port.GetTimeouts(t));
  EXPECT_EQ(t.read_interval_ms, kShortTimeouts.read_interval_ms);
  EXPECT_EQ(t.read_total_constant_ms, kShortTimeouts.read_total_constant_ms);

  std::uint32_t written = 0;
  ASSERT_TRUE(port.Write(Bytes{'A', 'T', '\r'}, written));
  EXPECT_TRUE(WaitFor([&] { return server.Received() == Bytes{'A', 'T', '\r'}; }));
  server.SendData({'O', 'K'});
  EXPECT_EQ(ReadExactly(port, 2), (Bytes{'O', 'K'}));
}

TEST(Rfc2217Client, PortClosedByTheStationNeverConnectsAgain) {
  FakeClock clock;
  TinyAccessServer server({});
  PortOpenResult opened = OpenRfc2217Port(server.address(), clock);
  ASSERT_NE(opened.port, nullptr) << opened.error;
  server.Drop();
  ASSERT_TRUE(LossSeen(*opened.port));
  opened.port->Close();
  EXPECT_FALSE(opened.port->WillReconnect());
  clock.Advance(1h);
  std::uint32_t status = 0;
  EXPECT_FALSE(opened.port->GetModemStatus(status));
  EXPECT_EQ(opened.port->last_error(), static_cast<std::uint32_t>(EBADF));
  EXPECT_FALSE(opened.port->TakeReconnected());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server.connections(), 1);
}

// A write that runs out of time hands over a whole prefix of the bytes and
// leaves the Telnet stream whole: the server reads exactly that prefix, then
// whatever comes next, even when every byte is a doubled 0xFF.
TEST(Rfc2217Client, TimedOutWriteKeepsTheStreamWhole) {
  TinyAccessServer server({});
  auto port = OpenAt(server);
  ASSERT_NE(port, nullptr);
  server.Pause(true);
  ASSERT_TRUE(port->SetTimeouts(PortTimeouts{0, 0, 0, 0, 300}));
  // One plain byte first: the kernel takes even-sized chunks, so the cut falls
  // between the halves of a doubled 0xFF.
  Bytes data(32 * 1024 * 1024, 0xFF);
  data[0] = 'a';
  std::uint32_t written = 0;
  ASSERT_TRUE(port->Write(data, written));
  ASSERT_GT(written, 1u);
  ASSERT_LT(written, data.size()) << "the server's buffers never filled";
  server.Pause(false);
  ASSERT_TRUE(port->SetTimeouts(kShortTimeouts));
  std::uint32_t tail = 0;
  ASSERT_TRUE(port->Write(Bytes{'E', 'N', 'D'}, tail));
  ASSERT_EQ(tail, 3u);
  Bytes expected(written, 0xFF);
  expected[0] = 'a';
  expected.insert(expected.end(), {'E', 'N', 'D'});
  const auto end = SteadyClock::now() + kPeerWait;
  while (server.Received().size() < expected.size() && SteadyClock::now() < end)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(server.Received() == expected)
      << "server got " << server.Received().size() << " bytes, expected " << expected.size();
}

// --- Against a real access server: ser2net on one end of a pseudo-terminal
// pair made by socat; the test plays the modem on the other end. ---

std::string FindProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::size_t from = 0;
  while (from <= path.size()) {
    const std::size_t to = std::min(path.find(':', from), path.size());
    const std::string candidate = path.substr(from, to - from) + "/" + name;
    if (to > from && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    from = to + 1;
  }
  return {};
}

class Ser2netLink : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string socat = FindProgram("socat");
    const std::string ser2net = FindProgram("ser2net");
    if (socat.empty() || ser2net.empty())
      GTEST_SKIP() << "ser2net or socat is not installed";
    char dir_template[] = "/tmp/davrilon-ser2net-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    const std::string a = dir_ + "/A";
    const std::string b = dir_ + "/B";
    socat_ = Spawn({socat, "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}, "socat.log");
    const auto end = SteadyClock::now() + kPeerWait;
    while (!(std::filesystem::exists(a) && std::filesystem::exists(b)) && SteadyClock::now() < end)
      std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(std::filesystem::exists(a) && std::filesystem::exists(b))
        << "socat made no pty pair";
    device_path_ = a;

    const std::uint16_t tcp_port = FreePort();
    {
      std::ofstream config(dir_ + "/ser2net.yaml");
      config << "connection: &modem\n"
             << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << tcp_port << "\n"
             << "  connector: serialdev," << a << ",115200n81,local\n";
    }
    ser2net_ = Spawn({ser2net, "-n", "-u", "-c", dir_ + "/ser2net.yaml"}, "ser2net.log");

    modem_ = open(b.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(modem_, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(modem_, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(modem_, TCSANOW, &t), 0);

    // ser2net takes a moment to listen: the first connection it accepts is ours.
    PortOpenResult r{nullptr, 0};
    while (SteadyClock::now() < end + kPeerWait) {
      r = OpenRfc2217Port({"127.0.0.1", std::to_string(tcp_port)});
      if (r.port || r.error != ECONNREFUSED)
        break;
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_NE(r.port, nullptr) << "cannot reach ser2net: " << r.error;
    port_ = std::move(r.port);
  }

  void TearDown() override {
    port_.reset();
    if (modem_ >= 0)
      close(modem_);
    for (pid_t pid : {ser2net_, socat_}) {
      if (pid <= 0)
        continue;
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!dir_.empty())
      std::filesystem::remove_all(dir_);
  }

  pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log_path = dir_ + "/" + log;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(r, 0) << "cannot start " << args[0];
    return r == 0 ? pid : -1;
  }

  static std::uint16_t FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
  }

  void ModemWrite(const Bytes& bytes) {
    ASSERT_EQ(write(modem_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  Bytes ModemRead(std::size_t count) {
    Bytes got;
    const auto end = SteadyClock::now() + kPeerWait;
    while (got.size() < count && SteadyClock::now() < end) {
      pollfd p{modem_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      std::uint8_t buf[512];
      const ssize_t n = read(modem_, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0)
        got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  std::string dir_;
  std::string device_path_;
  pid_t socat_ = -1;
  pid_t ser2net_ = -1;
  int modem_ = -1;
  std::unique_ptr<SerialPort> port_;
};

TEST_F(Ser2netLink, EveryByteValuePassesUnchangedBothWays) {
  ASSERT_TRUE(port_->SetTimeouts(kShortTimeouts));
  Bytes twice = AllByteValues();
  const Bytes all = AllByteValues();
  twice.insert(twice.end(), all.rbegin(), all.rend());

  std::uint32_t written = 0;
  ASSERT_TRUE(port_->Write(twice, written));
  EXPECT_EQ(written, twice.size());
  EXPECT_EQ(ModemRead(twice.size()), twice);

  ModemWrite(twice);
  EXPECT_EQ(ReadExactly(*port_, twice.size()), twice);
}

TEST_F(Ser2netLink, LineSettingsAreAcknowledgedAndReachTheDevice) {
  LineSettings s;
  ASSERT_TRUE(port_->GetLineSettings(s)) << port_->last_error();
  EXPECT_EQ(s.baud_rate, 115200u);
  EXPECT_EQ(s.byte_size, 8);
  EXPECT_EQ(s.parity, kNoParity);
  EXPECT_EQ(s.stop_bits, kOneStopBit);

  // A pseudo-terminal holds the speed and the stop bits (its bytes are always 8N).
  ASSERT_TRUE(port_->SetLineSettings(LineSettings{9600, 8, 0, 2})) << port_->last_error();
  ASSERT_TRUE(port_->GetLineSettings(s));
  EXPECT_EQ(s.baud_rate, 9600u);
  EXPECT_EQ(s.stop_bits, 2);
  const int device = open(device_path_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(device, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(device, &t), 0);
  close(device);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);

  ASSERT_TRUE(port_->SetLineSettings(LineSettings{115200, 8, kNoParity, kOneStopBit}));
  std::uint32_t status = 0;
  EXPECT_TRUE(port_->GetModemStatus(status)) << port_->last_error();
}

TEST_F(Ser2netLink, PurgeThrowsAwayWhatCameAndWasNotRead) {
  ASSERT_TRUE(port_->SetTimeouts(kShortTimeouts));
  ModemWrite({'s', 't', 'a', 'l', 'e'});
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(port_->PurgeReceive()) << port_->last_error();
  ModemWrite({'f', 'r', 'e', 's', 'h'});
  const Bytes got = ReadExactly(*port_, 5);
  EXPECT_EQ(std::string(got.begin(), got.end()), "fresh");
}

}  // namespace
}  // namespace davrilon
