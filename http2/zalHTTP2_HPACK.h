#pragma once
// HPACK header compression (RFC 7541): the static and dynamic tables, prefix-coded
// integers, length-prefixed strings with optional Huffman coding, a resumable
// decoder that may stop anywhere inside a representation, and the encoder.
//
// Strings held by the tables are the octets on the wire, so every size is counted in
// octets exactly as the peer counts it (RFC 7541 section 4.1). Decoded fields are
// delivered as UTF-8 text; text to encode goes to the wire through the 8-bit code page.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "http2/zalHTTP2_Types.h"

namespace zal {

inline constexpr int h2HPACKDefaultTableSize = 4096;
inline constexpr int h2HPACKStaticTableLength = 61;
inline constexpr int h2HPACKMaxStringLength = 1048576;  // longest string a decoder accepts
inline constexpr int h2HPACKEntryOverhead = 32;          // RFC 7541 section 4.1
// Default bound on a decoded header list (names + values + 32 per field, as
// SETTINGS_MAX_HEADER_LIST_SIZE counts it): a small block of indexed fields can
// otherwise expand into a huge list.
inline constexpr int h2HPACKDefaultMaxHeaderListSize = 1048576;

enum TzalHPackState : uint8_t { hpstStartDecode, hpstDecodeLength, hpstDecodeData };
enum TzalHPackHuffmanStrategy : uint8_t { h2huNever, h2huAlways, h2huIfSmaller };
// Which literal fields the encoder adds to its dynamic table.
enum TzalHPackIndexingPolicy : uint8_t {
  // Every field that fits in the table, unless marked sensitive.
  h2ixEveryField,
  // The same, except fields of names whose values rarely repeat from one header list to
  // the next (":path", "etag", "content-length", "date"-like validators, "location",
  // "set-cookie"...), which are sent without indexing so they do not evict entries that
  // would be used again, and credentials ("authorization", "proxy-authorization"), which
  // are sent never indexed (RFC 7541 section 7.1.3).
  h2ixSelective
};
enum TzalHPackDecoderTaskType : uint8_t {
  hpttNone, hpttStartReadInt, hpttContReadInt, hpttStartReadString, hpttContReadString,
  hpttHandleFullyIndexed, hpttHandleNameIndexed, hpttHandleNoneIndexed, hpttHandleTableUpdate
};

// One header field. Inside the tables name and value hold wire octets.
class TzalHTTP2_TableEntry {
public:
  TzalHTTP2_TableEntry() = default;
  TzalHTTP2_TableEntry(std::string_view aName, std::string_view aValue, bool aSensitive = false)
      : FName(aName), FSensitive(aSensitive), FValue(aValue) {}

  bool LocalVar() const { return FLocalVar; }
  void SetLocalVar(bool aValue) { FLocalVar = aValue; }
  const std::string& Name() const { return FName; }
  void SetName(std::string_view aValue) { FName.assign(aValue); }
  int NameLength() const { return static_cast<int>(FName.size()); }
  bool Sensitive() const { return FSensitive; }
  void SetSensitive(bool aValue) { FSensitive = aValue; }
  const std::string& Value() const { return FValue; }
  void SetValue(std::string_view aValue) { FValue.assign(aValue); }
  int ValueLength() const { return static_cast<int>(FValue.size()); }
  // Size of the entry in a dynamic table.
  int Size() const { return NameLength() + ValueLength() + h2HPACKEntryOverhead; }

private:
  bool FLocalVar = false;  // an entry of the static table
  std::string FName;
  bool FSensitive = false;  // encode as never indexed
  std::string FValue;
};

// One field as the fast paths take and hand it: views of its name and value.
struct TzalHTTP2_HeaderField {
  std::string_view Name;
  std::string_view Value;
  bool Sensitive = false;  // never indexed (RFC 7541 section 6.2.3)
};

// What the tables index a field name by: a hash of it and, for a name of the static
// table, the index of its first entry there (0 for any other name).
struct TzalHTTP2_NameKey {
  uint32_t Hash = 0;
  int StaticIndex = 0;
};
TzalHTTP2_NameKey HPACKNameKey(std::string_view aName);

// The dynamic table: entries newest first, evicted oldest first.
//
// Entries are numbered in insertion order and kept in a ring whose size is a power of
// two: entry number s sits in slot s mod size, so insertion and eviction move nothing
// and an evicted slot keeps its string storage for a later entry. A hash index from
// names to entries finds the newest entry with a given name and value without a scan:
// each bucket holds the number of its newest entry and each entry the number of the
// next older one in its bucket. Eviction needs no bookkeeping, because a chain is
// followed only while the numbers are not older than the oldest entry still stored.
// The index is built by the first lookup, so a decoder's table, never searched, has none.
class TzalHTTP2_DynamicTable {
public:
  int Count() const { return FCount; }
  const TzalHTTP2_TableEntry* Item(int aIndex) const { return GetItem(aIndex); }
  int MaxTableSize() const { return FMaxTableSize; }
  void SetMaxTableSize(int aValue);
  int UsedSize() const { return FUsedSize; }

