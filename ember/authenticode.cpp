#include "ember/authenticode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>
#include <unordered_map>

namespace ember {
namespace {

[[noreturn]] void fail(const char* why) { throw ParseFail(why); }
[[noreturn]] void pe_fail(const char* why) { throw PEParseFail(why); }

constexpr std::string_view kSignedData = "1.2.840.113549.1.7.2";
constexpr std::string_view kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr std::string_view kSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
constexpr std::string_view kTstInfo = "1.2.840.113549.1.9.16.1.4";
constexpr std::string_view kContentType = "1.2.840.113549.1.9.3";
constexpr std::string_view kMessageDigest = "1.2.840.113549.1.9.4";
constexpr std::string_view kSigningTime = "1.2.840.113549.1.9.5";
constexpr std::string_view kCountersignature = "1.2.840.113549.1.9.6";
constexpr std::string_view kNestedSignature = "1.3.6.1.4.1.311.2.4.1";
constexpr std::string_view kTimestampToken = "1.3.6.1.4.1.311.3.3.1";
constexpr std::string_view kOpusInfo = "1.3.6.1.4.1.311.2.1.12";
constexpr std::string_view kStatementType = "1.3.6.1.4.1.311.2.1.11";

bool is_sequence(const DerElement& e) { return e.universal(kTagSequence); }

// True when `e` is an OBJECT IDENTIFIER naming `oid`; any other element is simply not it.
bool oid_is(const DerElement& e, std::string_view oid) {
  return e.universal(kTagOid) && !e.content.empty() && der_oid(e) == oid;
}

bool has_children(const DerElement& e) { return e.constructed && !e.content.empty(); }

// Extensions whose values are parsed and checked, and those of them that hold GeneralNames.
constexpr std::string_view kCheckedExtensions[] = {
    "2.5.29.9",  "2.5.29.14", "2.5.29.15", "2.5.29.16", "2.5.29.17", "2.5.29.18", "2.5.29.19",
    "2.5.29.30", "2.5.29.31", "2.5.29.32", "2.5.29.33", "2.5.29.35", "2.5.29.36", "2.5.29.37",
    "2.5.29.46", "2.5.29.54", "1.3.6.1.5.5.7.1.1", "1.3.6.1.5.5.7.1.11", "1.3.6.1.5.5.7.1.24",
    "1.3.6.1.5.5.7.48.1.5", "1.2.840.113533.7.65.0", "2.16.840.1.113730.1.1", "1.3.6.1.4.1.11129.2.4.2",
    "1.3.6.1.4.1.311.20.2", "1.3.6.1.4.1.311.2.1.10", "1.3.6.1.4.1.311.2.1.27"};
constexpr std::string_view kGeneralNameExtensions[] = {"2.5.29.17", "2.5.29.18", "1.3.6.1.5.5.7.1.1",
                                                       "1.3.6.1.5.5.7.1.11"};

template <std::size_t N>
bool among(const std::string& s, const std::string_view (&list)[N]) {
  return std::find(std::begin(list), std::end(list), s) != std::end(list);
}

// Attributes by type; a repeated type keeps the values of its last occurrence.
using Attributes = std::map<std::string, std::vector<DerElement>, std::less<>>;

Attributes parse_attributes(const DerElement* e) {
  Attributes out;
  if (!e) return out;
  for (const DerElement& attr : der_children(*e)) {
    const std::vector<DerElement> parts = der_children(attr);
    if (parts.size() < 2) fail("attr");
    std::string type = der_oid(parts[0]);
    std::vector<DerElement> values = der_children(parts[1]);
    for (const DerElement& v : values) {
      std::uint64_t want = 0;
      if (type == kContentType) want = kTagOid;
      else if (type == kMessageDigest) want = kTagOctetString;
      else if (type == kCountersignature || type == kNestedSignature || type == kTimestampToken ||
               type == kOpusInfo || type == kStatementType)
        want = kTagSequence;
      else if (type == kSigningTime) {
        if (v.tag_class != 0 || (v.tag != kTagUtcTime && v.tag != kTagGeneralizedTime)) fail("signing time tag");
        continue;
      }
      if (want != 0 && !v.universal(want)) fail("attribute value tag");
    }
    out[std::move(type)] = std::move(values);
  }
  return out;
}

const std::vector<DerElement>* find(const Attributes& a, std::string_view type) {
  const auto it = a.find(type);
  return it == a.end() ? nullptr : &it->second;
}

struct SignerSummary {
  double signing_time = 0;
  bool has_signing_time = false;
  bool has_program_name = false;
  double counter_time = 0;
  bool has_counter_time = false;
  bool has_countersignature = false;
  std::vector<SignedDataInfo> nested;
};

SignedDataInfo signed_data(const DerElement& e, SignedDataMode mode, int depth);

// The SignedData inside a ContentInfo value (nested signature or time-stamp token).
DerElement content_info_signed_data(const DerElement& v, const char* no_children, const char* not_signed,
                                    const char* no_content, const char* empty) {
  const std::vector<DerElement> ci = der_children(v);
  if (ci.empty()) fail(no_children);
  if (!oid_is(ci[0], kSignedData)) fail(not_signed);
  if (ci.size() < 2 || !ci[1].context(0)) fail(no_content);
  if (ci[1].content.empty()) fail(empty);
  return der_read(ci[1].content);
}

SignerSummary signer_info(const DerElement& e, SignerMode mode, int depth) {
  if (depth > kDerMaxDepth) fail("too deep");
  const std::vector<DerElement> c = der_children(e);
  if (c.size() < 5) fail("signerinfo short");
  if (!is_sequence(c[1])) fail("sid is subject_key_identifier");
  if (der_children(c[1]).size() < 2) fail("issuer and serial");
  const DerElement* signed_attrs = c[3].context(0) ? &c[3] : nullptr;
  const std::size_t pos = signed_attrs ? 4 : 3;
  if (c.size() < pos + 2) fail("signerinfo fields");
  if (!has_children(c[pos])) fail("signature algorithm");
  if (!c[pos + 1].universal(kTagOctetString)) fail("signature");
  const DerElement* unsigned_attrs = c.size() > pos + 2 && c[pos + 2].context(1) ? &c[pos + 2] : nullptr;

  const Attributes sa = parse_attributes(signed_attrs);
  const Attributes ua = parse_attributes(unsigned_attrs);
  const auto* content_type = find(sa, kContentType);
  const auto* digest = find(sa, kMessageDigest);
  const auto* signing_time = find(sa, kSigningTime);
  if (!content_type || !digest || (mode == SignerMode::countersigner && !signing_time))
    fail("required attribute missing");
  check_digest_algorithm(c[2]);
  if (digest->size() != 1) fail("message digest count");
  if (content_type->size() != 1) fail("content type count");
  const std::string type = der_oid((*content_type)[0]);
  if ((mode == SignerMode::authenticode && type != kSpcIndirectData) ||
      (mode == SignerMode::timestamp && type != kTstInfo))
    fail("unexpected content type");

  SignerSummary out;
  if (signing_time) {
    if (signing_time->size() != 1) fail("signing time count");
    out.signing_time = der_time((*signing_time)[0]);
    out.has_signing_time = true;
  }
  const auto* counter = find(ua, kCountersignature);
  if (counter) {
    if (counter->size() != 1) fail("countersigner count");
    if (mode == SignerMode::timestamp) fail("countersigner in rfc3161");
    const SignerSummary cs = signer_info((*counter)[0], SignerMode::countersigner, depth + 1);
    out.counter_time = cs.signing_time;
    out.has_counter_time = cs.has_signing_time;
    out.has_countersignature = true;
  }
  if (mode != SignerMode::authenticode) return out;

  if (const auto* statement = find(sa, kStatementType)) {
    if (statement->size() != 1) fail("statement type count");
    for (const DerElement& oid : der_children((*statement)[0])) der_oid(oid);
  }
  if (const auto* opus = find(sa, kOpusInfo)) {
    if (opus->size() != 1) fail("opus info count");
    check_tree((*opus)[0], 0, false);
    for (const DerElement& field : der_children((*opus)[0])) {
      if (!field.context(0)) continue;
      if (field.content.empty()) fail("program name");
      const DerElement name = der_read(field.content);
      if (!(name.context(0) || name.context(1))) fail("SpcString choice");
      out.has_program_name = true;
    }
  }
  if (const auto* nested = find(ua, kNestedSignature)) {
    for (const DerElement& v : *nested) {
      const DerElement sd = content_info_signed_data(v, "nested content info", "nested not signed data",
                                                     "nested content", "nested content empty");
      out.nested.push_back(signed_data(sd, SignedDataMode::authenticode, depth + 1));
    }
  }
  if (const auto* token = find(ua, kTimestampToken)) {
    if (counter) fail("countersignature and rfc3161 both present");
    if (token->size() != 1) fail("rfc3161 count");
    const DerElement sd = content_info_signed_data((*token)[0], "rfc3161 not signed data", "rfc3161 not signed data",
                                                   "rfc3161 content", "rfc3161 content empty");
    const SignedDataInfo ts = signed_data(sd, SignedDataMode::timestamp, depth + 1);
    out.counter_time = ts.counter_time;
    out.has_counter_time = ts.has_counter_time;
    out.has_countersignature = true;
  }
  return out;
}

SignedDataInfo signed_data(const DerElement& e, SignedDataMode mode, int depth) {
  if (depth > kDerMaxDepth) fail("too deep");
  if (!is_sequence(e)) fail("signed data not sequence");
  const std::vector<DerElement> c = der_children(e);
  if (c.size() < 4) fail("signed data short");
  const std::vector<DerElement> algs = der_children(c[1]);
  if (algs.size() != 1) fail("digest algorithms count");
  check_digest_algorithm(algs[0]);
  if (!has_children(c[2])) fail("encap");
  const std::vector<DerElement> encap = der_children(c[2]);
  const std::string encap_type = der_oid(encap[0]);
  if (encap_type != (mode == SignedDataMode::authenticode ? kSpcIndirectData : kTstInfo)) fail("content type mismatch");
  bool has_content = false;
  DerElement content;
  if (encap.size() > 1 && encap[1].context(0) && !encap[1].content.empty()) {
    content = der_read(encap[1].content);
    has_content = true;
  }

  std::size_t i = 3;
  const DerElement* certs = nullptr;
  const DerElement* crls = nullptr;
  if (c[3].context(0)) {
    if (c.size() < 5) fail("signer infos missing");
    certs = &c[3];
    ++i;
  }
  if (i < c.size() && c[i].context(1)) crls = &c[i++];
  SignedDataInfo out;
  if (i >= c.size()) return out;  // no signer: nothing further to check
  if (certs) {
    for (const DerElement& cert : der_children(*certs))
      if (is_sequence(cert)) out.certificates.push_back(parse_certificate(cert));
  }
  std::vector<SignerSummary> signers;
  for (const DerElement& si : der_children(c[i]))
    signers.push_back(signer_info(si, mode == SignedDataMode::authenticode ? SignerMode::authenticode
                                                                           : SignerMode::timestamp,
                                  depth + 1));

  Bytes unwrapped;  // keeps the bytes of an OCTET STRING content alive while it is read
  if (has_content && content.universal(kTagOctetString)) {
    unwrapped = der_octets(content);
    if (unwrapped.empty()) fail("empty content");
    content = der_read(unwrapped);
  }

  if (mode == SignedDataMode::authenticode) {
    if (!has_content) fail("spc content missing");
    const std::vector<DerElement> spc = der_children(content);
    if (spc.size() < 2) fail("spc");
    const std::vector<DerElement> info = der_children(spc[0]);
    if (info.empty() || !oid_is(info[0], kSpcPeImageData)) fail("SpcInfo does not contain SpcPeImageData");
    const std::vector<DerElement> digest_info = der_children(spc[1]);
    if (digest_info.size() < 2) fail("digest info");
    check_digest_algorithm(digest_info[0]);
    if (signers.size() != 1) fail("signer count");
    if (crls && !crls->content.empty()) fail("crls present");
  } else {
    if (!has_content) fail("tst content");
    const std::vector<DerElement> tst = der_children(content);
    if (tst.size() < 5) fail("tstinfo short");
    if (!tst[0].universal(kTagInteger) || tst[0].content.size() != 1 || tst[0].content[0] != 1)
      fail("TSTInfo version");
    der_oid(tst[1]);
    const std::vector<DerElement> imprint = der_children(tst[2]);
    if (imprint.size() < 2) fail("message imprint");
    check_digest_algorithm(imprint[0]);
    const double gen_time = der_time(tst[4]);
    if (signers.size() != 1) fail("rfc3161 signer count");
    out.counter_time = gen_time;
    out.has_counter_time = true;
    out.has_countersignature = true;
  }
  SignerSummary& s = signers[0];
  out.signing_time = s.signing_time;
  out.has_signing_time = s.has_signing_time;
  out.has_program_name = s.has_program_name;
  if (mode == SignedDataMode::authenticode) {
    out.counter_time = s.counter_time;
    out.has_counter_time = s.has_counter_time;
    out.has_countersignature = s.has_countersignature;
  }
  out.nested = std::move(s.nested);
  return out;
}

bool same_name(const DerElement& a, const DerElement& b) { return parse_name(a) == parse_name(b); }

bool same_bytes(ByteSpan a, ByteSpan b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

void visit(const SignedDataInfo& sd, std::uint32_t time_date_stamp, AuthenticodeSummary& s) {
  auto& v = s.values;
  v[AuthenticodeSummary::kSignatureCount] += 1;
  if (!sd.has_program_name) v[AuthenticodeSummary::kMissingProgramName] = 1;
  if (sd.has_countersignature) {
    if (!sd.has_counter_time) fail("countersigner without time");
    v[AuthenticodeSummary::kLatestTimestamp] = std::max(v[AuthenticodeSummary::kLatestTimestamp], sd.counter_time);
    v[AuthenticodeSummary::kTimestampMinusBuild] = sd.counter_time - static_cast<double>(time_date_stamp);
  } else {
    v[AuthenticodeSummary::kMissingTimestamp] = 1;
  }
  v[AuthenticodeSummary::kMaxCertificates] =
      std::max(v[AuthenticodeSummary::kMaxCertificates], static_cast<double>(sd.certificates.size()));
  const auto& certs = sd.certificates;
  for (std::size_t i = 0; i + 1 < certs.size(); ++i)
    if (same_name(certs[i].subject, certs[i].issuer)) v[AuthenticodeSummary::kSelfIssued] = 1;
  // The leaf issued none of the others; issuer contents are counted once so
  // that a signature with many certificates stays linear.
  std::unordered_map<std::string_view, std::size_t> issuers;
  for (const Certificate& c : certs) ++issuers[as_chars(c.issuer.content)];
  for (const Certificate& c : certs) {
    const std::string_view subject = as_chars(c.subject.content);
    const auto it = issuers.find(subject);
    const std::size_t own = same_bytes(c.subject.content, c.issuer.content) ? 1 : 0;
    if (it == issuers.end() || it->second == own) {
      s.names.push_back(common_name(parse_name(c.subject)));
      break;
    }
  }
  for (const SignedDataInfo& n : sd.nested) visit(n, time_date_stamp, s);
}

// Walks the WIN_CERTIFICATE entries of [start, end) of `file`.
void walk_table(ByteSpan file, std::size_t start, std::size_t end, std::uint32_t time_date_stamp,
                AuthenticodeSummary& s) {
  std::size_t pos = start;
  while (pos < end) {
    if (file.size() - pos < 8) pe_fail("beyond file");
    std::uint32_t length = 0;
    std::uint16_t revision = 0, type = 0;
    read_le(file, pos, length);
    read_le(file, pos + 4, revision);
    read_le(file, pos + 6, type);
    if (length < 9 || length > end - pos) pe_fail("invalid length");
    if (revision != 0x0200) pe_fail("revision");
    if (type == 2) {  // PKCS #7 SignedData
      const DerElement ci = der_read(file.data() + pos + 8, file.data() + pos + length);
      const std::vector<DerElement> c = der_children(ci);
      if (c.empty() || !oid_is(c[0], kSignedData)) fail("ContentInfo does not contain SignedData");
      if (c.size() < 2 || !c[1].context(0)) fail("content");
      if (c[1].content.empty()) fail("content empty");
      const SignedDataInfo sd = signed_data(der_read(c[1].content), SignedDataMode::authenticode, 0);
      visit(sd, time_date_stamp, s);
    }
    const std::uint64_t step = (std::uint64_t{length} + 7) / 8 * 8;
    if (step >= end - pos) break;
    pos += step;
  }
}

void locate_table(ByteSpan b, std::size_t& start, std::size_t& size) {
  if (b.size() < 2 || b[0] != 'M' || b[1] != 'Z') pe_fail("MZ");
  if (b.size() < 64) pe_fail("read");
  std::uint32_t lfanew = 0;
  read_le(b, 0x3C, lfanew);
  if (lfanew >= b.size()) pe_fail("pe offset");
  std::uint32_t sig = 0;
  if (!read_le(b, lfanew, sig)) pe_fail("read");
  if (sig != 0x00004550) pe_fail("PE sig");
  if (b.size() - lfanew < 22) pe_fail("read");
  std::uint16_t opt_size = 0;
  read_le(b, std::size_t{lfanew} + 20, opt_size);
  const std::size_t opt_end = std::size_t{lfanew} + 24 + opt_size;
  if (opt_end > b.size()) pe_fail("opt size");
  if (opt_size < 68) pe_fail("opt small");
  std::uint16_t magic = 0;
  if (!read_le(b, std::size_t{lfanew} + 24, magic)) pe_fail("read");
  if (magic != 0x10B && magic != 0x20B) pe_fail("magic");
  const std::size_t plus = magic == 0x20B ? 16 : 0;
  if (opt_end < std::size_t{lfanew} + 120 + plus) pe_fail("no certtable");
  std::uint32_t count = 0;
  if (!read_le(b, std::size_t{lfanew} + 116 + plus, count)) pe_fail("read");
  if (count < 5) pe_fail("no certtable");
  if (opt_end < std::size_t{lfanew} + 160 + plus) pe_fail("no certtable");
  std::uint32_t offset = 0, length = 0;
  if (!read_le(b, std::size_t{lfanew} + 152 + plus, offset) || !read_le(b, std::size_t{lfanew} + 156 + plus, length))
    pe_fail("read");
  if (length == 0) pe_fail("empty certtable");
  if (offset < opt_end || offset > b.size() || length > b.size() - offset) pe_fail("certtable location");
  start = offset;
  size = length;
}

template <typename Body>
AuthenticodeSummary guarded(Body body) {
  AuthenticodeSummary s;
  try {
    body(s);
  } catch (const std::exception& e) {
    if (std::getenv("AV_DEBUG")) std::fprintf(stderr, "authenticode: %s\n", e.what());
    s.values[AuthenticodeSummary::kParseError] = 1;
  } catch (...) {
    if (std::getenv("AV_DEBUG")) std::fprintf(stderr, "authenticode: %s\n", "unknown error");
    s.values[AuthenticodeSummary::kParseError] = 1;
  }
  return s;
}

}  // namespace

Name parse_name(const DerElement& e) {
  if (!is_sequence(e)) fail("name not sequence");
  Name out;
  for (const DerElement& rdn : der_children(e)) {
    const std::vector<DerElement> atvs = der_children(rdn);
    if (atvs.empty()) fail("empty rdn");
    const std::vector<DerElement> atv = der_children(atvs[0]);
    if (atv.size() < 2) fail("bad atv");
    out.emplace_back(der_oid(atv[0]), der_string(atv[1]));
  }
  return out;
}

std::string common_name(const Name& name) {
  for (const auto& [type, value] : name)
    if (type == "2.5.4.3") return value;
  return {};
}

void check_digest_algorithm(const DerElement& e) {
  if (!is_sequence(e)) fail("alg not sequence");
  const std::vector<DerElement> c = der_children(e);
  if (c.empty()) fail("alg empty");
  static constexpr std::string_view kAccepted[] = {"1.2.840.113549.2.5", "1.3.14.3.2.26", "2.16.840.1.101.3.4.2.1",
                                                   "2.16.840.1.101.3.4.2.2", "2.16.840.1.101.3.4.2.3"};
  if (!among(der_oid(c[0]), kAccepted)) fail("digest algorithm not accepted");
  if (c.size() > 1) {
    const DerElement& p = c[1];
    const bool empty_ok = p.content.empty() && (p.universal(kTagOctetString) || p.universal(kTagSequence) ||
                                                p.universal(kTagSet));
    if (!p.universal(kTagNull) && !empty_ok) fail("digest algorithm parameters set");
  }
}

Certificate parse_certificate(const DerElement& e) {
  const std::vector<DerElement> c = der_children(e);
  if (c.size() < 3) fail("cert");
  if (!c[2].universal(kTagBitString)) fail("signature value");
  const std::vector<DerElement> t = der_children(c[0]);
  std::size_t off = 0;
  if (!t.empty() && t[0].context(0)) {
    if (t[0].content.empty() || !der_read(t[0].content).universal(kTagInteger)) fail("version");
    off = 1;
  }
  if (t.size() < 6 + off) fail("tbs short");
  if (!t[off].universal(kTagInteger)) fail("serial");
  if (!is_sequence(t[off + 2])) fail("issuer");
  try {
    if (!is_sequence(t[off + 3])) fail("validity");
    const std::vector<DerElement> validity = der_children(t[off + 3]);
    if (validity.size() != 2) fail("validity");
    der_time(validity[0]);
    der_time(validity[1]);
  } catch (const ParseFail&) {
    fail("validity");
  }
  if (!is_sequence(t[off + 4])) fail("subject");
  const DerElement& spki = t[off + 5];
  if (!is_sequence(spki)) fail("spki");
  const std::vector<DerElement> key = der_children(spki);
  if (key.size() < 2 || !is_sequence(key[0]) || !key[1].universal(kTagBitString)) fail("spki");
  check_tree(key[0], 0, false);
  for (std::size_t i = off + 6; i < t.size(); ++i) {
    if (!t[i].context(3)) continue;
    if (t[i].content.empty()) fail("extensions");
    for (const DerElement& ext : der_children(der_read(t[i].content))) {
      const std::vector<DerElement> parts = der_children(ext);
      if (parts.size() < 2) fail("extension");
      const DerElement& value = parts.back();
      if (!value.universal(kTagOctetString)) fail("extn_value");
      const std::string oid = der_oid(parts[0]);
      if (!among(oid, kCheckedExtensions)) continue;
      if (value.content.empty()) fail("empty extension value");
      check_tree(der_read(value.content), 0, among(oid, kGeneralNameExtensions));
    }
  }
  return Certificate{t[off + 2], t[off + 4]};
}

SignedDataInfo parse_signed_data(const DerElement& e, SignedDataMode mode) { return signed_data(e, mode, 0); }

AuthenticodeSummary authenticode_summary(ByteSpan file, std::uint32_t time_date_stamp) {
  return guarded([&](AuthenticodeSummary& s) {
    std::size_t start = 0, size = 0;
    locate_table(file, start, size);
    walk_table(file, start, start + size, time_date_stamp, s);
  });
}

AuthenticodeSummary certificate_table_summary(ByteSpan table, std::uint32_t time_date_stamp) {
  return guarded([&](AuthenticodeSummary& s) { walk_table(table, 0, table.size(), time_date_stamp, s); });
}

}  // namespace ember
