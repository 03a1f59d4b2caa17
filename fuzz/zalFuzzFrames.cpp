// Feeds arbitrary frame headers and payloads to ReadFlags/ReadPayload of every frame
// type, as a sequence of frames sharing one HPACK decoder; a frame that was read is
// written back and, for SETTINGS, read again to the same fields.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "http2/zalHTTP2_Frame.h"

namespace {

using namespace zal;

struct Templates {
  TzalHTTP2_HPACK hpack;
  TzalHTTP2_StreamIdentifierCounter counter;
  std::vector<std::unique_ptr<TzalHTTP2_Frame_Base>> frames;

  explicit Templates(Th2FrameRole aRole) : counter(aRole) {
    frames.push_back(std::make_unique<TzalHTTP2_Frame_Data>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_Headers>(&hpack, &counter, aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_Priority>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_RSTStream>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_Settings>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_PushPromise>(&hpack, &counter, aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_Ping>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_GoAway>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_WindowUpdate>(aRole));
    frames.push_back(std::make_unique<TzalHTTP2_Frame_Continuation>(aRole));
  }
};

void CheckSettingsRoundTrip(TzalHTTP2_Frame_Settings& aFrame) {
  TIdBytes written;
  aFrame.OnWriteBytes = [&written](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) { written = aBytes; };
  aFrame.WriteBytes();
  aFrame.OnWriteBytes = nullptr;
  TzalHTTP2_Frame_Settings again(aFrame.FrameRole());
  again.ReadFlags(written[4]);
  again.ReadPayload(std::span<const uint8_t>(written).subspan(9));
  if (again.HeaderTableSize() != aFrame.HeaderTableSize() || again.EnablePush() != aFrame.EnablePush() ||
      again.MaxConcurrentStreams() != aFrame.MaxConcurrentStreams() ||
      again.InitialWindowSize() != aFrame.InitialWindowSize() || again.MaxFrameSize() != aFrame.MaxFrameSize() ||
      again.MaxHeaderListSize() != aFrame.MaxHeaderListSize() ||
      again.EnableConnectProtocol() != aFrame.EnableConnectProtocol() || again.ACK() != aFrame.ACK())
    __builtin_trap();
}

// Writes a frame that was read, exercising the serialisers with received values.
void WriteBack(TzalHTTP2_Frame_Base& aFrame, Th2FrameType aType) {
  size_t total = 0;
  aFrame.OnWriteBytes = [&total](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) { total += aBytes.size(); };
  if (aType == h2ftSETTINGS) {
    aFrame.OnWriteBytes = nullptr;
    CheckSettingsRoundTrip(static_cast<TzalHTTP2_Frame_Settings&>(aFrame));
  } else if (aType == h2ftDATA) {
    auto& data = static_cast<TzalHTTP2_Frame_Data&>(aFrame);
    data.WriteBytes();
    while (data.WriteDataFrames(4096) > 0) {
    }
  } else if (aType != h2ftHEADERS && aType != h2ftPUSH_PROMISE) {
    aFrame.WriteBytes();
  }
  aFrame.OnWriteBytes = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1)
    return 0;
  Templates templates(aData[0] & 1 ? h2frServerRead : h2frClientRead);
  const std::span<const uint8_t> input(aData + 1, aSize - 1);
  bool headerBlockOpen = false;
  for (size_t at = 0; at + h2FrameHeaderLength <= input.size();) {
    TzalHTTP2_FrameHeader header = ReadFrameHeader(input.subspan(at));
    at += h2FrameHeaderLength;
    const size_t length = std::min(static_cast<size_t>(header.Length), input.size() - at);
    const auto payload = input.subspan(at, length);
    at += length;
    header.Length = static_cast<int32_t>(length);
    try {
      CheckFrameHeader(header, 16384, headerBlockOpen);
    } catch (const EIdException&) {
      // The engine would end the connection here; the codec still must cope with
      // whatever it is given, so the payload is read anyway.
    }
    const auto type = static_cast<Th2FrameType>(header.Type % 10);
    TzalHTTP2_Frame_Base& frame = *templates.frames[type];
    frame.SetStreamIdentifier(header.StreamIdentifier);
    try {
      frame.ReadFlags(header.Flags);
      frame.ReadPayload(payload);
    } catch (const EIdException&) {
      return 0;  // the connection ends; the HPACK state is no longer usable
    }
    headerBlockOpen = (type == h2ftHEADERS || type == h2ftPUSH_PROMISE || type == h2ftCONTINUATION) &&
                      (header.Flags & h2FlagEndHeaders) == 0;
    WriteBack(frame, type);
  }
  return 0;
}
