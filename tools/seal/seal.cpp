#include "tools/seal/seal.h"

#include <cstring>
#include <memory>
#include <sstream>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include "container/bignum.h"
#include "container/loader.h"
#include "platform/hex.h"

namespace velmora::seal {
namespace {

constexpr int kModulusBits = 1024;
// A public exponent of the modulus' size: its top byte must not be zero, so that it fills
// all 32 words and cannot be guessed like the usual small exponents.
constexpr int kMinExponentBits = kModulusBits - 7;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct ParamBldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn NewBn() { return Bn(BN_new()); }

Bn BnFrom(const std::vector<uint8_t>& bytes) {
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

std::vector<uint8_t> BytesOf(const BIGNUM* b, size_t length) {
  std::vector<uint8_t> out(length);
  if (BN_bn2binpad(b, out.data(), static_cast<int>(length)) < 0) out.clear();
  return out;
}

std::vector<uint8_t> BytesOf(const BIGNUM* b) {
  return BytesOf(b, static_cast<size_t>(BN_num_bytes(b)));
}

bool Fail(std::string* error, const std::string& what) {
  if (error != nullptr) {
    *error = what;
    const unsigned long code = ERR_get_error();
    if (code != 0) {
      char text[256];
      ERR_error_string_n(code, text, sizeof(text));
      *error += " (" + std::string(text) + ")";
    }
  }
  ERR_clear_error();
  return false;
}

std::string Hex(const uint8_t* data, size_t length) { return HexText(data, length); }

bool Unhex(const std::string& hex, std::vector<uint8_t>* out) {
  out->clear();
  return ParseHex(hex, out);
}

}  // namespace

bool RandomBytes(uint8_t* out, size_t length) {
  return RAND_bytes(out, static_cast<int>(length)) == 1;
}

bool GenerateKeys(KeyMaterial* keys, SigningKey* signing, std::string* error) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Bn p = NewBn(), q = NewBn(), n = NewBn(), e = NewBn(), d = NewBn(), phi = NewBn(),
     p1 = NewBn(), q1 = NewBn(), gcd = NewBn();
  if (!ctx || !p || !q || !n || !e || !d || !phi || !p1 || !q1 || !gcd) {
    return Fail(error, "out of memory");
  }
  do {
    if (BN_generate_prime_ex2(p.get(), kModulusBits / 2, 0, nullptr, nullptr, nullptr, ctx.get()) != 1 ||
        BN_generate_prime_ex2(q.get(), kModulusBits / 2, 0, nullptr, nullptr, nullptr, ctx.get()) != 1 ||
        BN_mul(n.get(), p.get(), q.get(), ctx.get()) != 1) {
      return Fail(error, "prime generation failed");
    }
  } while (BN_cmp(p.get(), q.get()) == 0 || BN_num_bits(n.get()) != kModulusBits);
  if (BN_sub(p1.get(), p.get(), BN_value_one()) != 1 || BN_sub(q1.get(), q.get(), BN_value_one()) != 1 ||
      BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) != 1) {
    return Fail(error, "key arithmetic failed");
  }
  for (;;) {
    if (BN_priv_rand_range(e.get(), n.get()) != 1) return Fail(error, "random exponent failed");
    if (BN_num_bits(e.get()) < kMinExponentBits) continue;
    if (BN_gcd(gcd.get(), e.get(), phi.get(), ctx.get()) != 1) return Fail(error, "gcd failed");
    if (BN_is_one(gcd.get())) break;
  }
  if (BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get()) == nullptr) {
    return Fail(error, "no private exponent");
  }
  if (!RandomBytes(keys->aesKey.data(), keys->aesKey.size()) ||
      !RandomBytes(keys->ivSuffix.data(), keys->ivSuffix.size())) {
    return Fail(error, "random key bytes failed");
  }
  keys->modulus = BytesOf(n.get(), kModulusBytes);
  keys->exponent = BytesOf(e.get(), kModulusBytes);
  signing->modulus = keys->modulus;
  signing->publicExponent = keys->exponent;
  signing->privateExponent = BytesOf(d.get(), kModulusBytes);
  signing->prime1 = BytesOf(p.get());
  signing->prime2 = BytesOf(q.get());
  return true;
}

std::string FormatKeyFile(const KeyMaterial& keys) {
  std::ostringstream s;
  s << "# Velmora container key file: the AES key, the IV suffix and the RSA public key that a\n"
       "# build compiles in (CMake option VELMORA_KEY_FILE). Containers sealed with the matching\n"
       "# private key open only in builds made with this file.\n"
    << "aes-key = " << Hex(keys.aesKey.data(), keys.aesKey.size()) << "\n"
    << "iv-suffix = " << Hex(keys.ivSuffix.data(), keys.ivSuffix.size()) << "\n"
    << "rsa-modulus = " << Hex(keys.modulus.data(), keys.modulus.size()) << "\n"
    << "rsa-exponent = " << Hex(keys.exponent.data(), keys.exponent.size()) << "\n";
  return s.str();
}

