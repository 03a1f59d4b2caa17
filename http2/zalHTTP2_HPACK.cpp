#include "http2/zalHTTP2_HPACK.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "http2/zalHTTP2_Helpers.h"
#include "http2/zalHTTP2_Huffman.h"

namespace zal {

namespace {

// RFC 7541 Appendix A.
constexpr std::pair<std::string_view, std::string_view> kStaticFields[h2HPACKStaticTableLength] = {
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

const std::array<TzalHTTP2_TableEntry, h2HPACKStaticTableLength>& StaticTable() {
  static const auto table = [] {
    std::array<TzalHTTP2_TableEntry, h2HPACKStaticTableLength> entries;
    for (int i = 0; i < h2HPACKStaticTableLength; ++i) {
      entries[i] = TzalHTTP2_TableEntry(kStaticFields[i].first, kStaticFields[i].second);
      entries[i].SetLocalVar(true);
    }
    return entries;
  }();
  return table;
}

uint32_t NameHash(std::string_view aName) {
  // The first and the last eight octets (overlapping when shorter) and the length, mixed
  // by multiplication: names are short and rarely share both ends.
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  const char* p = aName.data();
  const size_t n = aName.size();
  uint64_t head = 0, tail = 0;
  if (n >= 8) {
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t first = 0, last = 0;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    head = first;
    tail = last;
  } else if (n > 0) {
    head = static_cast<uint8_t>(p[0]) | static_cast<uint64_t>(static_cast<uint8_t>(p[n / 2])) << 8 |
           static_cast<uint64_t>(static_cast<uint8_t>(p[n - 1])) << 16;
  }
  uint64_t hash = (head ^ n) * kMultiplier;
  hash = (hash ^ (hash >> 29) ^ tail) * kMultiplier;
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

template <typename Word>
Word LoadWord(const char* aOctets) {
  Word word;
  std::memcpy(&word, aOctets, sizeof word);
  return word;
}

// Equal words at both ends of two strings of aLength octets, sizeof(Word) <= aLength
// <= 2 * sizeof(Word): the two loads overlap and cover every octet.
template <typename Word>
bool SameEnds(const char* aLeft, const char* aRight, size_t aLength) {
  const size_t last = aLength - sizeof(Word);
  return ((LoadWord<Word>(aLeft) ^ LoadWord<Word>(aRight)) |
          (LoadWord<Word>(aLeft + last) ^ LoadWord<Word>(aRight + last))) == 0;
}

// Equality of octet strings, without a library call for the short ones (most names and
// many values).
bool SameOctets(std::string_view aLeft, std::string_view aRight) {
  const size_t n = aLeft.size();
  if (n != aRight.size())
    return false;
  const char* left = aLeft.data();
  const char* right = aRight.data();
  if (n > 16)
    return std::memcmp(left, right, n) == 0;
  if (n >= 8)
    return SameEnds<uint64_t>(left, right, n);
  if (n >= 4)
    return SameEnds<uint32_t>(left, right, n);
  for (size_t i = 0; i < n; ++i)
    if (left[i] != right[i])
      return false;
  return true;
}

// For each static index, the last index with the same name (entries with one name are
// adjacent).
constexpr std::array<uint8_t, h2HPACKStaticTableLength + 1> kStaticNameEnd = [] {
  std::array<uint8_t, h2HPACKStaticTableLength + 1> ends{};
  for (int index = h2HPACKStaticTableLength; index >= 1; --index)
    ends[index] = static_cast<uint8_t>(index < h2HPACKStaticTableLength &&
                                               kStaticFields[index - 1].first == kStaticFields[index].first
                                           ? ends[index + 1]
                                           : index);
  return ends;
}();

// How the selective indexing policy sends a literal field of a static table name.
enum TNameIndexing : uint8_t { kIndexName, kWithoutIndexing, kNeverIndexed };

// Values that name one resource, one version or one moment, and rarely come again on a
// connection: indexing them would only evict entries that would be used again.
constexpr std::string_view kVolatileNames[] = {
    ":path", "age", "content-length", "content-range", "etag", "if-modified-since", "if-none-match",
    "if-range", "if-unmodified-since", "last-modified", "location", "set-cookie"};
// Credentials: kept out of every table, so that no one who shares the connection can
// guess them by probing the table (RFC 7541 section 7.1.3).
constexpr std::string_view kCredentialNames[] = {"authorization", "proxy-authorization"};

constexpr std::array<TNameIndexing, h2HPACKStaticTableLength + 1> kStaticNameIndexing = [] {
  std::array<TNameIndexing, h2HPACKStaticTableLength + 1> indexing{};
  for (int index = 1; index <= h2HPACKStaticTableLength; ++index) {
    const std::string_view name = kStaticFields[index - 1].first;
    for (const std::string_view volatileName : kVolatileNames)
      if (name == volatileName)
        indexing[index] = kWithoutIndexing;
    for (const std::string_view credentialName : kCredentialNames)
      if (name == credentialName)
        indexing[index] = kNeverIndexed;
  }
  return indexing;
}();

// The static table's names by hash, each with the index of its first entry.
struct TStaticName {
  uint32_t hash = 0;
  uint8_t first = 0;  // 0: free place
};
constexpr size_t kStaticNameSlots = 128;  // a power of two, over twice the 52 names

std::array<TStaticName, kStaticNameSlots> BuildStaticNames() {
  std::array<TStaticName, kStaticNameSlots> names{};
  for (int index = 1; index <= h2HPACKStaticTableLength; ++index) {
    const std::string_view name = kStaticFields[index - 1].first;
    const uint32_t hash = NameHash(name);
    for (size_t slot = hash;; ++slot) {
      TStaticName& place = names[slot & (kStaticNameSlots - 1)];
      if (place.first == 0)
        place = {hash, static_cast<uint8_t>(index)};
      if (kStaticFields[place.first - 1].first == name)
        break;
    }
  }
  return names;
}

const TStaticName* FindStaticName(std::string_view aName, uint32_t aHash) {
  static const std::array<TStaticName, kStaticNameSlots> names = BuildStaticNames();
  for (size_t slot = aHash;; ++slot) {
    const TStaticName& place = names[slot & (kStaticNameSlots - 1)];
    if (place.first == 0)
      return nullptr;
    if (place.hash == aHash && SameOctets(kStaticFields[place.first - 1].first, aName))
      return &place;
  }
}

constexpr int kFirstDynamicIndex = h2HPACKStaticTableLength + 1;
constexpr int kMaxIntegerShift = 28;  // 5 continuation octets cover 31 bits
constexpr size_t kFirstRingSize = 32;

[[noreturn]] void RaiseCompressionError(const std::string& aMessage) {
  RaiseHTTP2Exception(h2erCOMPRESSION_ERROR, aMessage, h2errGO_AWAY, 0);
}

[[noreturn]] void RaiseTruncatedBlock() {
  RaiseCompressionError("HPACK: header block ends inside a field representation.");
}

std::string_view OctetsAt(std::span<const uint8_t> aBuffer, int aOffset, int aCount) {
  return std::string_view(reinterpret_cast<const char*>(aBuffer.data()) + aOffset, static_cast<size_t>(aCount));
}

// aOctets as UTF-8 text: the octets themselves when valid, else their conversion in aText.
std::string_view AsText(std::string_view aOctets, bool aIsASCII, std::string& aText) {
  if (aIsASCII || OctetsAreText(aOctets))
    return aOctets;
  AssignOctetsAsText(aOctets, aText);
  return aText;
}

// A text on its way to the wire: its octets through the 8-bit code page, the text
// itself when ASCII, else their conversion in aStorage.
struct TWireString {
  std::string_view octets;
  bool isASCII = false;
};

TWireString ToWire(std::string_view aText, std::string& aStorage) {
  if (IsASCII(aText))
    return {aText, true};
  aStorage.clear();
  AppendStringOctets(aText, aStorage);
  return {aStorage, false};
}

constexpr size_t kMaxIntegerOctets = 10;  // a 64-bit value in 7-bit groups after the prefix

// Writes aValue with an aPrefix-bit prefix after aPattern (RFC 7541 section 5.1) and
// returns the octets written.
size_t PutInteger(uint8_t* aOutput, uint8_t aPattern, int aPrefix, uint64_t aValue) {
  const uint64_t mask = (1u << aPrefix) - 1;
  if (aValue < mask) {
    aOutput[0] = static_cast<uint8_t>(aPattern | aValue);
    return 1;
  }
  aOutput[0] = static_cast<uint8_t>(aPattern | mask);
  size_t count = 1;
  for (aValue -= mask; aValue >= 0x80; aValue >>= 7)
    aOutput[count++] = static_cast<uint8_t>((aValue & 0x7F) | 0x80);
  aOutput[count++] = static_cast<uint8_t>(aValue);
  return count;
}

}  // namespace

TzalHTTP2_NameKey HPACKNameKey(std::string_view aName) {
  const uint32_t hash = NameHash(aName);
  const TStaticName* name = FindStaticName(aName, hash);
  return {hash, name == nullptr ? 0 : name->first};
}

namespace {

// The key of each static entry's name, by index.
const std::array<TzalHTTP2_NameKey, h2HPACKStaticTableLength + 1>& StaticNameKeys() {
  static const auto keys = [] {
    std::array<TzalHTTP2_NameKey, h2HPACKStaticTableLength + 1> names{};
    for (int index = 1; index <= h2HPACKStaticTableLength; ++index)
      names[static_cast<size_t>(index)] = HPACKNameKey(kStaticFields[index - 1].first);
    return names;
  }();
  return keys;
}

}  // namespace

const TzalHTTP2_TableEntry& HPACKStaticTableEntry(int aIndex) {
  return StaticTable()[static_cast<size_t>(aIndex - 1)];
}

// ---------------------------------------------------------------- dynamic table

void TzalHTTP2_DynamicTable::EvictTo(int aSize) {
  while (FCount > 0 && FUsedSize > aSize) {
    FUsedSize -= SlotOf(Oldest()).entry.Size();
    --FCount;
  }
  if (FCount == 0)
    FUsedSize = 0;
}

void TzalHTTP2_DynamicTable::SetMaxTableSize(int aValue) {
  FMaxTableSize = std::max(aValue, 0);
  EvictTo(FMaxTableSize);
}

void TzalHTTP2_DynamicTable::AddItem(std::string_view aName, std::string_view aValue) {
  AddItem(aName, aValue, nullptr, IsASCII(aName) && IsASCII(aValue));
}

void TzalHTTP2_DynamicTable::AddItem(std::string_view aName, std::string_view aValue, const TzalHTTP2_NameKey* aNameKey,
                                     bool aIsASCII) {
  const int64_t size = static_cast<int64_t>(aName.size()) + static_cast<int64_t>(aValue.size()) + h2HPACKEntryOverhead;
  if (size > FMaxTableSize) {
    EvictTo(0);
    return;
  }
  EvictTo(FMaxTableSize - static_cast<int>(size));
  if (static_cast<size_t>(FCount) == FSlots.size())
    Grow();
  TSlot& slot = SlotOf(FNext);
  slot.entry.SetName(aName);
  slot.entry.SetValue(aValue);
  slot.ascii = aIsASCII;
  if (FIndexed) {
    slot.nameKey = aNameKey != nullptr ? *aNameKey : HPACKNameKey(aName);
    Link(FNext);
  }
  ++FNext;
  ++FCount;
  FUsedSize += static_cast<int>(size);
}

// Doubles the ring; the entries move to the slots of their numbers in the larger ring.
void TzalHTTP2_DynamicTable::Grow() {
  std::vector<TSlot> slots(std::max(kFirstRingSize, FSlots.size() * 2));
  for (uint64_t number = Oldest(); number < FNext; ++number)
    slots[number & (slots.size() - 1)] = std::move(SlotOf(number));
  FSlots.swap(slots);
  if (FIndexed)
    RebuildIndex();
}

void TzalHTTP2_DynamicTable::Link(uint64_t aNumber) const {
  const TSlot& slot = SlotOf(aNumber);
  uint64_t& bucket = FBuckets[slot.nameKey.Hash & (FBuckets.size() - 1)];
  slot.olderInBucket = bucket;
  bucket = aNumber + 1;
}

// Indexes every entry; the slots' keys are computed when the table was not indexed.
void TzalHTTP2_DynamicTable::RebuildIndex() const {
  FBuckets.assign(FSlots.size() * 2, 0);
  for (uint64_t number = Oldest(); number < FNext; ++number) {
    if (!FIndexed)
      SlotOf(number).nameKey = HPACKNameKey(SlotOf(number).entry.Name());
    Link(number);
  }
  FIndexed = true;
}

TzalHTTP2_NameKey TzalHTTP2_DynamicTable::NameKeyAt(int aIndex) const {
  const TSlot& slot = SlotAt(aIndex);
  return FIndexed ? slot.nameKey : HPACKNameKey(slot.entry.Name());
}

bool TzalHTTP2_DynamicTable::DeleteItem(int aIndex) {
  if (aIndex < 0 || aIndex >= Count())
    return false;
  // The newer entries move one number down, over the deleted one.
  uint64_t number = FNext - 1 - static_cast<uint64_t>(aIndex);
  FUsedSize -= SlotOf(number).entry.Size();
  for (; number + 1 < FNext; ++number)
    std::swap(SlotOf(number), SlotOf(number + 1));
  --FNext;
  --FCount;
  if (FIndexed)
    RebuildIndex();
  if (FCount == 0)
    FUsedSize = 0;
  return true;
}

const TzalHTTP2_TableEntry* TzalHTTP2_DynamicTable::GetItem(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count())
    return nullptr;
  return &SlotAt(aIndex).entry;
}

int TzalHTTP2_DynamicTable::GetBestMatchingIndex(const TzalHTTP2_TableEntry& aField, bool& aIsFullMatch) const {
  aIsFullMatch = false;
  int nameMatch = -1;
  for (int i = 0; i < Count(); ++i) {
    const TzalHTTP2_TableEntry& entry = SlotAt(i).entry;
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

void TzalHTTP2_DynamicTable::FindField(std::string_view aName, const TzalHTTP2_NameKey& aNameKey,
                                       std::string_view aValue, int& aFullMatch, int& aNameMatch) const {
  aFullMatch = -1;
  aNameMatch = -1;
  if (!FIndexed)
    RebuildIndex();
  if (FBuckets.empty())
    return;
  const uint64_t oldest = Oldest();
  // Numbers along a chain only decrease; the first one older than the oldest entry
  // stored (or 0) ends it.
  for (uint64_t link = FBuckets[aNameKey.Hash & (FBuckets.size() - 1)]; link > oldest;) {
    const TSlot& slot = SlotOf(link - 1);
    // Names of the static table compare by their index there, others octet by octet.
    if (slot.nameKey.StaticIndex == aNameKey.StaticIndex && slot.nameKey.Hash == aNameKey.Hash &&
        (aNameKey.StaticIndex != 0 || SameOctets(slot.entry.Name(), aName))) {
      const int position = static_cast<int>(FNext - link);
      if (aNameMatch < 0)
        aNameMatch = position;
      if (SameOctets(slot.entry.Value(), aValue)) {
        aFullMatch = position;
        return;
      }
    }
    link = slot.olderInBucket;
  }
}

// ---------------------------------------------------------------- header table

const TzalHTTP2_TableEntry* TzalHTTP2_HeaderTable::GetItem(int aIndex) const {
  bool isASCII = false;
  return GetItem(aIndex, isASCII);
}

const TzalHTTP2_TableEntry* TzalHTTP2_HeaderTable::GetItem(int aIndex, bool& aIsASCII) const {
  if (aIndex <= 0)
    throw EIdException("Header cannot be found by index.");
  aIsASCII = true;
  if (aIndex <= h2HPACKStaticTableLength)
    return &HPACKStaticTableEntry(aIndex);
  const int position = aIndex - kFirstDynamicIndex;
  if (position >= FDynamicTable.Count())
    return nullptr;
  aIsASCII = FDynamicTable.ItemIsASCII(position);
  return FDynamicTable.GetItem(position);
}

bool TzalHTTP2_HeaderTable::ItemIsASCII(int aIndex) const {
  return aIndex <= h2HPACKStaticTableLength || FDynamicTable.ItemIsASCII(aIndex - kFirstDynamicIndex);
}

// Static entries keep their index as token; a dynamic entry's token is its insertion
// number plus kFirstDynamicIndex.
uint64_t TzalHTTP2_HeaderTable::TokenOf(int aIndex) const {
  if (aIndex <= h2HPACKStaticTableLength)
    return static_cast<uint64_t>(aIndex);
  return FDynamicTable.NumberAt(aIndex - kFirstDynamicIndex) + kFirstDynamicIndex;
}

TzalHTTP2_NameKey TzalHTTP2_HeaderTable::NameKeyOf(int aIndex) const {
  if (aIndex <= h2HPACKStaticTableLength)
    return StaticNameKeys()[static_cast<size_t>(aIndex)];
  return FDynamicTable.NameKeyAt(aIndex - kFirstDynamicIndex);
}

int TzalHTTP2_HeaderTable::IndexOfToken(uint64_t aToken) const {
  if (aToken <= h2HPACKStaticTableLength)
    return static_cast<int>(aToken);
  const int position = FDynamicTable.PositionOf(aToken - kFirstDynamicIndex);
  return position < 0 ? 0 : kFirstDynamicIndex + position;
}

int TzalHTTP2_HeaderTable::GetBestMatchingIndex(const TzalHTTP2_TableEntry& aField, bool& aIsFullMatch) const {
  return FindField(aField.Name(), aField.Value(), aIsFullMatch);
}

int TzalHTTP2_HeaderTable::FindField(std::string_view aName, const TzalHTTP2_NameKey& aNameKey,
                                     std::string_view aValue, bool& aIsFullMatch) const {
  aIsFullMatch = true;
  int staticNameMatch = -1;
  if (aNameKey.StaticIndex != 0) {
    staticNameMatch = aNameKey.StaticIndex;
    for (int index = aNameKey.StaticIndex; index <= kStaticNameEnd[aNameKey.StaticIndex]; ++index)
      if (SameOctets(kStaticFields[index - 1].second, aValue))
        return index;
  }
  int dynamicFullMatch = -1, dynamicNameMatch = -1;
  FDynamicTable.FindField(aName, aNameKey, aValue, dynamicFullMatch, dynamicNameMatch);
  if (dynamicFullMatch >= 0)
    return kFirstDynamicIndex + dynamicFullMatch;
  aIsFullMatch = false;
  if (staticNameMatch > 0)
    return staticNameMatch;
  return dynamicNameMatch >= 0 ? kFirstDynamicIndex + dynamicNameMatch : -1;
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
  const int end = std::clamp(aLength, 0, static_cast<int>(aBuffer.size()));
  const int start = std::clamp(aOffset, 0, end);
  // The lines of the previous block are overwritten in place, so that their storage
  // is reused; the list ends with the lines of this block even when decoding fails.
  size_t count = 0;
  bool lastSensitive = false;
  struct TrimToCount {
    std::vector<std::string>& lines;
    const size_t& count;
    ~TrimToCount() { lines.resize(count); }
  } trim{aHeaders, count};
  DecodeBlock(aBuffer.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start)),
              [&](const TzalHTTP2_HeaderField& aField) {
                // The line "name=value" would read differently (RFC 9113 section 8.2.1:
                // "=" is not a token character, so such a field is malformed anyway).
                if (aField.Name.find('=') != std::string_view::npos)
                  RaiseHTTP2Exception(h2erPROTOCOL_ERROR, "HPACK: field name cannot contain \"=\".", h2errGO_AWAY, 0);
                if (count == aHeaders.size())
                  aHeaders.emplace_back();
                aHeaders[count++].assign(aField.Name).append(1, '=').append(aField.Value);
                lastSensitive = aField.Sensitive;
              });
  // The last field stays available as DecodedField(), as after the one-field decoder.
  if (count > 0) {
    const std::string_view line = aHeaders[count - 1];
    const size_t equals = line.find('=');
    FDecoderHeaderField.SetName(line.substr(0, equals));
    FDecoderHeaderField.SetValue(line.substr(equals + 1));
    FDecoderHeaderField.SetSensitive(lastSensitive);
  }
}

void TzalHTTP2_HPACK::DecodeBlock(std::span<const uint8_t> aBlock, TzalHTTP2_OnHeaderField aOnField,
                                  void* aContext) {
  ResetDecoder();
  const uint8_t* position = aBlock.data();
  const uint8_t* const end = position + aBlock.size();
  bool fieldSeen = false;
  int64_t listSize = 0;
  while (position != end) {
    const uint8_t first = *position;
    TzalHTTP2_HeaderField field;
    if (first & 0x80) {  // indexed field (RFC 7541 section 6.1)
      bool isASCII = false;
      const TzalHTTP2_TableEntry& entry = IndexedEntry(ReadBlockInteger(position, end, 7), isASCII);
      field.Name = AsText(entry.Name(), isASCII, FBlockNameText);
      field.Value = AsText(entry.Value(), isASCII, FBlockValueText);
    } else if ((first & 0xE0) == 0x20) {  // dynamic table size update (section 6.3)
      const int size = ReadBlockInteger(position, end, 5);
      // Size updates only come at the start of a header block (section 4.2).
      if (fieldSeen)
        RaiseCompressionError("HPACK: dynamic table size update after a header field.");
      if (size > FDynamicTableSizeLimit)
        throw EIdException("Table size limit exceeded");
      FHeaderTable.SetMaxDynamicTableSize(size);
      continue;
    } else {  // literal field (section 6.2): with incremental indexing, without, never indexed
      const bool addToTable = (first & 0x40) != 0;
      field.Sensitive = !addToTable && (first & 0x10) != 0;
      const int nameIndex = ReadBlockInteger(position, end, addToTable ? 6 : 4);
      std::string_view name;
      if (nameIndex == 0)
        name = ReadBlockString(position, end, FBlockName);
      const std::string_view value = ReadBlockString(position, end, FBlockValue);
      bool nameIsASCII = false;
      if (nameIndex != 0) {
        const TzalHTTP2_TableEntry& entry = IndexedEntry(nameIndex, nameIsASCII);
        name = entry.Name();
        // The insertion below may evict the entry that supplied the name.
        if (addToTable && nameIndex >= kFirstDynamicIndex)
          name = FBlockName.assign(name);
      } else {
        nameIsASCII = IsASCII(name);
      }
      const bool valueIsASCII = IsASCII(value);
      if (addToTable)
        FHeaderTable.AddItem(name, value, nullptr, nameIsASCII && valueIsASCII);
      field.Name = AsText(name, nameIsASCII, FBlockNameText);
      field.Value = AsText(value, valueIsASCII, FBlockValueText);
    }
    fieldSeen = true;
    if (field.Name.empty())
      RaiseCompressionError("HPACK: field name cannot be empty.");
    listSize += static_cast<int64_t>(field.Name.size() + field.Value.size()) + h2HPACKEntryOverhead;
    if (listSize > FMaxHeaderListSize)
      RaiseHTTP2Exception(h2erENHANCE_YOUR_CALM,
                          "HPACK: header list larger than " + std::to_string(FMaxHeaderListSize) + " octets.",
                          h2errGO_AWAY, 0);
    aOnField(aContext, field);
  }
}

// Prefix-coded integer of a whole block (RFC 7541 section 5.1), read with the same
// checks, in the same order, as the resumable decoder.
int TzalHTTP2_HPACK::ReadBlockInteger(const uint8_t*& aPosition, const uint8_t* aEnd, int aPrefix) const {
  const int mask = (1 << aPrefix) - 1;
  int64_t value = *aPosition++ & mask;
  if (value < mask)
    return static_cast<int>(value);
  for (int shift = 0;; shift += 7) {
    if (aPosition == aEnd)
      RaiseTruncatedBlock();
    const uint8_t octet = *aPosition++;
    if (shift > kMaxIntegerShift)
      throw EIdException("Invalid Integer.");
    value += static_cast<int64_t>(octet & 0x7F) << shift;
    if (value > std::numeric_limits<int32_t>::max())
      throw EIdException("Invalid Integer.");
    if ((octet & 0x80) == 0)
      return static_cast<int>(value);
  }
}

// Length-prefixed string of a whole block (section 5.2): a view of the block's octets,
// or of aHuffmanBuffer holding their decoding.
std::string_view TzalHTTP2_HPACK::ReadBlockString(const uint8_t*& aPosition, const uint8_t* aEnd,
                                                  std::string& aHuffmanBuffer) const {
  if (aPosition == aEnd)
    RaiseTruncatedBlock();
  const bool huffman = (*aPosition & 0x80) != 0;
  const int length = ReadBlockInteger(aPosition, aEnd, 7);
  if (length > h2HPACKMaxStringLength)
    throw EIdException("Maximum string length exceeded");
  if (aEnd - aPosition < length)
    RaiseTruncatedBlock();
  const std::string_view octets(reinterpret_cast<const char*>(aPosition), static_cast<size_t>(length));
  aPosition += length;
  if (!huffman)
    return octets;
  const size_t bound = HuffmanDecodedLengthBound(octets.size());
  if (aHuffmanBuffer.size() < bound)
    aHuffmanBuffer.resize(bound);
  return std::string_view(aHuffmanBuffer.data(), HuffmanDecode(octets, aHuffmanBuffer.data()));
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
  bool isASCII = false;
  return IndexedEntry(aIndex, isASCII);
}

const TzalHTTP2_TableEntry& TzalHTTP2_HPACK::IndexedEntry(int aIndex, bool& aIsASCII) const {
  const TzalHTTP2_TableEntry* entry = FHeaderTable.GetItem(aIndex, aIsASCII);
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
  EncodeBlockStart(aBuffer);
  for (const TzalHTTP2_TableEntry& entry : aHeaders) {
    EncodeField(aBuffer, entry.Name(), entry.Value(), entry.Sensitive());
    ++FieldCount;
  }
  UsedBytes = static_cast<int>(aBuffer.size()) - std::max(aOffset, 0);
}

void TzalHTTP2_HPACK::EncodeBlock(std::vector<uint8_t>& aBuffer, std::span<const TzalHTTP2_HeaderField> aFields) {
  EncodeBlockStart(aBuffer);
  for (const TzalHTTP2_HeaderField& field : aFields)
    EncodeField(aBuffer, field.Name, field.Value, field.Sensitive);
}

// RFC 7541 section 4.2: the smallest size since the last block first, then the final one.
void TzalHTTP2_HPACK::EncodeBlockStart(std::vector<uint8_t>& aBuffer) {
  FFieldPlace = 0;
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

void TzalHTTP2_HPACK::EncodeField(std::vector<uint8_t>& aBuffer, std::string_view aName, std::string_view aValue,
                                  bool aSensitive) {
  const size_t place = FFieldPlace++;
  if (place >= FFieldTokens.size() && place < kRememberedFields)
    FFieldTokens.resize(place + 1, 0);
  uint64_t unremembered = 0;
  uint64_t& token = place < FFieldTokens.size() ? FFieldTokens[place] : unremembered;
  // Header lists repeat themselves: a field often equals the entry that the field at its
  // place in the last block matched, was added as or took its name from. The encoder
  // adds a field only when no entry equals it, so an entry equal to the field is the
  // only one, and the best match. An entry with only the same name gives the name's key.
  TzalHTTP2_NameKey nameKey;
  bool nameKnown = false;
  if (token != 0 && !aSensitive) {
    const int index = FHeaderTable.IndexOfToken(token);
    if (index > 0 && FHeaderTable.ItemIsASCII(index)) {
      const TzalHTTP2_TableEntry* entry = FHeaderTable.GetItem(index);
      if (SameOctets(entry->Name(), aName)) {
        if (SameOctets(entry->Value(), aValue)) {
          WriteInteger(aBuffer, 0x80, 7, index);
          return;
        }
        nameKey = FHeaderTable.NameKeyOf(index);
        nameKnown = true;
      }
    }
  }
  token = 0;
  // Else the text itself is looked up first: when it equals an ASCII entry it is ASCII,
  // so its octets are the same text and the match holds without converting it.
  if (!nameKnown)
    nameKey = HPACKNameKey(aName);
  bool fullMatch = false;
  int index = FHeaderTable.FindField(aName, nameKey, aValue, fullMatch);
  if (fullMatch && !aSensitive && FHeaderTable.ItemIsASCII(index)) {
    token = FHeaderTable.TokenOf(index);
    WriteInteger(aBuffer, 0x80, 7, index);
    return;
  }
  const TWireString wireName = ToWire(aName, FEncodeName);
  const TWireString wireValue = ToWire(aValue, FEncodeValue);
  const std::string_view name = wireName.octets;
  const std::string_view value = wireValue.octets;
  const bool isASCII = wireName.isASCII && wireValue.isASCII;
  if (!isASCII) {
    nameKey = HPACKNameKey(name);
    index = FHeaderTable.FindField(name, nameKey, value, fullMatch);
  }
  // A sensitive field stays a never-indexed literal even when the table holds it, so
  // that every hop keeps it out of its tables (RFC 7541 section 7.1.3).
  if (fullMatch && !aSensitive) {
    WriteInteger(aBuffer, 0x80, 7, index);
    return;
  }
  TNameIndexing indexing = kIndexName;
  if (aSensitive)
    indexing = kNeverIndexed;
  else if (FIndexingPolicy == h2ixSelective)
    indexing = kStaticNameIndexing[static_cast<size_t>(nameKey.StaticIndex)];
  if (indexing == kIndexName &&
      static_cast<size_t>(DynamicTableSize()) < name.size() + value.size() + h2HPACKEntryOverhead)
    indexing = kWithoutIndexing;
  const bool addToTable = indexing == kIndexName;
  // RFC 7541 section 6.2: with incremental indexing, without indexing, never indexed.
  const uint8_t pattern = addToTable ? 0x40 : indexing == kNeverIndexed ? 0x10 : 0x00;
  const int prefix = addToTable ? 6 : 4;
  if (index > 0) {
    WriteInteger(aBuffer, pattern, prefix, index);
  } else {
    aBuffer.push_back(pattern);
    WriteString(aBuffer, name);
  }
  WriteString(aBuffer, value);
  if (addToTable) {
    FHeaderTable.AddItem(name, value, &nameKey, isASCII);
    token = FHeaderTable.TokenOf(kFirstDynamicIndex);
  } else if (index > 0) {
    token = FHeaderTable.TokenOf(index);
  }
}

void TzalHTTP2_HPACK::WriteInteger(std::vector<uint8_t>& aBuffer, uint8_t aPattern, int aPrefix, int64_t aValue) const {
  uint8_t octets[kMaxIntegerOctets];
  aBuffer.insert(aBuffer.end(), octets, octets + PutInteger(octets, aPattern, aPrefix, static_cast<uint64_t>(aValue)));
}

// A length-prefixed string (RFC 7541 section 5.2), Huffman-coded as the strategy says.
void TzalHTTP2_HPACK::WriteString(std::vector<uint8_t>& aBuffer, std::string_view aOctets) const {
  const size_t size = aOctets.size();
  if (FHuffmanStrategy == h2huAlways) {
    WriteInteger(aBuffer, 0x80, 7, static_cast<int64_t>(HuffmanEncodedLength(aOctets)));
    HuffmanEncode(aOctets, aBuffer);
    return;
  }
  uint8_t length[kMaxIntegerOctets];
  const size_t room = PutInteger(length, 0x00, 7, size);
  const size_t start = aBuffer.size();
  // The coding goes after room for the raw length, which a shorter length never exceeds.
  aBuffer.resize(start + room);
  if (FHuffmanStrategy == h2huIfSmaller && HuffmanEncodeIfShorter(aOctets, aBuffer)) {
    const size_t coded = aBuffer.size() - start - room;
    const size_t used = PutInteger(length, 0x80, 7, coded);
    uint8_t* const at = aBuffer.data() + start;
    if (used < room) {
      std::memmove(at + used, at + room, coded);
      aBuffer.resize(start + used + coded);
    }
    std::memcpy(at, length, used);
    return;
  }
  std::memcpy(aBuffer.data() + start, length, room);
  aBuffer.insert(aBuffer.end(), aOctets.begin(), aOctets.end());
}

}  // namespace zal
