// The exchange block, the packet and the transfer buffer, with the small text
// operations that take blocks and file names apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "supervisor/event_log.h"

namespace davrilon {

// One block on the line: header byte, block number, its complement, the data
// and the 8-bit sum of the data. Nothing is escaped and nothing else frames it.
inline constexpr std::size_t kHeaderByteOffset = 0;
inline constexpr std::size_t kNumberOffset = 1;
inline constexpr std::size_t kComplementOffset = 2;
inline constexpr std::size_t kDataOffset = 3;
inline constexpr std::size_t kShortDataSize = 128;
inline constexpr std::size_t kLongDataSize = 1024;
inline constexpr std::size_t kShortBlockSize = kDataOffset + kShortDataSize + 1;  // 132
inline constexpr std::size_t kLongBlockSize = kDataOffset + kLongDataSize + 1;    // 1028

inline constexpr std::uint8_t kShortHeaderByte = 1;
inline constexpr std::uint8_t kLongHeaderByte = 2;

// The highest block number; after it comes 1, never 0.
inline constexpr int kLastBlockNumber = 255;

// Control bytes, each written alone.
inline constexpr std::uint8_t ENQ = 5;
inline constexpr std::uint8_t ACK = 6;
inline constexpr std::uint8_t NAK = 21;
inline constexpr std::uint8_t kFirstProgressCode = 11;
inline constexpr std::uint8_t kLastProgressCode = 14;

// Every block is received or built in the transfer buffer, from position 0.
inline constexpr std::size_t kTransferBufferSize = 2200;
inline constexpr std::size_t kClearedPrefixSize = 2100;  // what ClearTransferBuffer zeroes
using TransferBuffer = std::array<std::uint8_t, kTransferBufferSize>;

// A packet has to fit into the transfer buffer.
inline constexpr int kMaxShortBlocksPerPacket = 16;  // 2112 bytes
inline constexpr int kMaxLongBlocksPerPacket = 2;    // 2056 bytes
static_assert(kMaxShortBlocksPerPacket * kShortBlockSize <= kTransferBufferSize);
static_assert(kMaxLongBlocksPerPacket * kLongBlockSize <= kTransferBufferSize);

enum class BlockKind { kShort, kLong };

constexpr std::size_t DataSize(BlockKind kind) {
  return kind == BlockKind::kShort ? kShortDataSize : kLongDataSize;
}
constexpr std::size_t BlockSize(BlockKind kind) {
  return kind == BlockKind::kShort ? kShortBlockSize : kLongBlockSize;
}

// The number after `number`: 255 is followed by 1.
constexpr int NextBlockNumber(int number) {
  return number >= kLastBlockNumber ? 1 : number + 1;
}

// The 8-bit sum of the data bytes, each taken as 0 to 255.
std::uint8_t DataSum(std::span<const std::uint8_t> data);

// Frames the block that starts at `block`, its data already in place: header
// byte, the low 8 bits of `number` and of 255 - `number`, and the sum after
// the data. Throws std::out_of_range when the block does not fit into `block`.
void BuildBlock(BlockKind kind, int number, std::span<std::uint8_t> block);

// Checks a received block against the number the caller expects: its number,
// its complement and its sum, in that order; the first failure is logged and
// the block is rejected. The header byte 1 means 128 data bytes, any other
// value 1024. `block` runs from the block's start to the end of the transfer
// buffer, whatever the last read brought: a header byte that calls for more
// bytes than that (a long block from the tenth short one of a packet on) is
// rejected too, so nothing outside the buffer is ever read.
bool VerifyBlock(EventLog& log, int expected, std::span<const std::uint8_t> block);

// Sets the first 2100 bytes of the transfer buffer to 0; the rest is left.
void ClearTransferBuffer(TransferBuffer& buffer);

// The `count` bytes of `source` from the 1-based `position` on, exactly as
// they are (a 0 byte included); empty for a count of 0 or less. Throws
// std::out_of_range when the field does not lie inside `source`.
std::string CopyField(std::span<const std::uint8_t> source, int position, int count);

// A field's bytes as a text: up to its first 0 byte.
std::string_view AsText(std::string_view field);

// The INF name of a file name: the name up to and including its first '.',
// then "INF" (ABC.PC gives ABC.INF, X.Y.Z gives X.INF); a name without a '.'
// is its own INF name.
std::string MakeInfName(std::string_view name);

// The text up to its first blank.
std::string CutAtBlank(std::string_view text);

// The text padded with blanks, or cut, to exactly `width` characters.
std::string PadToWidth(std::string_view text, std::size_t width);

// A decimal number as the centre and the companion programs write it: leading
// white space, an optional sign, the digits up to the first other character.
// No digits read as 0; a value beyond 32 bits is held at the nearest limit.
std::int32_t ReadDecimal(std::string_view text);

}  // namespace davrilon