  // Inserts (aName, aValue) as the newest entry after evicting what no longer fits;
  // an entry larger than the maximum size empties the table (RFC 7541 section 4.4).
  void AddItem(std::string_view aName, std::string_view aValue);
  // The same with aIsASCII telling whether name and value are ASCII, and the name's key
  // when already known (nullptr: computed when the table is indexed).
  void AddItem(std::string_view aName, std::string_view aValue, const TzalHTTP2_NameKey* aNameKey, bool aIsASCII);
  bool DeleteItem(int aIndex);
  // The entry at aIndex (0 = newest), nullptr beyond the end.
  const TzalHTTP2_TableEntry* GetItem(int aIndex) const;
  // True when the name and value of the entry at aIndex are ASCII.
  bool ItemIsASCII(int aIndex) const { return SlotAt(aIndex).ascii; }
  // The insertion number of the entry at aIndex, and the position of the entry with
  // that number (-1 once it is evicted).
  uint64_t NumberAt(int aIndex) const { return FNext - 1 - static_cast<uint64_t>(aIndex); }
  // The key of the name of the entry at aIndex.
  TzalHTTP2_NameKey NameKeyAt(int aIndex) const;
  int PositionOf(uint64_t aNumber) const {
    return aNumber >= Oldest() && aNumber < FNext ? static_cast<int>(FNext - 1 - aNumber) : -1;
  }
  // Position of the newest entry equal to aField (aIsFullMatch), else of the newest
  // entry with the same name, else -1. Compares entry by entry, newest first.
  int GetBestMatchingIndex(const TzalHTTP2_TableEntry& aField, bool& aIsFullMatch) const;
  // The same answer from the hash index: the position of the newest entry equal to
  // (aName, aValue) in aFullMatch, of the newest with that name in aNameMatch, -1 for none.
  void FindField(std::string_view aName, const TzalHTTP2_NameKey& aNameKey, std::string_view aValue,
                 int& aFullMatch, int& aNameMatch) const;

private:
  struct TSlot {
    TzalHTTP2_TableEntry entry;
    mutable uint64_t olderInBucket = 0;  // 1 + number of the next older entry in the bucket; 0: none
    mutable TzalHTTP2_NameKey nameKey;
    bool ascii = false;
  };

  const TSlot& SlotOf(uint64_t aNumber) const { return FSlots[aNumber & (FSlots.size() - 1)]; }
  TSlot& SlotOf(uint64_t aNumber) { return FSlots[aNumber & (FSlots.size() - 1)]; }
  const TSlot& SlotAt(int aIndex) const { return SlotOf(FNext - 1 - static_cast<uint64_t>(aIndex)); }
  uint64_t Oldest() const { return FNext - static_cast<uint64_t>(FCount); }
  void EvictTo(int aSize);
  void Grow();
  void Link(uint64_t aNumber) const;
  void RebuildIndex() const;

