// Verification of a PE file's embedded Authenticode signature: the image
// digest over every byte except the checksum, the certificate-table entry and
// the certificate table must equal the signed digest, the PKCS#7 signature
// must verify, and the signer's chain must reach a trusted root. No network
// access: no revocation data or certificates are fetched.
#pragma once

#include <string>

#include "platform/bytes.h"

namespace av {

struct TrustStore {
  std::string ca_file;  // PEM bundle of trusted roots; empty: the system's store
  std::string ca_dir;   // hashed certificate folder; empty: none beyond ca_file
};

// True, with the signer's display name (its common name, else its
// organisation; may be empty), when the image carries a valid signature.
bool verify_authenticode(ByteSpan image, const TrustStore& store, std::string& signer);

}  // namespace av
