#include "dump_trace/stream_capture.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "dump_trace/dump_trace.h"

namespace ringlens {

void StreamCapture::occurrence(const SignatureOccurrence& found) {
  size_t slot = 0;
  Capture capture;
  capture.block.offset = found.offset;
  switch (found.signature) {
    case Signature::MEMORY_TRACE: {
      locations_.memoryTrace = found.offset;
      capture.lengthFieldOffset = BLOCK_SIZE_OFFSET;
      capture.block.bytes = GrowingBlock(capture.lengthFieldOffset + 4);
      MemoryCapture memory{std::move(capture), Liveness::NOT_LIVE, 0};
      // Only an occurrence inside a mapped range can be live.
      if (map_) {
        if (std::optional<uint64_t> address = map_->addressOf(found.offset)) {
          memory.liveness = Liveness::PENDING;
          memory.address = *address;
        }
      }
      try {
        memory_.push_back(std::move(memory));
      } catch (const std::bad_alloc&) {
        // No room to keep it: the block is not copied.
      }
      dropUnused();
      return;
    }
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
  if (!memory_.empty()) {
    // A copy still to be decided takes only the bytes up to its
    // selfAddress first: of many candidates in one piece most are dropped
    // before they hold more.
    bool decided = false;
    for (MemoryCapture& memory : memory_) {
      if (memory.liveness != Liveness::PENDING) continue;
      const uint64_t fieldEnd = memory.capture.block.offset + SELF_ADDRESS_OFFSET + 4;
      if (fieldEnd > offset && !memory.capture.done) {
        take(memory.capture, offset, view.slice(0, fieldEnd - offset));
      }
      decideLiveness(memory);
      decided = decided || memory.liveness != Liveness::PENDING;
    }
    if (decided) dropUnused();
    for (MemoryCapture& memory : memory_) {
      if (!memory.capture.done) take(memory.capture, offset, view);
    }
  }
  end_ = std::max(end_, offset + data.size());
}

void StreamCapture::decideLiveness(MemoryCapture& memory) {
  // Live: the selfAddress right behind the signature is the process
  // address of the block's first byte.
  Cursor field(memory.capture.block.bytes.view(), SELF_ADDRESS_OFFSET);
  const uint32_t selfAddress = field.u32();
  if (!field.ok()) {
    // Not all there yet; a copy that takes no more never shows it.
    if (memory.capture.done) memory.liveness = Liveness::NOT_LIVE;
    return;
  }
  memory.liveness = uint64_t(selfAddress) == memory.address ? Liveness::LIVE : Liveness::NOT_LIVE;
  const uint64_t at = memory.capture.block.offset;
  if (memory.liveness == Liveness::LIVE && (!lastLive_ || at > *lastLive_)) lastLive_ = at;
}

void StreamCapture::dropUnused() {
  // Kept: the last occurrence, the last live one, and those still to be
  // decided.
  std::erase_if(memory_, [&](const MemoryCapture& memory) {
    const uint64_t at = memory.capture.block.offset;
    return at != locations_.memoryTrace && memory.liveness != Liveness::PENDING &&
           !(memory.liveness == Liveness::LIVE && lastLive_ && at == *lastLive_);
  });
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
  for (const MemoryCapture& memory : memory_) held += memory.capture.block.bytes.size();
  return held;
}

std::vector<CapturedBlock> StreamCapture::release(std::optional<uint64_t> memoryTrace) {
  std::vector<CapturedBlock> blocks;
  for (std::optional<Capture>& capture : slots_) {
    if (capture) blocks.push_back(std::move(capture->block));
    capture.reset();
  }
  for (MemoryCapture& memory : memory_) {
    if (!memoryTrace || memory.capture.block.offset == *memoryTrace) blocks.push_back(std::move(memory.capture.block));
  }
  memory_.clear();
  return blocks;
}

// ---------------------------------------------------------------------------
// The head of a stream

void HeadedStream::fillHead(uint64_t end) {
  end = std::min(end, HEAD_LIMIT);
  while (!frozen_ && !ended_ && head_.size() < end) {
    std::span<uint8_t> room = head_.spare(end - head_.size());
    if (room.empty()) {  // no storage: the head holds no more
      frozen_ = true;
      break;
    }
    size_t got = stream_.readAt(head_.size(), room);
    head_.commit(got);
    if (got < room.size()) ended_ = true;
  }
}

size_t HeadedStream::readAt(uint64_t offset, std::span<uint8_t> dst) {
  size_t done = 0;
  const uint64_t held = head_.size();
  if (offset < held) {
    ByteView part = head_.view().slice(offset, dst.size());
    std::memcpy(dst.data(), part.data(), part.size());
    done = part.size();
    if (done == dst.size() || ended_) return done;
  }
  // Past the head the stream is read itself, and the head is kept as it is.
  frozen_ = true;
  return done + stream_.readAt(offset + done, dst.subspan(done));
}

size_t HeadedStream::Head::readAt(uint64_t offset, std::span<uint8_t> dst) {
  const uint64_t end = offset > UINT64_MAX - dst.size() ? UINT64_MAX : offset + dst.size();
  // Nothing past the limit can be had: the head is not filled for it.
  if (offset < HEAD_LIMIT) stream_.fillHead(end);
  ByteView part = stream_.head_.view().slice(offset, dst.size());
  if (!part.empty()) std::memcpy(dst.data(), part.data(), part.size());
  if (part.size() < dst.size() && end > stream_.head_.size() && !stream_.ended_) stream_.cutShort_ = true;
  return part.size();
}

// ---------------------------------------------------------------------------
// Reading the copies

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
  // The address map from the stream's head, before the scan; its size is
  // not known yet, so every range is taken as inside it.
  HeadedStream headed(stream);
  AddressMap map;
  {
    HeadedStream::Head head = headed.head(UINT64_MAX);
    map = readAddressMap(head);
  }
  StreamCapture capture(&map);
  scanDump(headed, capture);
  headed.close();

  BlockLocations locations = capture.locations();
  if (map.kind() != DumpKind::RAW && !headed.headCutShort() && capture.lastLiveMemoryTrace()) {
    // Read again with the stream's length, the headers give the same map,
    // or none when a range reaches past the end (as from a file).
    HeadedStream::Head head = headed.head(capture.end());
    if (readAddressMap(head).kind() != DumpKind::RAW) locations.memoryTrace = *capture.lastLiveMemoryTrace();
  }
  headed.dropHead();
  map = AddressMap();

  CapturedSource captured(capture.release(locations.memoryTrace), capture.end());
  return formatDumpStages(captured, locations, out);
}

}  // namespace ringlens
