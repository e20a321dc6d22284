#include "dump_trace/stream_capture.h"

#include <algorithm>
#include <cstring>

#include "dump_trace/dump_trace.h"

namespace ringlens {

void StreamCapture::occurrence(const SignatureOccurrence& found) {
  size_t slot = 0;
  Capture capture;
  capture.block.offset = found.offset;
  switch (found.signature) {
    case Signature::MEMORY_TRACE:
      locations_.memoryTrace = found.offset;
      slot = MEMORY;
      capture.lengthFieldOffset = BLOCK_SIZE_OFFSET;
      break;
    case Signature::TRACE_INDEX:
      locations_.traceIndex = found.offset;
      slot = INDEX;
      capture.lengthFieldOffset = BLOCK_LENGTH_OFFSET;
      break;
    case Signature::TRACE_METHOD:
      locations_.traceMethod = found.offset;
      slot = METHOD;
      capture.lengthFieldOffset = BLOCK_LENGTH_OFFSET;
      break;
    case Signature::TRACE_BUFFER:
      if (found.bufferNumber >= TRACE_BUFFER_COUNT) return;
      locations_.traceBuffer[found.bufferNumber] = found.offset;
      // Buffers below 4 are never written: nothing of them is kept.
      if (found.bufferNumber < FIRST_WRITTEN_BUFFER) return;
      slot = FIRST_BUFFER + found.bufferNumber - FIRST_WRITTEN_BUFFER;
      capture.lengthFieldOffset = BUFFER_TEXT_LENGTH_OFFSET;
      capture.isBuffer = true;
      break;
  }
  // Until the length field has arrived, the block is kept up to its end.
  capture.block.bytes = GrowingBlock(capture.lengthFieldOffset + 4);
  // The earlier copy goes before the later one starts.
  slots_[slot].reset();
  slots_[slot].emplace(std::move(capture));
}

void StreamCapture::bytes(uint64_t offset, std::string_view data) {
  ByteView view(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  for (std::optional<Capture>& capture : slots_) {
    if (capture && !capture->done) take(*capture, offset, view);
  }
  end_ = std::max(end_, offset + data.size());
}

void StreamCapture::take(Capture& capture, uint64_t offset, ByteView data) {
  GrowingBlock& bytes = capture.block.bytes;
  const uint64_t next = capture.block.offset + bytes.size();  // the block's next byte
  if (next >= offset + data.size()) return;                    // not there yet
  if (next < offset) {  // bytes went past unseen: the copy ends here
    capture.done = true;
    return;
  }
  ByteView arriving = data.slice(next - offset);
  while (!arriving.empty() && !capture.done) {
    size_t taken = bytes.append(arriving);
    arriving = arriving.slice(taken);
    if (!capture.lengthKnown && bytes.size() >= capture.lengthFieldOffset + 4) {
      capture.lengthKnown = true;
      Cursor field(bytes.view(), capture.lengthFieldOffset);
      uint64_t length = field.u32();
      // A block shorter than its header is still kept up to its length
      // field, which the stage reads before the block.
      uint64_t fieldEnd = capture.lengthFieldOffset + 4;
      bytes.setLimit(capture.isBuffer ? BUFFER_TEXT_OFFSET + length : std::max(length, fieldEnd));
    }
    if (capture.isBuffer && bytes.size() > BUFFER_TEXT_OFFSET) {
      // The text ends at its first NUL; nothing after it is written.
      ByteView fresh = bytes.view().slice(std::max<uint64_t>(BUFFER_TEXT_OFFSET, bytes.size() - taken));
      if (const void* nul = std::memchr(fresh.data(), 0, fresh.size())) {
        bytes.truncate(static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes.view().data()));
        capture.done = true;
      }
    }
    if (bytes.full() || taken == 0) capture.done = true;
  }
}

uint64_t StreamCapture::heldBytes() const {
  uint64_t held = 0;
  for (const std::optional<Capture>& capture : slots_) {
    if (capture) held += capture->block.bytes.size();
  }
  return held;
}

std::vector<CapturedBlock> StreamCapture::release() {
  std::vector<CapturedBlock> blocks;
  for (std::optional<Capture>& capture : slots_) {
    if (capture) blocks.push_back(std::move(capture->block));
    capture.reset();
  }
  return blocks;
}

size_t CapturedSource::readAt(uint64_t offset, std::span<uint8_t> dst) {
  size_t done = 0;
  while (done < dst.size()) {
    // Of the copies that hold the byte, the one reaching furthest.
    ByteView from;
    for (const CapturedBlock& block : blocks_) {
      uint64_t at = offset + done;
      if (at < block.offset) continue;
      ByteView part = block.bytes.view().slice(at - block.offset);
      if (part.size() > from.size()) from = part;
    }
    if (from.empty()) break;
    size_t n = std::min(from.size(), dst.size() - done);
    std::memcpy(dst.data() + done, from.data(), n);
    done += n;
  }
  return done;
}

std::optional<BlockCopy> CapturedSource::takeBlock(uint64_t offset, uint64_t length) {
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if (it->offset != offset) continue;
    GrowingBlock bytes = std::move(it->bytes);
    blocks_.erase(it);
    if (length < bytes.size()) bytes.truncate(static_cast<size_t>(length));
    return bytes.release();
  }
  return std::nullopt;
}

int formatStreamDump(ByteSource& stream, TraceOutput& out) {
  StreamCapture capture;
  scanDump(stream, capture);
  stream.close();
  CapturedSource captured(capture.release(), capture.end());
  return formatDumpStages(captured, capture.locations(), out);
}

}  // namespace ringlens
