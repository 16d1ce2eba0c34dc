// Structural reading of the Authenticode signatures in a PE file's
// certificate table, condensed into eight numbers and the signers' names.
// Structure only: no digest, signature or chain is verified and no
// cryptographic library is used. The table is located from the raw bytes.
// The first structural violation ends the work: the summary keeps what was
// gathered before it and records the failure (value 4); with the environment
// variable AV_DEBUG set, "authenticode: <reason>" is written to stderr.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "ember/der_reader.h"
#include "platform/bytes.h"

namespace ember {

// Errors of the certificate-table locator; what() is the short reason.
struct PEParseFail : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct AuthenticodeSummary {
  enum Index {
    kSignatureCount = 0,      // signatures visited, nested ones included
    kSelfIssued = 1,          // a certificate other than the last of its list has subject == issuer
    kMissingProgramName = 2,  // some signature has no program name in its opus info
    kMissingTimestamp = 3,    // some signature has neither countersignature nor RFC 3161 token
    kParseError = 4,          // parsing ended with an error (also: no certificate table)
    kMaxCertificates = 5,     // largest certificate count of one signature
    kLatestTimestamp = 6,     // largest countersignature time, seconds since 1970
    kTimestampMinusBuild = 7, // countersignature time - TimeDateStamp, of the last signature with one
  };
  std::array<double, 8> values{};
  std::vector<std::string> names;  // per visited signature: its leaf certificate's common name
};

struct Certificate {
  DerElement issuer;   // the issuer Name element
  DerElement subject;  // the subject Name element
};

using Name = std::vector<std::pair<std::string, std::string>>;  // (attribute OID, UTF-8 value)

struct SignedDataInfo {
  std::vector<Certificate> certificates;
  double signing_time = 0;
  bool has_signing_time = false;
  bool has_program_name = false;
  double counter_time = 0;
  bool has_counter_time = false;
  bool has_countersignature = false;
  std::vector<SignedDataInfo> nested;
};

enum class SignedDataMode { authenticode, timestamp };
enum class SignerMode { authenticode, countersigner, timestamp };

// The summary of the signatures in a whole PE file. Never throws.
AuthenticodeSummary authenticode_summary(ByteSpan file, std::uint32_t time_date_stamp);
// The same for a certificate table alone (the WIN_CERTIFICATE entries).
AuthenticodeSummary certificate_table_summary(ByteSpan table, std::uint32_t time_date_stamp);

// The layers below throw ParseFail; elements refer into the caller's bytes.
Name parse_name(const DerElement& e);
std::string common_name(const Name& name);  // first 2.5.4.3 value, else ""
Certificate parse_certificate(const DerElement& e);
void check_digest_algorithm(const DerElement& e);
SignedDataInfo parse_signed_data(const DerElement& e, SignedDataMode mode);

}  // namespace ember
