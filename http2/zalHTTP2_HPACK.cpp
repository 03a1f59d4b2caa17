#include "http2/zalHTTP2_HPACK.h"

#include <algorithm>
#include <limits>

#include "http2/zalHTTP2_Helpers.h"
#include "http2/zalHTTP2_Huffman.h"

namespace zal {

namespace {

// RFC 7541 Appendix A.
const std::array<TzalHTTP2_TableEntry, h2HPACKStaticTableLength>& StaticTable() {
  static const auto table = [] {
    const std::pair<std::string_view, std::string_view> fields[h2HPACKStaticTableLength] = {
        {":authority", ""}, {":method", "GET"}, {":method", "POST"}, {":path", "/"},
        {":path", "/index.html"}, {":scheme", "http"}, {":scheme", "https"}, {":status", "200"},
        {":status", "204"}, {":status", "206"}, {":status", "304"}, {":status", "400"},
        {":status", "404"}, {":status", "500"}, {"accept-charset", ""},
        {"accept-encoding", "gzip, deflate"}, {"accept-language", ""}, {"accept-ranges", ""},
        {"accept", ""}, {"access-control-allow-origin", ""}, {"age", ""}, {"allow", ""},
        {"authorization", ""}, {"cache-control", ""}, {"content-disposition", ""},
        {"content-encoding", ""}, {"content-language", ""}, {"content-length", ""},
        {"content-location", ""}, {"content-range", ""}, {"content-type", ""}, {"cookie", ""},
        {"date", ""}, {"etag", ""}, {"expect", ""}, {"expires", ""}, {"from", ""}, {"host", ""},
        {"if-match", ""}, {"if-modified-since", ""}, {"if-none-match", ""}, {"if-range", ""},
        {"if-unmodified-since", ""}, {"last-modified", ""}, {"link", ""}, {"location", ""},
        {"max-forwards", ""}, {"proxy-authenticate", ""}, {"proxy-authorization", ""},
        {"range", ""}, {"referer", ""}, {"refresh", ""}, {"retry-after", ""}, {"server", ""},
        {"set-cookie", ""}, {"strict-transport-security", ""}, {"transfer-encoding", ""},
        {"user-agent", ""}, {"vary", ""}, {"via", ""}, {"www-authenticate", ""}};
    std::array<TzalHTTP2_TableEntry, h2HPACKStaticTableLength> entries;
    for (int i = 0; i < h2HPACKStaticTableLength; ++i) {
      entries[i] = TzalHTTP2_TableEntry(fields[i].first, fields[i].second);
      entries[i].SetLocalVar(true);
    }
    return entries;
  }();
  return table;
}

constexpr int kFirstDynamicIndex = h2HPACKStaticTableLength + 1;
constexpr int kMaxIntegerShift = 28;  // 5 continuation octets cover 31 bits

[[noreturn]] void RaiseCompressionError(const std::string& aMessage) {
  RaiseHTTP2Exception(h2erCOMPRESSION_ERROR, aMessage, h2errGO_AWAY, 0);
}

std::string_view OctetsAt(std::span<const uint8_t> aBuffer, int aOffset, int aCount) {
  return std::string_view(reinterpret_cast<const char*>(aBuffer.data()) + aOffset, static_cast<size_t>(aCount));
}

}  // namespace

const TzalHTTP2_TableEntry& HPACKStaticTableEntry(int aIndex) {
  return StaticTable()[static_cast<size_t>(aIndex - 1)];
}

// ---------------------------------------------------------------- dynamic table

void TzalHTTP2_DynamicTable::EvictTo(int aSize) {
  while (!FItems.empty() && FUsedSize > aSize) {
    FUsedSize -= FItems.back().Size();
    FSpare = std::move(FItems.back());
    FItems.pop_back();
  }
  if (FItems.empty())
    FUsedSize = 0;
}

void TzalHTTP2_DynamicTable::SetMaxTableSize(int aValue) {
  FMaxTableSize = std::max(aValue, 0);
  EvictTo(FMaxTableSize);
}

void TzalHTTP2_DynamicTable::AddItem(std::string_view aName, std::string_view aValue) {
  const int64_t size = static_cast<int64_t>(aName.size()) + static_cast<int64_t>(aValue.size()) + h2HPACKEntryOverhead;
  if (size > FMaxTableSize) {
    EvictTo(0);
    return;
  }
  EvictTo(FMaxTableSize - static_cast<int>(size));
  FSpare.SetName(aName);
  FSpare.SetValue(aValue);
  FItems.push_front(std::move(FSpare));
  FSpare = TzalHTTP2_TableEntry();
  FUsedSize += static_cast<int>(size);
}

bool TzalHTTP2_DynamicTable::DeleteItem(int aIndex) {
  if (aIndex < 0 || aIndex >= Count())
    return false;
  FUsedSize -= FItems[static_cast<size_t>(aIndex)].Size();
  FItems.erase(FItems.begin() + aIndex);
  if (FItems.empty())
    FUsedSize = 0;
  return true;
}

const TzalHTTP2_TableEntry* TzalHTTP2_DynamicTable::GetItem(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count())
    return nullptr;
  return &FItems[static_cast<size_t>(aIndex)];
}

