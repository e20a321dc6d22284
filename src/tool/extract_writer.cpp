#include "tool/extract_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace ringlens::tool {

ExtractPlan planKeepingRanges(std::vector<ByteRange> ranges, uint64_t inputSize) {
  std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  ExtractPlan plan;
  plan.size = inputSize;
  for (ByteRange r : ranges) {
    if (r.offset >= inputSize) continue;
    uint64_t end = r.offset + std::min(r.length, inputSize - r.offset);
    if (end == r.offset) continue;
    if (!plan.pieces.empty()) {
      ExtractPiece& last = plan.pieces.back();
      if (r.offset <= last.from + last.length) {
        last.length = std::max(last.length, end - last.from);
        continue;
      }
    }
    plan.pieces.push_back({r.offset, end - r.offset, r.offset});
  }
  return plan;
}

ExtractPlan planCompactExtract(std::vector<ByteRange> ranges, uint64_t inputSize, uint64_t lead) {
  const ExtractPlan joined = planKeepingRanges(std::move(ranges), inputSize);
  ExtractPlan plan;
  if (joined.pieces.empty()) return plan;  // an empty file: no signature at all
  // The pieces from `tail` on reach into the dump's last SCAN_TAIL bytes
  // or lie so close before one that does that they keep their spacing.
  size_t tail = joined.pieces.size();
  if (const ExtractPiece& last = joined.pieces.back(); last.from + last.length + SCAN_TAIL > inputSize) {
    tail = joined.pieces.size() - 1;
    while (tail > 0) {
      const ExtractPiece& before = joined.pieces[tail - 1];
      if (before.from + before.length + SCAN_TAIL <= joined.pieces[tail].from) break;
      --tail;
    }
  }
  constexpr uint64_t GAP = 1;  // a zero byte: no signature holds one
  uint64_t at = std::max(lead, SCAN_TAIL);  // nothing at offset 0, where no signature is ever found
  for (size_t i = 0; i < tail; ++i) {
    const ExtractPiece& piece = joined.pieces[i];
    plan.pieces.push_back({piece.from, piece.length, at});
    at += piece.length + GAP;
  }
  if (tail == joined.pieces.size()) {
    plan.size = at - GAP + SCAN_TAIL;
    return plan;
  }
  // The tail keeps its offset modulo SCAN_STEP, and so does the file's end.
  // (It moves down, or up when the pieces before it need more room than
  // the dump gave them, by a multiple of SCAN_STEP.)
  const uint64_t first = joined.pieces[tail].from;
  const uint64_t place = at + (first % SCAN_STEP + SCAN_STEP - at % SCAN_STEP) % SCAN_STEP;
  for (size_t i = tail; i < joined.pieces.size(); ++i) {
    const ExtractPiece& piece = joined.pieces[i];
    plan.pieces.push_back({piece.from, piece.length, piece.from - first + place});
  }
  plan.size = inputSize - first + place;
  return plan;
}

