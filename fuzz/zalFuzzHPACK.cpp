// Feeds arbitrary header blocks to the HPACK decoder, whole and in pieces: both ways
// must agree, and an ASCII result must survive a round trip through the encoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http2/zalHTTP2_HPACK.h"

namespace {

using zal::TzalHTTP2_HPACK;

bool DecodeWhole(TzalHTTP2_HPACK& aDecoder, const std::vector<uint8_t>& aBlock, std::vector<std::string>& aLines) {
  try {
    aDecoder.Decode(aBlock, 0, static_cast<int>(aBlock.size()), aLines);
    return true;
  } catch (const zal::EIdException&) {
    return false;
  }
}

// The one-field decoder fed in pieces of aPiece octets; false on an error or when the
// block ends inside a representation.
bool DecodePieces(TzalHTTP2_HPACK& aDecoder, const std::vector<uint8_t>& aBlock, size_t aPiece,
                  std::vector<std::string>& aLines) {
  try {
    for (size_t start = 0; start < aBlock.size(); start += aPiece) {
      const size_t end = std::min(aBlock.size(), start + aPiece);
      const std::vector<uint8_t> piece(aBlock.begin() + static_cast<long>(start), aBlock.begin() + static_cast<long>(end));
      for (int position = 0; position < static_cast<int>(piece.size());) {
        const int consumed = aDecoder.Decode(piece, position);
        if (aDecoder.FieldDecoded())
          aLines.push_back(aDecoder.DecodedField().Name() + "=" + aDecoder.DecodedField().Value());
        if (consumed <= 0)
          __builtin_trap();  // the decoder must always make progress
        position += consumed;
      }
    }
  } catch (const zal::EIdException&) {
    return false;
  }
  return aDecoder.DecoderIdle();
}

bool IsASCII(const std::vector<std::string>& aLines) {
  for (const std::string& line : aLines)
    for (char c : line)
      if (static_cast<uint8_t>(c) >= 0x80)
        return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1)
    return 0;
  const size_t piece = aData[0] % 7 + 1;
  const std::vector<uint8_t> block(aData + 1, aData + aSize);

  TzalHTTP2_HPACK whole, pieces;
  std::vector<std::string> wholeLines, pieceLines;
  const bool wholeOk = DecodeWhole(whole, block, wholeLines);
  const bool piecesOk = DecodePieces(pieces, block, piece, pieceLines);
  if (wholeOk && piecesOk) {
    bool emptyName = false;
    for (const std::string& line : pieceLines)
      emptyName = emptyName || line[0] == '=';
    if (!emptyName && (pieceLines != wholeLines || pieces.DynamicTableUsedSize() != whole.DynamicTableUsedSize()))
      __builtin_trap();
  }
  if (!wholeOk || !IsASCII(wholeLines))
    return 0;

  std::vector<zal::TzalHTTP2_TableEntry> fields;
  for (const std::string& line : wholeLines) {
    const size_t eq = line.find('=');
    fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  TzalHTTP2_HPACK encoder, decoder;
  encoder.SetHuffmanStrategy(static_cast<zal::TzalHPackHuffmanStrategy>(aData[0] % 3));
  std::vector<uint8_t> encoded;
  int used = 0, count = 0;
  encoder.Encode(encoded, 0, fields, used, count);
  std::vector<std::string> again;
  if (!DecodeWhole(decoder, encoded, again) || again != wholeLines ||
      decoder.DynamicTableUsedSize() != encoder.DynamicTableUsedSize())
    __builtin_trap();
  return 0;
}