int TzalHTTP2_DynamicTable::GetBestMatchingIndex(const TzalHTTP2_TableEntry& aField, bool& aIsFullMatch) const {
  aIsFullMatch = false;
  int nameMatch = -1;
  for (int i = 0; i < Count(); ++i) {
    const TzalHTTP2_TableEntry& entry = FItems[static_cast<size_t>(i)];
    if (entry.Name() != aField.Name())
      continue;
    if (entry.Value() == aField.Value()) {
      aIsFullMatch = true;
      return i;
    }
    if (nameMatch < 0)
      nameMatch = i;
  }
  return nameMatch;
}

// ---------------------------------------------------------------- header table

const TzalHTTP2_TableEntry* TzalHTTP2_HeaderTable::GetItem(int aIndex) const {
  if (aIndex <= 0)
    throw EIdException("Header cannot be found by index.");
  if (aIndex <= h2HPACKStaticTableLength)
    return &HPACKStaticTableEntry(aIndex);
  return FDynamicTable.GetItem(aIndex - kFirstDynamicIndex);
}

int TzalHTTP2_HeaderTable::GetBestMatchingIndex(const TzalHTTP2_TableEntry& aField, bool& aIsFullMatch) const {
  int staticNameMatch = -1;
  for (int i = 1; i <= h2HPACKStaticTableLength; ++i) {
    const TzalHTTP2_TableEntry& entry = HPACKStaticTableEntry(i);
    if (entry.Name() != aField.Name())
      continue;
    if (entry.Value() == aField.Value()) {
      aIsFullMatch = true;
      return i;
    }
    if (staticNameMatch < 0)
      staticNameMatch = i;
  }
  const int dynamic = FDynamicTable.GetBestMatchingIndex(aField, aIsFullMatch);
  if (aIsFullMatch)
    return kFirstDynamicIndex + dynamic;
  if (staticNameMatch > 0)
    return staticNameMatch;
  return dynamic >= 0 ? kFirstDynamicIndex + dynamic : -1;
}

// ---------------------------------------------------------------- decoder

TzalHTTP2_HPACK::TzalHTTP2_HPACK() {
  // Build the shared Huffman tables now rather than inside the first header block.
  HuffmanTree();
}

void TzalHTTP2_HPACK::ResetPlan() {
  FDecoderCurTask = -1;
  FDecoderAddToTable = false;
  FDecoderSensitive = false;
}

