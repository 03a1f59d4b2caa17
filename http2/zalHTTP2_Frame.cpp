#include "http2/zalHTTP2_Frame.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace zal {

namespace {

constexpr int kFrameChunk = h2DefaultMaxFrameSize;  // frames are cut at 16384 octets
constexpr int32_t kReservedBitMask = 0x7FFFFFFF;

[[noreturn]] void RaiseProtocolError(const std::string& aMessage) {
  RaiseHTTP2Exception(h2erPROTOCOL_ERROR, aMessage, h2errGO_AWAY, 0);
}

[[noreturn]] void RaiseFrameSizeError(const std::string& aMessage) {
  RaiseHTTP2Exception(h2erFRAME_SIZE_ERROR, aMessage, h2errGO_AWAY, 0);
}

// A 31-bit identifier or increment: the reserved top bit is ignored (RFC 7540 section 4.1).
int32_t Read31Bits(std::span<const uint8_t> aBytes, size_t aPosition) {
  return BytesToInt(aBytes, 4, aPosition) & kReservedBitMask;
}

void AppendInt(TIdBytes& aOutput, int64_t aValue, int aCount) {
  aOutput.resize(aOutput.size() + static_cast<size_t>(aCount));
  IntToBytes(aValue, aOutput.size() - static_cast<size_t>(aCount), aCount, aOutput);
}

std::string_view Trim(std::string_view aText) {
  while (!aText.empty() && static_cast<uint8_t>(aText.front()) <= ' ')
    aText.remove_prefix(1);
  while (!aText.empty() && static_cast<uint8_t>(aText.back()) <= ' ')
    aText.remove_suffix(1);
  return aText;
}

std::string LowerCase(std::string_view aText) {
  std::string lower(aText);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool IsDecimalInteger(std::string_view aText) {
  if (!aText.empty() && (aText.front() == '+' || aText.front() == '-'))
    aText.remove_prefix(1);
  return !aText.empty() && aText.size() <= 9 &&
         std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of the first decoded line "name=value" with that name, or nothing.
const std::string* FindLine(const TzalHTTP2HeaderLines& aHeaders, std::string_view aName) {
  for (const std::string& line : aHeaders)
    if (line.size() > aName.size() && line[aName.size()] == '=' && line.compare(0, aName.size(), aName) == 0)
      return &line;
  return nullptr;
}

std::string LineValue(const TzalHTTP2HeaderLines& aHeaders, std::string_view aName) {
  const std::string* line = FindLine(aHeaders, aName);
  return line != nullptr ? line->substr(aName.size() + 1) : std::string();
}

template <typename T>
const T* SameClass(const TzalHTTP2_Frame_Base& aSource) {
  return dynamic_cast<const T*>(&aSource);
}

// One line of a header list to send: "name: value", or ":name: value" for a pseudo-header.
TzalHTTP2_TableEntry HeaderLineToEntry(std::string_view aLine) {
  const auto isSeparator = [](char c) { return c == ':' || c == ' ' || c == '\t'; };
  size_t nameStart = 0;
  std::string name;
  if (!aLine.empty() && aLine.front() == ':') {
    nameStart = 1;
    name = ":";
  }
  size_t nameEnd = nameStart;
  while (nameEnd < aLine.size() && !isSeparator(aLine[nameEnd]))
    ++nameEnd;
  name += LowerCase(aLine.substr(nameStart, nameEnd - nameStart));
  const size_t colon = aLine.size() > 1 ? aLine.find(':', 1) : std::string_view::npos;
  const std::string_view value = colon == std::string_view::npos ? std::string_view() : Trim(aLine.substr(colon + 1));
  return TzalHTTP2_TableEntry(name, value);
}

}  // namespace

// ---------------------------------------------------------------- frame header

TzalHTTP2_FrameHeader ReadFrameHeader(std::span<const uint8_t> aBytes) {
  if (aBytes.size() < static_cast<size_t>(h2FrameHeaderLength))
    throw EIdException("A frame header takes 9 octets.");
  TzalHTTP2_FrameHeader header;
  header.Length = BytesToInt(aBytes, 3, 0);
  header.Type = aBytes[3];
  header.Flags = aBytes[4];
  header.StreamIdentifier = Read31Bits(aBytes, 5);
  return header;
}

void AppendFrameHeader(TIdBytes& aOutput, int32_t aLength, Th2FrameType aType, uint8_t aFlags, int32_t aStreamIdentifier) {
  AppendInt(aOutput, aLength, 3);
  aOutput.push_back(aType);
  aOutput.push_back(aFlags);
  AppendInt(aOutput, aStreamIdentifier & kReservedBitMask, 4);
}

bool CheckFrameHeader(const TzalHTTP2_FrameHeader& aHeader, int32_t aMaxFrameSize, bool aHeaderBlockOpen) {
  if (aHeader.Type > h2ftCONTINUATION) {
    if (aHeaderBlockOpen)
      RaiseProtocolError("UNKNOWN frame must be preceded by Frame with no EndHeaders.");
    return false;
  }
  if (aHeader.Length > aMaxFrameSize)
    RaiseFrameSizeError("Frame size greater than MaxFrameSize: " + std::to_string(aMaxFrameSize));
  if (aHeader.Type == h2ftPING && aHeader.Length != 8)
    RaiseFrameSizeError("PING FRAME: Frame size must be 8 octets.");
  static const char* const kZeroMessages[] = {
      "DATA FRAME: Stream Identifier can not be zero.",
      "HEADER FRAME: Stream Identifier can not be zero.",
      "PRIORITY FRAME: Stream Identifier can not be zero.",
      "RST_STREAM FRAME: Stream Identifier can not be zero.",
      "SETTINGS FRAME: Stream Identifier can not be greater than zero.",
      "PUSH PROMISE FRAME: Stream Identifier can not be zero.",
      "PING FRAME: Stream Identifier can not be greater than zero.",
      "GO AWAY: Stream Identifier can not be greater than zero.",
      nullptr,
      "CONTINUATION FRAME: Stream Identifier can not be zero."};
  const bool connectionFrame = aHeader.Type == h2ftSETTINGS || aHeader.Type == h2ftPING || aHeader.Type == h2ftGOAWAY;
  const char* message = kZeroMessages[aHeader.Type];
  if (message != nullptr && connectionFrame == (aHeader.StreamIdentifier != 0))
    RaiseProtocolError(message);
  return true;
}

// ---------------------------------------------------------------- identifiers

int32_t TzalHTTP2_StreamIdentifierCounter::GetNewIdentifier() {
  if (FNewStreamIdentifier == 0) {
    FNewStreamIdentifier = (FFrameRole == h2frClientWrite || FFrameRole == h2frServerWrite) ? 1 : 2;
    return FNewStreamIdentifier;
  }
  if (FNewStreamIdentifier > h2MaxStreamIdentifier - 2)
    throw EIdException("Stream identifiers exhausted.");  // RFC 7540 section 5.1.1
  FNewStreamIdentifier += 2;
  return FNewStreamIdentifier;
}

// ---------------------------------------------------------------- base

TzalHTTP2_Frame_Base::TzalHTTP2_Frame_Base(Th2FrameRole aFrameRole) : FFrameRole(aFrameRole) {}

void TzalHTTP2_Frame_Base::Assign(const TzalHTTP2_Frame_Base& aSource) {
  FFrameRole = aSource.FFrameRole;
  FStreamIdentifier = aSource.FStreamIdentifier;
  FFrameLength = aSource.FFrameLength;
}

void TzalHTTP2_Frame_Base::ReadFlags(uint8_t aByte) {
  ClearFlags();
  DoReadFlags(aByte);
}

void TzalHTTP2_Frame_Base::ReadPayload(std::span<const uint8_t> aBytes) {
  Clear();
  FFrameLength = static_cast<int32_t>(aBytes.size());
  DoReadPayload(aBytes);
}

void TzalHTTP2_Frame_Base::Emit(const TIdBytes& aOutput) {
  if (OnWriteBytes)
    OnWriteBytes(this, aOutput);
}

int TzalHTTP2_Frame_Base::WriteFrames(Th2FrameType aFrameType, uint8_t aLastFlags, uint8_t aOtherFlags,
                                      int32_t aStreamIdentifier, std::span<const uint8_t> aPayload, int aLimit) {
  if (aFrameType != h2ftDATA)
    FOffset = 0;
  FOffset = std::clamp(FOffset, 0, static_cast<int>(aPayload.size()));
  int remaining = static_cast<int>(aPayload.size()) - FOffset;
  const int toSend = std::min(remaining, aLimit > 0 ? aLimit : kFrameChunk);
  TIdBytes output;
  output.reserve(static_cast<size_t>(toSend + (toSend / kFrameChunk + 1) * h2FrameHeaderLength));
  do {
    int n = std::min(remaining, kFrameChunk);
    if (aLimit > 0) {
      n = std::min(n, aLimit);
      aLimit -= n;
    }
    remaining -= n;
    AppendFrameHeader(output, n, aFrameType, remaining == 0 ? aLastFlags : aOtherFlags, aStreamIdentifier);
    output.insert(output.end(), aPayload.begin() + FOffset, aPayload.begin() + FOffset + n);
    FOffset += n;
  } while (remaining > 0 && aLimit > 0);
  Emit(output);
  return remaining;
}

// ---------------------------------------------------------------- DATA

TzalHTTP2_Frame_Data::TzalHTTP2_Frame_Data(Th2FrameRole aFrameRole) : TzalHTTP2_Frame_Base(aFrameRole) {}

void TzalHTTP2_Frame_Data::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_Data>(aSource)) {
    FEndStream = source->FEndStream;
    FPadded = source->FPadded;
    FData = source->FData;
  }
}

