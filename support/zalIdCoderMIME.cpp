#include "support/zalIdCoderMIME.h"

#include "support/zalIdException.h"

namespace zal {

namespace {

constexpr size_t kStreamChunk = 3 * 16384;  // a multiple of 3: no padding between chunks

std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  table.fill(TIdDecoderMIME::kInvalid);
  for (size_t i = 0; i < TIdEncoderMIME::FCodingTable.size(); ++i)
    table[static_cast<uint8_t>(TIdEncoderMIME::FCodingTable[i])] = static_cast<uint8_t>(i);
  return table;
}

void AppendBase64(std::span<const uint8_t> in, std::string& out) {
  const auto& table = TIdEncoderMIME::FCodingTable;
  out.reserve(out.size() + (in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const uint32_t group = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
    out.push_back(table[group >> 18]);
    out.push_back(table[(group >> 12) & 0x3F]);
    out.push_back(table[(group >> 6) & 0x3F]);
    out.push_back(table[group & 0x3F]);
  }
  const size_t rest = in.size() - i;
  if (rest == 0)
    return;
  const uint32_t group = (uint32_t(in[i]) << 16) | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0);
  out.push_back(table[group >> 18]);
  out.push_back(table[(group >> 12) & 0x3F]);
  out.push_back(rest == 2 ? table[(group >> 6) & 0x3F] : TIdEncoderMIME::FFillChar);
  out.push_back(TIdEncoderMIME::FFillChar);
}

uint32_t SixBits(uint8_t c) {
  const uint8_t value = TIdDecoderMIME::FDecodeTable[c];
  return value == TIdDecoderMIME::kInvalid ? 0 : value;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const std::array<uint8_t, 256> TIdDecoderMIME::FDecodeTable = MakeDecodeTable();

std::string TIdEncoderMIME::EncodeString(std::string_view AIn, const IIdTextEncoding* AByteEncoding) {
  return EncodeBytes(ToBytes(AIn, AByteEncoding));
}

std::string TIdEncoderMIME::EncodeBytes(std::span<const uint8_t> AIn) {
  std::string out;
  AppendBase64(AIn, out);
  return out;
}

std::string TIdEncoderMIME::EncodeStream(TStream& AIn) {
  std::string out;
  TIdBytes chunk(kStreamChunk);
  for (;;) {
    const auto got = static_cast<size_t>(AIn.Read(chunk.data(), static_cast<int64_t>(chunk.size())));
    if (got == 0)
      break;
    AppendBase64(std::span(chunk).first(got), out);
  }
  return out;
}

TIdBytes TIdDecoderMIME::DecodeBytes(std::string_view AIn) {
  // The text is taken one character per octet (ISO-8859-1), as the decoder reads octets.
  const TIdBytes in = IdTextEncoding(tek8Bit).GetBytes(AIn);
  const size_t groups = in.size() / 4;
  TIdBytes out;
  out.reserve(groups * 3);
  for (size_t g = 0; g < groups; ++g) {
    const uint8_t* c = in.data() + g * 4;
    const uint32_t value = (SixBits(c[0]) << 18) | (SixBits(c[1]) << 12) | (SixBits(c[2]) << 6) | SixBits(c[3]);
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
  }
  if (groups > 0) {
    const uint8_t* last = in.data() + groups * 4 - 1;
    if (last[0] == FFillChar) {
      out.pop_back();
      if (last[-1] == FFillChar)
        out.pop_back();
    }
  }
  return out;
}

std::string TIdDecoderMIME::DecodeString(std::string_view AIn, const IIdTextEncoding* AByteEncoding) {
  return (AByteEncoding ? *AByteEncoding : IdTextEncoding(tek8Bit)).GetString(DecodeBytes(AIn));
}

void TIdDecoderMIME::DecodeStream(std::string_view AIn, TStream& ADestStream) {
  const TIdBytes bytes = DecodeBytes(AIn);
  ADestStream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

TIdBytes HexToBytes(std::string_view hex) {
  if (hex.size() % 2 != 0)
    throw EConvertError("'" + std::string(hex) + "' is not a valid hexadecimal value");
  TIdBytes out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigitValue(hex[i]), low = HexDigitValue(hex[i + 1]);
    if (high < 0 || low < 0)
      throw EConvertError("'" + std::string(hex) + "' is not a valid hexadecimal value");
    out.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return out;
}

std::string BytesToHex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string HexToBase64(std::string_view hex) { return TIdEncoderMIME::EncodeBytes(HexToBytes(hex)); }

std::string BytesToUTF8String(std::span<const uint8_t> bytes) { return IdTextEncoding(tekUTF8).GetString(bytes); }

}  // namespace zal