namespace {

// The parts of the input's [from, from + length) that `map` maps: each
// with the process address of its first byte.
struct MappedPart {
  uint64_t from = 0, length = 0, address = 0;
};

template <typename Visit>
void forEachMappedPart(const AddressMap& map, uint64_t from, uint64_t length, Visit visit) {
  const std::vector<MappedRange>& ranges = map.ranges();
  auto r = std::upper_bound(ranges.begin(), ranges.end(), from,
                            [](uint64_t offset, const MappedRange& range) { return offset < range.fileOffset; });
  if (r != ranges.begin()) --r;
  const uint64_t end = from + length;
  for (; r != ranges.end() && r->fileOffset < end; ++r) {
    const uint64_t start = std::max(from, r->fileOffset);
    const uint64_t stop = std::min(end, r->fileOffset + r->size);
    if (start >= stop) continue;
    visit(MappedPart{start, stop - start, r->address + (start - r->fileOffset)});
  }
}

// Little-endian fields of the ELF headers.
void putLE(std::string& bytes, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

constexpr uint64_t ELF_HEADER_SIZE = 64;
constexpr uint64_t PROGRAM_HEADER_SIZE = 56;
constexpr uint64_t SECTION_HEADER_SIZE = 64;
constexpr uint64_t PN_XNUM = 0xFFFF;  // more program headers: their count in section header 0's sh_info

// An ELF64 core file's header, its program headers right behind it, and
// when there are PN_XNUM or more of them, section header 0 holding their
// count. None of these bytes can be part of a signature: every signature
// is at least 15 bytes without a zero byte, and no run of nonzero bytes
// here is longer than 8 (p_vaddr), since each field around p_vaddr is a
// zero or an offset or size inside the extract, whose top bytes are zero.
std::string elfCoreHeaders(const std::vector<MappedPart>& loads) {
  const uint64_t count = loads.size();
  const bool extended = count >= PN_XNUM;
  const uint64_t sectionAt = ELF_HEADER_SIZE + PROGRAM_HEADER_SIZE * count;
  std::string h;
  h.reserve(sectionAt + (extended ? SECTION_HEADER_SIZE : 0));
  h += std::string("\x7f" "ELF\x02\x01\x01", 7);  // magic, ELFCLASS64, little-endian, EV_CURRENT
  h.append(9, '\0');                                // OS ABI, ABI version, padding
  putLE(h, 4, 2);                                   // e_type: ET_CORE
  putLE(h, 0, 2);                                   // e_machine: none in particular
  putLE(h, 1, 4);                                   // e_version
  putLE(h, 0, 8);                                   // e_entry
  putLE(h, ELF_HEADER_SIZE, 8);                     // e_phoff: right behind this header
  putLE(h, extended ? sectionAt : 0, 8);            // e_shoff
  putLE(h, 0, 4);                                   // e_flags
  putLE(h, ELF_HEADER_SIZE, 2);                     // e_ehsize
  putLE(h, PROGRAM_HEADER_SIZE, 2);                 // e_phentsize
  putLE(h, extended ? PN_XNUM : count, 2);          // e_phnum
  putLE(h, SECTION_HEADER_SIZE, 2);                 // e_shentsize
  putLE(h, extended ? 1 : 0, 2);                    // e_shnum
  putLE(h, 0, 2);                                   // e_shstrndx
  for (const MappedPart& load : loads) {
    putLE(h, 1, 4);            // p_type: PT_LOAD
    putLE(h, 6, 4);            // p_flags: readable, writable
    putLE(h, load.from, 8);    // p_offset: where the part lies in the extract
    putLE(h, load.address, 8); // p_vaddr: where it lay in the process
    putLE(h, 0, 8);            // p_paddr
    putLE(h, load.length, 8);  // p_filesz
    putLE(h, load.length, 8);  // p_memsz
    putLE(h, 1, 8);            // p_align
  }
  if (extended) {
    h.append(4 + 4 + 8 + 8 + 8 + 8 + 4, '\0');  // sh_name, sh_type, sh_flags, sh_addr, sh_offset, sh_size, sh_link
    putLE(h, count, 4);                         // sh_info: the program header count
    putLE(h, 0, 8);                         // sh_addralign
    putLE(h, 0, 8);                         // sh_entsize
  }
  return h;
}

}  // namespace

ExtractPlan planContainerExtract(std::vector<ByteRange> ranges, ByteSource& input, const AddressMap& map) {
  const uint64_t inputSize = input.size();
  if (map.kind() == DumpKind::RAW) return planCompactExtract(std::move(ranges), inputSize);
  ExtractPlan joined = planKeepingRanges(std::move(ranges), inputSize);
  if (joined.pieces.empty()) return planCompactExtract({}, inputSize);

  // A memory-trace signature that ends a kept range keeps its selfAddress
  // behind it, so that whether it is live is decided on the dump's bytes.
  std::vector<ByteRange> kept;
  for (const ExtractPiece& piece : joined.pieces) {
    uint64_t length = piece.length;
    const uint64_t end = piece.from + piece.length;
    const uint64_t look = std::min<uint64_t>(piece.length, SIGNATURE_SIZE + 3);
    uint8_t tail[SIGNATURE_SIZE + 3];
    ByteView bytes(tail, input.readAt(end - look, {tail, static_cast<size_t>(look)}));
    for (uint64_t at = 0; at + SIGNATURE_SIZE <= bytes.size(); ++at) {
      if (bytes.equals(at, MEMORY_TRACE_SIGNATURE)) {
        length = std::max(length, piece.length - look + at + SIGNATURE_SIZE + 4);
        break;
      }
    }
    kept.push_back({piece.from, length});
  }
  joined = planKeepingRanges(std::move(kept), inputSize);

  uint64_t loads = 0;
  for (const ExtractPiece& piece : joined.pieces) {
    forEachMappedPart(map, piece.from, piece.length, [&](const MappedPart&) { ++loads; });
  }
  const uint64_t headers =
      ELF_HEADER_SIZE + PROGRAM_HEADER_SIZE * loads + (loads >= PN_XNUM ? SECTION_HEADER_SIZE : 0);
  std::vector<ByteRange> placed;
  for (const ExtractPiece& piece : joined.pieces) placed.push_back({piece.from, piece.length});
  ExtractPlan plan = planCompactExtract(std::move(placed), inputSize, headers + 1);  // a zero byte behind the headers

  std::vector<MappedPart> parts;
  parts.reserve(static_cast<size_t>(loads));
  for (const ExtractPiece& piece : plan.pieces) {
    forEachMappedPart(map, piece.from, piece.length, [&](const MappedPart& part) {
      parts.push_back({piece.to + (part.from - piece.from), part.length, part.address});
    });
  }
  plan.lead = elfCoreHeaders(parts);
  return plan;
}

ExtractPlan planFileTraceExtract(const FileTraceSummary& end, uint64_t inputSize) {
  uint64_t keep = inputSize;
  switch (end.end) {
    case FileTraceEnd::END_RECORD: keep = end.offset + 4; break;  // the kind-0 record itself
    case FileTraceEnd::END_OF_FILE: keep = end.offset; break;     // 1 to 3 bytes after it are no kind
    case FileTraceEnd::CUT_SHORT: keep = inputSize; break;        // the cut record runs to the end
    case FileTraceEnd::STOPPED: keep = inputSize; break;
  }
  keep = std::min(keep, inputSize);
  ExtractPlan plan;
  plan.size = keep;
  if (keep > 0) plan.pieces.push_back({0, keep, 0});
  return plan;
}

namespace {

std::string quoted(const std::string& name) { return "'" + name + "'"; }

std::string failure(const std::string& name, const char* what, int error) {
  return "cannot " + std::string(what) + " " + quoted(name) + ": " + std::strerror(error);
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAllAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

ExtractResult writeExtract(ByteSource& input, const ExtractPlan& plan, const std::string& outPath, bool replace,
                           const FileIdentity& inputIdentity, ProgressBar* progress) {
  ExtractResult result;
  if (outPath.empty()) {
    result.problem = failure(outPath, "create", ENOENT);
    return result;
  }
  struct stat existing;
  if (lstat(outPath.c_str(), &existing) == 0) {
    if (inputIdentity.known && static_cast<uint64_t>(existing.st_dev) == inputIdentity.device &&
        static_cast<uint64_t>(existing.st_ino) == inputIdentity.inode) {
      result.problem = quoted(outPath) + " is the input; the extract must go to another file";
      return result;
    }
    if (!replace) {
      result.problem = quoted(outPath) + " exists; --force replaces it";
      return result;
    }
    if (S_ISDIR(existing.st_mode)) {
      result.problem = failure(outPath, "replace", EISDIR);
      return result;
    }
  }

  // A name of our own beside the final one, so that the rename stays
  // within one file system; O_EXCL (mkstemp) makes it ours alone.
  std::string temporary = directoryOf(outPath) + "/." + baseOf(outPath) + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    result.problem = failure(outPath, "create a temporary file beside", errno);
    return result;
  }
  auto fail = [&](const char* what, int error) {
    result.problem = failure(outPath, what, error);
    ::close(fd);
    ::unlink(temporary.c_str());
    return result;
  };
  // mkstemp makes the file private; the extract gets the mode a new file
  // gets (0666 less the umask).
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) return fail("write", errno);
  if (ftruncate(fd, static_cast<off_t>(plan.size)) != 0) return fail("write", errno);
  if (plan.lead.size() > plan.size) return fail("write", EINVAL);
  if (!writeAllAt(fd, reinterpret_cast<const uint8_t*>(plan.lead.data()), plan.lead.size(), 0)) {
    return fail("write", errno);
  }

