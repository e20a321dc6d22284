#include <algorithm>
#include <new>

#include "dump_trace/dump_trace.h"

namespace ringlens {

namespace {

uint64_t entryCount(ByteView index) {
  return index.size() < INDEX_ENTRIES_OFFSET ? 0 : (index.size() - INDEX_ENTRIES_OFFSET) / INDEX_ENTRY_SIZE;
}

uint32_t idOfEntry(ByteView index, uint32_t entry) {
  return *index.u32(INDEX_ENTRIES_OFFSET + uint64_t(entry) * INDEX_ENTRY_SIZE);
}

uint32_t nameOffsetOfEntry(ByteView index, uint32_t entry) {
  return *index.u32(INDEX_ENTRIES_OFFSET + uint64_t(entry) * INDEX_ENTRY_SIZE + 4);
}

}  // namespace

void MethodNames::loadTraceIndex(ByteSource& file, uint64_t offset) {
  index_ = loadBlock(file, offset, BLOCK_LENGTH_OFFSET);
  recentNames_.clear();
  firstById_.clear();
  ByteView index = index_.view();
  uint64_t count = entryCount(index);
  if (count == 0 || count > UINT32_MAX) return;
  try {
    // Entries sorted by id and, for one id, by entry number; the first of
    // each id is kept. nameOffset holds the entry number until then.
    std::vector<FirstEntry> byId(static_cast<size_t>(count));
    for (uint32_t entry = 0; entry < count; ++entry) byId[entry] = {idOfEntry(index, entry), entry};
    std::sort(byId.begin(), byId.end(), [](const FirstEntry& a, const FirstEntry& b) {
      return a.methodId != b.methodId ? a.methodId < b.methodId : a.nameOffset < b.nameOffset;
    });
    byId.erase(std::unique(byId.begin(), byId.end(),
                           [](const FirstEntry& a, const FirstEntry& b) { return a.methodId == b.methodId; }),
               byId.end());
    for (FirstEntry& first : byId) first.nameOffset = nameOffsetOfEntry(index, first.nameOffset);
    byId.shrink_to_fit();
    firstById_ = std::move(byId);
  } catch (const std::bad_alloc&) {
    firstById_.clear();
  }
}

void MethodNames::loadTraceMethod(ByteSource& file, uint64_t offset) {
  method_ = loadBlock(file, offset, BLOCK_LENGTH_OFFSET);
  recentNames_.clear();
}

std::optional<uint32_t> MethodNames::nameOffsetOf(uint32_t methodId) const {
  ByteView index = index_.view();
  uint64_t count = entryCount(index);
  if (!firstById_.empty()) {
    // A binary search without branches on the data (ids come in no
    // predictable order): the first entry whose id is not below methodId
    // lies in [at, at + size].
    size_t at = 0, size = firstById_.size();
    while (size > 1) {
      size_t half = size / 2;
      at = firstById_[at + half].methodId < methodId ? at + half : at;
      size -= half;
    }
    if (firstById_[at].methodId < methodId) ++at;
    if (at == firstById_.size() || firstById_[at].methodId != methodId) return std::nullopt;
    return firstById_[at].nameOffset;
  }
  for (uint64_t entry = 0; entry < count; ++entry) {
    if (idOfEntry(index, static_cast<uint32_t>(entry)) == methodId) {
      return nameOffsetOfEntry(index, static_cast<uint32_t>(entry));
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> MethodNames::lookupMethodName(uint32_t methodId) const {
  if (recentNames_.empty()) {
    recentNameBits_ = FEWEST_RECENT_NAME_BITS;
    while (recentNameBits_ < MOST_RECENT_NAME_BITS && (size_t{1} << recentNameBits_) < 4 * firstById_.size()) {
      ++recentNameBits_;
    }
    recentNames_.assign(size_t{1} << recentNameBits_, RecentName{0, false, std::nullopt});
  }
  RecentName& recent = recentNames_[(methodId * 0x9E3779B1u) >> (32 - recentNameBits_)];
  if (!recent.filled || recent.methodId != methodId) recent = {methodId, true, findMethodName(methodId)};
  return recent.name;
}

std::optional<std::string_view> MethodNames::findMethodName(uint32_t methodId) const {
  auto nameOffset = nameOffsetOf(methodId);
  ByteView names = method_.view();
  if (!nameOffset || *nameOffset >= names.size()) return std::nullopt;
  return names.slice(*nameOffset).text();
}

}  // namespace ringlens