void TzalHTTP2_Frame_Data::DoClearFlags() {
  FEndStream = false;
  FPadded = false;
}

void TzalHTTP2_Frame_Data::DoClear() {
  FData.clear();
  FPadLength = 0;
  FStreamIdentifierRequest = 0;
}

void TzalHTTP2_Frame_Data::DoReadFlags(uint8_t aByte) {
  FEndStream = (aByte & h2FlagEndStream) != 0;
  FPadded = (aByte & h2FlagPadded) != 0;
}

void TzalHTTP2_Frame_Data::DoValidatePayload(std::span<const uint8_t> aBytes) {
  // A padded frame needs its pad-length octet, and the padding must leave room for it
  // (RFC 7540 section 6.1).
  if (FPadded && (aBytes.empty() || aBytes[0] >= aBytes.size()))
    RaiseProtocolError("Padding Length is invalid.");
}

void TzalHTTP2_Frame_Data::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  size_t start = 0, end = aBytes.size();
  if (FPadded) {
    FPadLength = aBytes[0];
    start = 1;
    end -= static_cast<size_t>(FPadLength);
  }
  FData.assign(aBytes.begin() + static_cast<long>(start), aBytes.begin() + static_cast<long>(end));
}

void TzalHTTP2_Frame_Data::DoWriteBytes() {
  FOffset = 0;
  FPayloadBuilt = false;
  if (OnWriteDataFrame)
    OnWriteDataFrame(this);
}

