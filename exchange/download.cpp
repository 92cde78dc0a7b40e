// The exchange opening and the download of the centre's file.
#include <cstdio>
#include <memory>

#include "exchange/exchange_state.h"
#include "supervisor/memo.h"

namespace davrilon {

namespace {

constexpr EnquiryTexts kOpeningTexts{"Przesylanie bloku ", "Blad wysłania znaku 5\n"};

// Fields of the download header block, by 1-based position and length.
constexpr int kSizeBeforePosition = 10;
constexpr int kSizeAfterPosition = 20;
constexpr int kSizeLength = 10;
constexpr int kPacketsToStorePosition = 30;
constexpr int kPacketsFromStorePosition = 32;
constexpr int kPacketsLength = 2;
// The name starts here and is ended by a '#' at one of the next 39
// positions; a '#' at the name's own first position is not looked for.
constexpr int kNamePosition = 34;
constexpr int kMaxNameLength = 39;
constexpr std::int32_t kNoNameEndLogged = kMaxNameLength + 1;

enum class Outcome { kAccepted, kRejected, kAbandoned };

class Download {
 public:
  explicit Download(Exchange& x) : x_(x), log_(x.s.log) {}

  // Evaluates packets until the whole file has arrived (true) or the
  // exchange is abandoned (false).
  bool Run() {
    for (;;) {
      const std::size_t packet_size =
          static_cast<std::size_t>(x_.packets_to_store) * kShortBlockSize;
      Outcome outcome = CheckPacket(packet_size);
      if (outcome == Outcome::kAccepted) {
        outcome = header_expected_ ? TakeHeader() : TakeData();
      }
      if (outcome == Outcome::kAbandoned)
        return false;
      if (outcome == Outcome::kRejected) {
        if (!AskAgain(x_, packet_size))
          return false;  // what came is deleted with the download
        continue;
      }

      x_.block_number = NextBlockNumber(x_.block_number);
      x_.SendControlByte(ACK);
      if (x_.moved_total >= x_.size_after)
        return true;
      x_.retries = 0;
      if (!x_.ReadIntoBuffer(static_cast<std::size_t>(x_.packets_to_store) * kShortBlockSize)) {
        log_.Bare("Błąd odczytu sprzedaży 1\n");
      }
    }
  }

 private:
  Outcome CheckPacket(std::size_t packet_size) {
    if (x_.byte_count < packet_size) {
      log_.Line("Za mało znaków: ", x_.byte_count);
      return Outcome::kRejected;
    }
    // A block is checked where it lies in the transfer buffer: one whose
    // header byte calls it long is summed over 1024 bytes from there, as far as
    // the buffer reaches.
    const std::span<const std::uint8_t> packet = x_.buffer;
    for (int i = 1; i <= x_.packets_to_store; ++i) {
      const std::size_t offset = static_cast<std::size_t>(i - 1) * kShortBlockSize;
      if (!VerifyBlock(log_, x_.block_number, packet.subspan(offset))) {
        log_.Line("To nie jest poprawny blok (petla ) ", static_cast<std::int32_t>(i));
        return Outcome::kRejected;
      }
    }
    return Outcome::kAccepted;
  }

  // A field of the header block: logged as it stands, read as a number.
  std::int32_t HeaderNumber(std::span<const std::uint8_t> block, int position, int length) {
    x_.field = CopyField(block, position, length);
    log_.Line(Raw{AsText(x_.field)});
    return ReadDecimal(AsText(x_.field));
  }

