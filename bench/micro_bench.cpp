// Measures the ways of doing the two bulk passes over a payload: AES-256-GCM
// (the filter pipeline into a growing vector, into a pre-sized array, and the
// one-call in-place form, with both GCM table sizes) and the chunk CRC
// (a byte-at-a-time table, zlib, and the program's carry-less multiplication
// folding). All variants give the same bytes.
#include <benchmark/benchmark.h>
#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/gcm.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "png/crc32.hpp"
#include "seal/aes_gcm.hpp"
#include "util/byte_buffer.hpp"
#include "util/file_io.hpp"

namespace {

using vellicor::ByteBuffer;

const std::uint8_t kKey[32] = {1, 2, 3};
const std::uint8_t kIv[12] = {4, 5, 6};

ByteBuffer payload(std::size_t n) {
  ByteBuffer b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
  return b;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void GcmFilterIntoVector(benchmark::State& state) {
  const ByteBuffer plain = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
    gcm.SetKeyWithIV(kKey, 32, kIv, 12);
    std::vector<CryptoPP::byte> out;
    out.reserve(plain.size() + 16);
    CryptoPP::AuthenticatedEncryptionFilter f(gcm, new CryptoPP::StringSinkTemplate<std::vector<CryptoPP::byte>>(out),
                                              false, 16);
    f.Put(plain.data(), plain.size());
    f.MessageEnd();
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state);
}

void GcmFilterIntoArray(benchmark::State& state) {
  const ByteBuffer plain = payload(static_cast<std::size_t>(state.range(0)));
  ByteBuffer out(plain.size() + 16);
  for (auto _ : state) {
    CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
    gcm.SetKeyWithIV(kKey, 32, kIv, 12);
    CryptoPP::AuthenticatedEncryptionFilter f(gcm, new CryptoPP::ArraySink(out.data(), out.size()), false, 16);
    f.Put(plain.data(), plain.size());
    f.MessageEnd();
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state);
}

template <CryptoPP::GCM_TablesOption Tables>
void GcmInPlace(benchmark::State& state) {
  ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  std::uint8_t tag[16];
  for (auto _ : state) {
    typename CryptoPP::GCM<CryptoPP::AES, Tables>::Encryption gcm;
    gcm.SetKeyWithIV(kKey, 32, kIv, 12);
    gcm.EncryptAndAuthenticate(data.data(), tag, 16, kIv, 12, nullptr, 0, data.data(), data.size());
    benchmark::DoNotOptimize(tag);
  }
  set_bytes(state);
}

// The blocks the pipelines read and write, each sealed or opened in place.
template <class F>
void for_each_block(ByteBuffer& data, F&& f) {
  for (std::size_t at = 0; at < data.size(); at += vellicor::write_block_length)
    f(std::span<std::uint8_t>(data).subspan(at, std::min(vellicor::write_block_length, data.size() - at)));
}

// What the program does: fresh random pool and nonce, then each block sealed
// in place in cache-sized pieces.
void ProgramSeal(benchmark::State& state) {
  ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  std::uint8_t nonce[12], tag[16];
  for (auto _ : state) {
    vellicor::GcmSealer sealer;
    sealer.start(kKey, nonce);
    for_each_block(data, [&](std::span<std::uint8_t> block) { sealer.seal(block); });
    benchmark::DoNotOptimize(sealer.finish(tag));
  }
  set_bytes(state);
}

void GcmDecryptFilter(benchmark::State& state) {
  ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  std::uint8_t tag[16];
  {
    CryptoPP::GCM<CryptoPP::AES>::Encryption gcm;
    gcm.SetKeyWithIV(kKey, 32, kIv, 12);
    gcm.EncryptAndAuthenticate(data.data(), tag, 16, kIv, 12, nullptr, 0, data.data(), data.size());
  }
  for (auto _ : state) {
    CryptoPP::GCM<CryptoPP::AES>::Decryption gcm;
    gcm.SetKeyWithIV(kKey, 32, kIv, 12);
    ByteBuffer joined(data.begin(), data.end());
    joined.insert(joined.end(), tag, tag + 16);
    std::vector<CryptoPP::byte> out;
    out.reserve(data.size());
    CryptoPP::AuthenticatedDecryptionFilter f(gcm, new CryptoPP::StringSinkTemplate<std::vector<CryptoPP::byte>>(out),
                                              CryptoPP::AuthenticatedDecryptionFilter::DEFAULT_FLAGS, 16);
    f.Put(joined.data(), joined.size());
    f.MessageEnd();
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state);
}

// One DecryptAndVerify call over the whole buffer.
void GcmDecryptWhole(benchmark::State& state) {
  ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  std::uint8_t tag[16];
  for (auto _ : state) {
    state.PauseTiming();
    CryptoPP::GCM<CryptoPP::AES>::Encryption enc;
    enc.SetKeyWithIV(kKey, 32, kIv, 12);
    enc.EncryptAndAuthenticate(data.data(), tag, 16, kIv, 12, nullptr, 0, data.data(), data.size());
    state.ResumeTiming();
    CryptoPP::GCM<CryptoPP::AES>::Decryption dec;
    dec.SetKeyWithIV(kKey, 32, kIv, 12);
    benchmark::DoNotOptimize(dec.DecryptAndVerify(data.data(), tag, 16, kIv, 12, nullptr, 0, data.data(), data.size()));
  }
  set_bytes(state);
}

// The program's: block by block, in place, in cache-sized pieces.
void GcmDecryptInPlace(benchmark::State& state) {
  ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  std::uint8_t tag[16];
  for (auto _ : state) {
    state.PauseTiming();
    CryptoPP::GCM<CryptoPP::AES>::Encryption enc;
    enc.SetKeyWithIV(kKey, 32, kIv, 12);
    enc.EncryptAndAuthenticate(data.data(), tag, 16, kIv, 12, nullptr, 0, data.data(), data.size());
    state.ResumeTiming();
    vellicor::GcmOpener opener;
    opener.start(kKey, kIv, 12);
    for_each_block(data, [&](std::span<std::uint8_t> block) { opener.open(block); });
    benchmark::DoNotOptimize(opener.finish(tag, 16));
  }
  set_bytes(state);
}

std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

void CrcByteTable(benchmark::State& state) {
  static const std::array<std::uint32_t, 256> table = make_table();
  const ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    benchmark::DoNotOptimize(c ^ 0xFFFFFFFFu);
  }
  set_bytes(state);
}