void TzalHTTP2_Frame_Data::SetStream(std::istream* aStream) {
  FData.clear();
  if (aStream == nullptr)
    return;
  aStream->clear();
  aStream->seekg(0);
  FData.assign(std::istreambuf_iterator<char>(*aStream), std::istreambuf_iterator<char>());
  FEndStream = true;
}

// Padding rides only on a payload that goes out as one frame: every DATA frame with
// PADDED starts with its own pad length, so a padded payload cut into several frames
// would be misread.
void TzalHTTP2_Frame_Data::BuildPayload(int aLimit) {
  const int paddedSize = static_cast<int>(FData.size()) + 1 + FPadLength;
  FSendPadded = FPadded && FPadLength >= 0 && FPadLength <= 255 && paddedSize <= kFrameChunk &&
                (aLimit <= 0 || paddedSize <= aLimit);
  FPayLoad.clear();
  if (FSendPadded) {
    FPayLoad.reserve(static_cast<size_t>(paddedSize));
    FPayLoad.push_back(static_cast<uint8_t>(FPadLength));
    FPayLoad.insert(FPayLoad.end(), FData.begin(), FData.end());
    FPayLoad.resize(static_cast<size_t>(paddedSize), 0);
  }
  FPayloadBuilt = true;
}

int TzalHTTP2_Frame_Data::WriteDataFrames(int aLimit) {
  if (!FPayloadBuilt)
    BuildPayload(aLimit);
  const uint8_t padded = FSendPadded ? h2FlagPadded : 0;
  const uint8_t endStream = FEndStream ? h2FlagEndStream : 0;
  const TIdBytes& payload = FSendPadded ? FPayLoad : FData;  // unpadded: no copy
  return WriteFrames(h2ftDATA, padded | endStream, padded, FStreamIdentifier, payload, aLimit);
}

// ---------------------------------------------------------------- header blocks

TzalHTTP2_Frame_HPACK_Base::TzalHTTP2_Frame_HPACK_Base(TzalHTTP2_HPACK* aHPACK,
                                                       TzalHTTP2_StreamIdentifierCounter* aStreamIdentifierCounter,
                                                       Th2FrameRole aFrameRole)
    : TzalHTTP2_Frame_Base(aFrameRole), FHPACK(aHPACK) {
  FStreamIdentifierCounter = aStreamIdentifierCounter;
}

int32_t TzalHTTP2_Frame_HPACK_Base::NewStreamIdentifier() {
  FNewStreamIdentifier = FStreamIdentifierCounter != nullptr ? FStreamIdentifierCounter->GetNewIdentifier() : 0;
  return FNewStreamIdentifier;
}

TIdBytes TzalHTTP2_Frame_HPACK_Base::EncodeHeaderList(const TzalHTTP2HeaderLines& aHeaders) {
  if (FHPACK == nullptr)
    throw EIdException("No HPACK encoder for the header block.");
  std::vector<TzalHTTP2_TableEntry> entries;
  entries.reserve(aHeaders.size());
  for (const std::string& line : aHeaders)
    entries.push_back(HeaderLineToEntry(line));
  // Keep room in the peer's table: grow to the allowed limit when nearly full, and
  // halve a table that is already at the limit.
  const int used = FHPACK->DynamicTableUsedSize();
  const int size = FHPACK->DynamicTableSize();
  if (used > static_cast<int>(size * 0.9)) {
    if (size < FHPACK->DynamicTableSizeLimit())
      FHPACK->SetDynamicTableSize(FHPACK->DynamicTableSizeLimit());
    else
      FHPACK->SetDynamicTableSize(static_cast<int>(size * 0.5));
  }
  TIdBytes block;
  block.reserve(4096);
  int usedBytes = 0, fieldCount = 0;
  FHPACK->Encode(block, 0, entries, usedBytes, fieldCount);
  return block;
}

void TzalHTTP2_Frame_HPACK_Base::DecodeHeaderBlock(std::span<const uint8_t> aBytes, int aOffset, int aEnd,
                                                   TzalHTTP2HeaderLines& aHeaders) {
  if (FHPACK == nullptr)
    throw EIdException("No HPACK decoder for the header block.");
  FHPACK->Decode(aBytes, aOffset, aEnd, aHeaders);
}

