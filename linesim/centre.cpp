#include "linesim/centre.h"

#include <algorithm>
#include <cstdio>

namespace davrilon::linesim {
namespace {

constexpr unsigned char kPadding = 0;               // fills the last download block
constexpr unsigned char kCorruption = 0xFF;         // XORed into a byte: the sum always changes
constexpr std::size_t kShortCut = kShortBlock / 2;  // bytes a short packet lacks
constexpr const char* kFallbackUploadName = "upload.bin";

// Puts `text` at 1-based position `pos` of a block's data; what would reach
// past the data is left out.
void Place(std::string& data, std::size_t pos, std::string_view text) {
  std::size_t at = pos - 1 - kDataOffset;
  if (at >= data.size())
    return;
  text = text.substr(0, data.size() - at);
  data.replace(at, text.size(), text);
}

// A number as decimal text, left-aligned and padded with blanks to `width`.
std::string Field(std::int64_t value, std::size_t width) {
  std::string text = std::to_string(value);
  text.resize(width, ' ');
  return text;
}

// The field at 1-based position `pos` of a framed block.
std::string_view FieldAt(std::string_view block, std::size_t pos, std::size_t length) {
  return block.substr(pos - 1, length);
}

// A decimal field as the station writes it: blanks, an optional sign, digits.
std::int64_t ReadNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), kMaxUploadBytes * 16);
  return negative ? -value : value;
}

// A file name from the line, made safe to create in the store directory: no
// directories, no control characters, never "." or "..".
std::string SafeFileName(std::string_view name) {
  auto slash = name.find_last_of("/\\:");
  if (slash != std::string_view::npos)
    name = name.substr(slash + 1);
  std::string safe;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    safe.push_back(byte < 0x20 || byte == 0x7F ? '_' : c);
  }
  if (safe.empty() || safe == "." || safe == "..")
    safe = kFallbackUploadName;
  return safe;
}

}  // namespace

unsigned char BlockSum(std::string_view data) {
  unsigned sum = 0;
  for (char c : data)
    sum += static_cast<unsigned char>(c);
  return static_cast<unsigned char>(sum & 0xFF);
}

std::string FrameBlock(int number, std::string_view data) {
  std::string block;
  block.reserve(data.size() + kBlockFrame);
  block.push_back(static_cast<char>(data.size() == kShortData ? kShortHeader : kLongHeader));
  block.push_back(static_cast<char>(number & 0xFF));
  block.push_back(static_cast<char>((255 - number) & 0xFF));
  block.append(data);
  block.push_back(static_cast<char>(BlockSum(data)));
  return block;
}

std::optional<std::string> CheckBlock(std::string_view block, unsigned char header, int number) {
  std::size_t data_size = header == kShortHeader ? kShortData : kLongData;
  if (block.size() != data_size + kBlockFrame)
    return "size " + std::to_string(block.size()) + ", not " +
           std::to_string(data_size + kBlockFrame);
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(block[i]); };
  if (at(0) != header)
    return "header byte " + std::to_string(at(0)) + ", not " + std::to_string(header);
  if (at(kNumberOffset) != number)
    return "block number " + std::to_string(at(kNumberOffset)) + ", not " + std::to_string(number);
  if (at(kComplementOffset) != 255 - number)
    return "complement " + std::to_string(at(kComplementOffset)) + ", not " +
           std::to_string(255 - number);
  unsigned char sum = BlockSum(block.substr(kDataOffset, data_size));
  if (at(kDataOffset + data_size) != sum)
    return "sum " + std::to_string(at(kDataOffset + data_size)) + ", computed " +
           std::to_string(sum);
  return std::nullopt;
}

// --- Report ---

Report::Report(const std::filesystem::path& path) {
  if (path.empty())
    return;
  file_.open(path, std::ios::out | std::ios::trunc);
  ok_ = file_.is_open();
}

void Report::Add(const std::string& line) {
  lines_.push_back(line);
  if (file_.is_open()) {
    file_ << line << '\n';
    file_.flush();
  }
}

// --- Centre ---

Centre::Centre(Clock& clock, SimLog& log, CentreSettings settings, Report& report)
    : clock_(clock), log_(log), settings_(std::move(settings)), report_(report) {
  std::size_t per_packet =
      kShortData * static_cast<std::size_t>(std::max(settings_.blocks_per_packet, 1));
  data_packets_ = static_cast<int>((settings_.download.size() + per_packet - 1) / per_packet);
}

