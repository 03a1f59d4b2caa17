#include "http2/zalHTTP2_Huffman.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "support/zalIdException.h"

namespace zal {

namespace {

constexpr int kSymbolCount = 257;

// Code lengths of RFC 7541 Appendix B. The code is canonical: codes are handed out
// in order of length and, within one length, of symbol value.
constexpr std::array<uint8_t, kSymbolCount> kCodeLengths = {
    13, 23, 28, 28, 28, 28, 28, 28, 28, 24, 30, 28, 28, 30, 28, 28, 28, 28, 28, 28, 28, 28, 30, 28,
    28, 28, 28, 28, 28, 28, 28, 28, 6,  10, 10, 12, 13, 6,  8,  11, 10, 10, 8,  11, 8,  6,  6,  6,
    5,  5,  5,  6,  6,  6,  6,  6,  6,  6,  7,  8,  15, 6,  12, 10, 13, 6,  7,  7,  7,  7,  7,  7,
    7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  7,  8,  7,  8,  13, 19, 13, 14, 6,
    15, 5,  6,  5,  6,  5,  6,  6,  6,  5,  7,  7,  6,  6,  6,  5,  6,  7,  6,  5,  5,  6,  7,  7,
    7,  7,  7,  15, 11, 14, 13, 28, 20, 22, 20, 20, 22, 22, 22, 23, 22, 23, 23, 23, 23, 23, 24, 23,
    24, 24, 22, 23, 24, 23, 23, 23, 23, 21, 22, 23, 22, 23, 23, 24, 22, 21, 20, 22, 22, 23, 23, 21,
    23, 22, 22, 24, 21, 22, 23, 23, 21, 21, 22, 21, 23, 22, 23, 23, 20, 22, 22, 22, 23, 22, 22, 23,
    26, 26, 20, 19, 22, 23, 22, 25, 26, 26, 26, 27, 27, 26, 24, 25, 19, 21, 26, 27, 27, 26, 27, 24,
    21, 21, 26, 26, 28, 27, 27, 27, 20, 24, 20, 21, 22, 21, 21, 23, 22, 22, 25, 25, 24, 24, 26, 23,
    26, 27, 26, 26, 27, 27, 27, 27, 27, 28, 27, 27, 27, 27, 27, 26, 30};

constexpr std::array<uint32_t, kSymbolCount> BuildCanonicalCodes() {
  std::array<uint32_t, kSymbolCount> codes{};
  uint32_t code = 0;
  int previousLength = 0;
  bool first = true;
  for (int length = 1; length <= 30; ++length) {
    for (int symbol = 0; symbol < kSymbolCount; ++symbol) {
      if (kCodeLengths[symbol] != length)
        continue;
      if (!first)
        code = (code + 1) << (length - previousLength);
      first = false;
      previousLength = length;
      codes[symbol] = code;
    }
  }
  return codes;
}

constexpr std::array<uint32_t, kSymbolCount> kCodes = BuildCanonicalCodes();
static_assert(kCodes[256] == 0x3fffffff, "EOS is thirty 1 bits");
static_assert(kCodes['a'] == 0x3 && kCodes['0'] == 0x0 && kCodes[0] == 0x1ff8);

std::unique_ptr<TzalHTTP2_Huffman_TreeNode> BuildTree() {
  auto root = std::make_unique<TzalHTTP2_Huffman_TreeNode>();
  for (int symbol = 0; symbol < kSymbolCount; ++symbol)
    root->Insert(kCodes[symbol], kCodeLengths[symbol], symbol);
  return root;
}

}  // namespace

void TzalHTTP2_Huffman_TreeNode::Insert(uint32_t aCode, int aBits, int aSymbol) {
  TzalHTTP2_Huffman_TreeNode* node = this;
  for (int bit = aBits - 1; bit >= 0; --bit) {
    if (node->FValue >= 0)
      throw EIdException("TreeNode alreay occupied");
    auto& child = ((aCode >> bit) & 1) ? node->FChild1 : node->FChild0;
    if (!child)
      child = std::make_unique<TzalHTTP2_Huffman_TreeNode>();
    node = child.get();
  }
  if (node->FValue >= 0 || node->FChild0 || node->FChild1)
    throw EIdException("TreeNode alreay occupied");
  node->FValue = aSymbol;
}

const TzalHTTP2_Huffman_TreeNode& HuffmanTree() {
  static const std::unique_ptr<TzalHTTP2_Huffman_TreeNode> root = BuildTree();
  return *root;
}

uint32_t HuffmanCode(int aSymbol) { return kCodes[static_cast<size_t>(aSymbol)]; }
int HuffmanCodeLength(int aSymbol) { return kCodeLengths[static_cast<size_t>(aSymbol)]; }

namespace {

// Decoding looks at the next kLookupBits bits at once. A code that fits in them is
// found in one step; a longer one (rare in header text: octets above 126 and a few
// punctuation marks) continues from the tree node those bits lead to.
constexpr int kLookupBits = 12;

struct TLookup {
  uint8_t symbol = 0;  // the symbol; for a longer code the index of the node to continue at
  uint8_t length = 0;  // bits of the code, 0 for a code longer than kLookupBits
};

struct TLookupTable {
  std::array<TLookup, 1u << kLookupBits> entries;
  std::vector<const TzalHTTP2_Huffman_TreeNode*> continuations;  // inner nodes at depth kLookupBits
};

TLookupTable BuildLookupTable() {
  TLookupTable table;
  for (uint32_t bits = 0; bits < table.entries.size(); ++bits) {
    const TzalHTTP2_Huffman_TreeNode* node = &HuffmanTree();
    int depth = 0;
    while (node->Value() < 0 && depth < kLookupBits)
      node = ((bits >> (kLookupBits - 1 - depth++)) & 1) ? node->Child1() : node->Child0();
    TLookup& entry = table.entries[bits];
    if (node->Value() >= 0) {
      entry.symbol = static_cast<uint8_t>(node->Value());  // EOS (30 bits) never ends this early
      entry.length = static_cast<uint8_t>(depth);
      continue;
    }
    const auto known = std::find(table.continuations.begin(), table.continuations.end(), node);
    entry.symbol = static_cast<uint8_t>(known - table.continuations.begin());
    if (known == table.continuations.end())
      table.continuations.push_back(node);
  }
  return table;
}

const TLookupTable& LookupTable() {
  static const TLookupTable table = BuildLookupTable();
  return table;
}

}  // namespace

size_t HuffmanEncodedLength(std::string_view aOctets) {
  size_t bits = 0;
  for (char c : aOctets)
    bits += kCodeLengths[static_cast<uint8_t>(c)];
  return (bits + 7) / 8;
}

namespace {

void StoreBigEndian(uint8_t* aOutput, uint64_t aValue) {
  if constexpr (std::endian::native == std::endian::little)
    aValue = __builtin_bswap64(aValue);
  std::memcpy(aOutput, &aValue, sizeof aValue);
}

// Packs codes from the most significant bit. Each code is stored with a whole 64-bit
// store of which only the complete octets count, so no branch depends on the bits.
class THuffmanWriter {
public:
  // The last store may reach this far past the octets completed.
  static constexpr size_t kSlack = 2 * sizeof(uint64_t);

