#include "websocket/zalWebSocket_Extensions.h"

#include <algorithm>
#include <limits>

#include "support/zalHelpers.h"
#include "websocket/zalWebSocket_Exception.h"

namespace zal {

namespace {

constexpr uint8_t kRSV1 = 0x40;
constexpr uint8_t kFIN = 0x80;
constexpr uint8_t kOpcodeMask = 0x0F;
constexpr uint8_t kSyncTail[] = {0x00, 0x00, 0xFF, 0xFF};

bool IsContinuation(uint8_t aByte) { return (aByte & kOpcodeMask) == opContinuation; }

int CheckWindowBits(int value) {
  if (value < 8 || value > 15)
    throw EIdException("Invalid Value for WindowBits " + std::to_string(value));
  return value;
}

// A window-bits value of an offer: 1*DIGIT from 8 to 15 without leading zeros
// (RFC 7692 7.1.2); 0 for any other text.
int OfferedWindowBits(std::string_view value) {
  if (value.size() == 1 && value[0] >= '8' && value[0] <= '9')
    return value[0] - '0';
  if (value.size() == 2 && value[0] == '1' && value[1] >= '0' && value[1] <= '5')
    return 10 + value[1] - '0';
  return 0;
}

// zlib's raw deflate refuses a window of 8 bits (256 octets); 9 is its least.
int ZlibWindowBits(int bits) { return std::max(bits, 9); }

// One "name[=value]" parameter of an offer; a quoted value is unquoted (RFC 6455 9.1).
struct TOfferParameter {
  std::string_view Name;
  std::string_view Value;
  bool HasValue = false;
};

TOfferParameter ParseParameter(std::string_view text) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos)
    return {text, {}, false};
  std::string_view value = Trim(text.substr(equals + 1));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return {Trim(text.substr(0, equals)), value, true};
}

}  // namespace

// --- TzalWSExtension_Base ---------------------------------------------------

bool TzalWSExtension_Base::Negotiate(std::string_view aOffer) {
  FActive = FEnabled && DecodeExtension(aOffer);
  return FActive;
}

size_t TzalWSExtension_Base::StateBytes() const {
  return (FDeflater ? FDeflater->StateBytes() : 0) + (FInflater ? FInflater->StateBytes() : 0);
}

void TzalWSExtension_Base::CompressUnit(std::span<const uint8_t> payload, bool endOfUnit, TIdBytes& output) {
  if (!FDeflater)
    FDeflater = std::make_unique<TzalRawDeflater>(CompressionLevel(), ZlibWindowBits(CompressionWindowBits()),
                                                  CompressionMemLevel());
  const size_t start = output.size();
  FDeflater->SyncFlush(payload, output);
  if (!endOfUnit)
    return;
  if (output.size() == start)
    output.push_back(0x00);
  else
    output.resize(output.size() - sizeof(kSyncTail));
  if (!CompressionTakeover())
    FDeflater->Reset();
}

bool TzalWSExtension_Base::InflateUnit(std::span<const uint8_t> payload, bool endOfUnit, TIdBytes& output,
                                       size_t maxOutput) {
  if (!FInflater)
    FInflater = std::make_unique<TzalRawInflater>();
  if (!FInflater->Inflate(payload, output, maxOutput))
    return false;
  if (!endOfUnit)
    return true;
  if (!FInflater->Inflate(kSyncTail, output, maxOutput))
    return false;
  // A final block (BFINAL, RFC 7692 7.2.3.4) ended the stream: the next unit
  // starts a new one, over the same window when context is taken over.
  if (!DecompressionTakeover())
    FInflater->Reset();
  else if (FInflater->Ended())
    FInflater->KeepWindowAfterEnd();
  return true;
}

// --- TzalWSExtension_PerMessage_Deflate ------------------------------------

void TzalWSExtension_PerMessage_Deflate::SetServerMaxWindowBits(int value) {
  FServerMaxWindowBits = CheckWindowBits(value);
}

void TzalWSExtension_PerMessage_Deflate::SetClientMaxWindowBits(int value) {
  FClientMaxWindowBits = CheckWindowBits(value);
}

void TzalWSExtension_PerMessage_Deflate::Assign(const TzalWSPerMessageDeflate_Options& options) {
  FEnabled = options.Enabled;
  SetServerMaxWindowBits(options.ServerMaxWindowBits);
  SetClientMaxWindowBits(options.ClientMaxWindowBits);
  FServerNoContextTakeOver = options.ServerNoContextTakeOver;
  FClientNoContextTakeOver = options.ClientNoContextTakeOver;
  FMemLevel = options.MemLevel;
}

std::string TzalWSExtension_PerMessage_Deflate::GetName() const {
  return FMode == appClient ? "permessage-deflate; client_max_window_bits" : "permessage-deflate";
}