std::string Centre::DownloadHeaderBlock() const {
  std::string data(kShortData, static_cast<char>(kPadding));
  Place(data, kPosTag, std::string(kPosDownloadName - kPosTag, ' '));
  auto size = static_cast<std::int64_t>(settings_.download.size());
  Place(data, kPosSizeBefore, Field(settings_.size_before.value_or(size), kSizeWidth));
  Place(data, kPosSizeAfter, Field(size, kSizeWidth));
  Place(data, kPosBlocksToStore, Field(settings_.blocks_per_packet, kCountWidth));
  Place(data, kPosBlocksFromStore, Field(settings_.upload_blocks, kCountWidth));
  Place(data, kPosDownloadName, settings_.download_name + kFieldEnd);
  return FrameBlock(kFirstBlockNumber, data);
}

std::string Centre::RequestBlock() const {
  std::string data(kShortData, static_cast<char>(kPadding));
  std::string name = settings_.request_name.value_or("");
  bool prezes = name.find(kPrezesMark) != std::string::npos;
  std::size_t params_pos = prezes ? kPosPrezesParams : kPosOtherParams;
  Place(data, kPosTag, std::string(params_pos - kPosTag, ' '));
  Place(data, kPosTag, kRequestTag);
  name.resize(kRequestNameWidth, ' ');
  Place(data, kPosRequestName, name);
  Place(data, params_pos, settings_.params + kFieldEnd);
  return FrameBlock(kFirstBlockNumber, data);
}

std::string Centre::DataPacket(int p) const {
  int number = (p % 255) + 1;  // the header block was packet 0 with number 1
  auto n = static_cast<std::size_t>(std::max(settings_.blocks_per_packet, 1));
  std::string packet;
  for (std::size_t b = 0; b < n; ++b) {
    std::size_t start = ((static_cast<std::size_t>(p) - 1) * n + b) * kShortData;
    std::string data = start < settings_.download.size()
                           ? settings_.download.substr(start, kShortData)
                           : std::string();
    data.resize(kShortData, static_cast<char>(kPadding));
    packet += FrameBlock(number, data);
  }
  return packet;
}

void Centre::BeginCall(int number) {
  call_ = number;
  phase_ = Phase::kIdle;
  deadline_.reset();
  give_up_reason_.clear();
  output_.clear();
  packet_ = 0;
  sent_count_.clear();
  silence_left_ = 0;
  download_acked_ = download_naked_ = 0;
  request_sent_ = false;
  request_acked_ = request_naked_ = 0;
  codes_.clear();
  block_.clear();
  header_seen_ = false;
  upload_size_ = upload_size_before_ = 0;
  upload_name_.clear();
  upload_number_ = kUploadHeaderNumber;
  upload_packet_ = 0;
  arrival_count_.clear();
  upload_data_.clear();
  upload_acked_ = upload_naked_ = upload_silent_ = 0;
  upload_result_.clear();
}

void Centre::OnConnected() {
  log_.Line("centre: call " + std::to_string(call_) + " connected; waiting for ENQ");
  Await(Phase::kAwaitEnquiry, kEnquiryWait, "the first ENQ");
}

void Centre::Await(Phase phase, Millis wait, std::string what) {
  phase_ = phase;
  deadline_ = clock_.Monotonic() + wait;
  waiting_for_ = std::move(what);
}

std::string Centre::TakeOutput() {
  std::string out;
  out.swap(output_);
  return out;
}

void Centre::OnBytes(std::string_view bytes) {
  std::string ignored;
  for (char c : bytes)
    Byte(static_cast<unsigned char>(c), ignored);
  if (!ignored.empty())
    log_.Line("centre: ignored " + SimLog::Printable(ignored));
}

