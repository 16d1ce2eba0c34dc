#include "ember/der_reader.h"

#include <cmath>

namespace ember {
namespace {

[[noreturn]] void fail(const char* why) { throw ParseFail(why); }

DerElement read_at(const std::uint8_t* begin, const std::uint8_t* end, int depth) {
  if (depth > kDerMaxDepth) fail("too deep");
  const std::uint8_t* p = begin;
  if (p >= end) fail("eof");
  DerElement e;
  const std::uint8_t first = *p++;
  e.tag_class = first >> 6;
  e.constructed = (first & 0x20) != 0;
  e.tag = first & 0x1F;
  if (e.tag == 0x1F) {
    std::uint64_t tag = 0;
    for (int i = 0;; ++i) {
      if (i == 5 || p >= end) fail("bad tag");
      const std::uint8_t b = *p++;
      tag = (tag << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) break;
    }
    e.tag = tag;
  }
  if (p >= end) fail("eof len");
  const std::uint8_t len_byte = *p++;
  if (len_byte == 0x80) {
    if (!e.constructed) fail("indefinite primitive");
    const std::uint8_t* q = p;
    for (;;) {
      if (end - q < 2) fail("unterminated indefinite");
      if (q[0] == 0 && q[1] == 0) break;
      q += read_at(q, end, depth + 1).total_length;
    }
    e.indefinite = true;
    e.content = ByteSpan(p, static_cast<std::size_t>(q - p));
    e.content_length = e.content.size();
    e.total_length = static_cast<std::size_t>(q - begin) + 2;
    return e;
  }
  std::uint64_t length = len_byte;
  if (len_byte & 0x80) {
    const int count = len_byte & 0x7F;
    if (count > 8 || end - p < count) fail("bad len");
    length = 0;
    for (int i = 0; i < count; ++i) length = (length << 8) | *p++;
  }
  if (length > static_cast<std::uint64_t>(end - p)) fail("len beyond data");
  e.content = ByteSpan(p, static_cast<std::size_t>(length));
  e.content_length = e.content.size();
  e.total_length = static_cast<std::size_t>(p - begin) + e.content.size();
  return e;
}

void octets_into(const DerElement& e, Bytes& out, int depth) {
  if (!e.constructed) {
    out.insert(out.end(), e.content.begin(), e.content.end());
    return;
  }
  if (depth > kDerMaxDepth) fail("too deep");
  for (const DerElement& c : der_children(e)) {
    if (!c.universal(kTagOctetString)) fail("bad constructed octet string");
    octets_into(c, out, depth + 1);
  }
}

bool all_ascii(ByteSpan b) {
  for (std::uint8_t c : b)
    if (c >= 0x80) return false;
  return true;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(ByteSpan b) {
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t c = b[i];
    if (c < 0x80) { ++i; continue; }
    int n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
    else return false;
    if (b.size() - i <= static_cast<std::size_t>(n)) return false;
    for (int k = 1; k <= n; ++k) {
      const std::uint8_t t = b[i + k];
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += static_cast<std::size_t>(n) + 1;
  }
  return true;
}

void append_utf8(std::string& s, std::uint32_t cp) {
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes UTF-16BE into `out` (when given); the reason on failure, else null.
const char* decode_utf16(ByteSpan b, std::string* out) {
  if (b.size() % 2 != 0) return "utf-16 decode";
  for (std::size_t i = 0; i < b.size(); i += 2) {
    std::uint32_t u = (std::uint32_t{b[i]} << 8) | b[i + 1];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= b.size()) return "utf-16 surrogate";
      const std::uint32_t lo = (std::uint32_t{b[i + 2]} << 8) | b[i + 3];
      if (lo < 0xDC00 || lo > 0xDFFF) return "utf-16 surrogate";
      u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return "utf-16 surrogate";
    }
    if (out) append_utf8(*out, u);
  }
  return nullptr;
}

const char* decode_utf32(ByteSpan b, std::string* out) {
  if (b.size() % 4 != 0) return "utf-32 decode";
  for (std::size_t i = 0; i < b.size(); i += 4) {
    const std::uint32_t u = (std::uint32_t{b[i]} << 24) | (std::uint32_t{b[i + 1]} << 16) |
                            (std::uint32_t{b[i + 2]} << 8) | b[i + 3];
    if (!(u < 0xD800 || (u >= 0xE000 && u <= 0x10FFFF))) return "utf-32 decode";
    if (out) append_utf8(*out, u);
  }
  return nullptr;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

class TimeText {
 public:
  explicit TimeText(ByteSpan b) : b_(b) {}
  bool at_end() const { return pos_ >= b_.size(); }
  bool digit_at(std::size_t k) const { return pos_ + k < b_.size() && b_[pos_ + k] >= '0' && b_[pos_ + k] <= '9'; }
  char peek() const { return at_end() ? '\0' : static_cast<char>(b_[pos_]); }
  void skip() { ++pos_; }
  // n digits as a number, or -1 when they are not all there.
  int digits(int n) {
    int v = 0;
    for (int k = 0; k < n; ++k) {
      if (!digit_at(static_cast<std::size_t>(k))) return -1;
      v = v * 10 + (b_[pos_ + static_cast<std::size_t>(k)] - '0');
    }
    pos_ += static_cast<std::size_t>(n);
    return v;
  }

 private:
  ByteSpan b_;
  std::size_t pos_ = 0;
};

double civil_seconds(int year, int month, int day, int hour, int minute, int second) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12) fail("bad time value");
  const int mdays = kDays[month - 1] + (month == 2 && leap(year) ? 1 : 0);
  if (day < 1 || day > mdays || hour > 23 || minute > 59 || second > 59) fail("bad time value");
  const std::int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second);
}

