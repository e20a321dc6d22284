#include <algorithm>
#include <vector>

#include "dump_trace/dump_trace.h"

namespace ringlens {

namespace {

constexpr size_t PIECE_SIZE = 64 * 1024;
constexpr uint32_t FIRST_WRITTEN_BUFFER = 4;

// Writes the text of the buffer at `offset`: the bytes the file holds
// within its textLength field, up to the first NUL, read a piece at a
// time so that no storage is sized by the field.
void writeBufferText(ByteSource& file, uint64_t offset, std::vector<uint8_t>& piece, TraceOutput& out) {
  uint8_t field[4];
  size_t got = file.readAt(offset + BUFFER_TEXT_LENGTH_OFFSET, field);
  auto textLength = ByteView(field, got).u32(0);
  if (!textLength) return;  // the length field is cut short: an empty text
  uint64_t position = offset + BUFFER_TEXT_OFFSET;
  uint64_t remaining = *textLength;
  while (remaining > 0) {
    size_t ask = static_cast<size_t>(std::min<uint64_t>(remaining, piece.size()));
    size_t read = file.readAt(position, {piece.data(), ask});
    std::string_view text = ByteView(piece.data(), read).text();
    out.writeText(text);
    if (read < ask || text.size() < read) return;  // end of the file, or the NUL
    position += read;
    remaining -= read;
  }
}

}  // namespace

void printTraceBuffers(ByteSource& file, const BlockLocations& locations, TraceOutput& out) {
  std::vector<uint8_t> piece;
  for (uint32_t number = FIRST_WRITTEN_BUFFER; number < TRACE_BUFFER_COUNT; ++number) {
    uint64_t offset = locations.traceBuffer[number];
    if (offset == 0) continue;
    if (piece.empty()) piece.resize(PIECE_SIZE);
    char digits[NUMBER_TEXT_SIZE];
    out.writeText(TRACE_BUFFER_PREFIX);
    out.writeText({digits, formatNumber(static_cast<int32_t>(number), digits)});
    out.writeText(": ");
    writeBufferText(file, offset, piece, out);
  }
}

}  // namespace ringlens
