// The head office behind the modem: for each call it sends the download
// (header block and data packets of short blocks), then the request block,
// reads the progress codes and the upload header block, and receives the
// upload in packets of long blocks. Pure logic, driven by the bytes the
// station sends in data mode and by a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linesim/modem_emulator.h"
#include "linesim/sim_log.h"
#include "platform/clock.h"

namespace davrilon::linesim {

// --- The block format on the line ---
constexpr unsigned char kEnq = 5;
constexpr unsigned char kAck = 6;
constexpr unsigned char kNak = 21;
constexpr unsigned char kFirstProgressCode = 11;
constexpr unsigned char kLastProgressCode = 14;
constexpr unsigned char kShortHeader = 1;  // header byte of a short block
constexpr unsigned char kLongHeader = 2;   // header byte of a long block
constexpr std::size_t kShortData = 128;
constexpr std::size_t kLongData = 1024;
constexpr std::size_t kBlockFrame = 4;  // header byte, number, complement, sum
constexpr std::size_t kShortBlock = kShortData + kBlockFrame;  // 132
constexpr std::size_t kLongBlock = kLongData + kBlockFrame;    // 1028
constexpr std::size_t kNumberOffset = 1;
constexpr std::size_t kComplementOffset = 2;
constexpr std::size_t kDataOffset = 3;

// Text fields are placed by 1-based position from the header byte.
constexpr std::size_t kPosTag = 4;  // 6 characters
constexpr std::size_t kTagLength = 6;
constexpr std::size_t kPosSizeBefore = 10;  // 10 characters
constexpr std::size_t kPosSizeAfter = 20;   // 10 characters
constexpr std::size_t kSizeWidth = 10;
constexpr std::size_t kPosBlocksToStore = 30;    // 2 characters, download header
constexpr std::size_t kPosBlocksFromStore = 32;  // 2 characters, download header
constexpr std::size_t kCountWidth = 2;
constexpr std::size_t kPosDownloadName = 34;
constexpr std::size_t kPosRequestName = 10;  // 20 characters
constexpr std::size_t kRequestNameWidth = 20;
constexpr std::size_t kPosPrezesParams = 30;
constexpr std::size_t kPosOtherParams = 60;
constexpr std::size_t kPosUploadName = 30;  // upload header: name, then '#'
constexpr char kFieldEnd = '#';
constexpr std::string_view kPrezesMark = "PREZES.PC";
constexpr std::string_view kRequestTag = "START2";
constexpr std::string_view kUploadTag = "START1";
// The last 1-based position a short block's data reaches.
constexpr std::size_t kLastShortPosition = kShortData + kDataOffset;  // 131

// The first block number of each phase.
constexpr int kFirstBlockNumber = 1;
constexpr int kUploadHeaderNumber = 2;

// The block number after `number`: 255 is followed by 1, never 0.
constexpr int NextBlockNumber(int number) {
  return number >= 255 ? 1 : number + 1;
}
// The 8-bit sum of data bytes.
unsigned char BlockSum(std::string_view data);
// A framed block: header byte by the data's size, number, complement, data, sum.
std::string FrameBlock(int number, std::string_view data);
// Why a received block is refused, or nothing when it is good.
std::optional<std::string> CheckBlock(std::string_view block, unsigned char header, int number);

// --- Waits of the centre, each bounded ---
constexpr Millis kEnquiryWait{60'000};       // from the carrier to the first ENQ
constexpr Millis kReplyWait{60'000};         // for the store's answer to a packet
constexpr Millis kPreparationWait{600'000};  // for the upload header: the relay may take 300 s
constexpr Millis kPacketWait{60'000};        // between upload packets
constexpr Millis kPacketGap{1'000};          // silence inside a block that makes it short
// The largest upload the centre accepts.
constexpr std::int64_t kMaxUploadBytes = 256LL * 1024 * 1024;

// A fault on packet `packet` (0: the header block, 1 and on: data packets),
// the first `times` times it comes up.
struct Fault {
  int packet = -1;  // none
  int times = 1;
  bool On(int p) const { return packet >= 0 && p == packet; }
};

struct CentreSettings {
  // Download.
  std::string download;                     // the file's bytes; empty with no file
  std::string download_name;                // empty with no file
  std::optional<std::int64_t> size_before;  // WielkoscPrzedSpakowaniem; else the file's size
  int blocks_per_packet = 4;                // IlePaczekNaSklep
  int upload_blocks = 1;                    // IlePaczekZeSklepu, sent as given
  // Request.
  std::optional<std::string> request_name;  // none: the request names no file
  std::string params;
  // Faults on the download: corrupted sum, wrong block number, short packet,
  // silence after a packet's ACK (the next `times` requests go unanswered).
  Fault corrupt_block, wrong_number, short_packet, silent_after;
  // Faults on the upload: NAK, or no answer, to a good packet.
  Fault nak_upload, silent_upload;
  // The call whose packets the faults above act on; 0: every call.
  int faults_on_call = 0;
  // Where uploads go.
  std::filesystem::path store_dir = ".";
  // How long the centre waits for the station to hang up after the exchange.
  Millis hangup_wait{10'000};
};

// The plain-text report, one line per fact, flushed at once.
class Report {
 public:
  explicit Report(const std::filesystem::path& path = {});
  void Add(const std::string& line);
  const std::vector<std::string>& lines() const { return lines_; }
  bool ok() const { return ok_; }

 private:
  std::ofstream file_;
  bool ok_ = true;
  std::vector<std::string> lines_;
};

class Centre {
 public:
  enum class Phase {
    kIdle,          // no connected call
    kAwaitEnquiry,  // connected, before the first ENQ
    kDownload,      // a download packet is on the line
    kAwaitSecondEnquiry,
    kRequestSent,
    kAwaitUploadHeader,  // progress codes, then the upload header block
    kUploadData,
    kAwaitHangUp,  // the exchange is over
    kGaveUp,
  };

  Centre(Clock& clock, SimLog& log, CentreSettings settings, Report& report);

  void BeginCall(int number);
  void OnConnected();
  void OnBytes(std::string_view bytes);
  std::string TakeOutput();
  void Poll();
  std::optional<TimePoint> NextDeadline() const;
  // The centre wants the line dropped: it gave up, or the station did not hang up.
  bool wants_hang_up() const { return phase_ == Phase::kGaveUp; }
  // Writes the call's report lines; `end` says how it ended.
  void EndCall(const std::string& end);

  Phase phase() const { return phase_; }
  const std::string& give_up_reason() const { return give_up_reason_; }
  int data_packets() const { return data_packets_; }
  const std::vector<int>& codes() const { return codes_; }
  // The header block and the request block as the centre sends them.
  std::string DownloadHeaderBlock() const;
  std::string RequestBlock() const;
  // Data packet p (from 1), without faults.
  std::string DataPacket(int p) const;

 private:
  void Byte(unsigned char byte, std::string& ignored);
  void SendDownloadPacket(int p);
  void SendRequest();
  bool SilenceSwallows(const char* what);
  void AcceptBlockByte(unsigned char byte);
  void HandleUploadHeader();
  void HandleUploadPacket();
  void Reply(unsigned char byte, const std::string& why);
  // Whether fault `fault` acts on this arrival/transmission of packet p.
  bool FaultActs(const Fault& fault, int p, int count) const {
    return FaultsOnThisCall() && fault.On(p) && count <= fault.times;
  }
  bool FaultsOnThisCall() const {
    return settings_.faults_on_call == 0 || settings_.faults_on_call == call_;
  }
  void Await(Phase phase, Millis wait, std::string what);
  void ExchangeOver(const std::string& why);
  void StoreUpload();
  std::string Prefix() const { return "call " + std::to_string(call_) + ": "; }

  Clock& clock_;
  SimLog& log_;
  CentreSettings settings_;
  Report& report_;
  int data_packets_ = 0;  // download packets after the header block

  int call_ = 0;
  Phase phase_ = Phase::kIdle;
  std::optional<TimePoint> deadline_;
  std::string waiting_for_;
  std::string give_up_reason_;
  std::string output_;

  // Download and request.
  int packet_ = 0;  // the download packet the store awaits
  std::map<int, int> sent_count_;
  int silence_left_ = 0;
  int download_acked_ = 0, download_naked_ = 0;
  bool request_sent_ = false;
  int request_acked_ = 0, request_naked_ = 0;

  // Relay and upload.
  std::vector<int> codes_;
  std::string block_;  // bytes of the block or packet being received
  TimePoint last_block_byte_{};
  bool header_seen_ = false;
  std::int64_t upload_size_ = 0, upload_size_before_ = 0;
  std::string upload_name_;
  int upload_number_ = kUploadHeaderNumber;  // the number the next block must carry
  int upload_packet_ = 0;                    // 0: the header block, then data packets
  std::map<int, int> arrival_count_;
  std::string upload_data_;
  int upload_acked_ = 0, upload_naked_ = 0, upload_silent_ = 0;
  std::string upload_result_;
};

}  // namespace davrilon::linesim
