// Read-only access to a ZIP archive held in memory: the central directory,
// per-member statistics, and extraction of one member into a buffer the
// caller supplies. The archive bytes are never copied and must outlive the
// reader. Nothing here allocates by a size the archive declares: extraction
// writes at most the caller's buffer and fails when the member's data is
// longer or shorter than that buffer or its CRC-32 does not match. Hostile
// input is refused or reported, never trusted.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/bytes.h"

namespace av {

struct ZipMember {
  // The name as stored (raw bytes, no character-set conversion), at most 511
  // bytes long; a NUL byte inside the stored name comes through as a space.
  std::string name;
  std::uint64_t size = 0;             // declared uncompressed size
  std::uint64_t compressed_size = 0;  // declared compressed size
  std::uint32_t crc = 0;              // declared CRC-32
  std::uint16_t method = 0;           // compression method number
  bool encrypted = false;
  bool supported = false;  // not encrypted, and stored (0) or deflated (8)
  bool directory = false;  // the stored name ends in "/" or the DOS directory attribute is set
};

class ZipReader {
 public:
  static constexpr std::size_t kMaxNameBytes = 511;

  ZipReader();
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Reads the central directory of `bytes`. False when the bytes are not an
  // archive the library accepts; the reader is then empty.
  bool open(ByteSpan bytes);
  // Members in central-directory order; 0 when nothing is open.
  std::uint64_t member_count() const;
  // Statistics of member `index`; false when they cannot be read.
  bool stat(std::uint64_t index, ZipMember& out) const;
  // Decompresses member `index` into `out`. True only when the member's data
  // is exactly out.size() bytes long and matches its CRC-32; `out` may hold
  // partial data after a failure.
  bool extract(std::uint64_t index, std::span<std::uint8_t> out) const;

 private:
  struct Archive;
  std::unique_ptr<Archive> archive_;
};

}  // namespace av