// The answer repeats the offer's parameters with the values in force (RFC 7692
// 7.1). The offer is declined, and the next one considered, when a parameter
// is unknown, repeated or has a value outside its syntax (RFC 7692 7.1), or
// when it asks the server to compress with a window of 8 bits, which zlib
// cannot. A configured client_no_context_takeover is announced even when not
// offered (RFC 7692 7.1.1.2), since the inflater then forgets its window
// between messages.
bool TzalWSExtension_PerMessage_Deflate::DecodeExtension(std::string_view aExtension) {
  const std::vector<std::string_view> parameters = SplitTrimmed(aExtension, ';');
  if (!TextIsSame(parameters.front(), "permessage-deflate"))
    return false;
  int serverBits = FServerMaxWindowBits;
  int clientBits = FClientMaxWindowBits;
  bool serverNoTakeover = FServerNoContextTakeOver;
  bool clientNoTakeover = FClientNoContextTakeOver;
  bool clientNoTakeoverAnswered = false;
  std::string answer = GetName();
  std::vector<std::string_view> seen;
  for (size_t i = 1; i < parameters.size(); ++i) {
    const TOfferParameter parameter = ParseParameter(parameters[i]);
    if (std::find(seen.begin(), seen.end(), parameter.Name) != seen.end())
      return false;
    seen.push_back(parameter.Name);
    if (parameter.Name == "client_max_window_bits") {
      if (parameter.HasValue && (clientBits = OfferedWindowBits(parameter.Value)) == 0)
        return false;
      answer += ";client_max_window_bits=" + std::to_string(clientBits);
    } else if (parameter.Name == "client_no_context_takeover" && !parameter.HasValue) {
      clientNoTakeover = true;
      clientNoTakeoverAnswered = true;
      answer += ";client_no_context_takeover";
    } else if (parameter.Name == "server_max_window_bits" && parameter.HasValue) {
      serverBits = OfferedWindowBits(parameter.Value);
      if (serverBits < 9)
        return false;
      answer += ";server_max_window_bits=" + std::to_string(serverBits);
    } else if (parameter.Name == "server_no_context_takeover" && !parameter.HasValue) {
      serverNoTakeover = true;
      answer += ";server_no_context_takeover";
    } else {
      return false;
    }
  }
  if (clientNoTakeover && !clientNoTakeoverAnswered)
    answer += ";client_no_context_takeover";
  FServerMaxWindowBits = serverBits;
  FClientMaxWindowBits = clientBits;
  FServerNoContextTakeOver = serverNoTakeover;
  FClientNoContextTakeOver = clientNoTakeover;
  FHeaderExtension = answer;
  return true;
}

int TzalWSExtension_PerMessage_Deflate::CompressionWindowBits() const {
  return FMode == appClient ? FClientMaxWindowBits : FServerMaxWindowBits;
}

bool TzalWSExtension_PerMessage_Deflate::CompressionTakeover() const {
  return FMode == appClient ? !FClientNoContextTakeOver : !FServerNoContextTakeOver;
}

bool TzalWSExtension_PerMessage_Deflate::DecompressionTakeover() const {
  return FMode == appClient ? !FServerNoContextTakeOver : !FClientNoContextTakeOver;
}

// RSV1 marks a compressed message on its first frame only (RFC 7692 6.1).
bool TzalWSExtension_PerMessage_Deflate::DecodeHeader(uint8_t aByte) {
  if (IsContinuation(aByte))
    return (aByte & kRSV1) == 0;
  FMessageCompressed = (aByte & kRSV1) != 0;
  return true;
}

bool TzalWSExtension_PerMessage_Deflate::DeflateFrame(std::span<const uint8_t> aPayload, bool aFin,
                                                      TIdBytes& aOutput, size_t aMaxOutput) {
  return InflateUnit(aPayload, aFin, aOutput, aMaxOutput);
}

void TzalWSExtension_PerMessage_Deflate::EncodeHeader(uint8_t& aByte) {
  if (!IsContinuation(aByte))
    aByte |= kRSV1;
}

void TzalWSExtension_PerMessage_Deflate::InflateFrame(uint8_t aByte, std::span<const uint8_t> aPayload,
                                                      TIdBytes& aOutput) {
  CompressUnit(aPayload, (aByte & kFIN) != 0, aOutput);
}

// --- TzalWSExtension_DeflateFrame ------------------------------------------

void TzalWSExtension_DeflateFrame::SetWindowBits(int value) { FWindowBits = CheckWindowBits(value); }

void TzalWSExtension_DeflateFrame::Assign(const TzalWSDeflateFrame_Options& options) {
  FEnabled = options.Enabled;
  SetWindowBits(options.WindowBits);
}

// The token alone; parameters of the offer are ignored and none are answered.
bool TzalWSExtension_DeflateFrame::DecodeExtension(std::string_view aExtension) {
  if (!TextIsSame(SplitTrimmed(aExtension, ';').front(), GetName()))
    return false;
  FHeaderExtension = GetName();
  return true;
}

