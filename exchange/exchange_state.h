// What one exchange with the centre keeps from its opening to its end, and
// the phases that RunExchange runs one after the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/block.h"
#include "platform/serial_port.h"
#include "platform/store_files.h"
#include "supervisor/station.h"

namespace davrilon {

// A packet is asked for again at most five times; the sixth rejection in a
// row ends the exchange.
inline constexpr int kMaxNaks = 5;
// An upload packet is written at most five times; the fifth wrong reply ends it.
inline constexpr int kMaxUploadWrites = 5;
// The enquiry is sent at most five times until a read brings something.
inline constexpr int kEnquiryAttempts = 5;

// Pauses, in whole seconds as the station's clock takes them.
inline constexpr std::chrono::seconds kOpeningPause{1};
inline constexpr std::chrono::seconds kNakPause{1};
inline constexpr std::chrono::seconds kUploadPause{1};

// The companion program has this long to report its file ready.
inline constexpr std::chrono::seconds kRelayLimit{300};
// The longest the relay sleeps in one go when it has a file watch; a file
// that is written wakes it at once.
inline constexpr std::chrono::milliseconds kRelayWakeUp{250};

// The progress text of the exchange stands here on the console.
inline constexpr int kProgressColumn = 32;
inline constexpr int kProgressRow = 21;
inline constexpr std::string_view kProgressBlanks = "                           ";  // 27
static_assert(kProgressBlanks.size() == 27);

// The exchange files.
inline constexpr std::string_view kProgressMemoFile = "INFO\\ODCZYT.KAS";
inline constexpr std::string_view kStartFile = "DETAL\\START.PC";
inline constexpr std::string_view kProgressFile = "DETAL\\POSTEP.PC";
inline constexpr std::string_view kReadyFile = "DETAL\\GOTOWE.PC";
inline constexpr std::string_view kDetailDirectory = "DETAL";
inline constexpr std::string_view kPrezesDaysFile = "ILE_DNI.PC";

// Names in the centre's requests.
inline constexpr std::string_view kPrezesMark = "PREZES.PC";
inline constexpr std::string_view kToStoreMark = "NA_SKLEP";
inline constexpr char kFieldEnd = '#';  // chr(35)

// Files the station writes as text end their line the Windows way, for the
// companion programs are Windows programs.
inline constexpr std::string_view kTextLineEnd = "\r\n";

inline constexpr double kPercent = 100.0;

struct Exchange {
  Exchange(Station& station, SerialPort& line) : s(station), port(line) {}

  Station& s;
  SerialPort& port;
  TransferBuffer buffer{};

  int block_number = 1;
  std::uint32_t byte_count = 0;  // moved by the last port write or read
  int packets_to_store = 1;      // IlePaczekNaSklep: short blocks per download packet
  int packets_from_store = 1;    // IlePaczekZeSklepu: long blocks per upload packet
  int retries = 0;

  // The sizes of the download, later of the upload.
  std::int32_t size_before = 0;  // WielkoscPrzedSpakowaniem
  std::int32_t size_after = 0;   // WielkoscPoSpakowaniu
  std::int64_t moved_total = 0;  // received, later sent, data bytes

  std::string field;          // the working text of the header and request fields
  std::string received_name;  // NazwPliku, when a file was received
  std::string received_inf_name;

  std::string upload_name;
  std::string upload_inf_name;
  bool prezes = false;
  bool upload_due = true;
  bool hand_off_due = true;
  bool inf_written = false;
  FilePtr upload_file;

  // Puts `byte` at position 0 of the transfer buffer and writes that one byte.
  bool SendControlByte(std::uint8_t byte);
  // Reads up to `count` bytes into the transfer buffer from position 0.
  bool ReadIntoBuffer(std::size_t count);
  // What the last read put into the transfer buffer.
  std::span<const std::uint8_t> Received() const;
};

// The two enquiries differ only in the spelling of two log texts.
struct EnquiryTexts {
  std::string_view attempt;       // followed by the attempt's number
  std::string_view write_failed;  // a bare text with its own line end
};
// Sends ENQ up to five times until a read brings at least one byte.
void SendEnquiry(Exchange& x, const EnquiryTexts& texts);

// The answer to a rejected packet: NAK, after a pause and a purge, and a read
// of the same packet again. False when the packet has been rejected more
// than five times in a row (the line is too bad), or when a stop signal has
// come: the exchange ends.
bool AskAgain(Exchange& x, std::size_t packet_size);

// The phases, in the order in which RunExchange runs them.
bool OpenAndDownload(Exchange& x);  // false: abandoned
bool ReadRequest(Exchange& x);      // false: abandoned
void HandOff(Exchange& x);          // includes the progress relay when it is due
void RunProgressRelay(Exchange& x);
void PrepareUpload(Exchange& x);
void UploadAndEnd(Exchange& x);

// The share of `part` in `whole` in whole percent, truncated toward zero; the
// division comes first, as the centre's programs compute it. Nothing of
// nothing counts as all of it.
std::int32_t Percentage(std::int64_t part, std::int32_t whole);

inline void Pause(Clock& clock, std::chrono::seconds duration) {
  clock.PauseSeconds(static_cast<int>(duration.count()));
}

}  // namespace davrilon