  std::vector<TSlot> FSlots;                // the ring; its size is 0 or a power of two
  mutable std::vector<uint64_t> FBuckets;   // 1 + number of the newest entry per name hash; 0: none
  mutable bool FIndexed = false;            // FBuckets and the slots' keys are in use
  uint64_t FNext = 0;               // number of the next entry added
  int FCount = 0;
  int FMaxTableSize = h2HPACKDefaultTableSize;
  int FUsedSize = 0;
};

// The static table (indices 1 to 61) and the dynamic table (62 onwards) as one index space.
class TzalHTTP2_HeaderTable {
public:
  void AddItem(std::string_view aName, std::string_view aValue) { FDynamicTable.AddItem(aName, aValue); }
  void AddItem(std::string_view aName, std::string_view aValue, const TzalHTTP2_NameKey* aNameKey, bool aIsASCII) {
    FDynamicTable.AddItem(aName, aValue, aNameKey, aIsASCII);
  }
  // Entry at aIndex, nullptr beyond the dynamic table; index 0 raises
  // "Header cannot be found by index.".
  const TzalHTTP2_TableEntry* GetItem(int aIndex) const;
  // The same, telling in aIsASCII whether the entry's name and value are ASCII.
  const TzalHTTP2_TableEntry* GetItem(int aIndex, bool& aIsASCII) const;
  // True when the name and value of the entry at aIndex (1 and above) are ASCII.
  bool ItemIsASCII(int aIndex) const;
  // A token that keeps naming the entry at aIndex (1 and above) while the entry is
  // stored, and the entry's index now (0 once it is evicted, or for the token 0).
  uint64_t TokenOf(int aIndex) const;
  int IndexOfToken(uint64_t aToken) const;
  // The key of the name of the entry at aIndex (1 and above).
  TzalHTTP2_NameKey NameKeyOf(int aIndex) const;
  // The first static entry equal to aField, else the newest such dynamic entry (both
  // with aIsFullMatch), else the first static entry with its name, else the newest
  // dynamic one, else -1.
  int GetBestMatchingIndex(const TzalHTTP2_TableEntry& aField, bool& aIsFullMatch) const;
  // The same for a name and value given as octets, through the hash indices.
  int FindField(std::string_view aName, std::string_view aValue, bool& aIsFullMatch) const {
    return FindField(aName, HPACKNameKey(aName), aValue, aIsFullMatch);
  }
  int FindField(std::string_view aName, const TzalHTTP2_NameKey& aNameKey, std::string_view aValue,
                bool& aIsFullMatch) const;

  int DynamicTableLength() const { return FDynamicTable.Count(); }
  int MaxDynamicTableSize() const { return FDynamicTable.MaxTableSize(); }
  void SetMaxDynamicTableSize(int aValue) { FDynamicTable.SetMaxTableSize(aValue); }
  int UsedDynamicTableSize() const { return FDynamicTable.UsedSize(); }
  const TzalHTTP2_DynamicTable& DynamicTable() const { return FDynamicTable; }

private:
  TzalHTTP2_DynamicTable FDynamicTable;
};

// Entry aIndex (1 to 61) of the static table (RFC 7541 Appendix A).
const TzalHTTP2_TableEntry& HPACKStaticTableEntry(int aIndex);

struct TzalHTTP2_DecoderTask {
  TzalHPackDecoderTaskType _Type = hpttNone;
  int IntData = 0;         // prefix width before the task runs; integer or string length after
  std::string StringData;  // the string read, as wire octets
};

// Receives one decoded field from DecodeBlock; the views are valid until it returns.
using TzalHTTP2_OnHeaderField = void (*)(void* aContext, const TzalHTTP2_HeaderField& aField);

// The HPACK codec of one direction of a connection. Beside the resumable one-field
// decoder and the line and entry interfaces, it has the fast paths an HTTP/2 engine
// uses on whole header blocks: DecodeBlock hands each field to a callback as views,
// EncodeBlockStart / EncodeField / EncodeBlock take views. Both kinds share the tables,
// so they may be mixed on one connection.
class TzalHTTP2_HPACK {
public:
  TzalHTTP2_HPACK();

