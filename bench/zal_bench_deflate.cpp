// Compression extensions, per message: permessage-deflate compress and
// decompress of 100 B, 4 KiB and 64 KiB text messages with context takeover on
// and off, on the connection's persistent zlib streams. The same run measures
// the way without persistent streams as the reference: a fresh deflate stream
// per message, primed with the last 32 KiB sent as its dictionary.
// Time is microseconds per message; zlib_state_bytes is what zlib holds for one
// connection's streams.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "websocket/zalWebSocket_Extensions.h"

namespace {

using namespace zal;

// JSON-like text: repetitive like real traffic, never one repeated run.
std::string Message(size_t size, uint32_t seed) {
  static const char* const words[] = {"{\"id\":", "\"name\":\"", "alpha", "beta", "\",", "\"value\":", "}", ",",
                                      "gamma", "delta", "epsilon", "[1,2,3]"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    text += words[random() % std::size(words)];
    text += std::to_string(random() % 1000);
  }
  text.resize(size);
  return text;
}

std::vector<std::string> Messages(size_t size) {
  std::vector<std::string> messages;
  for (uint32_t i = 0; i < 64; ++i)
    messages.push_back(Message(size, i));
  return messages;
}

TzalWSExtensions Connection(bool takeover, TwsApplicationMode mode) {
  TzalWSExtensions_Options options;
  options.PerMessage_Deflate.Enabled = true;
  TzalWSExtensions extensions;
  extensions.Assign(options);
  extensions.AssignMode(mode);
  extensions.DecodeExtensions(takeover ? "permessage-deflate"
                                       : "permessage-deflate; server_no_context_takeover; client_no_context_takeover");
  return extensions;
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void BM_Compress(benchmark::State& state) {
  const auto messages = Messages(static_cast<size_t>(state.range(0)));
  TzalWSExtensions server = Connection(state.range(1) != 0, appServer);
  TIdBytes payload;
  size_t i = 0;
  for (auto _ : state) {
    payload.clear();
    uint8_t first = 0x81;
    server.WriteStream(first, Bytes(messages[i++ % messages.size()]), payload);
    benchmark::DoNotOptimize(payload.data());
  }
  state.counters["zlib_state_bytes"] = static_cast<double>(server.StateBytes());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decompress(benchmark::State& state) {
  const auto messages = Messages(static_cast<size_t>(state.range(0)));
  const bool takeover = state.range(1) != 0;
  // One client's compressed messages in order; cycling through them stays
  // valid, since the first of them refers to nothing before it.
  TzalWSExtensions client = Connection(takeover, appClient);
  std::vector<TIdBytes> payloads;
  for (const std::string& message : messages) {
    uint8_t first = 0x81;
    payloads.emplace_back();
    client.WriteStream(first, Bytes(message), payloads.back());
  }
  TzalWSExtensions server = Connection(takeover, appServer);
  TIdBytes message;
  size_t i = 0;
  for (auto _ : state) {
    message.clear();
    server.ReadStream(0xc1, payloads[i++ % payloads.size()], message);
    benchmark::DoNotOptimize(message.data());
  }
  state.counters["zlib_state_bytes"] = static_cast<double>(server.StateBytes());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The reference: a fresh raw deflate stream for every message, primed with the
// history of what was sent (up to 32 KiB) when context is taken over.
void BM_CompressFreshStreamPerMessage(benchmark::State& state) {
  const auto messages = Messages(static_cast<size_t>(state.range(0)));
  const bool takeover = state.range(1) != 0;
  std::string history;
  TIdBytes payload;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& text = messages[i++ % messages.size()];
    z_stream stream{};
    deflateInit2(&stream, 1, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    if (takeover && !history.empty())
      deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(history.data()), static_cast<uInt>(history.size()));
    payload.resize(deflateBound(&stream, text.size()) + 16);
    stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = payload.data();
    stream.avail_out = static_cast<uInt>(payload.size());
    deflate(&stream, Z_SYNC_FLUSH);
    deflateEnd(&stream);
    history += text;
    if (history.size() > 32768)
      history.erase(0, history.size() - 32768);
    benchmark::DoNotOptimize(payload.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"bytes", "takeover"})->Unit(benchmark::kMicrosecond);
  for (const int64_t size : {100, 4096, 65536})
    for (const int64_t takeover : {1, 0})
      benchmark->Args({size, takeover});
}

}  // namespace

BENCHMARK(BM_Compress)->Apply(Sizes);
BENCHMARK(BM_Decompress)->Apply(Sizes);
BENCHMARK(BM_CompressFreshStreamPerMessage)->Apply(Sizes);
BENCHMARK_MAIN();
