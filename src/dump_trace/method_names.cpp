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
  byId_.clear();
  ByteView index = index_.view();
  uint64_t count = entryCount(index);
  if (count == 0 || count > UINT32_MAX) return;
  try {
    byId_.resize(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    byId_.clear();
    return;
  }
  for (uint32_t entry = 0; entry < count; ++entry) byId_[entry] = entry;
  std::sort(byId_.begin(), byId_.end(), [index](uint32_t a, uint32_t b) {
    uint32_t idA = idOfEntry(index, a), idB = idOfEntry(index, b);
    return idA != idB ? idA < idB : a < b;
  });
}

void MethodNames::loadTraceMethod(ByteSource& file, uint64_t offset) {
  method_ = loadBlock(file, offset, BLOCK_LENGTH_OFFSET);
}

std::optional<uint32_t> MethodNames::nameOffsetOf(uint32_t methodId) const {
  ByteView index = index_.view();
  uint64_t count = entryCount(index);
  if (!byId_.empty()) {
    auto first = std::lower_bound(byId_.begin(), byId_.end(), methodId,
                                  [index](uint32_t entry, uint32_t id) { return idOfEntry(index, entry) < id; });
    if (first == byId_.end() || idOfEntry(index, *first) != methodId) return std::nullopt;
    return nameOffsetOfEntry(index, *first);
  }
  for (uint64_t entry = 0; entry < count; ++entry) {
    if (idOfEntry(index, static_cast<uint32_t>(entry)) == methodId) {
      return nameOffsetOfEntry(index, static_cast<uint32_t>(entry));
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> MethodNames::lookupMethodName(uint32_t methodId) const {
  auto nameOffset = nameOffsetOf(methodId);
  ByteView names = method_.view();
  if (!nameOffset || *nameOffset >= names.size()) return std::nullopt;
  return names.slice(*nameOffset).text();
}

}  // namespace ringlens
