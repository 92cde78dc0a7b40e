// The simulator's server against the station's own network port, over real
// loopback sockets and the real clock (about a second of waiting).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "linesim/rfc2217_server.h"
#include "platform/rfc2217_port.h"

namespace davrilon::linesim {
namespace {

using namespace std::chrono_literals;

constexpr auto kLineWait = 3s;  // bound for anything the line does on a timer here

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModemSettings modem;
    modem.carrier_delay = 200ms;
    modem.guard_time = 200ms;
    CallPlan plan;
    plan.calls = 1;
    plan.ring_after = 0ms;
    line_ = std::make_unique<Line>(SystemClock(), log_, modem, CentreSettings{}, plan, report_);
    server_ = std::make_unique<Rfc2217Server>(SystemClock(), log_, *line_);
    ASSERT_TRUE(server_->Listen(0));
    thread_ = std::thread([this] { server_->Run([this] { return stop_.load(); }, false); });
  }
  void TearDown() override {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  // Waits until the modem status word has (or lacks) `bit`.
  bool WaitForLine(SerialPort& port, std::uint32_t bit, bool on) {
    auto deadline = std::chrono::steady_clock::now() + kLineWait;
    std::uint32_t status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (port.GetModemStatus(status) && ((status & bit) != 0) == on)
        return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::string Read(SerialPort& port, std::size_t count) {
    std::string bytes(count, '\0');
    std::uint32_t got = 0;
    EXPECT_TRUE(port.Read(std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), count), got));
    bytes.resize(got);
    return bytes;
  }
  bool Write(SerialPort& port, std::string_view bytes) {
    std::uint32_t written = 0;
    return port.Write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                      written) &&
           written == bytes.size();
  }

  SimLog log_{SystemClock(), nullptr};
  Report report_;
  std::unique_ptr<Line> line_;
  std::unique_ptr<Rfc2217Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(InteropTest, StationPortRunsACallThroughTheSimulator) {
  auto address = ParseNetworkPortAddress("rfc2217://127.0.0.1:" + std::to_string(server_->port()));
  ASSERT_TRUE(address);
  PortOpenResult opened = OpenRfc2217Port(*address);
  ASSERT_TRUE(opened.port) << "error " << opened.error;
  SerialPort& port = *opened.port;

  LineSettings settings;
  ASSERT_TRUE(port.GetLineSettings(settings));
  settings.baud_rate = 115200;
  settings.byte_size = 8;
  settings.parity = kNoParity;
  settings.stop_bits = kOneStopBit;
  ASSERT_TRUE(port.SetLineSettings(settings)) << "the server acknowledges 115200 8N1";
  ASSERT_TRUE(port.SetTimeouts(PortTimeouts{200, 0, 1000, 0, 1000}));
  std::uint32_t status = 0;
  ASSERT_TRUE(port.GetModemStatus(status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);

  ASSERT_TRUE(Write(port, "ATE0\rATS0=0\r"));
  ASSERT_TRUE(WaitForLine(port, MS_RING_ON, true));
  ASSERT_TRUE(Write(port, "ATHA\r"));
  ASSERT_TRUE(WaitForLine(port, MS_RLSD_ON, true));
  EXPECT_TRUE(WaitForLine(port, MS_RING_ON, false));
  ASSERT_TRUE(port.PurgeReceive());

  ASSERT_TRUE(Write(port, "\x05"));
  std::string header = Read(port, 132);
  ASSERT_EQ(header.size(), 132u) << "the result codes were purged; the block comes alone";
  EXPECT_EQ(header.substr(0, 3), "\x01\x01\xfe");
  ASSERT_TRUE(Write(port, "\x06\x05"));
  EXPECT_EQ(Read(port, 132).size(), 132u);
  std::string upload_header(1028, '\0');
  std::string text = "START10         0         #";
  upload_header.replace(0, 3, "\x02\x02\xfd");
  upload_header.replace(3, text.size(), text);
  unsigned sum = 0;
  for (std::size_t i = 3; i < 1027; ++i)
    sum += static_cast<unsigned char>(upload_header[i]);
  upload_header[1027] = static_cast<char>(sum % 256);
  ASSERT_TRUE(Write(port, "\x06" + upload_header));
  EXPECT_EQ(Read(port, 1), "\x06");

  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(Write(port, "+++"));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(Write(port, "ATH0\r"));
  EXPECT_TRUE(WaitForLine(port, MS_RLSD_ON, false));
  port.Close();
}

}  // namespace
}  // namespace davrilon::linesim
