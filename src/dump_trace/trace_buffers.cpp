#include <algorithm>
#include <memory>
#include <new>
#include <span>

#include "dump_trace/dump_trace.h"

namespace ringlens {

namespace {

constexpr size_t PIECE_SIZE = 64 * 1024;
constexpr uint32_t FIRST_WRITTEN_BUFFER = 4;

// Hands on the text of the buffer at `offset`: the bytes the file holds
// within its textLength field, up to the first NUL, read a piece at a
// time so that no storage is sized by the field.
bool handOnBuffer(ByteSource& file, uint32_t number, uint64_t offset, std::span<uint8_t> piece,
                  RecordConsumer& consumer) {
  TraceBufferText buffer;
  buffer.number = number;
  buffer.offset = offset;
  uint8_t headBytes[TRACE_BUFFER_HEADER_SIZE];
  size_t got = file.readAt(offset, headBytes);
  auto head = decodeTraceBufferHeader(ByteView(headBytes, got));
  // A textLength field cut short by the end of the file: an empty text.
  uint64_t remaining = head ? head->textLength : 0;
  uint64_t position = offset + BUFFER_TEXT_OFFSET;
  bool first = true;
  for (;;) {
    size_t ask = static_cast<size_t>(std::min<uint64_t>(remaining, piece.size()));
    size_t read = ask == 0 ? 0 : file.readAt(position, piece.first(ask));
    std::string_view text = ByteView(piece.data(), read).text();
    remaining -= read;
    position += read;
    // The text goes on past this piece unless the NUL, the end of the file
    // or the end of the field has been met.
    const bool ended = read < ask || text.size() < read || remaining == 0;
    if (first) {
      buffer.text = text;
      buffer.textContinues = !ended;
      if (!consumer.buffer(buffer)) return false;
      first = false;
    } else if (!consumer.moreText(text)) {
      return false;
    }
    if (ended) break;
  }
  return !buffer.textContinues || consumer.recordDone();
}

}  // namespace

bool printTraceBuffers(ByteSource& file, const BlockLocations& locations, RecordConsumer& consumer) {
  std::unique_ptr<uint8_t[]> storage;
  uint8_t small[512];  // when no storage for a larger piece can be had
  std::span<uint8_t> piece;
  for (uint32_t number = FIRST_WRITTEN_BUFFER; number < TRACE_BUFFER_COUNT; ++number) {
    uint64_t offset = locations.traceBuffer[number];
    if (offset == 0) continue;
    if (piece.empty()) {
      storage.reset(new (std::nothrow) uint8_t[PIECE_SIZE]);
      piece = storage ? std::span<uint8_t>(storage.get(), PIECE_SIZE) : std::span<uint8_t>(small);
    }
    if (!handOnBuffer(file, number, offset, piece, consumer)) return false;
  }
  return true;
}

}  // namespace ringlens
