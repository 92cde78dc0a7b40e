// The progress relay while the companion program prepares the store's file,
// and the preparation of the upload.
#include <algorithm>
#include <cstdio>
#include <limits>

#include "exchange/exchange_state.h"

namespace davrilon {

namespace {

// The relay counter before the first code: the first code chosen by it is 11.
constexpr int kRelayCounterStart = kFirstProgressCode - 1;
// Only so much of a progress file and of an upload INF file is read.
constexpr std::size_t kProgressChars = 2;
constexpr std::size_t kInfChars = 9;

std::uint8_t ProgressCode(std::int32_t value, int counter) {
  if (value >= kFirstProgressCode && value <= kLastProgressCode) {
    return static_cast<std::uint8_t>(value);
  }
  return static_cast<std::uint8_t>(std::min(counter + 1, int{kLastProgressCode}));
}

}  // namespace

void RunProgressRelay(Exchange& x) {
  Station& s = x.s;
  const std::time_t start = s.clock.Now();
  int counter = kRelayCounterStart;
  // The companion program's files wake the relay; without a watch it only
  // gives up its time slice between two looks.
  FileWatch* watch = s.watch;
  if (watch != nullptr)
    watch->Watch(s.files.Resolve(kDetailDirectory));

  for (;;) {
    // A file that the companion program still holds open for writing is
    // left for a later look (its closing wakes the relay), so that a value
    // written in several writes is read whole.
    if (std::optional<std::string> text = s.files.TakeWhenClosed(kProgressFile, kProgressChars)) {
      s.log.Line("Odczytany PlikPostepu ", Raw{AsText(*text)});
      const std::int32_t value = ReadDecimal(AsText(*text));
      s.log.Line(value);
      const std::uint8_t code = ProgressCode(value, counter);
      counter = code;
      x.SendControlByte(code);
    }
    if (s.files.TakeWhenClosed(kReadyFile, 0))
      break;
    // A stop signal ends the wait; the exchange is then abandoned.
    if (s.StopRequested())
      break;
    if (s.clock.Now() - start >= kRelayLimit.count()) {
      s.log.Line("Przekroczony czs oczekiwania");
      x.upload_name.clear();
      break;
    }
    if (watch != nullptr) {
      watch->Wait(kRelayWakeUp);
    } else {
      s.clock.PauseSeconds(0);
    }
  }
  if (watch != nullptr)
    watch->Stop();
}

void PrepareUpload(Exchange& x) {
  Station& s = x.s;
  EventLog& log = s.log;
  x.size_before = 0;
  x.size_after = 0;
  x.moved_total = 0;

  if (x.upload_due) {
    x.SendControlByte(kLastProgressCode);
    log.Line("Wysłany dodatkowy kod 14, przesłano ", x.byte_count);
  }

  if (x.upload_due) {
    std::optional<std::string> text;
    if (IsNameInsideStore(x.upload_inf_name)) {
      text = s.files.ReadFirstLine(x.upload_inf_name, kInfChars);
    }
    if (!text) {
      log.Line("Brak pliku INF");
    } else {
      x.field = *text;
      x.size_before = ReadDecimal(AsText(x.field));
      log.Line("Wielkość przed spakowaniem ", x.size_before);
    }
  }

  if (x.upload_due) {
    // A name that leads out of the store is treated as a file that is not there.
    if (IsNameInsideStore(x.upload_name))
      x.upload_file = s.files.OpenForReading(x.upload_name);
    if (!x.upload_file) {
      log.Line("Nie otwarto pliku wysyłki");
      x.upload_due = false;
    }
  }

  if (x.upload_due) {
    std::FILE* file = x.upload_file.get();
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
      length = std::ftell(file);
    // The sizes travel as 32-bit numbers: a longer file cannot be told either.
    if (length < 0 || length > std::numeric_limits<std::int32_t>::max() ||
        std::fseek(file, 0, SEEK_SET) != 0) {
      x.upload_due = false;
      x.upload_file.reset();
    } else {
      x.size_after = static_cast<std::int32_t>(length);
    }
  }

  if (x.upload_due && x.size_before == 0)
    x.size_before = x.size_after;
  log.Line("Wielkość przed ", x.size_before);
  log.Line("Wielkość po    ", x.size_after);
}

}  // namespace davrilon
