// For the exchange tests: blocks as the centre builds them, a centre that
// answers the station's writes in virtual time, and a scratch store.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/block.h"
#include "platform/fakes/fake_clock.h"
#include "platform/fakes/fake_console.h"
#include "platform/fakes/fake_file_watch.h"
#include "platform/fakes/recording_runner.h"
#include "platform/fakes/scripted_port.h"
#include "platform/guard_file.h"
#include "platform/store_files.h"
#include "supervisor/cp1250.h"
#include "supervisor/event_log.h"
#include "supervisor/station.h"
#include "supervisor/station_fixture.h"

namespace davrilon::testing {

// The block number of the k-th packet of a phase (k from 0): 1, 2, ... 255, 1, ...
inline int NumberOfPacket(std::size_t k) {
  return static_cast<int>(k % 255) + 1;
}

// A framed block with `data` at the start of its data (the rest 0 bytes).
inline std::string MakeBlock(BlockKind kind, int number, std::string_view data) {
  std::vector<std::uint8_t> block(BlockSize(kind), 0);
  std::copy(data.begin(), data.end(), block.begin() + kDataOffset);
  BuildBlock(kind, number, block);
  return std::string(block.begin(), block.end());
}

// The 128 data bytes of a short block with texts at 1-based block positions
// (position 4 is the first data byte); everything else blank.
inline std::string FieldsData(const std::map<int, std::string>& fields) {
  std::string data(kShortDataSize, ' ');
  for (const auto& [position, text] : fields)
    data.replace(position - 4, text.size(), text);
  return data;
}

inline std::string Padded(std::string_view text, std::size_t width) {
  std::string padded(text);
  padded.resize(width, ' ');
  return padded;
}

// The download header block: sizes, packet counts and the name with its '#'.
inline std::string HeaderBlock(std::string_view before, std::string_view after,
                               std::string_view to_store, std::string_view from_store,
                               std::string_view name_and_mark) {
  return MakeBlock(BlockKind::kShort, 1,
                   FieldsData({{10, Padded(before, 10)},
                               {20, Padded(after, 10)},
                               {30, Padded(to_store, 2)},
                               {32, Padded(from_store, 2)},
                               {34, std::string(name_and_mark)}}));
}

// The whole download of `content` under `name`: the header block, then
// packets of `to_store` short blocks (missing blocks of the last packet are
// filled with `filler` bytes).
inline std::vector<std::string> MakeDownload(std::string_view content, std::string_view name,
                                             int to_store, int from_store, char filler = 0) {
  std::vector<std::string> packets{HeaderBlock("", std::to_string(content.size()),
                                               std::to_string(to_store), std::to_string(from_store),
                                               std::string(name) + "#")};
  for (std::size_t at = 0; at < content.size();) {
    std::string packet;
    for (int i = 0; i < to_store; ++i) {
      std::string data(kShortDataSize, filler);
      if (at < content.size()) {
        std::string_view part = content.substr(at, kShortDataSize);
        data.replace(0, part.size(), part);
        at += part.size();
      }
      packet += MakeBlock(BlockKind::kShort, NumberOfPacket(packets.size()), data);
    }
    packets.push_back(packet);
  }
  return packets;
}

// The centre's request: the upload name at 10, the parameter text (with its
// '#', when it has one) at 30 for a Prezes request and at 60 otherwise.
inline std::string RequestBlock(std::string_view upload_name, std::string_view parameters,
                                bool prezes_position = false) {
  return MakeBlock(BlockKind::kShort, 1,
                   FieldsData({{10, Padded(upload_name, 20)},
                               {prezes_position ? 30 : 60, std::string(parameters)}}));
}

// A file's content in which every 1024-byte stretch differs from the others.
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, 0);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + i / 1024) % 251);
  return bytes;
}

// The centre: answers ENQ, ACK and NAK during the download and the request
// as the head office does, records the progress codes, and replies to the
// upload's packets. It works on the station's writes, so everything runs in
// the virtual time of the ScriptedPort.
class TestCentre {
 public:
  explicit TestCentre(ScriptedPort& port) : port_(port) {
    port_.on_write = [this](const std::string& written) { OnWrite(written); };
  }

