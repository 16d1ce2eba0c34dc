#include "av/authenticode_verifier.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

namespace av {
namespace {

struct PeLayout {
  std::size_t checksum_off = 0;
  std::size_t secdir_off = 0;
  std::size_t cert_off = 0;
  std::size_t cert_size = 0;
};

// Locates the checksum field, the certificate-table directory entry and the
// table itself; every offset is checked against the image.
bool locate(ByteSpan b, PeLayout& out) {
  std::uint32_t lfanew = 0;
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z' || !read_le(b, 0x3C, lfanew)) return false;
  std::uint32_t sig = 0;
  if (!read_le(b, lfanew, sig) || sig != 0x00004550) return false;
  std::uint16_t opt_size = 0, magic = 0;
  if (!read_le(b, std::size_t{lfanew} + 20, opt_size)) return false;
  const std::size_t opt = std::size_t{lfanew} + 24;
  if (!read_le(b, opt, magic)) return false;
  std::size_t count_off, dirs;
  if (magic == 0x10B) {
    count_off = opt + 92;
    dirs = opt + 96;
  } else if (magic == 0x20B) {
    count_off = opt + 108;
    dirs = opt + 112;
  } else {
    return false;
  }
  std::uint32_t count = 0;
  if (!read_le(b, count_off, count) || count < 5) return false;
  out.checksum_off = opt + 64;
  out.secdir_off = dirs + 4 * 8;
  if (out.secdir_off + 8 > opt + opt_size || out.secdir_off + 8 > b.size()) return false;
  std::uint32_t va = 0, size = 0;
  read_le(b, out.secdir_off, va);
  read_le(b, out.secdir_off + 4, size);
  if (va == 0 || size < 8 || va < out.secdir_off + 8 || va > b.size() || b.size() - va < size) return false;
  out.cert_off = va;
  out.cert_size = size;
  return true;
}

bool image_digest(ByteSpan b, const PeLayout& l, const EVP_MD* md, unsigned char* out, unsigned int& len) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  const std::size_t ranges[4][2] = {{0, l.checksum_off},
                                    {l.checksum_off + 4, l.secdir_off},
                                    {l.secdir_off + 8, l.cert_off},
                                    {l.cert_off + l.cert_size, b.size()}};
  for (const auto& r : ranges) {
    if (r[1] > r[0] && EVP_DigestUpdate(ctx.get(), b.data() + r[0], r[1] - r[0]) != 1) return false;
  }
  return EVP_DigestFinal_ex(ctx.get(), out, &len) == 1;
}

// One DER element: tag, and the span of its contents.
struct Der {
  int tag = 0;
  const unsigned char* body = nullptr;
  long len = 0;
  const unsigned char* end = nullptr;  // just past the element
};

bool der_next(const unsigned char*& p, const unsigned char* limit, Der& out) {
  if (p >= limit) return false;
  long len = 0;
  int tag = 0, cls = 0;
  const unsigned char* q = p;
  const int rc = ASN1_get_object(&q, &len, &tag, &cls, limit - p);
  if (rc & 0x80 || rc == 0x21) return false;  // error, or indefinite length
  if (len < 0 || len > limit - q) return false;
  out.tag = tag;
  out.body = q;
  out.len = len;
  out.end = q + len;
  p = out.end;
  return true;
}

// From the SpcIndirectDataContent, the digest algorithm and the signed image
// digest; `inner` is the content's bytes without the outer tag and length,
// over which the signature's message digest was computed.
bool parse_indirect_data(const ASN1_STRING* seq, const EVP_MD*& md, std::string& digest, ByteSpan& inner) {
  const unsigned char* p = ASN1_STRING_get0_data(seq);
  const unsigned char* limit = p + ASN1_STRING_length(seq);
  Der outer, data, digest_info, alg, oid, value;
  if (!der_next(p, limit, outer) || outer.tag != V_ASN1_SEQUENCE) return false;
  inner = ByteSpan(outer.body, static_cast<std::size_t>(outer.len));
  const unsigned char* c = outer.body;
  if (!der_next(c, outer.end, data) || !der_next(c, outer.end, digest_info) || digest_info.tag != V_ASN1_SEQUENCE)
    return false;
  const unsigned char* d = digest_info.body;
  if (!der_next(d, digest_info.end, alg) || alg.tag != V_ASN1_SEQUENCE || !der_next(d, digest_info.end, value) ||
      value.tag != V_ASN1_OCTET_STRING)
    return false;
  const unsigned char* a = alg.body;
  const unsigned char* oid_start = a;
  if (!der_next(a, alg.end, oid) || oid.tag != V_ASN1_OBJECT) return false;
  const unsigned char* op = oid_start;
  std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(d2i_ASN1_OBJECT(nullptr, &op, oid.end - oid_start),
                                                                ASN1_OBJECT_free);
  if (!obj) return false;
  md = EVP_get_digestbynid(OBJ_obj2nid(obj.get()));
  if (md == nullptr) return false;
  digest.assign(reinterpret_cast<const char*>(value.body), static_cast<std::size_t>(value.len));
  return true;
}

std::string display_name(X509* cert) {
  X509_NAME* subject = X509_get_subject_name(cert);
  for (int nid : {NID_commonName, NID_organizationName}) {
    const int idx = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (idx < 0) continue;
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx)));
    if (n > 0) {
      std::string name(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
      OPENSSL_free(utf8);
      if (name.size() > 255) name.resize(255);
      return name;
    }
    OPENSSL_free(utf8);
  }
  return {};
}

}  // namespace

