#include "http2/zalHTTP2_Huffman.h"

#include <array>
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

// One step of the decoding table: the state reached after four bits and the symbol
// completed on the way, if any.
struct TDecodeStep {
  uint16_t next = 0;
  uint8_t symbol = 0;
  uint8_t flags = 0;
};
constexpr uint8_t kEmit = 1;
constexpr uint8_t kEOS = 2;
constexpr uint8_t kInvalid = 4;

// States are the inner nodes of the tree (the root is state 0). For each state the
// table holds its depth in bits and whether the path to it is all 1 bits: at the end
// of the input these decide whether what is left is valid padding.
struct TDecodeTable {
  std::vector<std::array<TDecodeStep, 16>> steps;
  std::vector<uint8_t> depth;
  std::vector<bool> allOnes;
};

void NumberInnerNodes(const TzalHTTP2_Huffman_TreeNode* aNode, int aDepth, bool aAllOnes,
                      std::vector<const TzalHTTP2_Huffman_TreeNode*>& aNodes, TDecodeTable& aTable) {
  if (aNode == nullptr || aNode->Value() >= 0)
    return;
  aNodes.push_back(aNode);
  aTable.depth.push_back(static_cast<uint8_t>(aDepth));
  aTable.allOnes.push_back(aAllOnes);
  NumberInnerNodes(aNode->Child0(), aDepth + 1, false, aNodes, aTable);
  NumberInnerNodes(aNode->Child1(), aDepth + 1, aAllOnes, aNodes, aTable);
}

TDecodeStep WalkNibble(const TzalHTTP2_Huffman_TreeNode* aNode, unsigned aNibble,
                       const std::vector<const TzalHTTP2_Huffman_TreeNode*>& aNodes) {
  const TzalHTTP2_Huffman_TreeNode* root = aNodes.front();
  TDecodeStep step;
  for (int bit = 3; bit >= 0; --bit) {
    aNode = ((aNibble >> bit) & 1) ? aNode->Child1() : aNode->Child0();
    if (aNode == nullptr) {
      step.flags = kInvalid;
      return step;
    }
    if (aNode->Value() == h2HuffmanEOS) {
      step.flags = kEOS;
      return step;
    }
    if (aNode->Value() >= 0) {
      step.flags = kEmit;
      step.symbol = static_cast<uint8_t>(aNode->Value());
      aNode = root;
    }
  }
  for (size_t i = 0; i < aNodes.size(); ++i)
    if (aNodes[i] == aNode)
      step.next = static_cast<uint16_t>(i);
  return step;
}

TDecodeTable BuildDecodeTable() {
  TDecodeTable table;
  std::vector<const TzalHTTP2_Huffman_TreeNode*> nodes;
  NumberInnerNodes(&HuffmanTree(), 0, true, nodes, table);
  table.steps.resize(nodes.size());
  for (size_t state = 0; state < nodes.size(); ++state)
    for (unsigned nibble = 0; nibble < 16; ++nibble)
      table.steps[state][nibble] = WalkNibble(nodes[state], nibble, nodes);
  return table;
}

const TDecodeTable& DecodeTable() {
  static const TDecodeTable table = BuildDecodeTable();
  return table;
}

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

size_t HuffmanEncodedLength(std::string_view aOctets) {
  size_t bits = 0;
  for (char c : aOctets)
    bits += kCodeLengths[static_cast<uint8_t>(c)];
  return (bits + 7) / 8;
}

void HuffmanEncode(std::string_view aOctets, std::vector<uint8_t>& aOutput) {
  uint64_t pending = 0;  // bits not yet written, right-aligned
  int pendingBits = 0;
  for (char c : aOctets) {
    const auto symbol = static_cast<uint8_t>(c);
    pending = (pending << kCodeLengths[symbol]) | kCodes[symbol];
    pendingBits += kCodeLengths[symbol];
    while (pendingBits >= 8) {
      pendingBits -= 8;
      aOutput.push_back(static_cast<uint8_t>(pending >> pendingBits));
    }
  }
  if (pendingBits > 0) {
    const int fill = 8 - pendingBits;
    aOutput.push_back(static_cast<uint8_t>((pending << fill) | ((1u << fill) - 1)));
  }
}

void HuffmanDecode(std::string_view aInput, std::string& aOutput) {
  const TDecodeTable& table = DecodeTable();
  aOutput.clear();
  aOutput.reserve(aInput.size() * 8 / 5 + 1);
  unsigned state = 0;
  const auto step = [&](unsigned nibble) {
    const TDecodeStep& s = table.steps[state][nibble];
    if (s.flags & kInvalid)
      throw EIdException("Invalid huffman code");
    if (s.flags & kEOS)
      throw EIdException("Encountered EOS in huffman code");
    if (s.flags & kEmit)
      aOutput.push_back(static_cast<char>(s.symbol));
    state = s.next;
  };
  for (char c : aInput) {
    const auto octet = static_cast<uint8_t>(c);
    step(octet >> 4);
    step(octet & 0x0F);
  }
  if (table.depth[state] > 7)
    throw EIdException("Padding exceeds 7 bits");
  if (!table.allOnes[state])
    throw EIdException("Invalid padding");
}

}  // namespace zal