double utc_time(ByteSpan b) {
  TimeText t(b);
  const int yy = t.digits(2), mo = t.digits(2), dd = t.digits(2), hh = t.digits(2), mi = t.digits(2);
  if (yy < 0 || mo < 0 || dd < 0 || hh < 0 || mi < 0) fail("utctime");
  int ss = 0;
  if (t.digit_at(0)) {
    ss = t.digits(2);
    if (ss < 0) fail("utctime");
  }
  int offset = 0;
  const char z = t.peek();
  if (z == 'Z') {
    t.skip();
  } else if (z == '+' || z == '-') {
    t.skip();
    const int oh = t.digits(2), om = t.digits(2);
    if (oh < 0 || om < 0 || oh > 23 || om > 59) fail("utctime offset");
    offset = (z == '+' ? 1 : -1) * (oh * 3600 + om * 60);
  } else {
    fail("utctime zone");
  }
  if (!t.at_end()) fail("trailing time data");
  const int year = yy < 50 ? 2000 + yy : 1900 + yy;
  return civil_seconds(year, mo, dd, hh, mi, ss) - offset;
}

double generalized_time(ByteSpan b) {
  TimeText t(b);
  const int yyyy = t.digits(4), mo = t.digits(2), dd = t.digits(2), hh = t.digits(2);
  if (yyyy < 0 || mo < 0 || dd < 0 || hh < 0) fail("gentime");
  int mi = 0, ss = 0;
  int unit = 3600;  // seconds per unit of the last field present, for the fraction
  if (t.digit_at(0)) {
    if ((mi = t.digits(2)) < 0) fail("gentime");
    unit = 60;
    if (t.digit_at(0)) {
      if ((ss = t.digits(2)) < 0) fail("gentime");
      unit = 1;
    }
  }
  std::int64_t micros = 0;
  if (t.peek() == '.' || t.peek() == ',') {
    t.skip();
    if (!t.digit_at(0)) fail("gentime fraction");
    // The first nine digits are exact enough for microseconds of an hour.
    std::int64_t numer = 0, denom = 1;
    int kept = 0;
    while (t.digit_at(0)) {
      const int d = t.digits(1);
      if (kept < 9) {
        numer = numer * 10 + d;
        denom *= 10;
        ++kept;
      }
    }
    micros = numer * unit * 1000000 / denom;
  }
  int offset = 0;
  const char z = t.peek();
  if (z == 'Z') {
    t.skip();
  } else if (z == '+' || z == '-') {
    t.skip();
    const int oh = t.digits(2);
    if (oh < 0 || oh > 23) fail("gentime offset");
    int om = 0;
    if (t.digit_at(0)) {
      om = t.digits(2);
      if (om < 0 || om > 59) fail("gentime offset");
    }
    offset = (z == '+' ? 1 : -1) * (oh * 3600 + om * 60);
  }
  if (!t.at_end()) fail("trailing time data");
  return civil_seconds(yyyy, mo, dd, hh, mi, ss) - offset + static_cast<double>(micros) / 1e6;
}

}  // namespace