void TzalHTTP2_HPACK::ResetDecoder() {
  ResetPlan();
  for (TzalHTTP2_DecoderTask& task : FDecoderTasks) {
    task._Type = hpttNone;
    task.IntData = 0;
    task.StringData.clear();
  }
  FDecodeStrState = hpstStartDecode;
  FDecodeIntDone = false;
  FDecodeStrDone = false;
  FFieldDecoded = false;
}

void TzalHTTP2_HPACK::Decode(std::span<const uint8_t> aBuffer, int aOffset, int aLength,
                             std::vector<std::string>& aHeaders) {
  aHeaders.clear();
  ResetDecoder();
  FDecoderAllowTableSizeUpdates = true;
  const int end = std::clamp(aLength, 0, static_cast<int>(aBuffer.size()));
  const std::span<const uint8_t> block = aBuffer.first(static_cast<size_t>(end));
  int64_t listSize = 0;
  for (int position = std::max(aOffset, 0); position < end;) {
    const int consumed = DecodeField(block, position);
    if (FFieldDecoded) {
      if (FDecoderHeaderField.Name().empty())
        RaiseCompressionError("HPACK: field name cannot be empty.");
      // The line "name=value" would read differently (RFC 9113 section 8.2.1: "=" is
      // not a token character, so such a field is malformed anyway).
      if (FDecoderHeaderField.Name().find('=') != std::string::npos)
        RaiseHTTP2Exception(h2erPROTOCOL_ERROR, "HPACK: field name cannot contain \"=\".", h2errGO_AWAY, 0);
      listSize += FDecoderHeaderField.Size();
      if (listSize > FMaxHeaderListSize)
        RaiseHTTP2Exception(h2erENHANCE_YOUR_CALM,
                            "HPACK: header list larger than " + std::to_string(FMaxHeaderListSize) + " octets.",
                            h2errGO_AWAY, 0);
      std::string line;
      line.reserve(FDecoderHeaderField.Name().size() + 1 + FDecoderHeaderField.Value().size());
      line.append(FDecoderHeaderField.Name()).append(1, '=').append(FDecoderHeaderField.Value());
      aHeaders.push_back(std::move(line));
    }
    position += consumed;
  }
  if (FDecoderCurTask != -1) {
    ResetDecoder();
    RaiseCompressionError("HPACK: header block ends inside a field representation.");
  }
}

int TzalHTTP2_HPACK::Decode(std::span<const uint8_t> aBuffer, int aOffset) {
  FDecoderAllowTableSizeUpdates = true;
  return DecodeField(aBuffer, aOffset);
}

int TzalHTTP2_HPACK::DecodeField(std::span<const uint8_t> aBuffer, int aOffset) {
  FFieldDecoded = false;
  int position = aOffset;
  const int end = static_cast<int>(aBuffer.size());
  for (;;) {
    if (FDecoderCurTask == -1) {
      if (position >= end)
        break;
      position += DoHandleStartOfPacket(aBuffer, position);
    }
    if (!DoExecutePendingTask(aBuffer, position))
      break;
  }
  return position - aOffset;
}

void TzalHTTP2_HPACK::PlanTasks(TzalHPackDecoderTaskType aFirst, int aPrefix, TzalHPackDecoderTaskType aSecond,
                                TzalHPackDecoderTaskType aHandler) {
  FDecoderTasks[0]._Type = aFirst;
  FDecoderTasks[0].IntData = aPrefix;
  FDecoderTasks[1]._Type = aSecond;
  FDecoderTasks[1].IntData = 0;
  FDecoderTasks[2]._Type = aHandler;
  FDecoderTasks[2].IntData = 0;
}

