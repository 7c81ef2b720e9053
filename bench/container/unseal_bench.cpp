// Unsealing a 1 MB and a 64 KB container and one RSA verification with the full-size
// public exponent, each beside OpenSSL running the same steps; the ratios are printed at
// the end (ours / OpenSSL, lower is better).
#include <benchmark/benchmark.h>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "container/cipher.h"
#include "container/rsa.h"
#include "container/unseal.h"
#include "tools/seal/seal.h"

namespace {

using namespace velmora;

struct Fixture {
  seal::KeyMaterial material;
  seal::SigningKey signing;
  ContainerKeys keys;
  std::map<size_t, std::vector<uint8_t>> payloads;
  std::map<size_t, std::string> texts;

  Fixture() {
    std::string error;
    if (!seal::GenerateKeys(&material, &signing, &error) || !seal::ToContainerKeys(material, &keys, &error)) {
      std::cerr << error << "\n";
      std::abort();
    }
  }
  const std::vector<uint8_t>& Payload(size_t size) {
    auto it = payloads.find(size);
    if (it != payloads.end()) return it->second;
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('0' + (i * 7919) % 43);
    std::vector<uint8_t> payload;
    std::string error;
    seal::SealPayload(text, material, signing, {9, 8, 7, 6}, &payload, &error);
    texts[size] = text;
    return payloads[size] = payload;
  }
};

Fixture& F() {
  static Fixture f;
  return f;
}

void BM_Unseal_Velmora(benchmark::State& state) {
  const auto& payload = F().Payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> work(payload.size());
  for (auto _ : state) {
    std::memcpy(work.data(), payload.data(), payload.size());
    uint8_t* position = work.data();
    size_t length = work.size();
    if (!UnsealContainer(&position, &length, F().keys)) state.SkipWithError("unseal failed");
    benchmark::DoNotOptimize(position);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// OpenSSL, the same steps: header checks, AES-128-CBC decryption in place with padding,
// SHA-1 over version, IV prefix and text, s^e mod n, the block compared.
bool OpensslUnseal(std::vector<uint8_t>& work, BN_CTX* ctx, EVP_CIPHER_CTX* cctx, EVP_MD_CTX* md,
                   BIGNUM* n, BIGNUM* e, BIGNUM* s, BIGNUM* m) {
  if (work.size() < 138 || work[0] != 0 || work[1] != 1) return false;
  if (work[6] != 0 || work[7] != 0 || work[8] != 0 || work[9] != 128) return false;
  uint8_t iv[16];
  std::memcpy(iv, work.data() + 2, 4);
  std::memcpy(iv + 4, F().material.ivSuffix.data(), 12);
  uint8_t signature[128];
  std::memcpy(signature, work.data() + 10, 128);
  uint8_t* text = work.data() + 138;
  const int cipherLength = static_cast<int>(work.size() - 138);
  int a = 0, b = 0;
  if (EVP_DecryptInit_ex(cctx, EVP_aes_128_cbc(), nullptr, F().material.aesKey.data(), iv) != 1 ||
      EVP_DecryptUpdate(cctx, text, &a, text, cipherLength) != 1 ||
      EVP_DecryptFinal_ex(cctx, text + a, &b) != 1) {
    return false;
  }
  uint8_t digest[20];
  unsigned int dl = 0;
  if (EVP_DigestInit_ex(md, EVP_sha1(), nullptr) != 1 || EVP_DigestUpdate(md, work.data(), 2) != 1 ||
      EVP_DigestUpdate(md, work.data() + 2, 4) != 1 ||
      EVP_DigestUpdate(md, text, static_cast<size_t>(a + b)) != 1 || EVP_DigestFinal_ex(md, digest, &dl) != 1) {
    return false;
  }
  BN_bin2bn(signature, 128, s);
  if (BN_cmp(s, n) >= 0 || BN_mod_exp(m, s, e, n, ctx) != 1) return false;
  uint8_t block[128];
  BN_bn2binpad(m, block, 128);
  const std::vector<uint8_t> expected = seal::SignatureBlock(digest);
  return std::memcmp(block, expected.data(), 128) == 0;
}

struct OpensslState {
  BN_CTX* ctx = BN_CTX_new();
  EVP_CIPHER_CTX* cctx = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  BIGNUM* n = BN_bin2bn(F().material.modulus.data(), 128, nullptr);
  BIGNUM* e = BN_bin2bn(F().material.exponent.data(), 128, nullptr);
  BIGNUM* s = BN_new();
  BIGNUM* m = BN_new();
  ~OpensslState() {
    BN_CTX_free(ctx);
    EVP_CIPHER_CTX_free(cctx);
    EVP_MD_CTX_free(md);
    BN_free(n);
    BN_free(e);
    BN_free(s);
    BN_free(m);
  }
};

void BM_Unseal_OpenSSL(benchmark::State& state) {
  const auto& payload = F().Payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> work(payload.size());
  OpensslState o;
  for (auto _ : state) {
    std::memcpy(work.data(), payload.data(), payload.size());
    if (!OpensslUnseal(work, o.ctx, o.cctx, o.md, o.n, o.e, o.s, o.m)) state.SkipWithError("openssl failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_RsaVerify_Velmora(benchmark::State& state) {
  const auto& payload = F().Payload(64);
  uint8_t digest[20];
  {
    std::vector<uint8_t> signed_(payload.begin(), payload.begin() + 6);
    const std::string& text = F().texts[64];
    signed_.insert(signed_.end(), text.begin(), text.end());
    unsigned int dl = 0;
    EVP_Digest(signed_.data(), signed_.size(), digest, &dl, EVP_sha1(), nullptr);
  }
  for (auto _ : state) {
    if (VerifySignature(digest, 20, payload.data() + 10, 128, F().keys.publicKey,
                        VerificationKind::kSha1DigestInfo) != 0) {
      state.SkipWithError("verify failed");
    }
  }
}

void BM_RsaVerify_OpenSSL(benchmark::State& state) {
  const auto& payload = F().Payload(64);
  OpensslState o;
  uint8_t block[128];
  for (auto _ : state) {
    BN_bin2bn(payload.data() + 10, 128, o.s);
    if (BN_cmp(o.s, o.n) >= 0 || BN_mod_exp(o.m, o.s, o.e, o.n, o.ctx) != 1) state.SkipWithError("failed");
    BN_bn2binpad(o.m, block, 128);
    if (block[0] != 0 || block[1] != 1) state.SkipWithError("bad block");
  }
}

BENCHMARK(BM_Unseal_Velmora)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Unseal_OpenSSL)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaVerify_Velmora)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RsaVerify_OpenSSL)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        times[r.benchmark_name()] = r.GetAdjustedRealTime();
        cpu[r.benchmark_name()] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  F().Payload(64);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const std::string& ours, const std::string& theirs, const char* label) {
    const auto a = reporter.times.find(ours), b = reporter.times.find(theirs);
    if (a == reporter.times.end() || b == reporter.times.end() || b->second <= 0) return;
    // CPU time too: on a shared machine the wall clock also counts other processes.
    std::printf("ratio %-34s %.2f wall, %.2f cpu  (velmora / openssl)\n", label,
                a->second / b->second, reporter.cpu[ours] / reporter.cpu[theirs]);
  };
  std::printf("\nAES block operation: %s\n", AesUsesHardware() ? "processor AES instructions" : "tables");
  ratio("BM_Unseal_Velmora/1048576", "BM_Unseal_OpenSSL/1048576", "unseal 1 MB");
  ratio("BM_Unseal_Velmora/65536", "BM_Unseal_OpenSSL/65536", "unseal 64 KB");
  ratio("BM_RsaVerify_Velmora", "BM_RsaVerify_OpenSSL", "RSA verify, full-size exponent");
  benchmark::Shutdown();
  return 0;
}