  explicit THuffmanWriter(uint8_t* aOutput) : FBegin(aOutput), FOut(aOutput) {}

  // aLength <= 56, so that the pending bits (fewer than 8) and the code fit in 63 bits.
  void Put(uint64_t aCode, int aLength) {
    FPending |= aCode << (64 - FPendingBits - aLength);
    FPendingBits += aLength;
    StoreBigEndian(FOut, FPending);
    const int completeBits = FPendingBits & ~7;
    FOut += completeBits / 8;
    FPending <<= completeBits;
    FPendingBits -= completeBits;
  }
  size_t CompleteOctets() const { return static_cast<size_t>(FOut - FBegin); }
  // Writes the last, incomplete octet, padded with 1 bits (RFC 7541 section 5.2), and
  // returns the length of the coding.
  size_t Finish() {
    if (FPendingBits == 0)
      return CompleteOctets();
    *FOut = static_cast<uint8_t>((FPending >> 56) | (0xFFu >> FPendingBits));
    return CompleteOctets() + 1;
  }

private:
  uint8_t* FBegin;
  uint8_t* FOut;
  uint64_t FPending = 0;  // bits not yet complete as octets, left-aligned
  int FPendingBits = 0;
};

// Codes aOctets two symbols per store (joining two codes does not wait for the previous
// store) and returns the length of the coding, or stops once aLimit octets are complete
// and returns aLimit.
size_t PutSymbols(std::string_view aOctets, uint8_t* aOutput, size_t aLimit) {
  THuffmanWriter writer(aOutput);
  const auto* in = reinterpret_cast<const uint8_t*>(aOctets.data());
  const size_t count = aOctets.size();
  size_t i = 0;
  for (; i + 1 < count; i += 2) {
    const int first = kCodeLengths[in[i]], second = kCodeLengths[in[i + 1]];
    if (first + second <= 56) {
      writer.Put((static_cast<uint64_t>(kCodes[in[i]]) << second) | kCodes[in[i + 1]], first + second);
    } else {
      writer.Put(kCodes[in[i]], first);
      writer.Put(kCodes[in[i + 1]], second);
    }
    if (writer.CompleteOctets() >= aLimit)
      return aLimit;
  }
  if (i < count)
    writer.Put(kCodes[in[i]], kCodeLengths[in[i]]);
  return std::min(writer.Finish(), aLimit);
}

}  // namespace

void HuffmanEncode(std::string_view aOctets, std::vector<uint8_t>& aOutput) {
  const size_t start = aOutput.size();
  const size_t length = HuffmanEncodedLength(aOctets);
  aOutput.resize(start + length + THuffmanWriter::kSlack);
  PutSymbols(aOctets, aOutput.data() + start, length + 1);
  aOutput.resize(start + length);
}

bool HuffmanEncodeIfShorter(std::string_view aOctets, std::vector<uint8_t>& aOutput) {
  const size_t start = aOutput.size();
  // Stores stop once the coding reaches the length of aOctets: they stay inside the slack.
  aOutput.resize(start + aOctets.size() + THuffmanWriter::kSlack);
  const size_t length = PutSymbols(aOctets, aOutput.data() + start, aOctets.size());
  aOutput.resize(length < aOctets.size() ? start + length : start);
  return length < aOctets.size();
}

size_t HuffmanDecode(std::string_view aInput, char* aOutput) {
  const TLookupTable& table = LookupTable();
  const auto* in = reinterpret_cast<const uint8_t*>(aInput.data());
  const uint8_t* const end = in + aInput.size();
  char* out = aOutput;
  uint64_t bits = 0;  // the next input bits, left-aligned
  int count = 0;      // how many of them are real
  for (;;) {
    while (count <= 48 && in != end) {
      bits |= static_cast<uint64_t>(*in++) << (56 - count);
      count += 8;
    }
    if (count == 0)
      break;
    // Past the end of the input the window reads 1 bits, as padding would.
    const uint64_t window = bits | (~uint64_t{0} >> count);
    const TLookup entry = table.entries[window >> (64 - kLookupBits)];
    int symbol = entry.symbol;
    int length = entry.length;
    if (length == 0) {
      const TzalHTTP2_Huffman_TreeNode* node = table.continuations[entry.symbol];
      for (length = kLookupBits; node->Value() < 0; ++length)
        node = ((window >> (63 - length)) & 1) ? node->Child1() : node->Child0();
      symbol = node->Value();
    }
    if (length > count) {
      // The real bits left are the start of a code: padding (RFC 7541 section 5.2).
      if (count > 7)
        throw EIdException("Padding exceeds 7 bits");
      if ((bits >> (64 - count)) != (uint64_t{1} << count) - 1)
        throw EIdException("Invalid padding");
      break;
    }
    if (symbol == h2HuffmanEOS)
      throw EIdException("Encountered EOS in huffman code");
    *out++ = static_cast<char>(symbol);
    bits <<= length;
    count -= length;
  }
  return static_cast<size_t>(out - aOutput);
}

void HuffmanDecode(std::string_view aInput, std::string& aOutput) {
  aOutput.resize(HuffmanDecodedLengthBound(aInput.size()));
  aOutput.resize(HuffmanDecode(aInput, aOutput.data()));
}

}  // namespace zal
