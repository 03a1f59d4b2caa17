// Feeds arbitrary octets to a server's receiving engine in fuzzer-chosen chunks, with
// a sending engine wired as the server wires it: SETTINGS and PING answered, windows
// passed on, every complete request answered with HEADERS and DATA. The first octet
// seeds the chunk sizes. Checks that the live streams stay within the limits.
#include <cstddef>
#include <cstdint>
#include <span>

#include "http2/zalHTTP2_Engine.h"

namespace {

using namespace zal;

struct Server {
  TzalHTTP2_Frame Read{h2frServerRead};
  TzalHTTP2_Frame Write{h2frServerWrite};
  size_t Written = 0;

  Server() {
    Read.OnWriteBytes = [this](TzalHTTP2_Frame*, const TIdBytes& b) { Written += b.size(); };
    Write.OnWriteBytes = Read.OnWriteBytes;
    Read.SetMaxConcurrentStreams(8);
    Read.Limits().MaxRequestBodySize = 100000;
    Read.OnReadFrameSettings = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_Settings* s) {
      if (s->ACK())
        return;
      Write.SetWriteDataFramesInitialWindowSize(s->InitialWindowSize());
      Write.Frame_Settings().Assign(*s);
    };
    Read.OnReadFrameWindowUpdate = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_WindowUpdate* w) {
      Write.SetWriteDataFramesWindowSize(w->StreamIdentifier(), w->WindowSizeIncrement());
    };
    Read.OnReadFrameRSTStream = [this](TzalHTTP2_Frame*, TzalHTTP2_Frame_RSTStream* r) {
      Write.DropWriteStream(r->StreamIdentifier());
    };
    Read.OnStreamReset = [this](TzalHTTP2_Frame*, int32_t id) { Write.DropWriteStream(id); };
    Write.OnStreamEndSent = [this](TzalHTTP2_Frame*, int32_t id) { Read.EndStreamSent(id); };
    Read.OnReadStreamResponse = [this](TzalHTTP2_Frame*, TzalHTTP2_StreamResponse* s) {
      const int32_t id = s->StreamIdentifier();
      TzalHTTP2_Frame_Headers& headers = Write.Frame_Headers();
      headers.Clear();
      headers.SetStreamIdentifier(id);
      headers.SetEndHeaders(true);
      headers.SetEndStream(id % 3 == 0);  // some answers without a body
      headers.Headers() = {":status: 200", "x-length: " + std::to_string(s->BodyLength())};
      headers.WriteBytes();
      if (id % 3 == 0)
        return;
      Write.WriteDataSource(
          id, [](std::span<uint8_t> b) { std::fill(b.begin(), b.end(), 'r'); return b.size(); },
          static_cast<uint64_t>(id % 7) * 30000, true);
    };
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1)
    return 0;
  Server server;
  const uint8_t seed = aData[0];
  std::span<const uint8_t> input(aData + 1, aSize - 1);
  for (size_t turn = 0; !input.empty(); ++turn) {
    const size_t chunk = std::min(input.size(), static_cast<size_t>(1 + ((seed * (turn + 7)) % 97)) * (seed % 4 + 1));
    try {
      server.Read.ReadBytes(input.first(chunk));
    } catch (const TzalHTTP2Exception&) {
      break;  // a connection error ends the connection
    }
    input = input.subspan(chunk);
    if (server.Read.StreamCount() > 8 + 0 /* no promised streams here */)
      __builtin_trap();
  }
  return 0;
}
