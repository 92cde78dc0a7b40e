// The second enquiry, the centre's request block and the local hand-off to
// the companion programs.
#include "companion/companion.h"
#include "exchange/exchange_state.h"

namespace davrilon {

namespace {

constexpr EnquiryTexts kRequestTexts{"Przesyłanie bloku ", "Błąd wysłania znaku 5\n"};

// Fields of the request block, by 1-based position and length.
constexpr int kUploadNamePosition = 10;
constexpr int kUploadNameLength = 20;
// The parameter text starts here and is ended by a '#' at one of the next 54
// positions; a '#' at the text's own first position belongs to the text.
constexpr int kPrezesParameterPosition = 30;
constexpr int kParameterPosition = 60;
constexpr int kMaxParameterLength = 54;
constexpr std::int32_t kNoParameterEndLogged = kMaxParameterLength + 1;
// The request's own acknowledgement is logged with this tag.
constexpr std::int32_t kRequestBlockInLoop = 1;
// The companion programs act on the hand-off files as soon as they see them,
// and the store's PC may be switched off at any moment: each is written whole
// and on the disk, or not at all.
constexpr Durability kHandOff = Durability::kPowerCutSafe;

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

bool ReadRequest(Exchange& x) {
  EventLog& log = x.s.log;
  SendEnquiry(x, kRequestTexts);
  x.upload_due = true;
  x.retries = 0;
  x.hand_off_due = true;
  x.upload_name.clear();
  x.upload_inf_name.clear();
  x.inf_written = false;

  for (;;) {
    bool bad = false;
    if (x.byte_count < kShortBlockSize) {
      log.Line("Za mało znakow:  ", x.byte_count);
      bad = true;
    } else if (!VerifyBlock(log, x.block_number, x.buffer)) {
      log.Line("To nie jest poprawny blok (petla ) ", kRequestBlockInLoop);
      bad = true;
    }
    if (!bad)
      break;
    if (!AskAgain(x, kShortBlockSize))
      return false;
  }

  const std::span<const std::uint8_t> block = x.Received().first(kShortBlockSize);
  x.upload_name = CutAtBlank(AsText(CopyField(block, kUploadNamePosition, kUploadNameLength)));
  x.upload_inf_name = MakeInfName(x.upload_name);
  log.Line("PLIK WYSYŁKI (", Raw{x.upload_name}, ")");
  log.Line("PLIK INF     (", Raw{x.upload_inf_name}, ")");
  if (Contains(x.upload_name, kPrezesMark)) {
    log.Line("Żądanie danych do Prezesa");
    x.prezes = true;
  }

  const int position = x.prezes ? kPrezesParameterPosition : kParameterPosition;
  bool found = false;
  for (int length = 1; length <= kMaxParameterLength && !found; ++length) {
    if (block[static_cast<std::size_t>(position + length - 1)] == kFieldEnd) {
      x.field = CopyField(block, position, length);
      log.Line("Ilość znaków nazwy ", static_cast<std::int32_t>(length));
      found = true;
    }
  }
  if (!found) {
    x.field.clear();
    log.Line("Nie ma chr(35) ", kNoParameterEndLogged);
  }
  log.Line("Parametry ", Raw{AsText(x.field)});

  x.block_number = NextBlockNumber(x.block_number);
  x.SendControlByte(ACK);
  log.Line("Odczyany blok START2", static_cast<std::int32_t>(x.block_number));

  if (x.upload_name.empty()) {
    x.upload_due = false;
    x.hand_off_due = false;
  }
  return true;
}

void HandOff(Exchange& x) {
  Station& s = x.s;
  EventLog& log = s.log;
  const std::string parameters(AsText(x.field));

  if (!x.upload_due) {
    log.Line("'Sprawdzam plik INF :", Raw{x.received_inf_name});
    if (Contains(x.received_inf_name, kToStoreMark)) {
      log.Line("Zapisuje plik wysylki INF");
      const std::string content = parameters.empty() ? std::string(" ") : parameters;
      Written written = Written::kNotCreated;
      if (IsNameInsideStore(x.received_inf_name)) {
        written = s.files.WriteWhole(x.received_inf_name, content, kHandOff);
      }
      if (written == Written::kNotCreated) {
        log.Line("Nie stworzono pliku INF");
      } else if (written == Written::kWriteFailed) {
        log.Line("Błąd zapisu pliku ", Raw{x.received_inf_name});
      } else {
        log.Line("zapisano plik INF:", Raw{parameters});
        x.inf_written = true;
      }
    }
  }

  if (x.upload_due) {
    log.Line("Sprawdzenie transmisji do PREZESA");
    log.Line(Raw{parameters});
    if (x.prezes) {
      log.Line("Zapisuje plik ILE_DNI.PC");
      const Written written = s.files.WriteWhole(kPrezesDaysFile, parameters, kHandOff);
      if (written == Written::kNotCreated) {
        log.Line("Nie stworzono pliku ILE_DNI.PC");
      } else if (written == Written::kWriteFailed) {
        log.Line("Błąd zapisu pliku ", kPrezesDaysFile);
      } else {
        log.Line("Zapisano plik ILE_DNI.PC :", Raw{parameters});
      }
      x.hand_off_due = false;
      companion::Run(s.runner, s.log, companion::kPrezes);
    }
  }

  if (x.hand_off_due) {
    const Written written =
        s.files.WriteWhole(kStartFile, parameters + std::string(kTextLineEnd), kHandOff);
    if (written == Written::kNotCreated) {
      log.Line("Nie stworzono pliku do davrilona");
      x.upload_name.clear();
      return;
    }
    log.Line(Raw{parameters});
    if (written == Written::kWriteFailed)
      log.Line("Błąd zapisu pliku ", kStartFile);
    s.files.Remove(kProgressFile);
    s.files.Remove(kReadyFile);
    companion::Run(s.runner, s.log, companion::kUploadLaunch);
    s.console.SetTitle(kWindowTitle);
    RunProgressRelay(x);
  }
}

}  // namespace davrilon
