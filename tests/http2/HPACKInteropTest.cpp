// HPACK against an independent implementation (Debian's python3-hpack), both ways:
// blocks we encode are decoded by it, blocks it encodes are decoded by us, and the
// dynamic table sizes of both sides agree after every block.
#include <gtest/gtest.h>

#include <sstream>

#include "HTTP2TestSupport.h"
#include "http2/zalHTTP2_HPACK.h"
#include "http2/zalHTTP2_Helpers.h"

namespace zal {
namespace {

using test::FromHex;
using test::ToHex;

struct PeerField {
  std::string name, value;  // wire octets
  bool sensitive = false;
};

struct PeerBlock {
  std::vector<uint8_t> block;
  std::vector<PeerField> fields;
  int tableSize = -1;
};

std::string OctetsOf(const std::string& aHexOrDash) {
  if (aHexOrDash == "-")
    return {};
  const auto bytes = FromHex(aHexOrDash);
  return std::string(bytes.begin(), bytes.end());
}

// Reads "B <hex>", "F <name> <value> <sensitive>", "S <size>" and "E" lines.
std::vector<PeerBlock> ParsePeerOutput(const std::string& aOutput) {
  std::vector<PeerBlock> blocks;
  PeerBlock current;
  std::istringstream in(aOutput);
  std::string tag;
  while (in >> tag) {
    if (tag == "B") {
      std::string hex;
      in >> hex;
      current.block = hex == "-" ? std::vector<uint8_t>{} : FromHex(hex);
    } else if (tag == "F") {
      std::string name, value;
      int sensitive = 0;
      in >> name >> value >> sensitive;
      current.fields.push_back({OctetsOf(name), OctetsOf(value), sensitive != 0});
    } else if (tag == "S") {
      in >> current.tableSize;
    } else if (tag == "E") {
      blocks.push_back(std::move(current));
      current = PeerBlock();
    }
  }
  return blocks;
}

const char* kPeerDecoder = R"(
import sys, hpack
d = hpack.Decoder()
for line in sys.stdin.read().split():
    headers = [] if line == '-' else d.decode(bytes.fromhex(line), raw=True)
    for h in headers:
        print('F', h[0].hex() or '-', h[1].hex() or '-', int(isinstance(h, hpack.NeverIndexedHeaderTuple)))
    print('S', d.header_table._current_size)
    print('E')
)";

const char* kPeerEncoder = R"(
import hpack
lists = [
    (None, [(b':method', b'GET'), (b':scheme', b'https'), (b':path', b'/'), (b':authority', b'example.org')]),
    (None, [(b':method', b'GET'), (b':path', b'/a?x=1'), (b'user-agent', b'peer/1.0'), (b'cookie', b'a=b', True)]),
    (None, [(b'x-binary', b'\xff\xfe\x00\x80'), (b'x-utf8', 'caf\u00e9 \u2603'.encode())]),
    (200, [(b'x-long', b'v' * 300), (b'x-short', b'w')]),
    (4096, [(b'x-short', b'w'), (b':status', b'404')]),
    (0, [(b'x-after-zero', b'z')]),
    (4096, [(b'x-' + bytes([97 + i % 26]) * (i % 40 + 1), b'%d' % i) for i in range(120)]),
    (None, [(b'x-' + bytes([97 + i % 26]) * (i % 40 + 1), b'%d' % i) for i in range(120)]),
]
for huffman in (True, False):
    e = hpack.Encoder()
    for size, headers in lists:
        if size is not None:
            e.header_table_size = size
        print('B', e.encode(headers, huffman=huffman).hex())
        for h in headers:
            print('F', h[0].hex() or '-', h[1].hex() or '-', int(len(h) > 2 and h[2]))
        print('S', e.header_table._current_size)
        print('E')
)";

class HPACKInterop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::PythonHasModules({"hpack"}))
      FAIL() << "/usr/bin/python3 with python3-hpack is not available; scripts/install-deps.sh peers installs it";
  }
};