// Plans the representation that starts at aBuffer[aOffset] (RFC 7541 section 6) and
// returns the octets the plan itself consumes.
int TzalHTTP2_HPACK::DoHandleStartOfPacket(std::span<const uint8_t> aBuffer, int aOffset) {
  const uint8_t first = aBuffer[static_cast<size_t>(aOffset)];
  FDecoderCurTask = 0;
  FDecoderAddToTable = false;
  FDecoderSensitive = false;
  if (first & 0x80) {  // indexed field
    PlanTasks(hpttStartReadInt, 7, hpttHandleFullyIndexed, hpttNone);
    return 0;
  }
  if (first & 0x40) {  // literal with incremental indexing
    FDecoderAddToTable = true;
    if (first == 0x40) {
      PlanTasks(hpttStartReadString, 0, hpttStartReadString, hpttHandleNoneIndexed);
      return 1;
    }
    PlanTasks(hpttStartReadInt, 6, hpttStartReadString, hpttHandleNameIndexed);
    return 0;
  }
  if (first & 0x20) {  // dynamic table size update
    PlanTasks(hpttStartReadInt, 5, hpttHandleTableUpdate, hpttNone);
    return 0;
  }
  FDecoderSensitive = (first & 0x10) != 0;  // never indexed, else without indexing
  if ((first & 0x0F) == 0) {
    PlanTasks(hpttStartReadString, 0, hpttStartReadString, hpttHandleNoneIndexed);
    return 1;
  }
  PlanTasks(hpttStartReadInt, 4, hpttStartReadString, hpttHandleNameIndexed);
  return 0;
}

// Runs the current task; true when the next task should run at once.
bool TzalHTTP2_HPACK::DoExecutePendingTask(std::span<const uint8_t> aBuffer, int& aOffset) {
  TzalHTTP2_DecoderTask& task = FDecoderTasks[static_cast<size_t>(FDecoderCurTask)];
  switch (task._Type) {
    case hpttStartReadInt:
    case hpttContReadInt:
      return RunReadInt(task, aBuffer, aOffset);
    case hpttStartReadString:
    case hpttContReadString:
      return RunReadString(task, aBuffer, aOffset);
    case hpttHandleFullyIndexed:
      HandleFullyIndexed();
      return false;
    case hpttHandleNameIndexed:
      HandleNameIndexed();
      return false;
    case hpttHandleNoneIndexed:
      HandleNoneIndexed();
      return false;
    case hpttHandleTableUpdate:
      HandleTableUpdate();
      return true;
    default:
      throw EIdException("invalid task");
  }
}

bool TzalHTTP2_HPACK::RunReadInt(TzalHTTP2_DecoderTask& aTask, std::span<const uint8_t> aBuffer, int& aOffset) {
  if (aOffset >= static_cast<int>(aBuffer.size()))
    return false;
  if (aTask._Type == hpttStartReadInt)
    aOffset += StartDecodeInt(aBuffer, aOffset, aTask.IntData);
  else
    aOffset += ContDecodeInt(aBuffer, aOffset);
  if (!FDecodeIntDone) {
    aTask._Type = hpttContReadInt;
    return false;
  }
  aTask.IntData = static_cast<int>(FDecodeIntResult);
  ++FDecoderCurTask;
  return true;
}

bool TzalHTTP2_HPACK::RunReadString(TzalHTTP2_DecoderTask& aTask, std::span<const uint8_t> aBuffer, int& aOffset) {
  if (aOffset >= static_cast<int>(aBuffer.size()))
    return false;
  if (aTask._Type == hpttStartReadString)
    aOffset += StartDecodeStr(aBuffer, aOffset);
  else
    aOffset += ContDecodeStr(aBuffer, aOffset);
  if (!FDecodeStrDone) {
    aTask._Type = hpttContReadString;
    return false;
  }
  aTask.IntData = FDecodeStrLength;
  aTask.StringData.swap(FDecodeStrResult);
  ++FDecoderCurTask;
  return true;
}

const TzalHTTP2_TableEntry& TzalHTTP2_HPACK::IndexedEntry(int aIndex) const {
  const TzalHTTP2_TableEntry* entry = FHeaderTable.GetItem(aIndex);
  if (entry == nullptr)
    throw EIdException("Table Header item not found.");
  return *entry;
}

