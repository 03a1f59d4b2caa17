#pragma once
// The static Huffman code of HPACK (RFC 7541 Appendix B): 257 symbols, octets 0-255
// and EOS (256). Encoding packs codes from the most significant bit; decoding looks up
// twelve bits at a time in a table derived once from the code tree.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zal {

inline constexpr int h2HuffmanEOS = 256;

// One node of the code tree: a leaf carries its symbol (0 to 256), an inner node -1.
class TzalHTTP2_Huffman_TreeNode {
public:
  const TzalHTTP2_Huffman_TreeNode* Child0() const { return FChild0.get(); }
  const TzalHTTP2_Huffman_TreeNode* Child1() const { return FChild1.get(); }
  int Value() const { return FValue; }

  // Adds the leaf aSymbol at the end of the aBits-bit code aCode below this node;
  // raises EIdException "TreeNode alreay occupied" when that place is taken.
  void Insert(uint32_t aCode, int aBits, int aSymbol);

private:
  std::unique_ptr<TzalHTTP2_Huffman_TreeNode> FChild0;
  std::unique_ptr<TzalHTTP2_Huffman_TreeNode> FChild1;
  int FValue = -1;
};

// The code tree of all 257 symbols, built on first use and shared (read-only).
const TzalHTTP2_Huffman_TreeNode& HuffmanTree();

// Code and length in bits of a symbol.
uint32_t HuffmanCode(int aSymbol);
int HuffmanCodeLength(int aSymbol);

// Octets the Huffman coding of aOctets takes (bits rounded up to whole octets).
size_t HuffmanEncodedLength(std::string_view aOctets);
// Appends the Huffman coding of aOctets to aOutput, the last octet padded with 1 bits.
void HuffmanEncode(std::string_view aOctets, std::vector<uint8_t>& aOutput);
// The same in one pass when the coding is shorter than aOctets, and then true; else
// aOutput is left as it was and the result is false.
bool HuffmanEncodeIfShorter(std::string_view aOctets, std::vector<uint8_t>& aOutput);

// Most octets aInputLength coded octets can decode to (the shortest code has 5 bits).
constexpr size_t HuffmanDecodedLengthBound(size_t aInputLength) { return aInputLength * 8 / 5; }
// Decodes aInput into aOutput, which has room for HuffmanDecodedLengthBound octets,
// and returns the octets written. Raises EIdException with "Encountered EOS in
// huffman code", "Padding exceeds 7 bits" or "Invalid padding" (RFC 7541 section 5.2).
size_t HuffmanDecode(std::string_view aInput, char* aOutput);
// The same, replacing aOutput.
void HuffmanDecode(std::string_view aInput, std::string& aOutput);

}  // namespace zal
