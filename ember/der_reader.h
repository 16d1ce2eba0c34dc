// A strict reader of DER/BER tag-length-value elements for signature parsing.
// Elements are views into the caller's bytes (which must outlive them);
// nothing is copied until a value is converted to a string. Every structural
// problem throws ParseFail with a short reason; nested structures are followed
// to at most kDerMaxDepth levels, so recursion and time stay bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace ember {

// DER, PKCS #7 and certificate structure errors; what() is the short reason.
struct ParseFail : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr int kDerMaxDepth = 64;

struct DerElement {
  int tag_class = 0;                // 0 universal, 1 application, 2 context-specific, 3 private
  bool constructed = false;
  std::uint64_t tag = 0;            // low five bits, or the high-tag-number form
  ByteSpan content;                 // the content bytes (before the end-of-contents mark when indefinite)
  std::size_t content_length = 0;
  std::size_t total_length = 0;     // header + content (+ 2 end-of-contents bytes when indefinite)
  bool indefinite = false;

  bool is(int cls, std::uint64_t t) const { return tag_class == cls && tag == t; }
  bool universal(std::uint64_t t) const { return is(0, t); }
  bool context(std::uint64_t t) const { return is(2, t); }
};

// Universal tag numbers used by the signature layer.
enum : std::uint64_t {
  kTagInteger = 2, kTagBitString = 3, kTagOctetString = 4, kTagNull = 5, kTagOid = 6,
  kTagUtf8String = 12, kTagSequence = 16, kTagSet = 17, kTagNumericString = 18, kTagPrintableString = 19,
  kTagIa5String = 22, kTagUtcTime = 23, kTagGeneralizedTime = 24, kTagVisibleString = 26,
  kTagUniversalString = 28, kTagBmpString = 30,
};

// The element starting at `begin`; [begin, end) is the readable range.
DerElement der_read(const std::uint8_t* begin, const std::uint8_t* end);
inline DerElement der_read(ByteSpan b) { return der_read(b.data(), b.data() + b.size()); }
// The elements one after another over a constructed element's content.
std::vector<DerElement> der_children(const DerElement& e);
// The dotted form of a universal OBJECT IDENTIFIER ("1.2.840.113549.1.7.2").
std::string der_oid(const DerElement& e);
// The bytes of an OCTET STRING, primitive or constructed of OCTET STRINGs.
Bytes der_octets(const DerElement& e);
// Seconds since 1970-01-01T00:00:00 UTC of a UTCTime or GeneralizedTime.
double der_time(const DerElement& e);
// Validates the text of a universal primitive string or time element.
void check_string(const DerElement& e);
// check_string over every primitive element of the tree; with `general_name`,
// context-specific tags 1, 2 and 6 (names, DNS names, URIs) must be ASCII.
void check_tree(const DerElement& e, int depth, bool general_name);
// The value as UTF-8: BMPString from UTF-16BE, UniversalString from UTF-32BE,
// anything else byte for byte. Runs check_string first.
std::string der_string(const DerElement& e);

}  // namespace ember