bool ParseKeyFile(const std::string& text, KeyMaterial* keys, std::string* error) {
  std::istringstream in(text);
  std::string line;
  bool seen[4] = {};
  static const char* const kNames[4] = {"aes-key", "iv-suffix", "rsa-modulus", "rsa-exponent"};
  static const size_t kLengths[4] = {kAesKeyLength, kIvSuffixLength, kModulusBytes, kModulusBytes};
  while (std::getline(in, line)) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return Fail(error, "key file: line without '=': " + line);
    auto trim = [](std::string s) {
      const size_t a = s.find_first_not_of(" \t\r");
      const size_t b = s.find_last_not_of(" \t\r");
      return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    const std::string name = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    int which = -1;
    for (int i = 0; i < 4; ++i) {
      if (name == kNames[i]) which = i;
    }
    if (which < 0) return Fail(error, "key file: unknown name '" + name + "'");
    if (seen[which]) return Fail(error, "key file: '" + name + "' given twice");
    std::vector<uint8_t> bytes;
    if (!Unhex(value, &bytes) || bytes.size() != kLengths[which]) {
      return Fail(error, "key file: '" + name + "' must be " + std::to_string(kLengths[which]) +
                             " bytes in hex");
    }
    seen[which] = true;
    switch (which) {
      case 0: std::memcpy(keys->aesKey.data(), bytes.data(), bytes.size()); break;
      case 1: std::memcpy(keys->ivSuffix.data(), bytes.data(), bytes.size()); break;
      case 2: keys->modulus = bytes; break;
      default: keys->exponent = bytes; break;
    }
  }
  for (int i = 0; i < 4; ++i) {
    if (!seen[i]) return Fail(error, std::string("key file: '") + kNames[i] + "' missing");
  }
  return true;
}

bool WritePrivateKeyPem(const SigningKey& signing, std::string* pem, std::string* error) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Bn n = BnFrom(signing.modulus), e = BnFrom(signing.publicExponent),
     d = BnFrom(signing.privateExponent), p = BnFrom(signing.prime1), q = BnFrom(signing.prime2);
  Bn dp = NewBn(), dq = NewBn(), qinv = NewBn(), t = NewBn();
  if (!ctx || !n || !e || !d || !p || !q || !dp || !dq || !qinv || !t) return Fail(error, "out of memory");
  if (BN_sub(t.get(), p.get(), BN_value_one()) != 1 || BN_mod(dp.get(), d.get(), t.get(), ctx.get()) != 1 ||
      BN_sub(t.get(), q.get(), BN_value_one()) != 1 || BN_mod(dq.get(), d.get(), t.get(), ctx.get()) != 1 ||
      BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()) == nullptr) {
    return Fail(error, "private key arithmetic failed");
  }
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()) != 1) {
    return Fail(error, "private key parameters failed");
  }
  std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> pctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!params || !pctx || EVP_PKEY_fromdata_init(pctx.get()) != 1 ||
      EVP_PKEY_fromdata(pctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return Fail(error, "private key construction failed");
  }
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(raw);
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return Fail(error, "writing the private key failed");
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  pem->assign(data, static_cast<size_t>(length));
  return true;
}

bool ReadPrivateKeyPem(const std::string& pem, SigningKey* signing, std::string* error) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return Fail(error, "out of memory");
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!pkey) return Fail(error, "not a PEM private key");
  const char* const names[5] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                                OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2};
  std::vector<uint8_t>* fields[5] = {&signing->modulus, &signing->publicExponent,
                                     &signing->privateExponent, &signing->prime1, &signing->prime2};
  for (int i = 0; i < 5; ++i) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(pkey.get(), names[i], &raw) != 1) return Fail(error, "not an RSA private key");
    Bn b(raw);
    *fields[i] = i < 3 ? BytesOf(b.get(), kModulusBytes) : BytesOf(b.get());
    if (fields[i]->empty()) return Fail(error, "the key's modulus must be 1024 bits");
  }
  Bn n = BnFrom(signing->modulus);
  if (BN_num_bits(n.get()) != kModulusBits) return Fail(error, "the key's modulus must be 1024 bits");
  return true;
}

bool ToContainerKeys(const KeyMaterial& keys, ContainerKeys* out, std::string* error) {
  std::memcpy(out->aesKey, keys.aesKey.data(), kAesKeyLength);
  std::memcpy(out->ivSuffix, keys.ivSuffix.data(), kIvSuffixLength);
  out->publicKey.modulusLength = static_cast<uint32_t>(kModulusBytes);
  if (keys.modulus.size() != kModulusBytes || keys.exponent.size() != kModulusBytes ||
      BigNumberFromBytes(keys.modulus.data(), kModulusBytes, &out->publicKey.modulus) != 0 ||
      BigNumberFromBytes(keys.exponent.data(), kModulusBytes, &out->publicKey.exponent) != 0) {
    return Fail(error, "the RSA key must have a 128-byte modulus and exponent");
  }
  return true;
}