  // Decodes the header block aBuffer[aOffset, aLength) into aHeaders, one line
  // "name=value" per field. Raises EIdException for coding errors and
  // TzalHTTP2Exception: COMPRESSION_ERROR for an empty name, a size update after a
  // field, or a block that ends inside a representation; PROTOCOL_ERROR for a name
  // containing "=", which the line form could not carry; ENHANCE_YOUR_CALM for a
  // list larger than MaxHeaderListSize.
  void Decode(std::span<const uint8_t> aBuffer, int aOffset, int aLength, std::vector<std::string>& aHeaders);
  // Decodes from aBuffer[aOffset, end) up to the end of one field representation (with
  // any size updates before it) and returns the octets consumed. A representation cut
  // short by the end of the input is continued by the next call. FieldDecoded() tells
  // whether a field was completed; it is then in DecodedField().
  int Decode(std::span<const uint8_t> aBuffer, int aOffset);
  bool FieldDecoded() const { return FFieldDecoded; }
  const TzalHTTP2_TableEntry& DecodedField() const { return FDecoderHeaderField; }
  // True between representations (nothing partly decoded).
  bool DecoderIdle() const { return FDecoderCurTask == -1; }

  // Decodes the complete header block aBlock and calls aOnField(aContext, field) for
  // each field in order, with the name and value as UTF-8 text (the same text that the
  // line form carries). Raises what the line form raises, except that a name may
  // contain "=". The callback should not raise for a problem of one stream: the
  // fields after it must still be decoded to keep the table in step.
  void DecodeBlock(std::span<const uint8_t> aBlock, TzalHTTP2_OnHeaderField aOnField, void* aContext);
  // The same with any callable taking (const TzalHTTP2_HeaderField&).
  template <typename OnField>
  void DecodeBlock(std::span<const uint8_t> aBlock, OnField&& aOnField) {
    using Handler = std::remove_reference_t<OnField>;
    DecodeBlock(
        aBlock,
        [](void* aContext, const TzalHTTP2_HeaderField& aField) { (*static_cast<Handler*>(aContext))(aField); },
        const_cast<void*>(static_cast<const void*>(&aOnField)));
  }

  // Writes the pending size updates and aHeaders into aBuffer from aOffset, growing the
  // buffer as needed (it is first cut to aOffset octets).
  void Encode(std::vector<uint8_t>& aBuffer, int aOffset, std::span<const TzalHTTP2_TableEntry> aHeaders,
              int& UsedBytes, int& FieldCount);
  // Appends the start of a header block to aBuffer: the pending size updates.
  void EncodeBlockStart(std::vector<uint8_t>& aBuffer);
  // Appends one field of the block to aBuffer; name and value are text, written
  // through the 8-bit code page as Encode writes them.
  void EncodeField(std::vector<uint8_t>& aBuffer, std::string_view aName, std::string_view aValue,
                   bool aSensitive = false);
  // Appends a whole header block: EncodeBlockStart, then EncodeField for each field.
  void EncodeBlock(std::vector<uint8_t>& aBuffer, std::span<const TzalHTTP2_HeaderField> aFields);

  int DynamicTableLength() const { return FHeaderTable.DynamicTableLength(); }
  int DynamicTableSize() const { return FHeaderTable.MaxDynamicTableSize(); }
  // Changes the encoder's table size at once and schedules the size updates that
  // announce it at the start of the next block (RFC 7541 section 4.2).
  void SetDynamicTableSize(int aValue);
  int DynamicTableSizeLimit() const { return FDynamicTableSizeLimit; }
  void SetDynamicTableSizeLimit(int aValue) { FDynamicTableSizeLimit = aValue; }
  int DynamicTableUsedSize() const { return FHeaderTable.UsedDynamicTableSize(); }
  int MaxHeaderListSize() const { return FMaxHeaderListSize; }
  void SetMaxHeaderListSize(int aValue) { FMaxHeaderListSize = aValue; }
  TzalHPackHuffmanStrategy HuffmanStrategy() const { return FHuffmanStrategy; }
  void SetHuffmanStrategy(TzalHPackHuffmanStrategy aValue) { FHuffmanStrategy = aValue; }
  TzalHPackIndexingPolicy IndexingPolicy() const { return FIndexingPolicy; }
  void SetIndexingPolicy(TzalHPackIndexingPolicy aValue) { FIndexingPolicy = aValue; }
  const TzalHTTP2_HeaderTable& HeaderTable() const { return FHeaderTable; }

private:
  // Decoder
  void ResetDecoder();
  void ResetPlan();
  int DecodeField(std::span<const uint8_t> aBuffer, int aOffset);
  int DoHandleStartOfPacket(std::span<const uint8_t> aBuffer, int aOffset);
  bool DoExecutePendingTask(std::span<const uint8_t> aBuffer, int& aOffset);
  void PlanTasks(TzalHPackDecoderTaskType aFirst, int aPrefix, TzalHPackDecoderTaskType aSecond,
                 TzalHPackDecoderTaskType aHandler);
  bool RunReadInt(TzalHTTP2_DecoderTask& aTask, std::span<const uint8_t> aBuffer, int& aOffset);
  bool RunReadString(TzalHTTP2_DecoderTask& aTask, std::span<const uint8_t> aBuffer, int& aOffset);
  void HandleFullyIndexed();
  void HandleNameIndexed();
  void HandleNoneIndexed();
  void HandleTableUpdate();
  const TzalHTTP2_TableEntry& IndexedEntry(int aIndex) const;
  void SetDecodedField(std::string_view aName, std::string_view aValue);
  int StartDecodeInt(std::span<const uint8_t> aBuffer, int aOffset, int aPrefix);
  int ContDecodeInt(std::span<const uint8_t> aBuffer, int aOffset);
  int StartDecodeStr(std::span<const uint8_t> aBuffer, int aOffset);
  int ContDecodeStr(std::span<const uint8_t> aBuffer, int aOffset);
  int CollectStrData(std::span<const uint8_t> aBuffer, int aOffset);
  void FinishStr(std::string_view aOctets);