TEST_F(HPACKInterop, PeerDecodesOurBlocks) {
  const std::vector<std::vector<TzalHTTP2_TableEntry>> lists = {
      {{":status", "200"}, {"content-type", "text/html"}, {"server", "zalWebSockets 4.4.6"}},
      {{":status", "200"}, {"content-type", "text/html"}, {"set-cookie", "id=1", true}},
      {{"x-latin1", "caf\xc3\xa9"}, {"x-long", std::string(5000, 'q')}},
      {{"x-a", "&&"}, {"x-b", ""}, {"", "empty-name-is-the-peer's-problem"}},
  };
  std::vector<int> tableSizes = {-1, 256, -1, 4096};
  std::string input;
  std::vector<std::vector<PeerField>> expected;
  std::vector<int> ourSizes;
  for (TzalHPackHuffmanStrategy strategy : {h2huIfSmaller, h2huAlways, h2huNever}) {
    TzalHTTP2_HPACK encoder;
    encoder.SetHuffmanStrategy(strategy);
    for (size_t i = 0; i < lists.size(); ++i) {
      if (tableSizes[i] >= 0)
        encoder.SetDynamicTableSize(tableSizes[i]);
      std::vector<uint8_t> block;
      int used = 0, count = 0;
      encoder.Encode(block, 0, lists[i], used, count);
      input += ToHex(block) + "\n";
      std::vector<PeerField> fields;
      for (const auto& entry : lists[i]) {
        const TIdBytes name = StringToBytes(entry.Name()), value = StringToBytes(entry.Value());
        fields.push_back({std::string(name.begin(), name.end()), std::string(value.begin(), value.end()),
                          entry.Sensitive()});
      }
      expected.push_back(fields);
      ourSizes.push_back(encoder.DynamicTableUsedSize());
    }
    input += "RESET\n";
  }
  // One peer decoder per strategy: split the input at the RESET markers.
  std::istringstream all(input);
  std::string line, chunk;
  size_t blockIndex = 0;
  while (std::getline(all, line)) {
    if (line != "RESET") {
      chunk += line + "\n";
      continue;
    }
    const auto output = test::RunPython(kPeerDecoder, chunk);
    ASSERT_TRUE(output.has_value()) << "the peer rejected: " << chunk;
    const auto blocks = ParsePeerOutput(*output);
    ASSERT_EQ(blocks.size(), lists.size());
    for (const PeerBlock& decoded : blocks) {
      ASSERT_EQ(decoded.fields.size(), expected[blockIndex].size());
      for (size_t f = 0; f < decoded.fields.size(); ++f) {
        EXPECT_EQ(decoded.fields[f].name, expected[blockIndex][f].name);
        EXPECT_EQ(decoded.fields[f].value, expected[blockIndex][f].value);
        EXPECT_EQ(decoded.fields[f].sensitive, expected[blockIndex][f].sensitive);
      }
      EXPECT_EQ(decoded.tableSize, ourSizes[blockIndex]) << "block " << blockIndex;
      ++blockIndex;
    }
    chunk.clear();
  }
  EXPECT_EQ(blockIndex, expected.size());
}

TEST_F(HPACKInterop, WeDecodePeerBlocks) {
  const auto output = test::RunPython(kPeerEncoder, "");
  ASSERT_TRUE(output.has_value());
  const auto blocks = ParsePeerOutput(*output);
  ASSERT_EQ(blocks.size(), 16u);
  std::unique_ptr<TzalHTTP2_HPACK> decoder;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i % 8 == 0)
      decoder = std::make_unique<TzalHTTP2_HPACK>();  // a new peer encoder started
    const PeerBlock& peer = blocks[i];
    std::vector<std::string> lines;
    decoder->Decode(peer.block, 0, static_cast<int>(peer.block.size()), lines);
    ASSERT_EQ(lines.size(), peer.fields.size()) << "block " << i;
    for (size_t f = 0; f < lines.size(); ++f) {
      const std::string expected = OctetsToText(std::span<const uint8_t>(
                                       reinterpret_cast<const uint8_t*>(peer.fields[f].name.data()), peer.fields[f].name.size())) +
                                   "=" +
                                   OctetsToText(std::span<const uint8_t>(
                                       reinterpret_cast<const uint8_t*>(peer.fields[f].value.data()), peer.fields[f].value.size()));
      EXPECT_EQ(lines[f], expected) << "block " << i << " field " << f;
    }
    EXPECT_EQ(decoder->DynamicTableUsedSize(), peer.tableSize) << "block " << i;
  }
}

// The same peer blocks decoded one octet at a time through the resumable decoder.
TEST_F(HPACKInterop, WeDecodePeerBlocksOctetByOctet) {
  const auto output = test::RunPython(kPeerEncoder, "");
  ASSERT_TRUE(output.has_value());
  const auto blocks = ParsePeerOutput(*output);
  std::unique_ptr<TzalHTTP2_HPACK> decoder;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i % 8 == 0)
      decoder = std::make_unique<TzalHTTP2_HPACK>();
    size_t fields = 0;
    for (uint8_t octet : blocks[i].block) {
      const std::vector<uint8_t> one = {octet};
      EXPECT_EQ(decoder->Decode(one, 0), 1);
      if (decoder->FieldDecoded()) {
        ASSERT_LT(fields, blocks[i].fields.size());
        EXPECT_EQ(decoder->DecodedField().Sensitive(), blocks[i].fields[fields].sensitive);
        ++fields;
      }
    }
    EXPECT_TRUE(decoder->DecoderIdle());
    EXPECT_EQ(fields, blocks[i].fields.size()) << "block " << i;
    EXPECT_EQ(decoder->DynamicTableUsedSize(), blocks[i].tableSize) << "block " << i;
  }
}

}  // namespace
}  // namespace zal
