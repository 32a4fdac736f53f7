// Throughput of sealing and opening log-frame-sized messages with AES-256-GCM-SIV.
#include <benchmark/benchmark.h>

#include "storage/internal/crypto/encryption.h"

namespace kavrel {
namespace {

const EncryptionEngine& engine() {
  static const EncryptionEngine e(EncryptionKey(Bytes(EncryptionKey::kSize, 'k')));
  return e;
}

const Bytes kAad = Bytes(20, 'a');  // the size of the log's frame binding

void BM_Seal(benchmark::State& state) {
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 'p');
  for (auto _ : state) {
    auto sealed = engine().encrypt_with_aad(plaintext, kAad);
    benchmark::DoNotOptimize(sealed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Seal)->Arg(100)->Arg(4096);

void BM_Open(benchmark::State& state) {
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 'p');
  const Bytes sealed = engine().encrypt_with_aad(plaintext, kAad).value();
  for (auto _ : state) {
    auto opened = engine().decrypt_with_aad(sealed, kAad);
    benchmark::DoNotOptimize(opened);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Open)->Arg(100)->Arg(4096);

// Sealing from several threads sharing one engine, as connection threads do.
void BM_SealShared(benchmark::State& state) {
  const Bytes plaintext(100, 'p');
  for (auto _ : state) {
    auto sealed = engine().encrypt_with_aad(plaintext, kAad);
    benchmark::DoNotOptimize(sealed);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_SealShared)->Threads(1)->Threads(2);

void BM_DeriveSubkey(benchmark::State& state) {
  const EncryptionKey key(Bytes(EncryptionKey::kSize, 'k'));
  const Bytes salt(16, 's');
  for (auto _ : state) {
    EncryptionKey derived = derive_subkey(key, salt, "kavrel/keyring/wrap/v1");
    benchmark::DoNotOptimize(derived);
  }
}
BENCHMARK(BM_DeriveSubkey);

}  // namespace
}  // namespace kavrel

BENCHMARK_MAIN();