  // Block decoder
  int ReadBlockInteger(const uint8_t*& aPosition, const uint8_t* aEnd, int aPrefix) const;
  std::string_view ReadBlockString(const uint8_t*& aPosition, const uint8_t* aEnd, std::string& aHuffmanBuffer) const;
  const TzalHTTP2_TableEntry& IndexedEntry(int aIndex, bool& aIsASCII) const;

  // Encoder
  void WriteInteger(std::vector<uint8_t>& aBuffer, uint8_t aPattern, int aPrefix, int64_t aValue) const;
  void WriteString(std::vector<uint8_t>& aBuffer, std::string_view aOctets) const;

  int64_t FDecodeIntResult = 0;
  int FDecodeIntAcum = 0;
  bool FDecodeIntDone = false;
  int FDecodeIntConsumed = 0;
  std::string FDecodeStrResult;
  int FDecodeStrLength = 0;
  bool FDecodeStrDone = false;
  bool FDecodeStrHuffman = false;
  TzalHPackState FDecodeStrState = hpstStartDecode;
  int FDecodeStrOctetLength = 0;
  std::string FDecodeStrBuffer;
  int FDecodeStrBufferOffset = 0;
  int FDecodeStrMaxLength = h2HPACKMaxStringLength;
  bool FDecoderAllowTableSizeUpdates = true;
  int FDecoderCurTask = -1;
  TzalHTTP2_TableEntry FDecoderHeaderField;
  std::array<TzalHTTP2_DecoderTask, 3> FDecoderTasks;
  bool FDecoderAddToTable = false;
  bool FDecoderSensitive = false;
  bool FFieldDecoded = false;
  TzalHTTP2_HeaderTable FHeaderTable;
  int FDynamicTableSizeLimit = h2HPACKDefaultTableSize;
  int FTableSizeUpdateMinValue = -1;
  int FTableSizeUpdateFinalValue = -1;
  TzalHPackHuffmanStrategy FHuffmanStrategy = h2huIfSmaller;
  TzalHPackIndexingPolicy FIndexingPolicy = h2ixSelective;
  int FMaxHeaderListSize = h2HPACKDefaultMaxHeaderListSize;
  // Storage behind the views of DecodeBlock and EncodeField, reused from field to field.
  std::string FBlockName, FBlockValue, FBlockNameText, FBlockValueText;
  std::string FEncodeName, FEncodeValue;
  // For each place in the last block (up to kRememberedFields), the token of the entry
  // that its field matched, was added as or took its name from; FFieldPlace is the place
  // of the next field.
  static constexpr size_t kRememberedFields = 128;
  std::vector<uint64_t> FFieldTokens;
  size_t FFieldPlace = 0;
};

}  // namespace zal
