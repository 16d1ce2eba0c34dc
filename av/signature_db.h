// The SHA-256 signature feed ("AVSG1" files) and the built-in EICAR signature.
// A loaded feed is immutable; a successful load swaps it in whole while
// lookups already running finish on the old one, and a failed load leaves the
// current feed exactly as it was. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/file_system.h"
#include "platform/sha256.h"

namespace av {

class SignatureDB {
 public:
  struct Data {
    std::uint64_t version = 0;
    std::vector<std::uint64_t> keys;         // non-decreasing, file order
    std::vector<std::uint32_t> name_index;   // per entry
    std::vector<std::string> names;
  };

  // Reads and validates a feed file; on success it becomes the current feed.
  // On failure returns false, stores the reason in *error when given, and
  // changes nothing.
  bool load(const NativePath& path, std::string* error = nullptr);
  // Validates feed bytes already in memory; on success they become the current feed.
  bool load_bytes(ByteSpan content, std::string* error = nullptr);

  // True and the signature's name when the digest's 64-bit key is listed.
  bool lookup(const Digest& digest, std::string& name) const;
  std::size_t count() const;
  std::uint64_t version() const;

  // The first eight digest bytes as a big-endian integer.
  static std::uint64_t key_of(const Digest& digest);

 private:
  mutable std::shared_mutex mutex_;
  std::shared_ptr<const Data> data_;
};

// Parses feed bytes into `out`; false with the reason on any violation.
bool parse_signature_feed(ByteSpan content, SignatureDB::Data& out, std::string& error);

struct FeedEntry {
  Digest digest;
  std::string name;
};
// Encodes a valid feed: keys sorted (stable, so among equal keys the first
// listed name wins a lookup) and names deduplicated. Names longer than 65535
// bytes are cut to that length.
std::string encode_signature_feed(std::uint64_t version, std::vector<FeedEntry> entries);

// True, with name "Eicar-Test-Signature", when a buffer of 68 to 1024 bytes
// contains the EICAR test string.
bool builtin_signature_match(ByteSpan bytes, std::string& name);

}  // namespace av