void TzalHTTP2_Frame_HPACK_Base::ReadPadding(std::span<const uint8_t> aBytes, bool aPadded, int& aPadLength,
                                             int& aPosition, int& aEnd) {
  aPosition = 0;
  aEnd = static_cast<int>(aBytes.size());
  if (!aPadded)
    return;
  aPadLength = aBytes[0];
  aPosition = 1;
  aEnd -= aPadLength;
}

void TzalHTTP2_Frame_HPACK_Base::WriteHeaderBlockFrames(Th2FrameType aFrameType, uint8_t aFlags, bool aEndHeaders,
                                                        const TIdBytes& aPayload) {
  const uint8_t endHeaders = aEndHeaders ? h2FlagEndHeaders : 0;
  if (aPayload.size() <= static_cast<size_t>(kFrameChunk)) {
    WriteFrames(aFrameType, aFlags | endHeaders, aFlags | endHeaders, FStreamIdentifier, aPayload, 0);
    return;
  }
  // RFC 7540 section 6.10: the rest of the block follows in CONTINUATION frames.
  TIdBytes output;
  output.reserve(aPayload.size() + (aPayload.size() / kFrameChunk + 1) * h2FrameHeaderLength);
  for (size_t offset = 0; offset < aPayload.size();) {
    const size_t n = std::min(aPayload.size() - offset, static_cast<size_t>(kFrameChunk));
    const bool first = offset == 0;
    const bool last = offset + n == aPayload.size();
    AppendFrameHeader(output, static_cast<int32_t>(n), first ? aFrameType : h2ftCONTINUATION,
                      static_cast<uint8_t>((first ? aFlags : 0) | (last ? endHeaders : 0)), FStreamIdentifier);
    output.insert(output.end(), aPayload.begin() + static_cast<long>(offset),
                  aPayload.begin() + static_cast<long>(offset + n));
    offset += n;
  }
  FOffset = 0;
  Emit(output);
}

// ---------------------------------------------------------------- HEADERS

void TzalHTTP2_Frame_Headers::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_Headers>(aSource)) {
    FEndHeaders = source->FEndHeaders;
    FEndStream = source->FEndStream;
    FPadded = source->FPadded;
    FPriority = source->FPriority;
  }
}

void TzalHTTP2_Frame_Headers::DoClearFlags() {
  FEndHeaders = false;
  FEndStream = false;
  FPadded = false;
  FPriority = false;
}

void TzalHTTP2_Frame_Headers::DoClear() {
  FHeaders.clear();
  FPadLength = 0;
  FStreamDependency = 0;
  FWeight = 0;
}

void TzalHTTP2_Frame_Headers::DoReadFlags(uint8_t aByte) {
  FEndStream = (aByte & h2FlagEndStream) != 0;
  FEndHeaders = (aByte & h2FlagEndHeaders) != 0;
  FPadded = (aByte & h2FlagPadded) != 0;
  FPriority = (aByte & h2FlagPriority) != 0;
}

void TzalHTTP2_Frame_Headers::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (FPadded && (aBytes.empty() || aBytes[0] >= aBytes.size()))
    RaiseProtocolError("Padding Length is invalid.");
  if (!FPriority)
    return;
  // The priority fields must fit between the pad length and the padding (RFC 7540 section 6.2).
  const size_t head = FPadded ? 1u + aBytes[0] : 0u;
  if (aBytes.size() < head + 5) {
    if (FPadded)
      RaiseProtocolError("Padding Length is invalid.");
    RaiseFrameSizeError("HEADER FRAME: Payload too short for the priority fields.");
  }
}

std::span<const uint8_t> TzalHTTP2_Frame_Headers::ReadFragment(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  int position = 0, end = 0;
  ReadPadding(aBytes, FPadded, FPadLength, position, end);
  if (FPriority) {
    FStreamDependency = BytesToInt(aBytes, 4, static_cast<size_t>(position));
    if (FStreamDependency > 0 && FStreamDependency == FStreamIdentifier)
      RaiseProtocolError("Stream cannot depends on itself.");
    FWeight = aBytes[static_cast<size_t>(position) + 4];
    position += 5;
  }
  return aBytes.subspan(static_cast<size_t>(position), static_cast<size_t>(end - position));
}

void TzalHTTP2_Frame_Headers::DoReadPayload(std::span<const uint8_t> aBytes) {
  const std::span<const uint8_t> fragment = ReadFragment(aBytes);
  DecodeHeaderBlock(fragment, 0, static_cast<int>(fragment.size()), FHeaders);
  CheckHeaderList(FHeaders, FFrameRole);
}

void TzalHTTP2_Frame_Headers::DoWriteBytes() {
  if (FStreamIdentifier == 0)
    FStreamIdentifier = NewStreamIdentifier();
  // The payload carries no pad length or priority fields, so PADDED and PRIORITY
  // are never set on the frames written.
  WriteHeaderBlockFrames(h2ftHEADERS, FEndStream ? h2FlagEndStream : 0, FEndHeaders, EncodeHeaderList(FHeaders));
}

