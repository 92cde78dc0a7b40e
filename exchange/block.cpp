#include "exchange/block.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace davrilon {

std::uint8_t DataSum(std::span<const std::uint8_t> data) {
  unsigned sum = 0;
  for (std::uint8_t byte : data)
    sum += byte;
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

void BuildBlock(BlockKind kind, int number, std::span<std::uint8_t> block) {
  const std::size_t data_size = DataSize(kind);
  if (block.size() < BlockSize(kind))
    throw std::out_of_range("BuildBlock: block past its buffer");
  const std::uint8_t sum = DataSum(block.subspan(kDataOffset, data_size));
  block[kHeaderByteOffset] = kind == BlockKind::kShort ? kShortHeaderByte : kLongHeaderByte;
  block[kDataOffset + data_size] = sum;
  block[kNumberOffset] = static_cast<std::uint8_t>(number & 0xFF);
  block[kComplementOffset] = static_cast<std::uint8_t>((kLastBlockNumber - number) & 0xFF);
}

bool VerifyBlock(EventLog& log, int expected, std::span<const std::uint8_t> block) {
  if (block.size() < kDataOffset)
    throw std::out_of_range("VerifyBlock: no block to verify");

  const std::uint8_t number = block[kNumberOffset];
  if (number != expected) {
    log.Line("Zły numer bloku ", static_cast<std::int32_t>(expected), " ", RawByte{number});
    return false;
  }
  if (block[kComplementOffset] != kLastBlockNumber - expected) {
    log.Bare("Zły drugi numer bloku\n");
    return false;
  }
  const std::uint8_t header = block[kHeaderByteOffset];
  const BlockKind kind = header == kShortHeaderByte ? BlockKind::kShort : BlockKind::kLong;
  if (block.size() < BlockSize(kind)) {
    // A long block announced inside a packet of short ones: its sum would lie
    // beyond what came from the line.
    log.Line("Blok wychodzi poza odebrane dane, bajt nagłówka ", static_cast<std::int32_t>(header));
    return false;
  }
  const std::size_t data_size = DataSize(kind);
  const std::uint8_t computed = DataSum(block.subspan(kDataOffset, data_size));
  const std::uint8_t received = block[kDataOffset + data_size];
  if (computed != received) {
    log.Line("Błędna suma kontrolna ", static_cast<std::int32_t>(computed), " ", RawByte{received});
    return false;
  }
  return true;
}

void ClearTransferBuffer(TransferBuffer& buffer) {
  std::fill_n(buffer.begin(), kClearedPrefixSize, std::uint8_t{0});
}

std::string CopyField(std::span<const std::uint8_t> source, int position, int count) {
  if (count <= 0)
    return {};
  if (position < 1 ||
      static_cast<std::size_t>(position - 1) + static_cast<std::size_t>(count) > source.size()) {
    throw std::out_of_range("CopyField: field outside its source");
  }
  auto first = source.begin() + (position - 1);
  return std::string(first, first + count);
}

std::string_view AsText(std::string_view field) {
  return field.substr(0, field.find('\0'));
}

std::string MakeInfName(std::string_view name) {
  static constexpr std::string_view kInfExtension = "INF";
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos)
    return std::string(name);
  return std::string(name.substr(0, dot + 1)) + std::string(kInfExtension);
}

std::string CutAtBlank(std::string_view text) {
  return std::string(text.substr(0, text.find(' ')));
}

std::string PadToWidth(std::string_view text, std::size_t width) {
  std::string padded(text.substr(0, width));
  padded.resize(width, ' ');
  return padded;
}

std::int32_t ReadDecimal(std::string_view text) {
  auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';

  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), -kMin);
  }
  if (negative)
    value = -value;
  return static_cast<std::int32_t>(std::clamp(value, kMin, kMax));
}

}  // namespace davrilon