void Centre::Byte(unsigned char byte, std::string& ignored) {
  switch (phase_) {
    case Phase::kAwaitEnquiry:
      if (byte == kEnq || byte == kNak) {
        log_.Line("centre: " + SimLog::DescribeByte(byte) + ": sending the download header block");
        packet_ = 0;
        phase_ = Phase::kDownload;
        SendDownloadPacket(0);
        return;
      }
      break;
    case Phase::kDownload:
      if (byte == kAck) {
        ++download_acked_;
        log_.Line("centre: ACK for download packet " + std::to_string(packet_));
        int acked = packet_++;
        if (FaultsOnThisCall() && settings_.silent_after.On(acked))
          silence_left_ = settings_.silent_after.times;
        if (packet_ > data_packets_) {
          log_.Line("centre: download complete; waiting for the second ENQ");
          Await(Phase::kAwaitSecondEnquiry, kReplyWait, "the second ENQ");
        } else {
          SendDownloadPacket(packet_);
        }
        return;
      }
      if (byte == kNak || byte == kEnq) {
        if (byte == kNak)
          ++download_naked_;
        log_.Line("centre: " + SimLog::DescribeByte(byte) + " for download packet " +
                  std::to_string(packet_) + ": sending it again");
        SendDownloadPacket(packet_);
        return;
      }
      break;
    case Phase::kAwaitSecondEnquiry:
      if (byte == kEnq || byte == kNak) {
        log_.Line("centre: " + SimLog::DescribeByte(byte) + ": sending the request block");
        SendRequest();
        return;
      }
      break;
    case Phase::kRequestSent:
      if (byte == kAck) {
        ++request_acked_;
        log_.Line(
            "centre: ACK for the request block; waiting for progress codes and the upload header");
        Await(Phase::kAwaitUploadHeader, kPreparationWait, "the upload header block");
        return;
      }
      if (byte == kNak || byte == kEnq) {
        if (byte == kNak)
          ++request_naked_;
        log_.Line("centre: " + SimLog::DescribeByte(byte) +
                  " for the request block: sending it again");
        SendRequest();
        return;
      }
      break;
    case Phase::kAwaitUploadHeader:
      if (block_.empty() && byte >= kFirstProgressCode && byte <= kLastProgressCode) {
        codes_.push_back(byte);
        log_.Line("centre: progress code " + std::to_string(byte));
        return;
      }
      if (!block_.empty() || byte == kLongHeader) {
        AcceptBlockByte(byte);
        return;
      }
      break;
    case Phase::kUploadData:
      AcceptBlockByte(byte);
      return;
    case Phase::kIdle:
    case Phase::kAwaitHangUp:
    case Phase::kGaveUp:
      break;
  }
  ignored.push_back(static_cast<char>(byte));
}

bool Centre::SilenceSwallows(const char* what) {
  if (silence_left_ <= 0)
    return false;
  --silence_left_;
  log_.Line(std::string("centre: silent instead of sending ") + what + " (injected)");
  return true;
}

void Centre::SendDownloadPacket(int p) {
  Await(Phase::kDownload, kReplyWait, "an answer to download packet " + std::to_string(p));
  if (SilenceSwallows(p == 0 ? "the header block" : "a data packet"))
    return;
  int count = ++sent_count_[p];
  std::string packet = p == 0 ? DownloadHeaderBlock() : DataPacket(p);
  std::size_t blocks = packet.size() / kShortBlock;
  std::string note;
  if (FaultActs(settings_.corrupt_block, p, count)) {
    std::size_t block = blocks / 2;
    packet[block * kShortBlock + kDataOffset] ^= static_cast<char>(kCorruption);
    note += ", block " + std::to_string(block + 1) + " corrupted";
  }
  if (FaultActs(settings_.wrong_number, p, count)) {
    std::size_t at = (blocks - 1) * kShortBlock;
    int wrong = NextBlockNumber(static_cast<unsigned char>(packet[at + kNumberOffset]));
    packet[at + kNumberOffset] = static_cast<char>(wrong);
    packet[at + kComplementOffset] = static_cast<char>(255 - wrong);
    note += ", block " + std::to_string(blocks) + " numbered " + std::to_string(wrong);
  }
  if (FaultActs(settings_.short_packet, p, count)) {
    packet.resize(packet.size() - kShortCut);
    note += ", cut to " + std::to_string(packet.size()) + " bytes";
  }
  log_.Line("centre: download packet " + std::to_string(p) + " (block number " +
            std::to_string(static_cast<unsigned char>(packet[kNumberOffset])) + ", " +
            std::to_string(blocks) + " block(s)) sent" + (count > 1 ? " again" : "") + note);
  output_ += packet;
}

void Centre::SendRequest() {
  Await(Phase::kRequestSent, kReplyWait, "an answer to the request block");
  if (SilenceSwallows("the request block"))
    return;
  request_sent_ = true;
  log_.Line("centre: request block sent: name '" + settings_.request_name.value_or("") +
            "', parameters '" + settings_.params + "'");
  output_ += RequestBlock();
}