int TzalHTTP2_Frame_Headers::Status() const {
  const std::string value = LineValue(FHeaders, ":status");
  return IsDecimalInteger(value) ? std::stoi(value) : 0;
}

std::string TzalHTTP2_Frame_Headers::Location() const { return LineValue(FHeaders, "location"); }

std::string TzalHTTP2_Frame_Headers::Charset() const {
  const std::string contentType = LineValue(FHeaders, "content-type");
  const std::string lower = LowerCase(contentType);
  const size_t at = lower.find("charset=");
  if (at == std::string::npos)
    return {};
  std::string_view charset(contentType);
  charset = charset.substr(at + 8);
  charset = Trim(charset.substr(0, charset.find(';')));
  std::string result;
  std::copy_if(charset.begin(), charset.end(), std::back_inserter(result), [](char c) { return c != '"'; });
  return result;
}

// ---------------------------------------------------------------- PRIORITY

void TzalHTTP2_Frame_Priority::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_Priority>(aSource)) {
    FStreamDependency = source->FStreamDependency;
    FWeight = source->FWeight;
  }
}

void TzalHTTP2_Frame_Priority::DoClear() {
  FStreamDependency = 0;
  FWeight = 0;
}

void TzalHTTP2_Frame_Priority::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() != 5)
    RaiseFrameSizeError("Frame Size Error.");
}

void TzalHTTP2_Frame_Priority::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  FStreamDependency = BytesToInt(aBytes, 4, 0);
  FWeight = aBytes[4];
}

// ---------------------------------------------------------------- RST_STREAM

void TzalHTTP2_Frame_RSTStream::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_RSTStream>(aSource))
    FErrorCode = source->FErrorCode;
}

void TzalHTTP2_Frame_RSTStream::DoClear() { FErrorCode = 0; }

void TzalHTTP2_Frame_RSTStream::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() != 4)
    RaiseFrameSizeError("Frame Size Error.");
}

void TzalHTTP2_Frame_RSTStream::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  FErrorCode = BytesToInt(aBytes, 4, 0);
}

void TzalHTTP2_Frame_RSTStream::DoWriteBytes() {
  TIdBytes payload;
  AppendInt(payload, FErrorCode, 4);
  WriteFrames(h2ftRST_STREAM, 0, 0, FStreamIdentifier, payload, 0);
}

// ---------------------------------------------------------------- SETTINGS

TzalHTTP2_Frame_Settings::TzalHTTP2_Frame_Settings(Th2FrameRole aFrameRole) : TzalHTTP2_Frame_Base(aFrameRole) {}

void TzalHTTP2_Frame_Settings::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_Settings>(aSource)) {
    FACK = source->FACK;
    FEnableConnectProtocol = source->FEnableConnectProtocol;
    FEnablePush = source->FEnablePush;
    FHeaderTableSize = source->FHeaderTableSize;
    FInitialWindowSize = source->FInitialWindowSize;
    FMaxConcurrentStreams = source->FMaxConcurrentStreams;
    FMaxFrameSize = source->FMaxFrameSize;
    FMaxHeaderListSize = source->FMaxHeaderListSize;
  }
}

void TzalHTTP2_Frame_Settings::DoClearFlags() { FACK = false; }

void TzalHTTP2_Frame_Settings::DoClear() {
  FListed = 0;
  FHeaderTableSize = DefaultHeaderTableSize;
  FEnablePush = true;
  FMaxConcurrentStreams = DefaultMaxConcurrentStreams;
  FInitialWindowSize = DefaultInitialWindowSize;
  FMaxFrameSize = DefaultMaxFrameSize;
  FMaxHeaderListSize = DefaultMaxHeaderListSize;
  FEnableConnectProtocol = false;
}

void TzalHTTP2_Frame_Settings::DoReadFlags(uint8_t aByte) { FACK = (aByte & h2FlagAck) != 0; }

void TzalHTTP2_Frame_Settings::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (FACK && !aBytes.empty())
    RaiseFrameSizeError("When Settings FRAME has ACK enabled, payload must be empty.");
  if (aBytes.size() % 6 != 0)
    RaiseFrameSizeError("SETTINGS FRAME: Payload must be multiple of 6 octets.");
}

void TzalHTTP2_Frame_Settings::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  for (size_t position = 0; position + 6 <= aBytes.size(); position += 6)
    ReadSetting(static_cast<uint16_t>(BytesToInt(aBytes, 2, position)), aBytes.subspan(position + 2, 4));
}

