#include "websocket/WebSocketTestSupport.h"

#include <algorithm>

#include "websocket/zalWebSocket_Frame.h"

namespace zal::test {

namespace {

constexpr uint8_t kMask[4] = {0x37, 0xFA, 0x21, 0x3D};

std::string Shown(std::span<const uint8_t> bytes) {
  if (bytes.size() > 32)
    return "<" + std::to_string(bytes.size()) + ">";
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TIdBytes ClientFrame(uint8_t firstByte, std::string_view payload, bool masked) {
  TIdBytes out;
  AppendFrameHeader(out, firstByte, payload.size(), masked ? kMask : nullptr);
  const size_t start = out.size();
  out.insert(out.end(), payload.begin(), payload.end());
  if (masked)
    MaskPayload(std::span<uint8_t>(out).subspan(start), kMask);
  return out;
}

TIdBytes ClientFrame(uint8_t firstByte, size_t size) {
  std::string payload(size, '\0');
  for (size_t i = 0; i < size; ++i)
    payload[i] = static_cast<char>('a' + i % 26);
  return ClientFrame(firstByte, payload);
}

TIdBytes Concat(std::initializer_list<TIdBytes> parts) {
  TIdBytes out;
  for (const auto& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::string ClosePayload(int code, std::string_view reason) {
  std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  return payload.append(reason);
}

ReaderLog::ReaderLog(TzalWSFrameReader& reader) {
  reader.Events.OnMessage = [this](const std::string& text) { Lines.push_back("text:" + Shown({reinterpret_cast<const uint8_t*>(text.data()), text.size()})); };
  reader.Events.OnBinary = [this](const TMemoryStream& data) { Lines.push_back("binary:" + Shown(data.Bytes())); };
  reader.Events.OnFragmented = [this](const TMemoryStream& data, TOpcode opCode, bool continuation) {
    Lines.push_back("frag:" + std::to_string(opCode) + ":" + std::to_string(continuation) + ":" + Shown(data.Bytes()));
  };
  reader.Events.OnPing = [this](std::span<const uint8_t> payload) { Lines.push_back("ping:" + Shown(payload)); };
  reader.Events.OnPong = [this](std::span<const uint8_t> payload) { Lines.push_back("pong:" + Shown(payload)); };
  reader.Events.OnClose = [this](int code, const std::string& reason) {
    Lines.push_back("close:" + std::to_string(code) + ":" + reason);
  };
}

std::vector<std::string> FeedReader(const TzalWSReaderOptions& options, const TIdBytes& bytes,
                                    const std::vector<size_t>& cuts) {
  TzalWSFrameReader reader(options);
  ReaderLog log(reader);
  TIdBytes buffer;  // stands for the connection's input buffer
  std::vector<size_t> ends = cuts;
  ends.push_back(bytes.size());
  size_t from = 0;
  try {
    for (const size_t end : ends) {
      buffer.insert(buffer.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                    bytes.begin() + static_cast<std::ptrdiff_t>(end));
      from = end;
      // The driver calls again while a call consumes something.
      while (size_t consumed = reader.Read(buffer))
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
  } catch (const TzalWSException& e) {
    log.Lines.push_back("error:" + std::to_string(e.CloseCode()) + ":" + e.what());
    return log.Lines;
  }
  if (!buffer.empty() && !reader.Closed())
    log.Lines.push_back("pending:" + std::to_string(buffer.size()));
  return log.Lines;
}

}  // namespace zal::test
