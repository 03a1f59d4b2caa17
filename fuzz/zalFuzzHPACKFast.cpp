// Differential target for the HPACK fast paths:
//  - DecodeBlock (whole blocks, views to a callback) against the resumable one-field
//    decoder, which runs a separate task machine: the same fields, flags, table state
//    and errors;
//  - the hash index of the header table against a plain scan of the static and dynamic
//    tables, over fuzzer-chosen insertions, deletions and size changes;
//  - EncodeField against the resumable decoder: what one encodes, the other reads back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http2/zalHTTP2_HPACK.h"
#include "http2/zalHTTP2_Helpers.h"

namespace {

using zal::TzalHTTP2_HPACK;

struct Field {
  std::string name, value;
  bool sensitive = false;
  bool operator==(const Field&) const = default;
};

struct Outcome {
  std::vector<Field> fields;
  std::optional<std::string> error;  // message of the exception raised, if any
};

Outcome DecodeFast(TzalHTTP2_HPACK& aDecoder, const std::vector<uint8_t>& aBlock) {
  Outcome outcome;
  try {
    aDecoder.DecodeBlock(aBlock, [&](const zal::TzalHTTP2_HeaderField& aField) {
      outcome.fields.push_back({std::string(aField.Name), std::string(aField.Value), aField.Sensitive});
    });
  } catch (const zal::EIdException& e) {
    outcome.error = e.what();
  }
  return outcome;
}

// The resumable decoder, one representation per call. It accepts what only the block
// rules forbid (a size update after a field, an empty name, an oversized list), so it
// reports in aBlockRuleBroken whether the block breaks one of them.
Outcome DecodeReference(TzalHTTP2_HPACK& aDecoder, const std::vector<uint8_t>& aBlock, bool& aBlockRuleBroken) {
  Outcome outcome;
  aBlockRuleBroken = false;
  int64_t listSize = 0;
  try {
    for (int position = 0; position < static_cast<int>(aBlock.size());) {
      const bool sizeUpdate = (aBlock[static_cast<size_t>(position)] & 0xE0) == 0x20;
      aBlockRuleBroken = aBlockRuleBroken || (sizeUpdate && !outcome.fields.empty());
      position += aDecoder.Decode(aBlock, position);
      if (!aDecoder.FieldDecoded())
        continue;
      const zal::TzalHTTP2_TableEntry& field = aDecoder.DecodedField();
      outcome.fields.push_back({field.Name(), field.Value(), field.Sensitive()});
      listSize += field.Size();
      aBlockRuleBroken = aBlockRuleBroken || field.Name().empty() || listSize > aDecoder.MaxHeaderListSize();
    }
    if (!aDecoder.DecoderIdle())
      outcome.error = "HPACK: header block ends inside a field representation.";
  } catch (const zal::EIdException& e) {
    outcome.error = e.what();
  }
  return outcome;
}

void CheckDecoders(const std::vector<uint8_t>& aBlock, int aTableLimit) {
  TzalHTTP2_HPACK fast, reference;
  fast.SetDynamicTableSizeLimit(aTableLimit);
  reference.SetDynamicTableSizeLimit(aTableLimit);
  bool blockRuleBroken = false;
  const Outcome expected = DecodeReference(reference, aBlock, blockRuleBroken);
  const Outcome got = DecodeFast(fast, aBlock);
  if (blockRuleBroken) {
    if (!got.error)
      __builtin_trap();
    return;
  }
  if (got.error != expected.error || got.fields != expected.fields)
    __builtin_trap();
  if (!got.error && (fast.DynamicTableUsedSize() != reference.DynamicTableUsedSize() ||
                     fast.DynamicTableLength() != reference.DynamicTableLength()))
    __builtin_trap();
}

// Reads fuzzer octets as table operations on a header table and on a lone dynamic
// table (which can also delete entries), checking every lookup against a scan.
class IndexCheck {
public:
  IndexCheck(const uint8_t* aData, size_t aSize) : FData(aData), FSize(aSize) {}

  void Run() {
    zal::TzalHTTP2_HeaderTable table;
    zal::TzalHTTP2_DynamicTable lone;
    while (FPosition < FSize) {
      switch (Next() % 8) {
        case 0: {
          const int size = Next() * 8;
          table.SetMaxDynamicTableSize(size);
          lone.SetMaxTableSize(size);
          break;
        }
        case 1:
          lone.DeleteItem(Next() % 8);
          break;
        case 2:
        case 3:
        case 4: {
          const Field field = NextField();
          table.AddItem(field.name, field.value);
          lone.AddItem(field.name, field.value);
          break;
        }
        default: {
          const Field field = NextField();
          CheckLookup(table, field);
          CheckLookup(lone, field);
        }
      }
      CheckSizes(table.DynamicTable());
      CheckSizes(lone);
    }
  }

private:
  uint8_t Next() { return FPosition < FSize ? FData[FPosition++] : 0; }

  // Few names, static ones among them, and few values, so that lookups often hit.
  Field NextField() {
    static const char* const names[] = {":path", ":status", "cookie", "accept-encoding", "x-a", "x-b", "", "age"};
    static const char* const values[] = {"", "/", "200", "gzip, deflate", "1", "22", "a=b; c=d"};
    const uint8_t choice = Next();
    Field field{names[choice % 8], values[(choice >> 3) % 7]};
    if (choice & 0x80)
      field.value.append(Next() % 40, 'v');
    return field;
  }

