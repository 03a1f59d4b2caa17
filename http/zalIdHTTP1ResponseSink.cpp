#include "http/zalIdHTTP1ResponseSink.h"

#include <cstdint>
#include <limits>
#include <string_view>

#include "support/zalIdException.h"
#include "support/zalStream.h"

namespace zal {

namespace {

// Appends `line` and CR LF. CR, LF and NUL inside it are dropped: no value a
// handler sets can end its line early or add another (RFC 9110 5.5).
void AppendHeaderLine(std::string& block, std::string_view line) {
  for (const char c : line)
    if (c != '\r' && c != '\n' && c != '\0')
      block.push_back(c);
  block += "\r\n";
}

// A file body, sent from its descriptor where the transport allows it.
class TFileSource : public TzalOutputSource {
public:
  explicit TFileSource(std::unique_ptr<TStream> aFile) : FFile(std::move(aFile)) {}
  int FileHandle() const override { return static_cast<const TFileStream&>(*FFile).Handle(); }
  size_t Read(std::span<uint8_t> aBuffer) override { return ReadFrom(*FFile, aBuffer); }
  static size_t ReadFrom(TStream& aStream, std::span<uint8_t> aBuffer) {
    return static_cast<size_t>(std::max<int64_t>(aStream.Read(aBuffer.data(), static_cast<int64_t>(aBuffer.size())), 0));
  }

private:
  std::unique_ptr<TStream> FFile;
};

class TStreamSource : public TzalOutputSource {
public:
  explicit TStreamSource(std::unique_ptr<TStream> aStream) : FStream(std::move(aStream)) {}
  size_t Read(std::span<uint8_t> aBuffer) override { return TFileSource::ReadFrom(*FStream, aBuffer); }

private:
  std::unique_ptr<TStream> FStream;
};

}  // namespace

void TIdHTTP1ResponseSink::WriteResponseHeader(int aStatus, const std::string& aReason,
                                               const std::vector<std::string>& aLines, bool) {
  std::string block;
  AppendHeaderLine(block, "HTTP/1.1 " + std::to_string(aStatus) + " " + aReason);
  for (const std::string& line : aLines)
    AppendHeaderLine(block, line);
  block += "\r\n";
  Queue(ToBytes(block, &IdTextEncoding(tek8Bit)));
}

void TIdHTTP1ResponseSink::WriteResponseBody(TIdBytes aOctets) { Queue(std::move(aOctets)); }

void TIdHTTP1ResponseSink::WriteResponseStream(std::unique_ptr<TStream> aStream, int64_t aLength) {
  if (aLength <= 0)
    return;
  if (aLength <= static_cast<int64_t>(TzalOutputQueue::JoinedPieceSize)) {  // joins the header in one send
    TIdBytes octets(static_cast<size_t>(aLength));
    size_t read = 0;
    while (read < octets.size())
      if (const size_t count = TFileSource::ReadFrom(*aStream, std::span(octets).subspan(read)); count > 0)
        read += count;
      else
        throw EIdException("The body ended " + std::to_string(octets.size() - read) +
                           " octets before the length it was queued with.");
    return Queue(std::move(octets));
  }
  std::unique_ptr<TzalOutputSource> source;
  if (dynamic_cast<TFileStream*>(aStream.get()))
    source = std::make_unique<TFileSource>(std::move(aStream));
  else
    source = std::make_unique<TStreamSource>(std::move(aStream));
  FWriter.Append(std::move(source), static_cast<uint64_t>(aLength));
}

void TIdHTTP1ResponseSink::WriteContinue() {
  static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  Queue(TIdBytes(kContinue.begin(), kContinue.end()));
}

void TIdHTTP1ResponseSink::Queue(TIdBytes&& aPiece) {
  FWriter.Append(std::move(aPiece), std::numeric_limits<uint64_t>::max());
}

}  // namespace zal