void CrcZlib(benchmark::State& state) {
  const ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(crc32_z(0, data.data(), data.size()));
  set_bytes(state);
}

// The program's: carry-less multiplication folding where the CPU has it.
void CrcProgram(benchmark::State& state) {
  const ByteBuffer data = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vellicor::png_crc32_update(0, data));
  set_bytes(state);
}

constexpr std::int64_t kKiB = 1024, kMiB = 1024 * 1024;

}  // namespace

BENCHMARK(GcmFilterIntoVector)->Arg(kKiB)->Arg(16 * kMiB);
BENCHMARK(GcmFilterIntoArray)->Arg(kKiB)->Arg(16 * kMiB);
BENCHMARK(GcmInPlace<CryptoPP::GCM_2K_Tables>)->Arg(kKiB)->Arg(16 * kMiB)->Arg(256 * kMiB);
BENCHMARK(GcmInPlace<CryptoPP::GCM_64K_Tables>)->Arg(kKiB)->Arg(16 * kMiB);
BENCHMARK(ProgramSeal)->Arg(kKiB)->Arg(16 * kMiB)->Arg(256 * kMiB);
BENCHMARK(GcmDecryptFilter)->Arg(kKiB)->Arg(16 * kMiB);
BENCHMARK(GcmDecryptWhole)->Arg(kKiB)->Arg(16 * kMiB)->Arg(256 * kMiB);
BENCHMARK(GcmDecryptInPlace)->Arg(kKiB)->Arg(16 * kMiB)->Arg(256 * kMiB);
BENCHMARK(CrcByteTable)->Arg(kKiB)->Arg(16 * kMiB);
BENCHMARK(CrcZlib)->Arg(kKiB)->Arg(16 * kMiB);
BENCHMARK(CrcProgram)->Arg(kKiB)->Arg(16 * kMiB);

BENCHMARK_MAIN();