void TzalHTTP2_Frame_Settings::ReadSetting(uint16_t aIdentifier, std::span<const uint8_t> aValue) {
  const int32_t value = BytesToInt(aValue, 4, 0);
  // Sizes and counts are unsigned 32-bit values: beyond 2^31-1 they mean "no limit".
  const int32_t unsignedValue = value < 0 ? h2MaxStreamIdentifier : value;
  if (aIdentifier < 16)
    FListed = static_cast<uint16_t>(FListed | (1u << aIdentifier));
  switch (aIdentifier) {
    case h2SettingsHeaderTableSize:
      FHeaderTableSize = unsignedValue;
      break;
    case h2SettingsEnablePush:
      if (aValue[3] > 1)
        RaiseProtocolError("Invalid value Enable Push");
      FEnablePush = aValue[3] != 0;
      break;
    case h2SettingsMaxConcurrentStreams:
      FMaxConcurrentStreams = unsignedValue;
      break;
    case h2SettingsInitialWindowSize:
      if (value < 0)
        RaiseHTTP2Exception(h2erFLOW_CONTROL_ERROR, "Invalid Initial Window Size", h2errGO_AWAY, 0);
      FInitialWindowSize = value;
      break;
    case h2SettingsMaxFrameSize:
      if (value < DefaultMaxFrameSize || value > LargestMaxFrameSize)
        RaiseProtocolError("Invalid Max Frame Size");
      FMaxFrameSize = value;
      break;
    case h2SettingsMaxHeaderListSize:
      FMaxHeaderListSize = unsignedValue;
      break;
    case h2SettingsEnableConnectProtocol:
      FEnableConnectProtocol = aValue[3] != 0;
      break;
    default:
      break;  // unknown settings are ignored (RFC 7540 section 6.5.2)
  }
}

void TzalHTTP2_Frame_Settings::DoWriteBytes() {
  TIdBytes payload;
  const auto add = [&payload](uint16_t aIdentifier, int32_t aValue) {
    AppendInt(payload, aIdentifier, 2);
    AppendInt(payload, aValue, 4);
  };
  if (!FACK) {
    if (FHeaderTableSize != DefaultHeaderTableSize)
      add(h2SettingsHeaderTableSize, FHeaderTableSize);
    if (!FEnablePush)
      add(h2SettingsEnablePush, 0);
    if (FMaxConcurrentStreams != DefaultMaxConcurrentStreams)
      add(h2SettingsMaxConcurrentStreams, FMaxConcurrentStreams);
    if (FInitialWindowSize != DefaultInitialWindowSize)
      add(h2SettingsInitialWindowSize, FInitialWindowSize);
    if (FMaxFrameSize != DefaultMaxFrameSize)
      add(h2SettingsMaxFrameSize, FMaxFrameSize);
    if (FMaxHeaderListSize != DefaultMaxHeaderListSize)
      add(h2SettingsMaxHeaderListSize, FMaxHeaderListSize);
    if (FEnableConnectProtocol)
      add(h2SettingsEnableConnectProtocol, 1);
  }
  const uint8_t flags = FACK ? h2FlagAck : 0;
  WriteFrames(h2ftSETTINGS, flags, flags, 0, payload, 0);
}

// ---------------------------------------------------------------- PUSH_PROMISE

void TzalHTTP2_Frame_PushPromise::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_PushPromise>(aSource)) {
    FEndHeaders = source->FEndHeaders;
    FPadded = source->FPadded;
  }
}

void TzalHTTP2_Frame_PushPromise::DoClearFlags() {
  FEndHeaders = false;
  FPadded = false;
}

void TzalHTTP2_Frame_PushPromise::DoClear() {
  FPadLength = 0;
  FPromisedStreamid = 0;
  FHeaders.clear();
}

void TzalHTTP2_Frame_PushPromise::DoReadFlags(uint8_t aByte) {
  FEndHeaders = (aByte & h2FlagEndHeaders) != 0;
  FPadded = (aByte & h2FlagPadded) != 0;
}

void TzalHTTP2_Frame_PushPromise::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (FPadded && (aBytes.empty() || aBytes[0] >= aBytes.size()))
    RaiseProtocolError("Padding Length is invalid.");
  const size_t head = FPadded ? 1u + aBytes[0] : 0u;
  if (aBytes.size() < head + 4)
    RaiseFrameSizeError("PUSH PROMISE FRAME: Payload too short for the Promised Stream ID.");
}

std::span<const uint8_t> TzalHTTP2_Frame_PushPromise::ReadFragment(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  int position = 0, end = 0;
  ReadPadding(aBytes, FPadded, FPadLength, position, end);
  FPromisedStreamid = Read31Bits(aBytes, static_cast<size_t>(position));
  return aBytes.subspan(static_cast<size_t>(position + 4), static_cast<size_t>(end - position - 4));
}

void TzalHTTP2_Frame_PushPromise::DoReadPayload(std::span<const uint8_t> aBytes) {
  const std::span<const uint8_t> fragment = ReadFragment(aBytes);
  DecodeHeaderBlock(fragment, 0, static_cast<int>(fragment.size()), FHeaders);
}

void TzalHTTP2_Frame_PushPromise::DoWriteBytes() {
  FPromisedStreamid = 0;
  if (OnRequestPromisedStreamId)
    OnRequestPromisedStreamId(FPromisedStreamid);
  TIdBytes payload;
  AppendInt(payload, FPromisedStreamid & kReservedBitMask, 4);
  const TIdBytes block = EncodeHeaderList(FHeaders);
  payload.insert(payload.end(), block.begin(), block.end());
  WriteHeaderBlockFrames(h2ftPUSH_PROMISE, 0, FEndHeaders, payload);
}

