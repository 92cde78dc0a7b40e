// The upload to the centre and the end of the exchange.
#include <algorithm>
#include <cstdio>

#include "companion/companion.h"
#include "exchange/exchange_state.h"
#include "supervisor/memo.h"

namespace davrilon {

namespace {

// The upload header block's text: three places for the block's framing,
// then the tag, the two sizes, the upload name and its end mark.
constexpr std::string_view kHeaderFraming = "   ";
constexpr std::string_view kHeaderTag = "START1";
constexpr std::size_t kSizeWidth = 10;

void BuildHeaderBlock(Exchange& x) {
  x.retries = 0;
  ClearTransferBuffer(x.buffer);
  const std::string text = std::string(kHeaderFraming) + std::string(kHeaderTag) +
                           PadToWidth(std::to_string(x.size_before), kSizeWidth) +
                           PadToWidth(std::to_string(x.size_after), kSizeWidth) + x.upload_name +
                           kFieldEnd;
  // With its terminator, which the cleared buffer holds there anyway.
  std::copy(text.begin(), text.end(), x.buffer.begin());
  x.buffer[text.size()] = 0;
  BuildBlock(BlockKind::kLong, x.block_number, std::span(x.buffer).first(kLongBlockSize));
}

// The next packet from the upload file. Where the file ends inside or
// before a block, the rest of that block keeps what the buffer held.
void BuildDataPacket(Exchange& x, int blocks) {
  x.block_number = NextBlockNumber(x.block_number);
  for (int i = 0; i < blocks; ++i) {
    const std::size_t start = static_cast<std::size_t>(i) * kLongBlockSize;
    // A short read at the file's end leaves the rest as the buffer held it.
    [[maybe_unused]] const std::size_t got =
        std::fread(x.buffer.data() + start + kDataOffset, 1, kLongDataSize, x.upload_file.get());
    x.moved_total += static_cast<std::int64_t>(kLongDataSize);
    BuildBlock(BlockKind::kLong, x.block_number,
               std::span(x.buffer).subspan(start, kLongBlockSize));
  }
}

void ShowProgress(Exchange& x) {
  const std::string text =
      "DO CENTRUM " + std::to_string(Percentage(x.moved_total, x.size_after)) + " %";
  WriteMemo(x.s.files, x.s.log, kProgressMemoFile, text);
  x.s.console.PutCursor(kProgressColumn, kProgressRow);
  x.s.console.WriteAtCursor(text);
}

void SendUpload(Exchange& x) {
  EventLog& log = x.s.log;
  const int blocks = x.packets_from_store;
  bool header_pending = true;
  for (;;) {
    const std::size_t count =
        header_pending ? kLongBlockSize : static_cast<std::size_t>(blocks) * kLongBlockSize;
    if (!x.port.Write(std::span<const std::uint8_t>(x.buffer.data(), count), x.byte_count)) {
      log.Line("Błąd wysyłania paczki");
      return;
    }
    std::uint8_t reply = 0;
    if (!x.port.Read(std::span<std::uint8_t>(&reply, 1), x.byte_count)) {
      log.Line("Brak odpowiedzi centrum");
      return;
    }

    if (reply == ACK) {
      if (!x.upload_due)
        return;
      header_pending = false;
      if (!x.prezes)
        ShowProgress(x);
      if (x.moved_total >= x.size_after) {
        log.Line("Dane przesłane poprawnie");
        return;
      }
      BuildDataPacket(x, blocks);
      log.Line("Wysylam blok ", static_cast<std::int32_t>(x.block_number), " Przeslanych bajtow ",
               static_cast<std::int32_t>(x.moved_total));
      x.retries = 0;
      continue;
    }

    // A wrong reply, or silence within the read time-outs: the same bytes again.
    log.Line(RawByte{reply}, " ", x.byte_count);
    ++x.retries;
    log.Line("Powtórka ", static_cast<std::int32_t>(x.retries));
    if (x.retries >= kMaxUploadWrites) {
      log.Line("Za duże przekłamania");
      return;
    }
  }
}

}  // namespace

void UploadAndEnd(Exchange& x) {
  Station& s = x.s;
  if (x.upload_due &&
      (x.packets_from_store < 1 || x.packets_from_store > kMaxLongBlocksPerPacket)) {
    // An upload packet is built in the transfer buffer, which holds two long
    // blocks: the centre is told that nothing comes.
    s.log.Line("Niepoprawna liczba bloków w paczce wysyłki ",
               static_cast<std::int32_t>(x.packets_from_store));
    x.upload_due = false;
    x.upload_file.reset();
    x.size_before = 0;
    x.size_after = 0;
  }

  BuildHeaderBlock(x);
  Pause(s.clock, kUploadPause);
  x.port.PurgeReceive();
  SendUpload(x);

  s.console.PutCursor(kProgressColumn, kProgressRow);
  s.console.WriteAtCursor(kProgressBlanks);
  s.files.Remove(kProgressMemoFile);
  x.upload_file.reset();
  if (x.inf_written)
    companion::Run(s.runner, s.log, companion::kAfterReceivedFile);
}

}  // namespace davrilon
