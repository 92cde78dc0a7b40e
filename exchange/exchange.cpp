#include "exchange/exchange.h"

#include <algorithm>
#include <stdexcept>

#include "exchange/exchange_state.h"

namespace davrilon {

bool Exchange::SendControlByte(std::uint8_t byte) {
  buffer[0] = byte;
  return port.Write(std::span<const std::uint8_t>(buffer.data(), 1), byte_count);
}

bool Exchange::ReadIntoBuffer(std::size_t count) {
  if (count > buffer.size())
    throw std::out_of_range("a packet larger than the transfer buffer");
  return port.Read(std::span<std::uint8_t>(buffer.data(), count), byte_count);
}

std::span<const std::uint8_t> Exchange::Received() const {
  return std::span<const std::uint8_t>(buffer.data(),
                                       std::min<std::size_t>(byte_count, buffer.size()));
}

std::int32_t Percentage(std::int64_t part, std::int32_t whole) {
  if (whole == 0)
    return static_cast<std::int32_t>(kPercent);
  return static_cast<std::int32_t>(static_cast<double>(part) / static_cast<double>(whole) *
                                   kPercent);
}

void SendEnquiry(Exchange& x, const EnquiryTexts& texts) {
  EventLog& log = x.s.log;
  x.block_number = 1;
  for (int attempt = 1; attempt <= kEnquiryAttempts; ++attempt) {
    const bool last = attempt == kEnquiryAttempts;
    log.Line(texts.attempt, static_cast<std::int32_t>(attempt));
    if (!x.SendControlByte(ENQ) && !last) {
      log.Bare(texts.write_failed);
      continue;
    }
    log.Line("Przesłanych znakow ", x.byte_count);
    log.Bare("Start odczytu danych\n");
    const bool read = x.ReadIntoBuffer(kShortBlockSize);
    log.Bare("Dane odczytane\n");
    if (!read && !last) {
      log.Bare("Błąd odczytu danych\n");
      continue;
    }
    if (x.byte_count > 0)
      break;
  }
  // After the fifth attempt whatever the last read brought is evaluated; an
  // empty read is rejected there and asked for again with NAK.
}

bool AskAgain(Exchange& x, std::size_t packet_size) {
  EventLog& log = x.s.log;
  if (++x.retries > kMaxNaks) {
    log.Bare("ZA DUZE PRZKLAMANIA !!!");
    return false;
  }
  if (x.s.StopRequested())
    return false;  // a station that is being stopped asks for nothing more
  ClearTransferBuffer(x.buffer);
  log.Line("Przesylam NACK");
  Pause(x.s.clock, kNakPause);
  x.port.PurgeReceive();
  x.SendControlByte(NAK);
  if (!x.ReadIntoBuffer(packet_size))
    log.Bare("Błąd odczytu sprzedaży 2\n");
  return true;
}

int RunExchange(Station& station, SerialPort& port) {
  Exchange x(station, port);
  if (!OpenAndDownload(x))
    return 0;
  if (!ReadRequest(x))
    return 0;
  HandOff(x);
  // The hand-off may have waited long for the companion program; a stop
  // signal that came meanwhile ends the exchange without the upload.
  if (station.StopRequested())
    return 0;
  PrepareUpload(x);
  UploadAndEnd(x);
  return 1;
}

}  // namespace davrilon