  static void CheckLookup(const zal::TzalHTTP2_HeaderTable& aTable, const Field& aField) {
    const zal::TzalHTTP2_TableEntry entry(aField.name, aField.value);
    bool full = false;
    const int index = aTable.GetBestMatchingIndex(entry, full);
    bool expectedFull = false;
    int expected = -1;
    int staticName = -1;
    for (int i = 1; i <= zal::h2HPACKStaticTableLength && !expectedFull; ++i) {
      const zal::TzalHTTP2_TableEntry& item = zal::HPACKStaticTableEntry(i);
      if (item.Name() == entry.Name() && item.Value() == entry.Value()) {
        expected = i;
        expectedFull = true;
      } else if (item.Name() == entry.Name() && staticName < 0) {
        staticName = i;
      }
    }
    if (!expectedFull) {
      const int dynamic = aTable.DynamicTable().GetBestMatchingIndex(entry, expectedFull);
      const int dynamicIndex = dynamic < 0 ? -1 : zal::h2HPACKStaticTableLength + 1 + dynamic;
      expected = expectedFull || staticName < 0 ? dynamicIndex : staticName;
    }
    if (index != expected || full != expectedFull)
      __builtin_trap();
  }

  static void CheckLookup(const zal::TzalHTTP2_DynamicTable& aTable, const Field& aField) {
    int fullMatch = -1, nameMatch = -1;
    aTable.FindField(aField.name, zal::HPACKNameKey(aField.name), aField.value, fullMatch, nameMatch);
    bool full = false;
    const int expected = aTable.GetBestMatchingIndex(zal::TzalHTTP2_TableEntry(aField.name, aField.value), full);
    if ((full ? fullMatch : nameMatch) != expected || (full && nameMatch < 0) || (!full && fullMatch >= 0))
      __builtin_trap();
  }

  static void CheckSizes(const zal::TzalHTTP2_DynamicTable& aTable) {
    int used = 0;
    for (int i = 0; i < aTable.Count(); ++i)
      used += aTable.GetItem(i)->Size();
    if (used != aTable.UsedSize() || aTable.GetItem(aTable.Count()) != nullptr)
      __builtin_trap();
  }

  const uint8_t* FData;
  size_t FSize;
  size_t FPosition = 0;
};

// The fields read back are the fields sent. A field sent as sensitive stays never
// indexed; the selective policy may also send others so (credentials), the other never.
bool ReadBack(const std::vector<Field>& aRead, const std::vector<Field>& aSent, zal::TzalHPackIndexingPolicy aPolicy) {
  if (aRead.size() != aSent.size())
    return false;
  for (size_t i = 0; i < aRead.size(); ++i) {
    const Field& read = aRead[i];
    const Field& sent = aSent[i];
    const bool flagKept = aPolicy == zal::h2ixSelective ? read.sensitive >= sent.sensitive
                                                        : read.sensitive == sent.sensitive;
    if (read.name != sent.name || read.value != sent.value || !flagKept)
      return false;
  }
  return true;
}

// Encodes the fields with EncodeField, under fuzzer-chosen options and table size
// changes, and reads the block back with the resumable decoder.
void CheckEncoder(const std::vector<Field>& aFields, uint8_t aOptions) {
  TzalHTTP2_HPACK encoder, decoder;
  encoder.SetHuffmanStrategy(static_cast<zal::TzalHPackHuffmanStrategy>(aOptions % 3));
  const auto policy = aOptions & 0x04 ? zal::h2ixEveryField : zal::h2ixSelective;
  encoder.SetIndexingPolicy(policy);
  std::vector<uint8_t> block;
  for (int round = 0; round < 2; ++round) {
    if (aOptions & (0x10 << round))
      encoder.SetDynamicTableSize(aOptions & 0x08 ? 64 : 0);
    block.clear();
    encoder.EncodeBlockStart(block);
    std::vector<Field> sent;
    for (size_t i = 0; i < aFields.size(); ++i) {
      Field field = aFields[i];
      field.sensitive = (aOptions >> 5) == (i & 7);
      encoder.EncodeField(block, field.name, field.value, field.sensitive);
      sent.push_back(field);
    }
    bool blockRuleBroken = false;
    const Outcome read = DecodeReference(decoder, block, blockRuleBroken);
    if (read.error || !ReadBack(read.fields, sent, policy) || decoder.DynamicTableUsedSize() != encoder.DynamicTableUsedSize())
      __builtin_trap();
  }
}

bool IsASCII(const std::vector<Field>& aFields) {
  return std::all_of(aFields.begin(), aFields.end(),
                     [](const Field& aField) { return zal::IsASCII(aField.name) && zal::IsASCII(aField.value); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1)
    return 0;
  const uint8_t options = aData[0];
  const std::vector<uint8_t> block(aData + 1, aData + aSize);
  CheckDecoders(block, options & 1 ? 4096 : 256);
  IndexCheck(aData + 1, aSize - 1).Run();

  TzalHTTP2_HPACK decoder;
  const Outcome decoded = DecodeFast(decoder, block);
  if (!decoded.error && IsASCII(decoded.fields))
    CheckEncoder(decoded.fields, options);
  return 0;
}
