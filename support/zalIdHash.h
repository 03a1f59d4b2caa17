#pragma once
// Message digests: SHA-1 (FIPS 180-4), MD5 (RFC 1321) and MD4 (RFC 1320), with the
// digest as octets or as uppercase hexadecimal text.
#include "support/zalIdException.h"
#include "support/zalIdTextEncoding.h"
#include "support/zalStream.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zal {

// Creating an MD4 or MD5 hash while the TLS library runs in FIPS mode.
class EIdFIPSAlgorithmNotAllowed : public EIdException {
public:
  explicit EIdFIPSAlgorithmNotAllowed(const std::string& algorithm)
      : EIdException("Algorithm " + algorithm + " not permitted in FIPS mode") {}
};

// A digest algorithm. Objects are not shared between threads; each call hashes
// its input from scratch.
class TIdHash {
public:
  virtual ~TIdHash() = default;

  // The digest of `ASrc` encoded with `ADestEncoding` (the default encoding when none is given).
  TIdBytes HashString(std::string_view ASrc, const IIdTextEncoding* ADestEncoding = nullptr) const;
  std::string HashStringAsHex(std::string_view ASrc, const IIdTextEncoding* ADestEncoding = nullptr) const;
  TIdBytes HashBytes(std::span<const uint8_t> ASrc) const;
  std::string HashBytesAsHex(std::span<const uint8_t> ASrc) const;
  // The digest of `ASize` octets (-1: to the end) from `AStartPos` (-1: the current
  // position); the stream is read in blocks, never copied whole.
  TIdBytes HashStream(TStream& AStream, int64_t AStartPos = -1, int64_t ASize = -1) const;
  std::string HashStreamAsHex(TStream& AStream, int64_t AStartPos = -1, int64_t ASize = -1) const;

  size_t DigestSize() const;

protected:
  // `algorithm` is the name OpenSSL knows the digest by ("SHA1", "MD5", "MD4").
  explicit TIdHash(const char* algorithm);

private:
  const char* FAlgorithm;
};

class TIdHashSHA1 : public TIdHash {
public:
  TIdHashSHA1() : TIdHash("SHA1") {}
};

// Raises EIdFIPSAlgorithmNotAllowed in FIPS mode.
class TIdHashMessageDigest5 : public TIdHash {
public:
  TIdHashMessageDigest5();
};

// Raises EIdFIPSAlgorithmNotAllowed in FIPS mode.
class TIdHashMessageDigest4 : public TIdHash {
public:
  TIdHashMessageDigest4();
};

}  // namespace zal