bool verify_authenticode(ByteSpan image, const TrustStore& trust, std::string& signer) {
  PeLayout layout;
  if (!locate(image, layout)) return false;
  std::uint32_t length = 0;
  std::uint16_t revision = 0, type = 0;
  read_le(image, layout.cert_off, length);
  read_le(image, layout.cert_off + 4, revision);
  read_le(image, layout.cert_off + 6, type);
  if (type != 2 || length < 8 || length > layout.cert_size) return false;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  const unsigned char* p = image.data() + layout.cert_off + 8;
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(length - 8)), PKCS7_free);
  if (!p7 || !PKCS7_type_is_signed(p7.get())) return false;
  PKCS7* contents = p7->d.sign->contents;
  if (!contents || OBJ_obj2txt(nullptr, 0, contents->type, 1) <= 0) return false;
  char oid[64];
  OBJ_obj2txt(oid, sizeof oid, contents->type, 1);
  if (std::strcmp(oid, "1.3.6.1.4.1.311.2.1.4") != 0) return false;  // SPC_INDIRECT_DATA
  const ASN1_TYPE* other = contents->d.other;
  if (!other || other->type != V_ASN1_SEQUENCE) return false;
  const EVP_MD* md = nullptr;
  std::string signed_digest;
  ByteSpan inner;
  if (!parse_indirect_data(other->value.sequence, md, signed_digest, inner)) return false;
  unsigned char computed[EVP_MAX_MD_SIZE];
  unsigned int computed_len = 0;
  if (!image_digest(image, layout, md, computed, computed_len)) return false;
  if (signed_digest.size() != computed_len || std::memcmp(signed_digest.data(), computed, computed_len) != 0)
    return false;

  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  if (!store) return false;
  if (trust.ca_file.empty() && trust.ca_dir.empty()) {
    if (X509_STORE_set_default_paths(store.get()) != 1) return false;
  } else if (X509_STORE_load_locations(store.get(), trust.ca_file.empty() ? nullptr : trust.ca_file.c_str(),
                                       trust.ca_dir.empty() ? nullptr : trust.ca_dir.c_str()) != 1) {
    return false;
  }
  // Code-signing certificates carry their own key usage; any purpose the chain allows is accepted.
  X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
  std::unique_ptr<BIO, decltype(&BIO_free)> content(BIO_new_mem_buf(inner.data(), static_cast<int>(inner.size())),
                                                    BIO_free);
  if (!content || PKCS7_verify(p7.get(), nullptr, store.get(), content.get(), nullptr, PKCS7_BINARY) != 1) return false;
  STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
  signer = signers && sk_X509_num(signers) > 0 ? display_name(sk_X509_value(signers, 0)) : std::string();
  sk_X509_free(signers);
  return true;
}

}  // namespace av