void Centre::AcceptBlockByte(unsigned char byte) {
  block_.push_back(static_cast<char>(byte));
  last_block_byte_ = clock_.Monotonic();
  std::size_t want =
      phase_ == Phase::kAwaitUploadHeader
          ? kLongBlock
          : kLongBlock * static_cast<std::size_t>(std::max(settings_.upload_blocks, 1));
  if (block_.size() < want)
    return;
  if (phase_ == Phase::kAwaitUploadHeader) {
    HandleUploadHeader();
  } else {
    HandleUploadPacket();
  }
  block_.clear();
}

void Centre::Reply(unsigned char byte, const std::string& why) {
  log_.Line("centre: " + SimLog::DescribeByte(byte) + " " + why);
  output_.push_back(static_cast<char>(byte));
  if (byte == kAck)
    ++upload_acked_;
  if (byte == kNak)
    ++upload_naked_;
}

void Centre::HandleUploadHeader() {
  int count = ++arrival_count_[0];
  std::optional<std::string> bad = CheckBlock(block_, kLongHeader, kUploadHeaderNumber);
  std::string_view block = block_;
  if (!bad && FieldAt(block, kPosTag, kTagLength) != kUploadTag)
    bad = "tag '" + SimLog::Printable(FieldAt(block, kPosTag, kTagLength)) + "', not START1";
  std::string name;
  if (!bad) {
    std::string_view rest = block.substr(kPosUploadName - 1, kRequestNameWidth + 1);
    auto end = rest.find(kFieldEnd);
    if (end == std::string_view::npos)
      bad = "no '#' after the upload name";
    else
      name = rest.substr(0, end);
  }
  std::int64_t size = bad ? 0 : ReadNumber(FieldAt(block, kPosSizeAfter, kSizeWidth));
  if (!bad && size > kMaxUploadBytes)
    bad = "upload of " + std::to_string(size) + " bytes is more than the centre takes";
  if (bad) {
    log_.Line("centre: upload header block rejected: " + *bad);
    Reply(kNak, "for the upload header block");
    return;
  }
  if (FaultActs(settings_.silent_upload, 0, count)) {
    ++upload_silent_;
    log_.Line("centre: upload header block good; silent (injected)");
    return;
  }
  if (FaultActs(settings_.nak_upload, 0, count)) {
    Reply(kNak, "for a good upload header block (injected)");
    return;
  }
  header_seen_ = true;
  upload_name_ = name;
  upload_size_ = size;
  upload_size_before_ = ReadNumber(FieldAt(block, kPosSizeBefore, kSizeWidth));
  log_.Line("centre: upload header block: name '" + SimLog::Printable(name) + "', size " +
            std::to_string(size) + ", before packing " + std::to_string(upload_size_before_));
  Reply(kAck, "for the upload header block");
  if (size <= 0) {
    ExchangeOver(name.empty() ? "nothing to upload" : "upload of 0 bytes");
    return;
  }
  upload_number_ = NextBlockNumber(kUploadHeaderNumber);
  upload_packet_ = 1;
  Await(Phase::kUploadData, kPacketWait, "upload packet 1");
}

void Centre::HandleUploadPacket() {
  int count = ++arrival_count_[upload_packet_];
  std::string_view packet = block_;
  std::size_t blocks = packet.size() / kLongBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    if (auto bad =
            CheckBlock(packet.substr(b * kLongBlock, kLongBlock), kLongHeader, upload_number_)) {
      log_.Line("centre: upload packet " + std::to_string(upload_packet_) + " block " +
                std::to_string(b + 1) + " rejected: " + *bad);
      Reply(kNak, "for upload packet " + std::to_string(upload_packet_));
      Await(Phase::kUploadData, kPacketWait, "upload packet " + std::to_string(upload_packet_));
      return;
    }
  }
  if (FaultActs(settings_.silent_upload, upload_packet_, count)) {
    ++upload_silent_;
    log_.Line("centre: upload packet " + std::to_string(upload_packet_) +
              " good; silent (injected)");
    return;
  }
  if (FaultActs(settings_.nak_upload, upload_packet_, count)) {
    Reply(kNak, "for good upload packet " + std::to_string(upload_packet_) + " (injected)");
    return;
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    auto missing = static_cast<std::size_t>(upload_size_) - upload_data_.size();
    if (missing == 0)
      break;
    upload_data_.append(packet.substr(b * kLongBlock + kDataOffset, std::min(kLongData, missing)));
  }
  Reply(kAck, "for upload packet " + std::to_string(upload_packet_) + " (block number " +
                  std::to_string(upload_number_) + "), " + std::to_string(upload_data_.size()) +
                  " of " + std::to_string(upload_size_) + " bytes");
  if (static_cast<std::int64_t>(upload_data_.size()) >= upload_size_) {
    StoreUpload();
    ExchangeOver("upload complete");
    return;
  }
  upload_number_ = NextBlockNumber(upload_number_);
  ++upload_packet_;
  Await(Phase::kUploadData, kPacketWait, "upload packet " + std::to_string(upload_packet_));
}