  // --- the script ---
  std::vector<std::string> download;  // header block first; empty: the request comes first
  std::string request;
  int silent_enquiries = 0;  // the first ENQs of the download are not answered
  // May change a download packet (index from 0) on its attempt-th send (from 1).
  std::function<std::string(std::size_t packet, int attempt, const std::string& good)> spoil;
  std::function<std::string(int attempt, const std::string& good)> spoil_request;
  // The reply to an upload packet (0 the header block) on its attempt-th write.
  std::function<std::string(std::size_t packet, int attempt)> upload_reply;

  // --- what the centre saw ---
  std::vector<std::uint8_t> codes;          // single bytes after the request's ACK
  std::vector<std::string> upload_writes;   // every upload write, repeats included
  std::vector<std::string> upload_packets;  // each packet once
  std::size_t download_acks = 0;

 private:
  enum class Phase { kDownload, kRequest, kUpload };

  void OnWrite(const std::string& written) {
    if (written.size() == 1) {
      OnControlByte(static_cast<std::uint8_t>(written[0]));
    } else {
      OnUploadPacket(written);
    }
  }

  void OnControlByte(std::uint8_t byte) {
    if (phase_ == Phase::kDownload && download.empty())
      phase_ = Phase::kRequest;
    switch (phase_) {
      case Phase::kDownload:
        if (byte == ENQ && enquiries_++ < silent_enquiries)
          return;
        if (byte == ACK) {
          ++download_acks;
          ++packet_;
          attempt_ = 0;
          if (packet_ >= download.size()) {
            phase_ = Phase::kRequest;
            return;
          }
        }
        if (byte == ENQ || byte == NAK || byte == ACK)
          SendDownload();
        return;
      case Phase::kRequest:
        if (byte == ACK) {
          phase_ = Phase::kUpload;
          return;
        }
        if (byte == ENQ || byte == NAK) {
          ++request_attempt_;
          port_.Feed(spoil_request ? spoil_request(request_attempt_, request) : request);
        }
        return;
      case Phase::kUpload:
        codes.push_back(byte);
        return;
    }
  }

  void SendDownload() {
    ++attempt_;
    const std::string& good = download[packet_];
    port_.Feed(spoil ? spoil(packet_, attempt_, good) : good);
  }

  void OnUploadPacket(const std::string& written) {
    if (upload_acked_ || upload_packets.empty()) {
      upload_packets.push_back(written);
      upload_attempt_ = 0;
    }
    upload_writes.push_back(written);
    ++upload_attempt_;
    std::string reply = upload_reply ? upload_reply(upload_packets.size() - 1, upload_attempt_)
                                     : std::string(1, static_cast<char>(ACK));
    upload_acked_ = reply == std::string(1, static_cast<char>(ACK));
    port_.Feed(reply);
  }

  ScriptedPort& port_;
  Phase phase_ = Phase::kDownload;
  int enquiries_ = 0;
  std::size_t packet_ = 0;
  int attempt_ = 0;
  int request_attempt_ = 0;
  int upload_attempt_ = 0;
  bool upload_acked_ = false;
};

// A store in a scratch directory with the station's fakes around it.
class ExchangeTest : public ::testing::Test, protected StationFixture {
 protected:
  ExchangeTest() {
    std::filesystem::create_directories(dir.path() / "INFO");
    std::filesystem::create_directories(dir.path() / "DETAL");
    log.Open(dir.path() / "davrilon.log");
    port.timeouts = {3000, 0, 3000, 3000, 3000};
    // The relay always ends in virtual time, even when a test's companion
    // program never reports ready.
    station.watch = &watch;
  }

  // The whole event log; closes it, so it comes last in a test.
  std::string LogText() {
    log.Close();
    return dir.Read("davrilon.log");
  }
  // A station text as the log holds it: Windows-1250, lines ending in CR LF.
  static std::string Cp(std::string_view utf8) {
    std::string out;
    for (char c : Utf8ToCp1250(utf8)) {
      if (c == '\n')
        out += '\r';
      out += c;
    }
    return out;
  }
  // The progress texts drawn on the console, in order.
  std::vector<std::string> Progress() const {
    std::vector<std::string> texts;
    for (const std::string& e : console.events) {
      if (e.rfind("at 32,21 14/1 ", 0) == 0)
        texts.push_back(e.substr(14));
    }
    return texts;
  }
  std::vector<std::uint8_t> ControlBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const std::string& w : port.Writes()) {
      if (w.size() == 1)
        bytes.push_back(static_cast<std::uint8_t>(w[0]));
    }
    return bytes;
  }

  ScriptedPort port{clock};
  FakeFileWatch watch{clock};
  TestCentre centre{port};
};

}  // namespace davrilon::testing
