#include "ember/authenticode.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "platform/file_system.h"
#include "support/test_support.h"

namespace {

using ember::AuthenticodeSummary;

std::string output_of(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

std::uint32_t u32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  read_le(as_bytes(b), at, v);
  return v;
}
std::uint32_t time_date_stamp(const std::string& pe) { return u32(pe, u32(pe, 0x3C) + 8); }

// The file offset of the certificate-table directory entry, found independently of the parser.
std::size_t cert_dir_offset(const std::string& pe) {
  const std::size_t opt = u32(pe, 0x3C) + 24;
  const bool plus = static_cast<std::uint8_t>(pe[opt]) == 0x0B && pe[opt + 1] == 0x02;
  return opt + (plus ? 112 : 96) + 4 * 8;
}

// The DER blob of each WIN_CERTIFICATE entry of a signed file.
std::vector<std::string> signature_blobs(const std::string& pe) {
  const std::size_t dir = cert_dir_offset(pe);
  const std::size_t start = u32(pe, dir), size = u32(pe, dir + 4);
  std::vector<std::string> out;
  for (std::size_t p = start; p + 8 <= start + size;) {
    const std::uint32_t len = u32(pe, p);
    if (len < 8) break;
    out.push_back(pe.substr(p + 8, len - 8));
    p += (len + 7) / 8 * 8;
  }
  return out;
}

// What the independent tool reads from a signature blob: per certificate, in
// encoding order, the subject and issuer lines and the subject's common name.
struct ToolCert {
  std::string subject, issuer, cn;
};
std::vector<ToolCert> tool_certificates(const test::TempDir& dir, const std::string& blob) {
  const std::string der = dir.write("blob.der", blob);
  const std::string pem = output_of("openssl pkcs7 -inform DER -in " + der + " -print_certs 2>/dev/null");
  std::vector<ToolCert> out;
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  for (std::size_t at = pem.find(begin); at != std::string::npos;) {
    const std::size_t next = pem.find(begin, at + 1);
    const std::string one = dir.write("one.pem", pem.substr(at, next == std::string::npos ? next : next - at));
    at = next;
    const std::string text =
        output_of("openssl x509 -in " + one + " -noout -subject -issuer -nameopt RFC2253,-esc_msb 2>/dev/null");
    ToolCert cert;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("subject=", 0) == 0) cert.subject = line.substr(8);
      if (line.rfind("issuer=", 0) == 0) cert.issuer = line.substr(7);
    }
    // RFC 2253 lists the most specific component first; only fixtures without escaped commas are read.
    const std::size_t cn = cert.subject.rfind("CN=", 0) == 0 ? 0 : cert.subject.find(",CN=");
    if (cn != std::string::npos) {
      const std::size_t from = cn == 0 ? 3 : cn + 4;
      const std::size_t end = cert.subject.find(',', from);
      cert.cn = cert.subject.substr(from, end == std::string::npos ? end : end - from);
    }
    out.push_back(cert);
  }
  return out;
}

// The leaf by the tool's view: the first certificate that issued none of the others.
std::string tool_leaf_name(const std::vector<ToolCert>& certs) {
  for (std::size_t i = 0; i < certs.size(); ++i) {
    bool issuer = false;
    for (std::size_t j = 0; j < certs.size(); ++j) issuer |= j != i && certs[j].issuer == certs[i].subject;
    if (!issuer) return certs[i].cn;
  }
  return "";
}


// A definite-length DER tree that tests edit and encode again.
struct Node {
  std::string header_tag;  // identifier octets
  bool constructed = false;
  std::string value;       // primitive content
  std::vector<Node> kids;