void Centre::StoreUpload() {
  std::string file = SafeFileName(upload_name_);
  std::filesystem::path path = settings_.store_dir / file;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(upload_data_.data(), static_cast<std::streamsize>(upload_data_.size()));
  out.close();
  if (!out) {
    log_.Line("centre: cannot write " + path.string());
    upload_result_ = "upload not stored " + file + ": cannot write " + path.string();
    return;
  }
  log_.Line("centre: upload stored as " + path.string());
  upload_result_ = "upload stored " + file + " " + std::to_string(upload_data_.size()) + " bytes";
}

void Centre::ExchangeOver(const std::string& why) {
  log_.Line("centre: exchange over (" + why + "); waiting for the station to hang up");
  Await(Phase::kAwaitHangUp, settings_.hangup_wait, "the station to hang up");
}

void Centre::Poll() {
  TimePoint now = clock_.Monotonic();
  if (!block_.empty() && now - last_block_byte_ >= kPacketGap &&
      (phase_ == Phase::kAwaitUploadHeader || phase_ == Phase::kUploadData)) {
    log_.Line("centre: short block or packet of " + std::to_string(block_.size()) + " bytes");
    Reply(kNak, phase_ == Phase::kAwaitUploadHeader
                    ? std::string("for a short upload header block")
                    : "for short upload packet " + std::to_string(upload_packet_));
    block_.clear();
  }
  if (deadline_ && now >= *deadline_ && phase_ != Phase::kIdle && phase_ != Phase::kGaveUp) {
    give_up_reason_ = phase_ == Phase::kAwaitHangUp
                          ? "the station did not hang up"
                          : "nothing came while waiting for " + waiting_for_;
    log_.Line("centre: " + give_up_reason_ + "; the centre hangs up");
    phase_ = Phase::kGaveUp;
    deadline_.reset();
  }
}

std::optional<TimePoint> Centre::NextDeadline() const {
  std::optional<TimePoint> next = deadline_;
  if (!block_.empty()) {
    TimePoint gap = last_block_byte_ + kPacketGap;
    if (!next || gap < *next)
      next = gap;
  }
  return next;
}

void Centre::EndCall(const std::string& end) {
  std::string prefix = Prefix();
  if (phase_ != Phase::kIdle || download_acked_ + download_naked_ > 0) {
    report_.Add(prefix + "download acked=" + std::to_string(download_acked_) +
                " naked=" + std::to_string(download_naked_));
  }
  if (request_sent_) {
    report_.Add(prefix + "request acked=" + std::to_string(request_acked_) +
                " naked=" + std::to_string(request_naked_));
  }
  if (request_acked_ > 0) {
    std::string codes = prefix + "codes";
    if (codes_.empty())
      codes += " none";
    for (int code : codes_)
      codes += " " + std::to_string(code);
    report_.Add(codes);
  }
  if (header_seen_) {
    if (upload_size_ <= 0) {
      report_.Add(prefix + (upload_name_.empty()
                                ? std::string("upload none")
                                : "upload " + upload_name_ + " 0 bytes, nothing stored"));
    } else if (!upload_result_.empty()) {
      report_.Add(prefix + upload_result_);
    } else {
      report_.Add(prefix + "upload incomplete " + SafeFileName(upload_name_) + " " +
                  std::to_string(upload_data_.size()) + " of " + std::to_string(upload_size_) +
                  " bytes");
    }
    if (settings_.request_name && upload_name_ != *settings_.request_name) {
      report_.Add(prefix + "upload name '" + upload_name_ + "' differs from the request '" +
                  *settings_.request_name + "'");
    }
  }
  if (upload_acked_ + upload_naked_ + upload_silent_ > 0) {
    report_.Add(prefix + "upload acked=" + std::to_string(upload_acked_) + " naked=" +
                std::to_string(upload_naked_) + " silent=" + std::to_string(upload_silent_));
  }
  report_.Add(prefix + "end: " + end);
  log_.Line("centre: call " + std::to_string(call_) + " ended: " + end);
  phase_ = Phase::kIdle;
  deadline_.reset();
  block_.clear();
}

}  // namespace davrilon::linesim