bool PrivateOperation(const SigningKey& signing, const std::vector<uint8_t>& block,
                      std::vector<uint8_t>* out, std::string* error) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Bn m = BnFrom(block), n = BnFrom(signing.modulus), d = BnFrom(signing.privateExponent), s = NewBn();
  if (!ctx || !m || !n || !d || !s) return Fail(error, "out of memory");
  if (BN_cmp(m.get(), n.get()) >= 0) return Fail(error, "block not below the modulus");
  BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  if (BN_mod_exp(s.get(), m.get(), d.get(), n.get(), ctx.get()) != 1) return Fail(error, "signing failed");
  *out = BytesOf(s.get(), kModulusBytes);
  return true;
}

std::vector<uint8_t> SignatureBlock(const uint8_t digest[20]) {
  static const uint8_t kPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                    0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  std::vector<uint8_t> block(kModulusBytes, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  const size_t data = kModulusBytes - sizeof(kPrefix) - 20;
  block[data - 1] = 0x00;
  std::memcpy(block.data() + data, kPrefix, sizeof(kPrefix));
  std::memcpy(block.data() + data + sizeof(kPrefix), digest, 20);
  return block;
}

bool SealPayload(const std::string& mapText, const KeyMaterial& keys, const SigningKey& signing,
                 const std::array<uint8_t, kIvPrefixLength>& ivPrefix, std::vector<uint8_t>* payload,
                 std::string* error) {
  if (signing.modulus != keys.modulus) {
    return Fail(error, "the private key does not belong to the key file's public key");
  }
  // Signed: version, IV prefix, map text.
  uint8_t digest[20];
  unsigned int digestLength = 0;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha1(), nullptr) != 1 ||
      EVP_DigestUpdate(md.get(), kPayloadVersion, 2) != 1 ||
      EVP_DigestUpdate(md.get(), ivPrefix.data(), ivPrefix.size()) != 1 ||
      EVP_DigestUpdate(md.get(), mapText.data(), mapText.size()) != 1 ||
      EVP_DigestFinal_ex(md.get(), digest, &digestLength) != 1) {
    return Fail(error, "digest failed");
  }
  std::vector<uint8_t> signature;
  if (!PrivateOperation(signing, SignatureBlock(digest), &signature, error)) return false;

  uint8_t iv[16];
  std::memcpy(iv, ivPrefix.data(), kIvPrefixLength);
  std::memcpy(iv + kIvPrefixLength, keys.ivSuffix.data(), kIvSuffixLength);
  std::vector<uint8_t> cipher(mapText.size() + 16);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> cctx(EVP_CIPHER_CTX_new());
  int len1 = 0, len2 = 0;
  if (!cctx || EVP_EncryptInit_ex(cctx.get(), EVP_aes_128_cbc(), nullptr, keys.aesKey.data(), iv) != 1 ||
      EVP_EncryptUpdate(cctx.get(), cipher.data(), &len1,
                        reinterpret_cast<const uint8_t*>(mapText.data()), static_cast<int>(mapText.size())) != 1 ||
      EVP_EncryptFinal_ex(cctx.get(), cipher.data() + len1, &len2) != 1) {
    return Fail(error, "encryption failed");
  }
  cipher.resize(static_cast<size_t>(len1 + len2));

  payload->clear();
  payload->insert(payload->end(), kPayloadVersion, kPayloadVersion + 2);
  payload->insert(payload->end(), ivPrefix.begin(), ivPrefix.end());
  const uint8_t length[4] = {0, 0, 0, static_cast<uint8_t>(kPayloadSignatureLength)};
  payload->insert(payload->end(), length, length + 4);
  payload->insert(payload->end(), signature.begin(), signature.end());
  payload->insert(payload->end(), cipher.begin(), cipher.end());
  return true;
}

std::vector<uint8_t> MakeTrailer(uint32_t fileSizeExe) {
  std::vector<uint8_t> trailer(kTrailerLength, 0);
  trailer[kTrailerExeLow] = static_cast<uint8_t>(fileSizeExe);
  trailer[kTrailerExeMiddle] = static_cast<uint8_t>(fileSizeExe >> 8);
  trailer[kTrailerExeHigh] = static_cast<uint8_t>(fileSizeExe >> 16);
  std::memcpy(trailer.data() + kTrailerMagicOffset, kTrailerMagic, kTrailerMagicLength);
  return trailer;
}

bool AppendContainer(const std::vector<uint8_t>& program, const std::vector<uint8_t>& payload,
                     std::vector<uint8_t>* out, std::string* error) {
  if (program.size() > kMaxProgramImage) {
    return Fail(error, "the program file is " + std::to_string(program.size()) +
                           " bytes; the trailer holds the program's length in 24 bits, so it "
                           "must be below 16 MiB (at most " +
                           std::to_string(kMaxProgramImage) + " bytes)");
  }
  if (program.size() >= kTrailerLength &&
      std::memcmp(program.data() + program.size() - kTrailerMagicLength, kTrailerMagic,
                  kTrailerMagicLength) == 0) {
    return Fail(error, "the program file already carries a container; seal a clean copy");
  }
  *out = program;
  out->insert(out->end(), payload.begin(), payload.end());
  const std::vector<uint8_t> trailer = MakeTrailer(static_cast<uint32_t>(program.size()));
  out->insert(out->end(), trailer.begin(), trailer.end());
  return true;
}

}  // namespace velmora::seal