  static Node parse(ByteSpan b) {
    const ember::DerElement e = ember::der_read(b);
    Node n;
    const std::size_t header = e.total_length - e.content.size();
    std::size_t tag_len = 1;
    if ((b[0] & 0x1F) == 0x1F)
      while (b[tag_len] & 0x80) ++tag_len;
    if ((b[0] & 0x1F) == 0x1F) ++tag_len;
    n.header_tag = std::string(as_chars(b.first(tag_len)));
    (void)header;
    n.constructed = e.constructed;
    if (!e.constructed) {
      n.value = std::string(as_chars(e.content));
    } else {
      for (ByteSpan rest = e.content; !rest.empty();) {
        const std::size_t len = ember::der_read(rest).total_length;
        n.kids.push_back(parse(rest.first(len)));
        rest = rest.subspan(len);
      }
    }
    return n;
  }
  std::string encode() const {
    std::string content;
    if (constructed)
      for (const Node& k : kids) content += k.encode();
    else
      content = value;
    std::string len;
    if (content.size() < 0x80) {
      len = std::string(1, static_cast<char>(content.size()));
    } else {
      for (std::size_t n = content.size(); n; n >>= 8) len.insert(len.begin(), static_cast<char>(n & 0xFF));
      len.insert(len.begin(), static_cast<char>(0x80 | len.size()));
    }
    return header_tag + len + content;
  }
  static Node make(int tag, std::vector<Node> kids) {
    Node n;
    n.header_tag = std::string(1, static_cast<char>(tag));
    n.constructed = true;
    n.kids = std::move(kids);
    return n;
  }
  static Node prim(int tag, std::string value) {
    Node n;
    n.header_tag = std::string(1, static_cast<char>(tag));
    n.value = std::move(value);
    return n;
  }
};

const std::string kMd2 = std::string("\x2A\x86\x48\x86\xF7\x0D\x02\x02", 8);
const std::string kContentTypeOid = std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x03", 9);
const std::string kCounterSignatureOid = std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x06", 9);

