#include <cstdint>
#include <new>

#include "dump_trace/dump_trace.h"

namespace ringlens {

namespace {

// Spreads the bits of an id over the whole word (the finaliser of
// MurmurHash3), after mixing in the table's own seed.
uint32_t hashOf(uint32_t methodId, uint32_t seed) {
  uint32_t h = methodId ^ seed;
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

// The slot an id's search starts at, in a table of `slots` slots.
uint64_t homeSlot(uint32_t methodId, uint32_t seed, uint64_t slots) {
  return (uint64_t(hashOf(methodId, seed)) * slots) >> 32;
}

}  // namespace

void MethodNames::loadTraceIndex(ByteSource& file, uint64_t offset) {
  index_ = loadBlock(file, offset, BLOCK_LENGTH_OFFSET);
  slots_.reset();
  slotCount_ = 0;
}

void MethodNames::loadTraceMethod(ByteSource& file, uint64_t offset) {
  method_ = loadBlock(file, offset, BLOCK_LENGTH_OFFSET);
  // Both tables are there now, and the ring is walked next.
  buildLookupTable();
}

void MethodNames::buildLookupTable() {
  slots_.reset();
  slotCount_ = 0;
  const ByteView index = index_.view();
  const uint64_t entries = indexEntryCount(index);
  // Two 4-byte slots per 8-byte entry: no more than the index copy holds,
  // and at most half of the slots are taken.
  const uint64_t slots = 2 * entries;
  if (entries == 0 || entries >= UINT32_MAX || slots > SIZE_MAX / sizeof(uint32_t)) return;
  std::unique_ptr<uint32_t[]> table(new (std::nothrow) uint32_t[static_cast<size_t>(slots)]());
  if (!table) return;  // lookups go through the entries instead
  // The seed differs from run to run (the table's address), so that no
  // index can be made whose ids all meet in one place.
  const uint32_t seed = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(table.get()) >> 4);
  for (uint64_t entry = 0; entry < entries; ++entry) {
    auto added = decodeIndexEntry(index, entry);
    if (!added) break;
    for (uint64_t slot = homeSlot(added->methodId, seed, slots);; slot = slot + 1 == slots ? 0 : slot + 1) {
      uint32_t& held = table[static_cast<size_t>(slot)];
      if (held == 0) {
        held = static_cast<uint32_t>(entry + 1);
        break;
      }
      auto first = decodeIndexEntry(index, held - 1);
      if (first && first->methodId == added->methodId) break;  // the first entry of an id wins
    }
  }
  seed_ = seed;
  slots_ = std::move(table);
  slotCount_ = slots;
}

std::optional<IndexEntry> MethodNames::firstEntryOf(uint32_t methodId) const {
  const ByteView index = index_.view();
  if (slots_) {
    for (uint64_t slot = homeSlot(methodId, seed_, slotCount_);; slot = slot + 1 == slotCount_ ? 0 : slot + 1) {
      const uint32_t held = slots_[static_cast<size_t>(slot)];
      if (held == 0) return std::nullopt;
      auto entry = decodeIndexEntry(index, held - 1);
      if (entry && entry->methodId == methodId) return entry;
    }
  }
  // The plain search through the entries in stored order.
  const uint64_t entries = indexEntryCount(index);
  for (uint64_t number = 0; number < entries; ++number) {
    auto entry = decodeIndexEntry(index, number);
    if (entry && entry->methodId == methodId) return entry;
  }
  return std::nullopt;
}

std::optional<std::string_view> MethodNames::lookupMethodName(uint32_t methodId) const {
  auto entry = firstEntryOf(methodId);
  ByteView names = method_.view();
  if (!entry || entry->nameOffset >= names.size()) return std::nullopt;
  return names.slice(entry->nameOffset).text();
}

}  // namespace ringlens