DerElement der_read(const std::uint8_t* begin, const std::uint8_t* end) { return read_at(begin, end, 0); }

std::vector<DerElement> der_children(const DerElement& e) {
  if (!e.constructed) fail("not constructed");
  std::vector<DerElement> out;
  const std::uint8_t* p = e.content.data();
  const std::uint8_t* end = p + e.content.size();
  while (p < end) {
    out.push_back(der_read(p, end));
    p += out.back().total_length;
  }
  return out;
}

std::string der_oid(const DerElement& e) {
  if (!e.universal(kTagOid) || e.content.empty()) fail("expected OID");
  std::string out;
  std::uint64_t v = 0;
  bool first = true;
  for (std::uint8_t b : e.content) {
    // Arcs beyond 56 bits name nothing this reader compares against.
    if (v >> 56) fail("expected OID");
    v = (v << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      if (v < 40) out = "0." + std::to_string(v);
      else if (v < 80) out = "1." + std::to_string(v - 40);
      else out = "2." + std::to_string(v - 80);
      first = false;
    } else {
      out += '.';
      out += std::to_string(v);
    }
    v = 0;
  }
  return out;
}

Bytes der_octets(const DerElement& e) {
  Bytes out;
  octets_into(e, out, 0);
  return out;
}

double der_time(const DerElement& e) {
  if (e.tag_class != 0) fail("not a time");
  if (e.tag == kTagUtcTime) return utc_time(e.content);
  if (e.tag == kTagGeneralizedTime) return generalized_time(e.content);
  fail("not a time");
}

void check_string(const DerElement& e) {
  if (e.tag_class != 0 || e.constructed) return;
  switch (e.tag) {
    case kTagUtf8String:
      if (!valid_utf8(e.content)) fail("utf8 decode");
      break;
    case kTagNumericString:
    case kTagPrintableString:
    case kTagIa5String:
    case kTagVisibleString:
      if (!all_ascii(e.content)) fail("ascii decode");
      break;
    case kTagUtcTime:
    case kTagGeneralizedTime:
      der_time(e);
      break;
    case kTagUniversalString:
      if (const char* why = decode_utf32(e.content, nullptr)) fail(why);
      break;
    case kTagBmpString:
      if (const char* why = decode_utf16(e.content, nullptr)) fail(why);
      break;
    default:
      break;
  }
}

void check_tree(const DerElement& e, int depth, bool general_name) {
  if (depth > kDerMaxDepth) fail("too deep");
  if (!e.constructed) {
    check_string(e);
    if (general_name && e.tag_class == 2 && (e.tag == 1 || e.tag == 2 || e.tag == 6) && !e.content.empty() &&
        !all_ascii(e.content))
      fail("ascii decode (GeneralName)");
    return;
  }
  for (const DerElement& c : der_children(e)) check_tree(c, depth + 1, general_name);
}

std::string der_string(const DerElement& e) {
  check_string(e);
  std::string out;
  if (e.tag_class == 0 && !e.constructed && e.tag == kTagBmpString) {
    decode_utf16(e.content, &out);
  } else if (e.tag_class == 0 && !e.constructed && e.tag == kTagUniversalString) {
    decode_utf32(e.content, &out);
  } else {
    out.assign(reinterpret_cast<const char*>(e.content.data()), e.content.size());
  }
  return out;
}

}  // namespace ember