  uint64_t total = 0, done = 0;
  for (const ExtractPiece& piece : plan.pieces) total += piece.length;
  constexpr size_t CHUNK = 1 << 20;
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[CHUNK]);
  if (!chunk) return fail("write", ENOMEM);
  for (const ExtractPiece& piece : plan.pieces) {
    if (piece.to > plan.size || piece.length > plan.size - piece.to) return fail("write", EINVAL);
    for (uint64_t at = 0; at < piece.length;) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(CHUNK, piece.length - at));
      size_t got = input.readAt(piece.from + at, {chunk.get(), want});
      if (got < want) {
        // The input is shorter than when it was read: it has changed.
        result.problem = "the input ended early (was it changed meanwhile?); " + quoted(outPath) + " not written";
        ::close(fd);
        ::unlink(temporary.c_str());
        return result;
      }
      if (!writeAllAt(fd, chunk.get(), got, piece.to + at)) return fail("write", errno);
      at += got;
      done += got;
      if (progress) progress->update(done, total);
    }
  }
  // No fsync: the file is put in place only once every byte was written
  // and the close succeeded, which is what keeps a failed run from leaving
  // a half-written extract; waiting for the disk as well would cost more
  // than the whole scan of a large dump.
  if (::close(fd) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    result.problem = failure(outPath, "write", error);
    return result;
  }

  if (replace) {
    if (rename(temporary.c_str(), outPath.c_str()) != 0) {
      int error = errno;
      ::unlink(temporary.c_str());
      result.problem = failure(outPath, "write", error);
      return result;
    }
  } else {
    // link() never replaces: a file that appeared at outPath meanwhile
    // stays as it is.
    int linked = link(temporary.c_str(), outPath.c_str());
    if (linked != 0 && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)) {
      // A file system without hard links: a last look, then a rename.
      struct stat now;
      if (lstat(outPath.c_str(), &now) == 0) {
        errno = EEXIST;
      } else {
        linked = rename(temporary.c_str(), outPath.c_str());
      }
    }
    if (linked != 0) {
      int error = errno;
      ::unlink(temporary.c_str());
      result.problem = error == EEXIST ? quoted(outPath) + " exists; --force replaces it"
                                       : failure(outPath, "write", error);
      return result;
    }
    ::unlink(temporary.c_str());
  }
  result.written = true;
  return result;
}

}  // namespace ringlens::tool