Th2Methods TzalHTTP2_Frame_PushPromise::Method() const {
  const std::string value = LineValue(FHeaders, ":method");
  for (size_t i = 0; i < h2MethodNames.size(); ++i)
    if (h2MethodNames[i] == value)
      return static_cast<Th2Methods>(i);
  return h2meHead;
}

std::string TzalHTTP2_Frame_PushPromise::URL() const { return LineValue(FHeaders, ":path"); }

// ---------------------------------------------------------------- PING

void TzalHTTP2_Frame_Ping::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_Ping>(aSource))
    FACK = source->FACK;
}

void TzalHTTP2_Frame_Ping::DoClearFlags() { FACK = false; }
void TzalHTTP2_Frame_Ping::DoClear() { FPayLoad.fill(0); }
void TzalHTTP2_Frame_Ping::DoReadFlags(uint8_t aByte) { FACK = (aByte & h2FlagAck) != 0; }

void TzalHTTP2_Frame_Ping::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() != FPayLoad.size())
    RaiseFrameSizeError("PING FRAME: Frame size must be 8 octets.");
}

void TzalHTTP2_Frame_Ping::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  std::copy(aBytes.begin(), aBytes.end(), FPayLoad.begin());
}

void TzalHTTP2_Frame_Ping::DoWriteBytes() {
  const uint8_t flags = FACK ? h2FlagAck : 0;
  WriteFrames(h2ftPING, flags, flags, 0, FPayLoad, 0);
}

// ---------------------------------------------------------------- GOAWAY

void TzalHTTP2_Frame_GoAway::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_GoAway>(aSource)) {
    FAdditionalDebugData = source->FAdditionalDebugData;
    FErrorCode = source->FErrorCode;
    FLastStreamid = source->FLastStreamid;
  }
}

void TzalHTTP2_Frame_GoAway::DoClear() {
  FAdditionalDebugData.clear();
  FErrorCode = 0;
  FLastStreamid = 0;
}

void TzalHTTP2_Frame_GoAway::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.size() < 8)
    RaiseFrameSizeError("GO AWAY: Payload must be at least 8 octets.");
}

void TzalHTTP2_Frame_GoAway::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  FLastStreamid = Read31Bits(aBytes, 0);
  FErrorCode = BytesToInt(aBytes, 4, 4);
  if (aBytes.size() > 8)
    FAdditionalDebugData = OctetsToText(aBytes.subspan(8));
}

void TzalHTTP2_Frame_GoAway::DoWriteBytes() {
  TIdBytes payload;
  AppendInt(payload, FLastStreamid & kReservedBitMask, 4);
  AppendInt(payload, FErrorCode, 4);
  const TIdBytes debug = StringToBytes(FAdditionalDebugData);
  payload.insert(payload.end(), debug.begin(), debug.end());
  WriteFrames(h2ftGOAWAY, 0, 0, 0, payload, 0);
}

// ---------------------------------------------------------------- CONTINUATION

void TzalHTTP2_Frame_Continuation::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_Continuation>(aSource))
    FEndHeaders = source->FEndHeaders;
}

void TzalHTTP2_Frame_Continuation::DoClearFlags() { FEndHeaders = false; }
void TzalHTTP2_Frame_Continuation::DoClear() { FPayLoad.clear(); }
void TzalHTTP2_Frame_Continuation::DoReadFlags(uint8_t aByte) { FEndHeaders = (aByte & h2FlagEndHeaders) != 0; }

void TzalHTTP2_Frame_Continuation::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  FPayLoad.assign(aBytes.begin(), aBytes.end());
}

// ---------------------------------------------------------------- WINDOW_UPDATE

void TzalHTTP2_Frame_WindowUpdate::Assign(const TzalHTTP2_Frame_Base& aSource) {
  TzalHTTP2_Frame_Base::Assign(aSource);
  if (const auto* source = SameClass<TzalHTTP2_Frame_WindowUpdate>(aSource))
    FWindowSizeIncrement = source->FWindowSizeIncrement;
}

void TzalHTTP2_Frame_WindowUpdate::DoClear() { FWindowSizeIncrement = 0; }

void TzalHTTP2_Frame_WindowUpdate::DoValidatePayload(std::span<const uint8_t> aBytes) {
  if (aBytes.empty() || aBytes.size() % 4 != 0)
    RaiseFrameSizeError("WINDOW UPDATE FRAME: Payload must be multiple of 4 octets.");
  if (Read31Bits(aBytes, 0) <= 0)
    RaiseProtocolError("WINDOW UPDATE FRAME: WindowSizeIncrement value must be between 1 and 2^30");
}

void TzalHTTP2_Frame_WindowUpdate::DoReadPayload(std::span<const uint8_t> aBytes) {
  DoValidatePayload(aBytes);
  FWindowSizeIncrement = Read31Bits(aBytes, 0);
}

void TzalHTTP2_Frame_WindowUpdate::DoWriteBytes() {
  TIdBytes payload;
  AppendInt(payload, FWindowSizeIncrement & kReservedBitMask, 4);
  WriteFrames(h2ftWINDOW_UPDATE, 0, 0, FStreamIdentifier, payload, 0);
}

// ---------------------------------------------------------------- header-list checks

