// A serial port in virtual time, with a scripted or reacting far end.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/fakes/fake_clock.h"
#include "platform/serial_port.h"

namespace davrilon {

// What the station did to the port, in order, with the virtual time it did it.
struct PortEvent {
  enum class Kind {
    kGetLine,
    kSetLine,
    kGetTimeouts,
    kSetTimeouts,
    kStatus,
    kPurge,
    kRead,
    kWrite,
    kClose
  };
  Kind kind;
  std::chrono::milliseconds at;
  std::string bytes;        // written, or read
  std::uint32_t asked = 0;  // for reads: the count asked for
};

// Reads take what the far end has queued. A read that finds fewer bytes than
// asked for returns them after the port's read time-outs in virtual time: the
// total time-out on a silent line, the interval time-out after a partial one.
// Writes go to `on_write`, where a test's far end may queue its answer.
class ScriptedPort : public SerialPort {
 public:
  explicit ScriptedPort(FakeClock& clock) : clock_(clock) {}

  // --- the far end ---
  void Feed(std::string_view bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
  std::function<void(const std::string& written)> on_write;
  // The modem status word; may look at the clock (a carrier that comes after 10 s).
  std::function<std::uint32_t()> status = [] { return MS_CTS_ON | MS_DSR_ON; };

  // --- failures to inject: the n-th call (from 1) of a kind fails with `error` ---
  struct Failure {
    PortEvent::Kind kind;
    int nth;
    std::uint32_t error;
  };
  std::vector<Failure> failures;
  // --- short writes: the n-th write (from 1) succeeds but hands only `count` bytes to the port ---
  struct ShortWrite {
    int nth;
    std::uint32_t count;
  };
  std::vector<ShortWrite> short_writes;

  // --- what the station left ---
  std::vector<PortEvent> events;
  std::deque<char> incoming;
  LineSettings line{9600, 7, 2, 0};
  PortTimeouts timeouts{0, 7, 0, 0, 0};
  int closes = 0;

  std::vector<std::string> Writes() const {
    std::vector<std::string> out;
    for (const auto& e : events)
      if (e.kind == PortEvent::Kind::kWrite)
        out.push_back(e.bytes);
    return out;
  }

  // --- SerialPort ---
  bool GetLineSettings(LineSettings& s) override {
    if (!Begin(PortEvent::Kind::kGetLine))
      return false;
    s = line;
    return true;
  }
  bool SetLineSettings(const LineSettings& s) override {
    if (!Begin(PortEvent::Kind::kSetLine))
      return false;
    line = s;
    return true;
  }
  bool GetTimeouts(PortTimeouts& t) override {
    if (!Begin(PortEvent::Kind::kGetTimeouts))
      return false;
    t = timeouts;
    return true;
  }
  bool SetTimeouts(const PortTimeouts& t) override {
    if (!Begin(PortEvent::Kind::kSetTimeouts))
      return false;
    timeouts = t;
    return true;
  }
  bool GetModemStatus(std::uint32_t& s) override {
    if (!Begin(PortEvent::Kind::kStatus))
      return false;
    s = status();
    return true;
  }
  bool PurgeReceive() override {
    if (!Begin(PortEvent::Kind::kPurge))
      return false;
    incoming.clear();
    return true;
  }
  bool Read(std::span<std::uint8_t> into, std::uint32_t& got) override {
    got = 0;
    if (!Begin(PortEvent::Kind::kRead))
      return false;
    std::string bytes;
    while (got < into.size() && !incoming.empty()) {
      into[got++] = static_cast<std::uint8_t>(incoming.front());
      bytes.push_back(incoming.front());
      incoming.pop_front();
    }
    if (got < into.size()) {
      auto wait = got == 0
                      ? timeouts.read_total_constant_ms + static_cast<std::uint32_t>(into.size()) *
                                                              timeouts.read_total_multiplier_ms
                      : timeouts.read_interval_ms;
      clock_.Advance(std::chrono::milliseconds(wait));
    }
    events.back().bytes = bytes;
    events.back().asked = static_cast<std::uint32_t>(into.size());
    return true;
  }
  bool Write(std::span<const std::uint8_t> bytes, std::uint32_t& written) override {
    written = 0;
    if (!Begin(PortEvent::Kind::kWrite, std::string(bytes.begin(), bytes.end())))
      return false;
    written = static_cast<std::uint32_t>(bytes.size());
    for (const auto& w : short_writes) {
      if (w.nth == calls_[static_cast<int>(PortEvent::Kind::kWrite)] && w.count < written)
        written = w.count;
    }
    events.back().bytes.resize(written);  // what went on the line
    if (on_write)
      on_write(events.back().bytes);
    return true;
  }
  void Close() override {
    if (closed_)
      return;
    closed_ = true;
    ++closes;
    events.push_back({PortEvent::Kind::kClose, clock_.elapsed(), {}, 0});
  }
  bool is_closed() const override { return closed_; }
  std::uint32_t last_error() const override { return last_error_; }
  // A network port that connected again by itself: set `reconnected`, it is
  // taken once.
  bool reconnected = false;
  bool TakeReconnected() override { return std::exchange(reconnected, false); }
  // A network port that has lost its access server and will connect again.
  bool connection_lost = false;
  bool WillReconnect() const override { return !closed_ && connection_lost; }

 private:
  // Records the call; false (with last_error set) on a closed port or an
  // injected failure. A failed call is recorded too, so tests see the attempt.
  bool Begin(PortEvent::Kind kind, std::string bytes = {}) {
    if (closed_) {
      last_error_ = 9;  // EBADF: nothing touched
      return false;
    }
    events.push_back({kind, clock_.elapsed(), std::move(bytes), 0});
    int nth = ++calls_[static_cast<int>(kind)];
    for (const auto& f : failures) {
      if (f.kind == kind && f.nth == nth) {
        last_error_ = f.error;
        return false;
      }
    }
    return true;
  }

  FakeClock& clock_;
  bool closed_ = false;
  std::uint32_t last_error_ = 0;
  int calls_[16] = {};
};

}  // namespace davrilon
