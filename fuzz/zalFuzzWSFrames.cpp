// Feeds arbitrary octets to the WebSocket frame reader and to the Hixie-76
// reader in chunks the fuzzer chooses, and checks that the events are the same
// as when the same octets arrive in one piece.
//
// Input: byte 0 selects the options (fragment mode, UTF-8 validation, masking,
// small limits); then repeated [chunk length, chunk octets].
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "websocket/zalWebSocket_Hixie76.h"
#include "websocket/zalWebSocket_Reader.h"

namespace {

using namespace zal;

struct Run {
  std::vector<std::string> Log;
  TIdBytes Buffer;
};

void Record(TzalWSFrameReader& reader, Run& run) {
  auto& log = run.Log;
  reader.Events.OnMessage = [&log](const std::string& text) { log.push_back("t" + text); };
  reader.Events.OnBinary = [&log](const TMemoryStream& data) { log.push_back("b" + data.DataString()); };
  reader.Events.OnFragmented = [&log](const TMemoryStream& data, TOpcode opCode, bool more) {
    log.push_back("f" + std::to_string(opCode) + std::to_string(more) + data.DataString());
  };
  reader.Events.OnPing = [&log](std::span<const uint8_t> p) { log.push_back("p" + std::string(p.begin(), p.end())); };
  reader.Events.OnPong = [&log](std::span<const uint8_t> p) { log.push_back("o" + std::string(p.begin(), p.end())); };
  reader.Events.OnClose = [&log](int code, const std::string& reason) { log.push_back("c" + std::to_string(code) + reason); };
}

template <typename Reader>
void Feed(Reader& reader, Run& run, std::span<const uint8_t> chunk) {
  run.Buffer.insert(run.Buffer.end(), chunk.begin(), chunk.end());
  try {
    while (size_t consumed = reader.Read(run.Buffer)) {
      if (consumed > run.Buffer.size())
        __builtin_trap();
      run.Buffer.erase(run.Buffer.begin(), run.Buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
  } catch (const TzalWSException& e) {
    run.Log.push_back("e" + std::to_string(e.CloseCode()));
    run.Buffer.clear();
    throw;
  }
}

// Runs the whole input, then the chunked input, through fresh readers.
template <typename Make>
void Compare(Make make, std::span<const uint8_t> input, std::span<const uint8_t> chunks) {
  Run whole, chunked;
  auto a = make(whole);
  try {
    Feed(*a, whole, input);
  } catch (const TzalWSException&) {
  }
  auto b = make(chunked);
  try {
    size_t pos = 0;
    for (size_t i = 0; i < chunks.size() && pos < input.size(); ++i) {
      const size_t n = std::min<size_t>(chunks[i], input.size() - pos);
      Feed(*b, chunked, input.subspan(pos, n));
      pos += n;
    }
    Feed(*b, chunked, input.subspan(pos));
  } catch (const TzalWSException&) {
  }
  if (whole.Log != chunked.Log)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const uint8_t selector = data[0];
  // Byte 1 says how many of the following octets are chunk lengths.
  const size_t chunkCount = std::min<size_t>(data[1], size - 2);
  const std::span<const uint8_t> chunks(data + 2, chunkCount);
  const std::span<const uint8_t> input(data + 2 + chunkCount, size - 2 - chunkCount);

  TzalWSReaderOptions options;
  options.FragmentedMessages = static_cast<TwsFragmentedMessages>(selector % 3);
  options.ValidateUTF8 = (selector & 0x04) != 0;
  options.MaskRequired = (selector & 0x08) != 0;
  if (selector & 0x10) {
    options.MaxFrameSize = 300;
    options.MaxMessageSize = 700;
    options.ReadStepSize = 64;
  }
  Compare(
      [&options](Run& run) {
        auto reader = std::make_unique<TzalWSFrameReader>(options);
        Record(*reader, run);
        return reader;
      },
      input, chunks);
  Compare(
      [selector](Run& run) {
        auto reader = std::make_unique<TzalWSHixie76Reader>();
        reader->ValidateUTF8 = (selector & 0x04) != 0;
        reader->MaxMessageSize = (selector & 0x10) ? 100 : 1 << 20;
        reader->OnMessage = [&run](const std::string& text) { run.Log.push_back("t" + text); };
        reader->OnClose = [&run] { run.Log.push_back("c"); };
        return reader;
      },
      input, chunks);
  return 0;
}