void TzalHTTP2_HPACK::SetDecodedField(std::string_view aName, std::string_view aValue) {
  AssignOctetsAsText(aName, FDecodeStrResult);
  FDecoderHeaderField.SetName(FDecodeStrResult);
  AssignOctetsAsText(aValue, FDecodeStrResult);
  FDecoderHeaderField.SetValue(FDecodeStrResult);
  FDecoderHeaderField.SetSensitive(FDecoderSensitive);
  FDecoderAllowTableSizeUpdates = false;
  FFieldDecoded = true;
}

void TzalHTTP2_HPACK::HandleFullyIndexed() {
  const int index = FDecoderTasks[0].IntData;
  ResetPlan();
  const TzalHTTP2_TableEntry& entry = IndexedEntry(index);
  SetDecodedField(entry.Name(), entry.Value());
}

void TzalHTTP2_HPACK::HandleNameIndexed() {
  const TzalHTTP2_TableEntry& entry = IndexedEntry(FDecoderTasks[0].IntData);
  const std::string& value = FDecoderTasks[1].StringData;
  SetDecodedField(entry.Name(), value);
  if (FDecoderAddToTable) {
    // The insertion may evict the entry that supplied the name: copy it first.
    FDecodeStrBuffer.assign(entry.Name());
    FHeaderTable.AddItem(FDecodeStrBuffer, value);
  }
  ResetPlan();
}

void TzalHTTP2_HPACK::HandleNoneIndexed() {
  const std::string& name = FDecoderTasks[0].StringData;
  const std::string& value = FDecoderTasks[1].StringData;
  SetDecodedField(name, value);
  if (FDecoderAddToTable)
    FHeaderTable.AddItem(name, value);
  ResetPlan();
}

void TzalHTTP2_HPACK::HandleTableUpdate() {
  const int size = FDecoderTasks[0].IntData;
  ResetPlan();
  // RFC 7541 section 4.2: size updates only come at the start of a header block.
  if (!FDecoderAllowTableSizeUpdates)
    RaiseCompressionError("HPACK: dynamic table size update after a header field.");
  if (size > FDynamicTableSizeLimit)
    throw EIdException("Table size limit exceeded");
  FHeaderTable.SetMaxDynamicTableSize(size);
}

// Prefix-coded integer, RFC 7541 section 5.1.
int TzalHTTP2_HPACK::StartDecodeInt(std::span<const uint8_t> aBuffer, int aOffset, int aPrefix) {
  const int mask = (1 << aPrefix) - 1;
  FDecodeIntResult = aBuffer[static_cast<size_t>(aOffset)] & mask;
  FDecodeIntAcum = 0;
  FDecodeIntDone = FDecodeIntResult < mask;
  FDecodeIntConsumed = 1;
  if (!FDecodeIntDone)
    FDecodeIntConsumed += ContDecodeInt(aBuffer, aOffset + 1);
  return FDecodeIntConsumed;
}

int TzalHTTP2_HPACK::ContDecodeInt(std::span<const uint8_t> aBuffer, int aOffset) {
  int position = aOffset;
  while (position < static_cast<int>(aBuffer.size())) {
    const uint8_t octet = aBuffer[static_cast<size_t>(position++)];
    if (FDecodeIntAcum > kMaxIntegerShift)
      throw EIdException("Invalid Integer.");
    FDecodeIntResult += static_cast<int64_t>(octet & 0x7F) << FDecodeIntAcum;
    FDecodeIntAcum += 7;
    if (FDecodeIntResult > std::numeric_limits<int32_t>::max())
      throw EIdException("Invalid Integer.");
    if ((octet & 0x80) == 0) {
      FDecodeIntDone = true;
      break;
    }
  }
  return position - aOffset;
}