namespace {

bool IsConnectionHeader(std::string_view aName) {
  return std::find(h2ConnectionHeaderNames.begin(), h2ConnectionHeaderNames.end(), aName) !=
         h2ConnectionHeaderNames.end();
}

// RFC 9110 9.1: a method is a token; methods beyond the registered ones go to the
// handler as on HTTP/1.1.
bool IsMethod(std::string_view aValue) {
  constexpr std::string_view kTokenSymbols = "!#$%&'*+-.^_`|~";
  return !aValue.empty() && std::all_of(aValue.begin(), aValue.end(), [&](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || kTokenSymbols.find(c) != std::string_view::npos;
  });
}

void CheckPseudoHeaderValue(const std::string& aName, std::string_view aValue) {
  bool valid = true;
  if (aName == ":method")
    valid = IsMethod(aValue);
  else if (aName == ":scheme" || aName == ":path" || aName == ":authority" || aName == ":protocol")
    valid = !aValue.empty();
  else if (aName == ":status")
    valid = IsDecimalInteger(aValue);
  if (!valid)
    RaiseProtocolError("PSEUDO-HEADER " + aName + " value \"" + std::string(aValue) + "\" is invalid.");
}

bool Has(const std::vector<std::string>& aNames, std::string_view aName) {
  return std::find(aNames.begin(), aNames.end(), aName) != aNames.end();
}

void Require(const std::vector<std::string>& aNames, std::string_view aName) {
  if (!Has(aNames, aName))
    RaiseProtocolError("PSEUDO-HEADER " + std::string(aName) + " not found.");
}

// The pseudo-headers a request must carry: RFC 9113 8.3.1 (":authority" may be
// left out, "host" then serves), 8.5 (CONNECT names only ":authority") and
// RFC 8441 4 (the extended CONNECT carries all of them and ":protocol").
void CheckRequestPseudoHeaders(const std::vector<std::string>& aNames, std::string_view aMethod) {
  Require(aNames, ":method");
  const bool connect = aMethod == "CONNECT";
  if (Has(aNames, ":protocol") && !connect)
    RaiseProtocolError("PSEUDO-HEADER :protocol belongs to CONNECT only.");
  if (connect)
    Require(aNames, ":authority");
  if (connect && !Has(aNames, ":protocol")) {
    if (Has(aNames, ":scheme") || Has(aNames, ":path"))
      RaiseProtocolError("CONNECT carries neither :scheme nor :path.");
    return;
  }
  Require(aNames, ":scheme");
  Require(aNames, ":path");
}

bool AllowedPseudoHeader(std::string_view aName, Th2FrameRole aFrameRole, bool aConnectProtocol) {
  if (aFrameRole == h2frClientRead)
    return aName == ":status";
  if (aFrameRole != h2frServerRead)
    return true;
  const auto request = std::span(h2PseudoHeaderNames.data(), h2RequestPseudoHeaderCount);
  return std::find(request.begin(), request.end(), aName) != request.end() || (aConnectProtocol && aName == ":protocol");
}

}  // namespace

void CheckHeaderList(const TzalHTTP2HeaderLines& aHeaders, Th2FrameRole aFrameRole, bool aConnectProtocol) {
  std::vector<std::string> pseudoHeaders;
  std::string method;
  bool regularSeen = false;
  for (const std::string& line : aHeaders) {
    if (line.empty())
      continue;
    const bool pseudo = line.front() == ':';
    if (pseudo && regularSeen)
      RaiseProtocolError("PSEUDO-HEADERS cannot appear in a Header Block AFTER a REGULAR field.");
    const size_t eq = line.find('=', pseudo ? 1 : 0);
    const std::string_view text(line);
    std::string name(Trim(text.substr(pseudo ? 1 : 0, eq == std::string::npos ? std::string::npos : eq - (pseudo ? 1 : 0))));
    if (pseudo)
      name.insert(0, 1, ':');
    else if (IsConnectionHeader(name))
      RaiseProtocolError("CONNECTION HEADER fields are not allowed.");
    regularSeen = regularSeen || !pseudo;
    if (name != LowerCase(name))
      RaiseProtocolError("HEADER name cannot contain UPPERCASE letters.");
    const std::string_view value = eq == std::string::npos ? std::string_view() : Trim(text.substr(eq + 1));
    if (pseudo) {
      if (!AllowedPseudoHeader(name, aFrameRole, aConnectProtocol))
        RaiseProtocolError("PSEUDO-HEADER field is Unknown.");
      if (Has(pseudoHeaders, name))
        RaiseProtocolError("PSEUDO-HEADER field cannot be duplicated.");
      CheckPseudoHeaderValue(name, value);
      pseudoHeaders.push_back(name);
      if (name == ":method")
        method = value;
    } else if (name == "te" && value != "trailers") {
      RaiseProtocolError("TE HEADER must not contain any value other than \"trailers\".");
    }
  }
  if (aFrameRole == h2frServerRead)
    CheckRequestPseudoHeaders(pseudoHeaders, method);
  else if (aFrameRole == h2frClientRead)
    Require(pseudoHeaders, ":status");
}

}  // namespace zal