// Test programs, certificates and signed images made once with independent
// tools: a compiler for Windows programs, openssl and the signing tool.
class Signed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"openssl", "osslsigncode", "x86_64-w64-mingw32-gcc", "i686-w64-mingw32-gcc"})
      if (!test::have_tool(tool)) {
        missing_ = tool;
        return;
      }
    dir_ = std::make_unique<test::TempDir>();
    const std::string d = dir_->path();
    dir_->write("hello.c", "int main(void) { return 42; }\n");
    dir_->write("ca.ext", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
    dir_->write("leaf.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n"
                            "subjectAltName=DNS:sign.example.test,URI:http://example.test/\n");
    dir_->write("tsa.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                           "extendedKeyUsage=critical,timeStamping\n");
    dir_->write("ca.cnf", "[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n"
                          "default_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n");
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string steps[] = {
        "x86_64-w64-mingw32-gcc -O1 -o hello64.exe hello.c",
        "i686-w64-mingw32-gcc -O1 -o hello32.exe hello.c",
        "openssl req -x509" + key + " -keyout root.key -out root.pem -days 3650 -subj '/CN=Keltharon Test Root'"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign",
        "openssl req" + key + " -keyout ca.key -out ca.csr -subj '/CN=Keltharon Test Code CA/O=Keltharon Test'",
        "openssl x509 -req -in ca.csr -CA root.pem -CAkey root.key -CAcreateserial -out ca.pem -days 3650"
        " -extfile ca.ext",
        "openssl req" + key + " -keyout leaf.key -out leaf.csr -subj '/CN=Keltharon Test Publisher/O=Keltharon Test'",
        "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out leaf.pem -days 365"
        " -extfile leaf.ext",
        "cat leaf.pem ca.pem root.pem > chain.pem",
        "openssl req -x509 -utf8" + key + " -keyout self.key -out self.pem -days 365"
        " -subj '/CN=Keltharon Self Signer \xC3\x9C'",
        "openssl req" + key + " -keyout tsa.key -out tsa.csr -subj '/CN=Keltharon Test Time Stamps'",
        "openssl x509 -req -in tsa.csr -CA root.pem -CAkey root.key -CAcreateserial -out tsa.pem -days 3650"
        " -extfile tsa.ext",
        "cat tsa.pem root.pem > tsachain.pem",
        "openssl req" + key + " -keyout old.key -out old.csr -subj '/CN=Keltharon Expired Publisher'",
        ": > index.txt && echo 01 > serial && openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key"
        " -in old.csr -out old.pem -startdate 20200101000000Z -enddate 20210101000000Z -notext -extfile leaf.ext",
        "cat old.pem ca.pem > oldchain.pem",
        // One self-signed signer; a three-certificate chain with a program name; a time stamp
        // from a local authority at a fixed time; a second signature nested in the first.
        "osslsigncode sign -h sha256 -certs self.pem -key self.key -in hello64.exe -out one.exe",
        "osslsigncode sign -h sha256 -certs chain.pem -key leaf.key -n 'Hello Program' -in hello64.exe -out chain.exe",
        "osslsigncode sign -h sha256 -certs chain.pem -key leaf.key -n 'Hello Program' -TSA-certs tsachain.pem"
        " -TSA-key tsa.key -TSA-time 1700000000 -in hello32.exe -out stamped32.exe",
        "osslsigncode sign -h sha1 -certs self.pem -key self.key -in chain.exe -out dual.exe -nest"
        " -TSA-certs tsachain.pem -TSA-key tsa.key -TSA-time 1800000000",
        "osslsigncode sign -h sha256 -certs self.pem -key self.key -n 'Nested' -in stamped32.exe -out dualstamped.exe"
        " -nest -TSA-certs tsachain.pem -TSA-key tsa.key -TSA-time 1750000000",
        "osslsigncode sign -h sha256 -certs oldchain.pem -key old.key -in hello64.exe -out expired.exe",
    };
    for (const std::string& step : steps) {
      if (test::sh("cd " + d + " && " + step) != 0) {
        failed_step_ = step;
        return;
      }
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << missing_ << " is not installed";
    ASSERT_EQ(failed_step_, "");
  }
  static std::string image(const std::string& name) { return read_whole_file(dir_->file(name)); }
  static AuthenticodeSummary summary(const std::string& pe) {
    return ember::authenticode_summary(as_bytes(pe), time_date_stamp(pe));
  }

  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::string missing_, failed_step_;
};

using V = AuthenticodeSummary;

TEST_F(Signed, SummariesOfToolMadeSignatures) {
  struct Case {
    const char* file;
    double count, self_issued, no_program, no_stamp, certs;
    std::vector<std::string> names;
  } cases[] = {
      {"one.exe", 1, 0, 1, 1, 1, {"Keltharon Self Signer \xC3\x9C"}},
      {"chain.exe", 1, -1, 0, 1, 3, {"Keltharon Test Publisher"}},
      {"stamped32.exe", 1, -1, 0, 0, 3, {"Keltharon Test Publisher"}},
      {"dual.exe", 2, -1, 1, 1, 3, {"Keltharon Test Publisher", "Keltharon Self Signer \xC3\x9C"}},
      {"dualstamped.exe", 2, -1, 0, 0, 3, {"Keltharon Test Publisher", "Keltharon Self Signer \xC3\x9C"}},
      {"expired.exe", 1, -1, 1, 1, 2, {"Keltharon Expired Publisher"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string pe = image(c.file);
    const AuthenticodeSummary s = summary(pe);
    EXPECT_EQ(s.values[V::kParseError], 0);
    EXPECT_EQ(s.values[V::kSignatureCount], c.count);
    EXPECT_EQ(s.values[V::kMissingProgramName], c.no_program);
    EXPECT_EQ(s.values[V::kMissingTimestamp], c.no_stamp);
    EXPECT_EQ(s.values[V::kMaxCertificates], c.certs);
    EXPECT_EQ(s.names, c.names);

    // The independent reading of the outer signature agrees on the certificates.
    const std::vector<std::string> blobs = signature_blobs(pe);
    ASSERT_EQ(blobs.size(), 1u);
    const std::vector<ToolCert> certs = tool_certificates(*dir_, blobs[0]);
    ASSERT_EQ(static_cast<double>(certs.size()), c.certs);
    EXPECT_EQ(tool_leaf_name(certs), s.names[0]);
    double self_issued = 0;
    for (std::size_t i = 0; i + 1 < certs.size(); ++i)
      if (certs[i].subject == certs[i].issuer) self_issued = 1;
    EXPECT_EQ(s.values[V::kSelfIssued], c.self_issued >= 0 ? c.self_issued : self_issued);
  }
}

TEST_F(Signed, TimeStampsAgainstBuildTime) {
  const std::string pe = image("stamped32.exe");
  const AuthenticodeSummary s = summary(pe);
  EXPECT_EQ(s.values[V::kLatestTimestamp], 1700000000.0);
  EXPECT_EQ(s.values[V::kTimestampMinusBuild], 1700000000.0 - time_date_stamp(pe));
  EXPECT_EQ(ember::authenticode_summary(as_bytes(pe), 1600000000).values[V::kTimestampMinusBuild], 100000000.0);
  // Only the nested signature of the dual-signed file is stamped.
  const AuthenticodeSummary dual = summary(image("dual.exe"));
  EXPECT_EQ(dual.values[V::kLatestTimestamp], 1800000000.0);
  EXPECT_EQ(dual.values[V::kMissingTimestamp], 1);
  // Both signatures stamped: the latest stamp counts, the difference is the nested (last visited) one's.
  const std::string both = image("dualstamped.exe");
  const AuthenticodeSummary stamped = summary(both);
  EXPECT_EQ(stamped.values[V::kLatestTimestamp], 1750000000.0);
  EXPECT_EQ(stamped.values[V::kTimestampMinusBuild], 1750000000.0 - time_date_stamp(both));
}

TEST_F(Signed, TrailingBytesAndDamage) {
  const std::string pe = image("chain.exe");
  const AuthenticodeSummary good = summary(pe);
  // Bytes after the certificate table are outside it.
  EXPECT_EQ(summary(pe + std::string(4096, '\x7F')).values, good.values);
  // A damaged signature value is still a well-formed structure: nothing is verified.
  const std::vector<std::string> blobs = signature_blobs(pe);
  const std::size_t table = u32(pe, cert_dir_offset(pe));
  std::string sig = pe;
  const std::size_t last = table + 8 + blobs[0].size() - 5;
  sig[last] = static_cast<char>(sig[last] ^ 0x55);
  EXPECT_EQ(summary(sig).values, good.values);
  // Structural damage: the outer tag, a length, the entry's revision, its length.
  struct Damage {
    std::size_t at;
    std::uint8_t value;
  } damages[] = {{table + 8, 0x04}, {table + 9, 0x84}, {table + 4, 0x01}, {table + 3, 0x7F}, {table, 0x04}};
  for (const Damage& d : damages) {
    std::string bad = pe;
    bad[d.at] = static_cast<char>(d.value);
    const AuthenticodeSummary s = summary(bad);
    EXPECT_EQ(s.values[V::kParseError], 1) << d.at - table;
    EXPECT_EQ(s.values[V::kSignatureCount], 0);
  }
  // Every truncation fails cleanly; none crashes.
  for (std::size_t n = 0; n < pe.size(); n += 61) {
    const std::string cut = pe.substr(0, n);
    const AuthenticodeSummary s = summary(cut);
    EXPECT_EQ(s.values[V::kParseError], 1) << n;
  }
}

TEST_F(Signed, UnsignedImagesAndDebugOutput) {
  for (const char* file : {"hello32.exe", "hello64.exe"}) {
    const std::string pe = image(file);
    ASSERT_EQ(setenv("AV_DEBUG", "1", 1), 0);
    testing::internal::CaptureStderr();
    const AuthenticodeSummary s = summary(pe);
    const std::string err = testing::internal::GetCapturedStderr();
    unsetenv("AV_DEBUG");
    EXPECT_EQ(err, "authenticode: empty certtable\n");
    const std::array<double, 8> expected{0, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(s.values, expected);
    EXPECT_TRUE(s.names.empty());
    // Without the switch nothing is printed.
    testing::internal::CaptureStderr();
    summary(pe);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

// Rewrites the certificate-table entry of `pe` to point at `table`, appended at an 8-byte boundary.
std::string with_table(std::string pe, const std::string& table) {
  pe.resize((pe.size() + 7) / 8 * 8, '\0');
  const std::uint32_t at = static_cast<std::uint32_t>(pe.size()), size = static_cast<std::uint32_t>(table.size());
  const std::size_t dir = cert_dir_offset(pe);
  for (int i = 0; i < 4; ++i) {
    pe[dir + i] = static_cast<char>(at >> (8 * i));
    pe[dir + 4 + i] = static_cast<char>(size >> (8 * i));
  }
  return pe + table;
}

std::string entry(std::uint32_t length, std::uint16_t revision, std::uint16_t type, const std::string& body) {
  std::string e(8, '\0');
  for (int i = 0; i < 4; ++i) e[i] = static_cast<char>(length >> (8 * i));
  e[4] = static_cast<char>(revision);
  e[5] = static_cast<char>(revision >> 8);
  e[6] = static_cast<char>(type);
  e[7] = static_cast<char>(type >> 8);
  return e + body;
}

std::string debug_reason(const std::string& pe) {
  setenv("AV_DEBUG", "", 1);
  testing::internal::CaptureStderr();
  const AuthenticodeSummary s = ember::authenticode_summary(as_bytes(pe), 0);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("AV_DEBUG");
  if (s.values[V::kParseError] != 1) return "";
  const std::string prefix = "authenticode: ";
  return err.rfind(prefix, 0) == 0 ? err.substr(prefix.size(), err.size() - prefix.size() - 1) : "?" + err;
}

TEST_F(Signed, CertificateTableWalk) {
  const std::string pe = image("hello64.exe");
  const std::string blob = signature_blobs(image("chain.exe"))[0];
  const std::string pkcs = entry(static_cast<std::uint32_t>(blob.size() + 8), 0x200, 2, blob);
  const std::string pad((8 - pkcs.size() % 8) % 8, '\0');
  // An X.509 entry alone is skipped without an error.
  EXPECT_EQ(ember::authenticode_summary(as_bytes(with_table(pe, entry(16, 0x200, 1, std::string(8, 'x')))), 0).values,
            (std::array<double, 8>{}));
  // Two PKCS entries are two signatures.
  const AuthenticodeSummary two = ember::authenticode_summary(as_bytes(with_table(pe, pkcs + pad + pkcs + pad)), 0);
  EXPECT_EQ(two.values[V::kSignatureCount], 2);
  EXPECT_EQ(two.values[V::kParseError], 0);
  EXPECT_EQ(two.names.size(), 2u);
  // Bytes after the signature inside its entry are not read.
  const std::string tail = blob + std::string(13, '\x5A');
  const AuthenticodeSummary trailing = ember::authenticode_summary(
      as_bytes(with_table(pe, entry(static_cast<std::uint32_t>(tail.size() + 8), 0x200, 2, tail))), 0);
  EXPECT_EQ(trailing.values[V::kParseError], 0);
  EXPECT_EQ(trailing.values[V::kSignatureCount], 1);
  // The same table handed over on its own.
  EXPECT_EQ(ember::certificate_table_summary(as_bytes(pkcs + pad + pkcs), 0).values, two.values);
  // A good entry followed by a bad one keeps what the first gave.
  const AuthenticodeSummary half =
      ember::authenticode_summary(as_bytes(with_table(pe, pkcs + pad + entry(16, 0x100, 2, std::string(8, 'x')))), 0);
  EXPECT_EQ(half.values[V::kSignatureCount], 1);
  EXPECT_EQ(half.values[V::kParseError], 1);
  EXPECT_EQ(half.names.size(), 1u);

  struct Case {
    std::string pe;
    const char* why;
  } cases[] = {
      {"", "MZ"},
      {"MZ" + std::string(40, '\0'), "read"},
      {pe.substr(0, 0x3C) + "\xFF\xFF\xFF\x7F" + pe.substr(0x40), "pe offset"},
      {with_table(pe, entry(8, 0x200, 2, "")), "invalid length"},
      {with_table(pe, entry(100, 0x200, 2, std::string(8, 'x'))), "invalid length"},
      {with_table(pe, entry(16, 0x201, 2, std::string(8, 'x'))), "revision"},
      {with_table(pe, entry(16, 0x200, 2, std::string(8, '\x30'))), "len beyond data"},
      {with_table(pe, entry(12, 0x200, 2, std::string("\x30\x02\x05\x00", 4))), "ContentInfo does not contain SignedData"},
      {with_table(pe, entry(21, 0x200, 2, std::string("\x30\x0B\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 13))),
       "content"},
      {with_table(pe, entry(23, 0x200, 2, std::string("\x30\x0D\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02\xA0\x00", 15))),
       "content empty"},
      {with_table(pe, entry(25, 0x200, 2,
                            std::string("\x30\x0F\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02\xA0\x02\x05\x00", 17))),
       "signed data not sequence"},
  };
  for (const Case& c : cases) EXPECT_EQ(debug_reason(c.pe), c.why);

  // A table placed over the headers or past the end of the file.
  std::string over = with_table(pe, pkcs);
  over[cert_dir_offset(over)] = 0x10;
  over[cert_dir_offset(over) + 1] = over[cert_dir_offset(over) + 2] = over[cert_dir_offset(over) + 3] = 0;
  EXPECT_EQ(debug_reason(over), "certtable location");
  EXPECT_EQ(debug_reason(with_table(pe, pkcs).substr(0, pe.size() + 100)), "certtable location");
}


TEST_F(Signed, EditedSignatureStructures) {
  const std::string blob = signature_blobs(image("stamped32.exe"))[0];
  const Node original = Node::parse(as_bytes(blob));
  auto table_of = [](const Node& root) {
    const std::string der = root.encode();
    return entry(static_cast<std::uint32_t>(der.size() + 8), 0x200, 2, der);
  };
  // The unedited re-encoding is the original (before the entry's padding).
  ASSERT_TRUE(blob.starts_with(original.encode()));
  auto reason_of = [&](const Node& root) {
    setenv("AV_DEBUG", "", 1);
    testing::internal::CaptureStderr();
    const AuthenticodeSummary s = ember::certificate_table_summary(as_bytes(table_of(root)), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    unsetenv("AV_DEBUG");
    return s.values[V::kParseError] == 0 ? std::string() : err.substr(14, err.size() - 15);
  };
  EXPECT_EQ(reason_of(original), "");
  auto sd = [](Node& root) -> Node& { return root.kids[1].kids[0]; };
  auto signer = [&](Node& root) -> Node& { return sd(root).kids[4].kids[0]; };

  struct Edit {
    const char* why;
    std::function<void(Node&)> apply;
  } edits[] = {
      {"digest algorithm not accepted", [&](Node& r) { sd(r).kids[1].kids[0].kids[0].value = kMd2; }},
      {"digest algorithms count", [&](Node& r) { sd(r).kids[1].kids.push_back(sd(r).kids[1].kids[0]); }},
      {"digest algorithm parameters set",
       [&](Node& r) { sd(r).kids[1].kids[0].kids.resize(1), sd(r).kids[1].kids[0].kids.push_back(Node::prim(2, "\x01")); }},
      {"content type mismatch", [&](Node& r) { sd(r).kids[2].kids[0].value.back() ^= 1; }},
      {"SpcInfo does not contain SpcPeImageData",
       [&](Node& r) { sd(r).kids[2].kids[1].kids[0].kids[0].kids[0].value.back() ^= 1; }},
      {"signer count", [&](Node& r) { sd(r).kids[4].kids.push_back(signer(r)); }},
      {"crls present",
       [&](Node& r) { sd(r).kids.insert(sd(r).kids.begin() + 4, Node::make(0xA1, {Node::prim(5, "")})); }},
      {"sid is subject_key_identifier", [&](Node& r) { signer(r).kids[1] = Node::prim(0x80, "key-id"); }},
      {"signerinfo short", [&](Node& r) { signer(r).kids.resize(4); }},
      {"validity", [&](Node& r) { sd(r).kids[3].kids[0].kids[0].kids[4].kids[0].value = "991332000000Z"; }},
      {"cert", [&](Node& r) { sd(r).kids[3].kids[0].kids.resize(2); }},
      {"unexpected content type",
       [&](Node& r) {
         for (Node& attr : signer(r).kids[3].kids)
           if (attr.kids[0].value == kContentTypeOid) attr.kids[1].kids[0].value.back() ^= 1;
       }},
      {"countersignature and rfc3161 both present",
       [&](Node& r) {
         // The time-stamp authority's own SignerInfo serves as a legacy countersignature too.
         Node& unsigned_attrs = signer(r).kids.back();
         const Node& token = unsigned_attrs.kids[0].kids[1].kids[0];
         const Node& ts_signer = token.kids[1].kids[0].kids.back().kids[0];
         unsigned_attrs.kids.insert(unsigned_attrs.kids.begin(),
                                    Node::make(0x30, {Node::prim(6, kCounterSignatureOid),
                                                      Node::make(0x31, {ts_signer})}));
       }},
  };
  for (const Edit& e : edits) {
    Node edited = original;
    e.apply(edited);
    EXPECT_EQ(reason_of(edited), e.why);
  }
  // Without certificates the signature still counts, with no name and no certificate.
  Node bare = original;
  sd(bare).kids.erase(sd(bare).kids.begin() + 3);
  const AuthenticodeSummary s = ember::certificate_table_summary(as_bytes(table_of(bare)), 0);
  EXPECT_EQ(s.values[V::kParseError], 0);
  EXPECT_EQ(s.values[V::kSignatureCount], 1);
  EXPECT_EQ(s.values[V::kMaxCertificates], 0);
  EXPECT_TRUE(s.names.empty());
}

// A real third-party chain: boot loaders signed by their distributor.
TEST(VendorSigned, EfiBinariesAgreeWithTheTool) {
  std::vector<std::string> files;
  for (const char* f : {"/usr/lib/shim/shimx64.efi.signed", "/usr/lib/shim/fbx64.efi.signed",
                        "/usr/lib/shim/mmx64.efi.signed"})
    if (path_exists(f)) files.push_back(f);
  if (files.empty() || !test::have_tool("openssl")) GTEST_SKIP() << "shim-signed or openssl is not installed";
  test::TempDir dir;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    const std::string pe = read_whole_file(f);
    const AuthenticodeSummary s = ember::authenticode_summary(as_bytes(pe), time_date_stamp(pe));
    const std::vector<std::string> blobs = signature_blobs(pe);
    ASSERT_FALSE(blobs.empty());
    EXPECT_EQ(s.values[V::kParseError], 0);
    EXPECT_EQ(s.values[V::kSignatureCount], static_cast<double>(blobs.size()));
    std::vector<std::string> names;
    std::size_t most = 0;
    for (const std::string& blob : blobs) {
      const std::vector<ToolCert> certs = tool_certificates(dir, blob);
      ASSERT_FALSE(certs.empty());
      names.push_back(tool_leaf_name(certs));
      most = std::max(most, certs.size());
    }
    EXPECT_EQ(s.names, names);
    EXPECT_EQ(s.values[V::kMaxCertificates], static_cast<double>(most));
  }
}

}  // namespace
