#include "support/zalIdHash.h"

#include "support/zalIdCoderMIME.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace zal {

namespace {

constexpr size_t kStreamBlock = 65536;

// MD4 lives in OpenSSL 3's legacy provider. It is loaded into a library context of
// its own so that the process-wide context (used for TLS) keeps only the default
// algorithms. The context lives until the process ends, like the digests fetched from it.
struct TLegacyContext {
  OSSL_LIB_CTX* Context = nullptr;
  OSSL_PROVIDER* Provider = nullptr;

  TLegacyContext() {
    Context = OSSL_LIB_CTX_new();
    if (Context)
      Provider = OSSL_PROVIDER_load(Context, "legacy");
  }
};

// The fetched digest of a name, fetched once and kept for the process lifetime.
const EVP_MD* FetchDigest(const char* algorithm) {
  static const EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  static const EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  if (std::strcmp(algorithm, "SHA1") == 0)
    return sha1;
  if (std::strcmp(algorithm, "MD5") == 0)
    return md5;
  static const TLegacyContext* const legacy = new TLegacyContext;
  static const EVP_MD* const md4 = legacy->Provider ? EVP_MD_fetch(legacy->Context, "MD4", nullptr) : nullptr;
  return md4;
}

const EVP_MD* RequireDigest(const char* algorithm) {
  const EVP_MD* md = FetchDigest(algorithm);
  if (!md)
    throw EIdException(std::string("Digest ") + algorithm + " is not available");
  return md;
}

using TDigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

TDigestContext StartDigest(const char* algorithm) {
  TDigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), RequireDigest(algorithm), nullptr) != 1)
    throw EIdException(std::string("Could not start digest ") + algorithm);
  return context;
}

TIdBytes FinishDigest(EVP_MD_CTX* context) {
  TIdBytes digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EVP_DigestFinal_ex(context, digest.data(), &size);
  digest.resize(size);
  return digest;
}

void RejectInFIPSMode(const char* algorithm) {
  if (EVP_default_properties_is_fips_enabled(nullptr))
    throw EIdFIPSAlgorithmNotAllowed(algorithm);
}

}  // namespace

TIdHash::TIdHash(const char* algorithm) : FAlgorithm(algorithm) { RequireDigest(algorithm); }

TIdHashMessageDigest5::TIdHashMessageDigest5() : TIdHash("MD5") { RejectInFIPSMode("MD5"); }

TIdHashMessageDigest4::TIdHashMessageDigest4() : TIdHash("MD4") { RejectInFIPSMode("MD4"); }

size_t TIdHash::DigestSize() const { return static_cast<size_t>(EVP_MD_get_size(RequireDigest(FAlgorithm))); }

TIdBytes TIdHash::HashBytes(std::span<const uint8_t> ASrc) const {
  const TDigestContext context = StartDigest(FAlgorithm);
  EVP_DigestUpdate(context.get(), ASrc.data(), ASrc.size());
  return FinishDigest(context.get());
}

std::string TIdHash::HashBytesAsHex(std::span<const uint8_t> ASrc) const { return BytesToHex(HashBytes(ASrc)); }

TIdBytes TIdHash::HashString(std::string_view ASrc, const IIdTextEncoding* ADestEncoding) const {
  return HashBytes(ToBytes(ASrc, ADestEncoding));
}

std::string TIdHash::HashStringAsHex(std::string_view ASrc, const IIdTextEncoding* ADestEncoding) const {
  return BytesToHex(HashString(ASrc, ADestEncoding));
}

TIdBytes TIdHash::HashStream(TStream& AStream, int64_t AStartPos, int64_t ASize) const {
  if (AStartPos >= 0)
    AStream.SetPosition(AStartPos);
  const TDigestContext context = StartDigest(FAlgorithm);
  std::vector<uint8_t> block(kStreamBlock);
  int64_t remaining = ASize;
  while (remaining != 0) {
    const int64_t want = remaining < 0 ? static_cast<int64_t>(block.size())
                                       : std::min<int64_t>(remaining, static_cast<int64_t>(block.size()));
    const int64_t got = AStream.Read(block.data(), want);
    if (got <= 0)
      break;
    EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(got));
    if (remaining > 0)
      remaining -= got;
  }
  return FinishDigest(context.get());
}

std::string TIdHash::HashStreamAsHex(TStream& AStream, int64_t AStartPos, int64_t ASize) const {
  return BytesToHex(HashStream(AStream, AStartPos, ASize));
}

}  // namespace zal