// Length-prefixed string, RFC 7541 section 5.2.
int TzalHTTP2_HPACK::StartDecodeStr(std::span<const uint8_t> aBuffer, int aOffset) {
  FDecodeStrMaxLength = h2HPACKMaxStringLength;
  FDecodeStrDone = false;
  FDecodeStrHuffman = (aBuffer[static_cast<size_t>(aOffset)] & 0x80) != 0;
  FDecodeStrBuffer.clear();
  FDecodeStrBufferOffset = 0;
  FDecodeStrState = hpstDecodeLength;
  const int consumed = StartDecodeInt(aBuffer, aOffset, 7);
  return consumed + ContDecodeStr(aBuffer, aOffset + consumed);
}

int TzalHTTP2_HPACK::ContDecodeStr(std::span<const uint8_t> aBuffer, int aOffset) {
  int consumed = 0;
  if (FDecodeStrState == hpstDecodeLength) {
    if (!FDecodeIntDone) {
      consumed = ContDecodeInt(aBuffer, aOffset);
      if (!FDecodeIntDone)
        return consumed;
    }
    if (FDecodeIntResult > FDecodeStrMaxLength)
      throw EIdException("Maximum string length exceeded");
    FDecodeStrOctetLength = static_cast<int>(FDecodeIntResult);
    FDecodeStrState = hpstDecodeData;
  }
  return consumed + CollectStrData(aBuffer, aOffset + consumed);
}

// Takes the string's octets straight from the input when they are all there, and
// collects them in FDecodeStrBuffer when the input stops first.
int TzalHTTP2_HPACK::CollectStrData(std::span<const uint8_t> aBuffer, int aOffset) {
  const int available = static_cast<int>(aBuffer.size()) - aOffset;
  const int missing = FDecodeStrOctetLength - FDecodeStrBufferOffset;
  const int taken = std::min(available, missing);
  if (FDecodeStrBufferOffset == 0 && taken == missing) {
    FinishStr(OctetsAt(aBuffer, aOffset, taken));
    return taken;
  }
  FDecodeStrBuffer.append(OctetsAt(aBuffer, aOffset, taken));
  FDecodeStrBufferOffset += taken;
  if (FDecodeStrBufferOffset == FDecodeStrOctetLength)
    FinishStr(FDecodeStrBuffer);
  return taken;
}

void TzalHTTP2_HPACK::FinishStr(std::string_view aOctets) {
  if (FDecodeStrHuffman)
    HuffmanDecode(aOctets, FDecodeStrResult);
  else
    FDecodeStrResult.assign(aOctets);
  FDecodeStrLength = static_cast<int>(FDecodeStrResult.size());
  FDecodeStrDone = true;
  FDecodeStrState = hpstStartDecode;
}

// ---------------------------------------------------------------- encoder

void TzalHTTP2_HPACK::SetDynamicTableSize(int aValue) {
  aValue = std::max(aValue, 0);
  if (aValue == DynamicTableSize())
    return;
  FTableSizeUpdateFinalValue = aValue;
  if (FTableSizeUpdateMinValue == -1 || aValue < FTableSizeUpdateMinValue)
    FTableSizeUpdateMinValue = aValue;
  FHeaderTable.SetMaxDynamicTableSize(aValue);
}

void TzalHTTP2_HPACK::Encode(std::vector<uint8_t>& aBuffer, int aOffset, std::span<const TzalHTTP2_TableEntry> aHeaders,
                             int& UsedBytes, int& FieldCount) {
  aBuffer.resize(static_cast<size_t>(std::max(aOffset, 0)));
  FieldCount = 0;
  WritePendingSizeUpdates(aBuffer);
  for (const TzalHTTP2_TableEntry& entry : aHeaders) {
    EncodeField(aBuffer, entry);
    ++FieldCount;
  }
  UsedBytes = static_cast<int>(aBuffer.size()) - std::max(aOffset, 0);
}