// Every frame says for itself whether it is compressed.
bool TzalWSExtension_DeflateFrame::DecodeHeader(uint8_t aByte) {
  FMessageCompressed = (aByte & kRSV1) != 0;
  return true;
}

bool TzalWSExtension_DeflateFrame::DeflateFrame(std::span<const uint8_t> aPayload, bool, TIdBytes& aOutput,
                                                size_t aMaxOutput) {
  return InflateUnit(aPayload, true, aOutput, aMaxOutput);
}

void TzalWSExtension_DeflateFrame::EncodeHeader(uint8_t& aByte) { aByte |= kRSV1; }

void TzalWSExtension_DeflateFrame::InflateFrame(uint8_t, std::span<const uint8_t> aPayload, TIdBytes& aOutput) {
  CompressUnit(aPayload, true, aOutput);
}

// --- TzalWSExtensions -------------------------------------------------------

void TzalWSExtensions::Assign(const TzalWSExtensions_Options& options) {
  FDeflateFrame.Assign(options.DeflateFrame);
  FPerMessage_Deflate.Assign(options.PerMessage_Deflate);
}

void TzalWSExtensions::AssignMode(TwsApplicationMode value) {
  FMode = value;
  FDeflateFrame.SetMode(value);
  FPerMessage_Deflate.SetMode(value);
}

void TzalWSExtensions::DecodeExtensions(std::string_view aExtensions) {
  for (std::string_view offer : SplitTrimmed(aExtensions, ',')) {
    if (offer.empty())
      continue;
    if (FPerMessage_Deflate.Negotiate(offer) || FDeflateFrame.Negotiate(offer))
      break;
  }
  FExtensionNegotiated = CompressionActive();
}

TzalWSExtension_Base* TzalWSExtensions::ActiveExtension() const {
  if (FPerMessage_Deflate.Active())
    return const_cast<TzalWSExtension_PerMessage_Deflate*>(&FPerMessage_Deflate);
  if (FDeflateFrame.Active())
    return const_cast<TzalWSExtension_DeflateFrame*>(&FDeflateFrame);
  return nullptr;
}

void TzalWSExtensions::WriteHeader(std::vector<std::string>& aHeader) const {
  if (const TzalWSExtension_Base* extension = ActiveExtension())
    aHeader.push_back(extension->GetHeaderExtension());
}

std::vector<std::string> TzalWSExtensions::BuildExtensionList() const {
  std::vector<std::string> names;
  if (const TzalWSExtension_Base* extension = ActiveExtension())
    names.push_back(extension->GetName());
  return names;
}

void TzalWSExtensions::ReadStream(uint8_t aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) {
  TzalWSExtension_Base* extension = ActiveExtension();
  if (extension ? !extension->DecodeHeader(aByte) : (aByte & kRSV1) != 0)
    throw TzalWSException("RSV1 set without a compressed message.", kCloseProtocolError);
  if (!IsContinuation(aByte))
    FMessageBytes = 0;
  const size_t before = aOutput.size();
  const uint64_t allowed = FMaxMessageSize > 0 ? static_cast<uint64_t>(FMaxMessageSize - FMessageBytes)
                                               : std::numeric_limits<uint64_t>::max();
  const size_t maxOutput = static_cast<size_t>(std::min<uint64_t>(before + allowed, SIZE_MAX - 1));
  const bool fin = (aByte & kFIN) != 0;
  bool withinLimit = true;
  if (extension && extension->MessageCompressed()) {
    try {
      withinLimit = extension->DeflateFrame(aPayload, fin, aOutput, maxOutput);
    } catch (const EZlibError&) {
      throw TzalWSException("Error Deflating Frame.", kCloseInvalidPayload);
    }
  } else {
    withinLimit = aPayload.size() <= maxOutput - before;
    if (withinLimit)
      AppendBytes(aOutput, aPayload);
  }
  if (!withinLimit)
    throw TzalWSException(kMessageTooBigText, kCloseMessageTooBig);
  FMessageBytes += static_cast<int64_t>(aOutput.size() - before);
}

void TzalWSExtensions::WriteStream(uint8_t& aByte, std::span<const uint8_t> aPayload, TIdBytes& aOutput) {
  TzalWSExtension_Base* extension = ActiveExtension();
  if (!extension) {
    AppendBytes(aOutput, aPayload);
    return;
  }
  try {
    extension->InflateFrame(aByte, aPayload, aOutput);
  } catch (const EZlibError&) {
    throw TzalWSException("Error Inflating Frame.", kCloseInternalError);
  }
  extension->EncodeHeader(aByte);
}

size_t TzalWSExtensions::StateBytes() const {
  return FDeflateFrame.StateBytes() + FPerMessage_Deflate.StateBytes();
}

}  // namespace zal