  Outcome TakeHeader() {
    const std::span<const std::uint8_t> block = x_.Received().first(kShortBlockSize);
    x_.size_before = HeaderNumber(block, kSizeBeforePosition, kSizeLength);
    x_.size_after = HeaderNumber(block, kSizeAfterPosition, kSizeLength);
    const std::int32_t packets_to_store =
        HeaderNumber(block, kPacketsToStorePosition, kPacketsLength);
    x_.packets_from_store = HeaderNumber(block, kPacketsFromStorePosition, kPacketsLength);

    if (x_.size_after > 0) {
      bool found = false;
      for (int length = 1; length <= kMaxNameLength && !found; ++length) {
        if (block[static_cast<std::size_t>(kNamePosition + length - 1)] == kFieldEnd) {
          x_.field = CopyField(block, kNamePosition, length);
          log_.Line("Ilość znaków nazwy ", static_cast<std::int32_t>(length));
          found = true;
        }
      }
      if (!found) {
        x_.size_after = 0;
        log_.Line("Nie ma chr(35) ", kNoNameEndLogged);
      }
    }

    log_.Line("WielkoscPrzedSpakowaniem ", x_.size_before);
    log_.Line("WielkoscPoSpakowaniu ", x_.size_after);
    log_.Line("IlePaczekNaSklep ", packets_to_store);
    log_.Line("IlePaczekZeSklepu ", x_.packets_from_store);
    log_.Line("NazwPliku ", Raw{AsText(x_.field)});

    if (x_.size_after > 0) {
      // The data packets are read into the transfer buffer whole.
      if (packets_to_store < 1 || packets_to_store > kMaxShortBlocksPerPacket) {
        log_.Line("Niepoprawna liczba bloków w paczce ", packets_to_store);
        return Outcome::kRejected;
      }
      if (!CreateReceivedFile(AsText(x_.field))) {
        log_.Line("Nie stworzono pliku");
        return Outcome::kAbandoned;
      }
    }
    x_.packets_to_store = packets_to_store;
    header_expected_ = false;
    return Outcome::kAccepted;
  }

  // The file is received beside its real name and takes that name only when
  // all of it has arrived, so a broken download never replaces the store's
  // previous copy and leaves nothing behind. A name that would lead out of the
  // store, one of the station's own files and a name that a directory holds
  // are refused before anything is written. The companion programs' file
  // system drops blanks and dots at the end of a name, so the file takes it
  // without them.
  bool CreateReceivedFile(std::string_view given) {
    std::string name = DropTrailingBlanksAndDots(given);
    if (!IsNameInsideStore(name))
      return false;
    file_ = x_.s.files.CreateNew(name, Durability::kPowerCutSafe);
    if (!file_)
      return false;
    x_.received_name = std::move(name);
    x_.received_inf_name = MakeInfName(x_.received_name);
    return true;
  }

  Outcome TakeData() {
    const std::span<const std::uint8_t> packet = x_.Received();
    bool written = true;
    for (int i = 1; i <= x_.packets_to_store; ++i) {
      if (block_data_length_ + x_.moved_total > x_.size_after) {
        block_data_length_ = x_.size_after - x_.moved_total;
      }
      const std::size_t offset = static_cast<std::size_t>(i - 1) * kShortBlockSize + kDataOffset;
      const auto length = static_cast<std::size_t>(block_data_length_);
      written = written && file_->Write(std::string_view(
                               reinterpret_cast<const char*>(packet.data() + offset), length));
      x_.moved_total += block_data_length_;
      ShowProgress();
      if (x_.moved_total >= x_.size_after) {
        log_.Line("Koniec przesyłu");
        break;
      }
    }
    log_.Line("Odczytany blok ", static_cast<std::int32_t>(x_.block_number), " , Odebrano bajtów ",
              static_cast<std::int32_t>(x_.moved_total));

    // A packet is acknowledged only once its data are safely in the file.
    written = written && file_->Flush();
    // Power-cut safe: the file is on the disk before it takes its name.
    if (written && x_.moved_total >= x_.size_after)
      written = file_->Commit();
    if (!written) {
      log_.Line("Błąd zapisu pliku ", Raw{x_.received_name});
      return Outcome::kAbandoned;
    }
    return Outcome::kAccepted;
  }

  void ShowProgress() {
    const std::string text =
        "Z CENTRUM " + std::to_string(Percentage(x_.moved_total, x_.size_after)) + " %";
    WriteMemo(x_.s.files, log_, kProgressMemoFile, text);
    x_.s.console.PutCursor(kProgressColumn, kProgressRow);
    x_.s.console.WriteAtCursor(text);
  }

  Exchange& x_;
  EventLog& log_;
  bool header_expected_ = true;
  std::int64_t block_data_length_ = kShortDataSize;
  std::unique_ptr<NewFile> file_;  // deletes what came unless committed
};

}  // namespace

bool OpenAndDownload(Exchange& x) {
  Station& s = x.s;
  s.console.SetTextColour(kYellow);
  s.console.SetBackgroundColour(kBlue);
  Pause(s.clock, kOpeningPause);
  s.log.Bare("Czyszczenie buforów\n");
  if (x.port.PurgeReceive()) {
    s.log.Bare("Czyszczenie buforów  OK\n");
  } else {
    s.log.Bare("Błąd czyszczenia\n");
  }
  SendEnquiry(x, kOpeningTexts);
  return Download(x).Run();
}

}  // namespace davrilon