// RFC 7541 section 4.2: the smallest size since the last block first, then the final one.
void TzalHTTP2_HPACK::WritePendingSizeUpdates(std::vector<uint8_t>& aBuffer) {
  if (FTableSizeUpdateMinValue != -1 && FTableSizeUpdateMinValue != FTableSizeUpdateFinalValue) {
    WriteInteger(aBuffer, 0x20, 5, FTableSizeUpdateMinValue);
    FTableSizeUpdateMinValue = -1;
  }
  if (FTableSizeUpdateFinalValue != -1) {
    WriteInteger(aBuffer, 0x20, 5, FTableSizeUpdateFinalValue);
    FTableSizeUpdateMinValue = -1;
    FTableSizeUpdateFinalValue = -1;
  }
}

void TzalHTTP2_HPACK::EncodeField(std::vector<uint8_t>& aBuffer, const TzalHTTP2_TableEntry& aEntry) {
  FEncodeOctets.clear();
  AppendStringOctets(aEntry.Name(), FEncodeOctets);
  FEncoderField.SetName(FEncodeOctets);
  FEncodeOctets.clear();
  AppendStringOctets(aEntry.Value(), FEncodeOctets);
  FEncoderField.SetValue(FEncodeOctets);

  bool fullMatch = false;
  const int index = FHeaderTable.GetBestMatchingIndex(FEncoderField, fullMatch);
  // A sensitive field stays a never-indexed literal even when the table holds it, so
  // that every hop keeps it out of its tables (RFC 7541 section 7.1.3).
  if (fullMatch && !aEntry.Sensitive()) {
    WriteInteger(aBuffer, 0x80, 7, index);
    return;
  }
  uint8_t pattern = 0x00;  // literal without indexing
  int prefix = 4;
  const bool addToTable = !aEntry.Sensitive() && DynamicTableSize() >= FEncoderField.Size();
  if (aEntry.Sensitive()) {
    pattern = 0x10;
  } else if (addToTable) {
    pattern = 0x40;
    prefix = 6;
  }
  if (index > 0) {
    WriteInteger(aBuffer, pattern, prefix, index);
  } else {
    aBuffer.push_back(pattern);
    WriteString(aBuffer, FEncoderField.Name());
  }
  WriteString(aBuffer, FEncoderField.Value());
  if (addToTable)
    FHeaderTable.AddItem(FEncoderField.Name(), FEncoderField.Value());
}

void TzalHTTP2_HPACK::WriteInteger(std::vector<uint8_t>& aBuffer, uint8_t aPattern, int aPrefix, int64_t aValue) const {
  const int64_t mask = (1 << aPrefix) - 1;
  if (aValue < mask) {
    aBuffer.push_back(static_cast<uint8_t>(aPattern | aValue));
    return;
  }
  aBuffer.push_back(static_cast<uint8_t>(aPattern | mask));
  aValue -= mask;
  while (aValue >= 0x80) {
    aBuffer.push_back(static_cast<uint8_t>((aValue & 0x7F) | 0x80));
    aValue >>= 7;
  }
  aBuffer.push_back(static_cast<uint8_t>(aValue));
}

void TzalHTTP2_HPACK::WriteString(std::vector<uint8_t>& aBuffer, std::string_view aOctets) const {
  const size_t huffmanLength = FHuffmanStrategy == h2huNever ? 0 : HuffmanEncodedLength(aOctets);
  const bool huffman = FHuffmanStrategy == h2huAlways ||
                       (FHuffmanStrategy == h2huIfSmaller && huffmanLength < aOctets.size());
  if (huffman) {
    WriteInteger(aBuffer, 0x80, 7, static_cast<int64_t>(huffmanLength));
    HuffmanEncode(aOctets, aBuffer);
  } else {
    WriteInteger(aBuffer, 0x00, 7, static_cast<int64_t>(aOctets.size()));
    aBuffer.insert(aBuffer.end(), aOctets.begin(), aOctets.end());
  }
}

}  // namespace zal
