// HPACK: RFC 7541 Appendix C both ways, prefix integers, strings, size updates,
// eviction, Huffman errors, and decoding split at every offset.
#include <gtest/gtest.h>

#include <algorithm>

#include "HTTP2TestSupport.h"
#include "http2/zalHTTP2_HPACK.h"
#include "http2/zalHTTP2_Huffman.h"

namespace zal {
namespace {

using test::ExpectHTTP2Error;
using test::FromHex;
using test::ToHex;
using Lines = std::vector<std::string>;

Lines DecodeBlock(TzalHTTP2_HPACK& aHPACK, const std::vector<uint8_t>& aBlock) {
  Lines lines;
  aHPACK.Decode(aBlock, 0, static_cast<int>(aBlock.size()), lines);
  return lines;
}

// The fast path: fields handed to a callback, written as lines ("!" marks never indexed).
Lines DecodeToCallback(TzalHTTP2_HPACK& aHPACK, const std::vector<uint8_t>& aBlock) {
  Lines lines;
  aHPACK.DecodeBlock(aBlock, [&](const TzalHTTP2_HeaderField& aField) {
    lines.push_back(std::string(aField.Sensitive ? "!" : "") + std::string(aField.Name) + "=" +
                    std::string(aField.Value));
  });
  return lines;
}

std::vector<uint8_t> EncodeFields(TzalHTTP2_HPACK& aHPACK, const std::vector<TzalHTTP2_TableEntry>& aFields) {
  std::vector<uint8_t> buffer;
  int used = 0, count = 0;
  aHPACK.Encode(buffer, 0, aFields, used, count);
  EXPECT_EQ(count, static_cast<int>(aFields.size()));
  EXPECT_EQ(used, static_cast<int>(buffer.size()));
  return buffer;
}

std::vector<TzalHTTP2_TableEntry> Fields(const Lines& aLines) {
  std::vector<TzalHTTP2_TableEntry> fields;
  for (const std::string& line : aLines) {
    const size_t eq = line.find('=');
    fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return fields;
}

// Feeds aBlock to the one-field decoder in pieces of the given sizes and returns
// the fields completed.
Lines StreamDecode(TzalHTTP2_HPACK& aHPACK, const std::vector<uint8_t>& aBlock, const std::vector<size_t>& aCuts) {
  Lines lines;
  size_t start = 0;
  std::vector<size_t> ends = aCuts;
  ends.push_back(aBlock.size());
  for (size_t end : ends) {
    const std::vector<uint8_t> piece(aBlock.begin() + static_cast<long>(start), aBlock.begin() + static_cast<long>(end));
    int position = 0;
    while (position < static_cast<int>(piece.size())) {
      const int consumed = aHPACK.Decode(piece, position);
      if (aHPACK.FieldDecoded())
        lines.push_back(aHPACK.DecodedField().Name() + "=" + aHPACK.DecodedField().Value());
      if (consumed == 0)
        ADD_FAILURE() << "decoder consumed nothing at " << position;
      if (consumed == 0)
        break;
      position += consumed;
    }
    start = end;
  }
  EXPECT_TRUE(aHPACK.DecoderIdle());
  return lines;
}

// ------------------------------------------------------------------ Appendix C

struct AppendixCCase {
  const char* name;
  int tableSize;
  TzalHPackHuffmanStrategy strategy;
  std::vector<std::string> blocks;
  std::vector<Lines> fields;
  std::vector<int> usedSizes;
};

const Lines kRequest1 = {":method=GET", ":scheme=http", ":path=/", ":authority=www.example.com"};
const Lines kRequest2 = {":method=GET", ":scheme=http", ":path=/", ":authority=www.example.com",
                         "cache-control=no-cache"};
const Lines kRequest3 = {":method=GET", ":scheme=https", ":path=/index.html", ":authority=www.example.com",
                         "custom-key=custom-value"};
const Lines kResponse1 = {":status=302", "cache-control=private", "date=Mon, 21 Oct 2013 20:13:21 GMT",
                          "location=https://www.example.com"};
const Lines kResponse2 = {":status=307", "cache-control=private", "date=Mon, 21 Oct 2013 20:13:21 GMT",
                          "location=https://www.example.com"};
const Lines kResponse3 = {":status=200", "cache-control=private", "date=Mon, 21 Oct 2013 20:13:22 GMT",
                          "location=https://www.example.com", "content-encoding=gzip",
                          "set-cookie=foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"};

const AppendixCCase kAppendixC[] = {
    {"C3_RequestsWithoutHuffman", 4096, h2huNever,
     {"828684410f7777772e6578616d706c652e636f6d", "828684be58086e6f2d6361636865",
      "828785bf400a637573746f6d2d6b65790c637573746f6d2d76616c7565"},
     {kRequest1, kRequest2, kRequest3}, {57, 110, 164}},
    {"C4_RequestsWithHuffman", 4096, h2huAlways,
     {"828684418cf1e3c2e5f23a6ba0ab90f4ff", "828684be5886a8eb10649cbf",
      "828785bf408825a849e95ba97d7f8925a849e95bb8e8b4bf"},
     {kRequest1, kRequest2, kRequest3}, {57, 110, 164}},
    {"C5_ResponsesWithoutHuffman", 256, h2huNever,
     {"4803333032580770726976617465611d4d6f6e2c203231204f637420323031332032303a31333a323120474d546e17"
      "68747470733a2f2f7777772e6578616d706c652e636f6d",
      "4803333037c1c0bf",
      "88c1611d4d6f6e2c203231204f637420323031332032303a31333a323220474d54c05a04677a69707738666f6f3d41"
      "53444a4b48514b425a584f5157454f50495541585157454f49553b206d61782d6167653d333630303b207665727369"
      "6f6e3d31"},
     {kResponse1, kResponse2, kResponse3}, {222, 222, 215}},
    {"C6_ResponsesWithHuffman", 256, h2huAlways,
     {"488264025885aec3771a4b6196d07abe941054d444a8200595040b8166e082a62d1bff6e919d29ad171863c78f0b97"
      "c8e9ae82ae43d3",
      "4883640effc1c0bf",
      "88c16196d07abe941054d444a8200595040b8166e084a62d1bffc05a839bd9ab77ad94e7821dd7f2e6c7b335dfdfcd"
      "5b3960d5af27087f3672c1ab270fb5291f9587316065c003ed4ee5b1063d5007"},
     {kResponse1, kResponse2, kResponse3}, {222, 222, 215}},
};

class AppendixC : public ::testing::TestWithParam<AppendixCCase> {
protected:
  // Gives the decoder the table size of the example (a block holding only a size update).
  static void PrepareDecoder(TzalHTTP2_HPACK& aDecoder, int aTableSize) {
    if (aTableSize == 256) {
      EXPECT_TRUE(DecodeBlock(aDecoder, FromHex("3fe101")).empty());
    }
    EXPECT_EQ(aDecoder.DynamicTableSize(), aTableSize);
  }
  // Gives the encoder the table size of the example; the update is sent in a block of its
  // own. The examples index every field, ":path", "date" and "set-cookie" too.
  static void PrepareEncoder(TzalHTTP2_HPACK& aEncoder, int aTableSize) {
    aEncoder.SetIndexingPolicy(h2ixEveryField);
    aEncoder.SetDynamicTableSize(aTableSize);
    if (aTableSize != 4096) {
      EXPECT_EQ(ToHex(EncodeFields(aEncoder, {})), "3fe101");
    }
  }
};

TEST_P(AppendixC, DecodesEachBlockAndTracksTableSize) {
  const AppendixCCase& c = GetParam();
  TzalHTTP2_HPACK decoder;
  PrepareDecoder(decoder, c.tableSize);
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    EXPECT_EQ(DecodeBlock(decoder, FromHex(c.blocks[i])), c.fields[i]) << "block " << i;
    EXPECT_EQ(decoder.DynamicTableUsedSize(), c.usedSizes[i]) << "block " << i;
  }
}

TEST_P(AppendixC, EncodesByteExact) {
  const AppendixCCase& c = GetParam();
  TzalHTTP2_HPACK encoder;
  encoder.SetHuffmanStrategy(c.strategy);
  PrepareEncoder(encoder, c.tableSize);
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    EXPECT_EQ(ToHex(EncodeFields(encoder, Fields(c.fields[i]))), c.blocks[i]) << "block " << i;
    EXPECT_EQ(encoder.DynamicTableUsedSize(), c.usedSizes[i]) << "block " << i;
  }
}

// The fast paths (callback decoder, encoder from views) give the same fields and octets.
TEST_P(AppendixC, FastPathsAgreeWithLinesAndEntries) {
  const AppendixCCase& c = GetParam();
  TzalHTTP2_HPACK decoder, encoder;
  PrepareDecoder(decoder, c.tableSize);
  encoder.SetHuffmanStrategy(c.strategy);
  PrepareEncoder(encoder, c.tableSize);
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    EXPECT_EQ(DecodeToCallback(decoder, FromHex(c.blocks[i])), c.fields[i]) << "block " << i;
    EXPECT_EQ(decoder.DynamicTableUsedSize(), c.usedSizes[i]) << "block " << i;
    const std::vector<TzalHTTP2_TableEntry> entries = Fields(c.fields[i]);
    std::vector<TzalHTTP2_HeaderField> views;
    for (const TzalHTTP2_TableEntry& entry : entries)
      views.push_back({entry.Name(), entry.Value()});
    std::vector<uint8_t> block = {0xAA};  // appended after what the buffer holds
    encoder.EncodeBlock(block, views);
    EXPECT_EQ(ToHex(block), "aa" + c.blocks[i]) << "block " << i;
  }
}

// Every block cut into two pieces at every offset, and fed one octet at a time.
TEST_P(AppendixC, DecodesBlocksSplitAtEveryOffset) {
  const AppendixCCase& c = GetParam();
  std::vector<std::vector<size_t>> splits = {{}};
  const size_t longest = FromHex(c.blocks[0]).size();
  for (size_t cut = 1; cut < longest; ++cut)
    splits.push_back({cut});
  std::vector<size_t> bytewise;
  for (size_t cut = 1; cut < 200; ++cut)
    bytewise.push_back(cut);
  splits.push_back(bytewise);
  for (const auto& split : splits) {
    TzalHTTP2_HPACK decoder;
    PrepareDecoder(decoder, c.tableSize);
    for (size_t i = 0; i < c.blocks.size(); ++i) {
      const std::vector<uint8_t> block = FromHex(c.blocks[i]);
      std::vector<size_t> cuts;
      for (size_t cut : split)
        if (cut < block.size())
          cuts.push_back(cut);
      EXPECT_EQ(StreamDecode(decoder, block, cuts), c.fields[i]) << "block " << i << " cuts " << cuts.size();
    }
    EXPECT_EQ(decoder.DynamicTableUsedSize(), c.usedSizes.back());
  }
}

// A block that stops inside a representation is a COMPRESSION_ERROR, and a block cut
// between representations yields exactly the fields before the cut.
TEST_P(AppendixC, TruncatedBlockIsCompressionError) {
  const AppendixCCase& c = GetParam();
  const std::vector<uint8_t> block = FromHex(c.blocks[0]);
  std::vector<size_t> boundaries;  // offsets where a representation ends
  {
    TzalHTTP2_HPACK decoder;
    PrepareDecoder(decoder, c.tableSize);
    for (int position = 0; position < static_cast<int>(block.size());)
      boundaries.push_back(position += decoder.Decode(block, position));
  }
  ASSERT_EQ(boundaries.size(), c.fields[0].size());
  for (size_t length = 1; length < block.size(); ++length) {
    TzalHTTP2_HPACK decoder;
    PrepareDecoder(decoder, c.tableSize);
    const std::vector<uint8_t> prefix(block.begin(), block.begin() + static_cast<long>(length));
    const auto boundary = std::find(boundaries.begin(), boundaries.end(), length);
    if (boundary == boundaries.end()) {
      ExpectHTTP2Error([&] { DecodeBlock(decoder, prefix); }, h2erCOMPRESSION_ERROR,
                       "HPACK: header block ends inside a field representation.");
    } else {
      const Lines expected(c.fields[0].begin(), c.fields[0].begin() + (boundary - boundaries.begin()) + 1);
      EXPECT_EQ(DecodeBlock(decoder, prefix), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RFC7541, AppendixC, ::testing::ValuesIn(kAppendixC),
                         [](const auto& info) { return std::string(info.param.name); });

// C.2: single representations of each kind.
struct SingleFieldCase {
  const char* name;
  const char* block;
  const char* line;
  int usedSize;
  bool sensitive;
};

class SingleField : public ::testing::TestWithParam<SingleFieldCase> {};

TEST_P(SingleField, Decodes) {
  const SingleFieldCase& c = GetParam();
  TzalHTTP2_HPACK decoder;
  EXPECT_EQ(DecodeBlock(decoder, FromHex(c.block)), Lines{c.line});
  EXPECT_EQ(decoder.DynamicTableUsedSize(), c.usedSize);
  EXPECT_EQ(decoder.DecodedField().Sensitive(), c.sensitive);
}

INSTANTIATE_TEST_SUITE_P(
    RFC7541_C2, SingleField,
    ::testing::Values(
        SingleFieldCase{"LiteralWithIndexing", "400a637573746f6d2d6b65790d637573746f6d2d686561646572",
                        "custom-key=custom-header", 55, false},
        SingleFieldCase{"LiteralWithoutIndexing", "040c2f73616d706c652f70617468", ":path=/sample/path", 0, false},
        SingleFieldCase{"LiteralNeverIndexed", "100870617373776f726406736563726574", "password=secret", 0, true},
        SingleFieldCase{"Indexed", "82", ":method=GET", 0, false},
        SingleFieldCase{"UserAgentByIndexWithoutIndexing", "0f2b03616263", "user-agent=abc", 0, false},
        SingleFieldCase{"LastStaticEntry", "bd", "www-authenticate=", 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HPACKEncoder, SensitiveFieldIsNeverIndexed) {
  TzalHTTP2_HPACK encoder;
  encoder.SetHuffmanStrategy(h2huNever);
  EXPECT_EQ(ToHex(EncodeFields(encoder, {TzalHTTP2_TableEntry("password", "secret", true)})),
            "100870617373776f726406736563726574");
  EXPECT_EQ(encoder.DynamicTableLength(), 0);
  // Once the table holds the same field, its name is taken from there but the
  // representation stays never indexed.
  EXPECT_EQ(ToHex(EncodeFields(encoder, {TzalHTTP2_TableEntry("password", "secret")})), "400870617373776f726406736563726574");
  EXPECT_EQ(ToHex(EncodeFields(encoder, {TzalHTTP2_TableEntry("password", "secret", true)})), "1f2f06736563726574");
  EXPECT_EQ(ToHex(EncodeFields(encoder, {TzalHTTP2_TableEntry("password", "secret")})), "be");
}

struct IndexingCase {
  const char* name;
  TzalHPackIndexingPolicy policy;
  TzalHTTP2_TableEntry field;
  const char* block;  // without Huffman coding
  int tableLength;
};

class IndexingPolicy : public ::testing::TestWithParam<IndexingCase> {};

// Sent twice: a field that was indexed is then a single octet, one that was not is
// sent the same way again.
TEST_P(IndexingPolicy, ChoosesTheRepresentation) {
  const IndexingCase& c = GetParam();
  TzalHTTP2_HPACK encoder;
  encoder.SetHuffmanStrategy(h2huNever);
  encoder.SetIndexingPolicy(c.policy);
  EXPECT_EQ(ToHex(EncodeFields(encoder, {c.field})), c.block);
  EXPECT_EQ(encoder.DynamicTableLength(), c.tableLength);
  EXPECT_EQ(ToHex(EncodeFields(encoder, {c.field})), c.tableLength == 1 ? "be" : c.block);
}

INSTANTIATE_TEST_SUITE_P(
    HPACKEncoder, IndexingPolicy,
    ::testing::Values(
        IndexingCase{"SelectivePathWithoutIndexing", h2ixSelective, {":path", "/a"}, "04022f61", 0},
        IndexingCase{"SelectiveETagWithoutIndexing", h2ixSelective, {"etag", "\"1\""}, "0f1303223122", 0},
        IndexingCase{"SelectiveSetCookieWithoutIndexing", h2ixSelective, {"set-cookie", "a=b"}, "0f2803613d62", 0},
        IndexingCase{"SelectiveAuthorizationNeverIndexed", h2ixSelective, {"authorization", "x"}, "1f080178", 0},
        IndexingCase{"SelectiveProxyAuthorizationNeverIndexed", h2ixSelective, {"proxy-authorization", "x"},
                     "1f220178", 0},
        IndexingCase{"SelectiveOtherStaticNameIndexed", h2ixSelective, {"content-type", "a"}, "5f0161", 1},
        IndexingCase{"SelectiveNewNameIndexed", h2ixSelective, {"x-path", "a"}, "4006782d706174680161", 1},
        IndexingCase{"EveryFieldPathIndexed", h2ixEveryField, {":path", "/a"}, "44022f61", 1},
        IndexingCase{"EveryFieldAuthorizationIndexed", h2ixEveryField, {"authorization", "x"}, "570178", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HPACKEncoder, StaticFullMatchesAreSingleOctets) {
  TzalHTTP2_HPACK encoder;
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{":method", "GET"}, {":path", "/"}, {":status", "200"}})), "828488");
}

TEST(HPACKEncoder, NewNameIsIndexedWithHuffmanStrings) {
  TzalHTTP2_HPACK encoder;
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{"custom-key", "custom-value"}})), "408825a849e95ba97d7f8925a849e95bb8e8b4bf");
  EXPECT_EQ(encoder.DynamicTableLength(), 1);
  EXPECT_EQ(encoder.DynamicTableUsedSize(), 54);
  // The same field again is the newest dynamic entry.
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{"custom-key", "custom-value"}})), "be");
}

TEST(HPACKEncoder, FieldLargerThanTableIsNotIndexed) {
  TzalHTTP2_HPACK encoder;
  encoder.SetHuffmanStrategy(h2huNever);
  EncodeFields(encoder, {{"a", "b"}});
  encoder.SetDynamicTableSize(100);
  EncodeFields(encoder, {});
  const std::string value(100 - 32 - 1 + 1, 'v');  // 1 + 68 + 32 = 101 > 100
  const auto block = EncodeFields(encoder, {{"x", value}});
  EXPECT_EQ(block[0], 0x00);
  EXPECT_EQ(encoder.DynamicTableLength(), 1);
  EXPECT_EQ(encoder.DynamicTableUsedSize(), 34);
  // Exactly the table size is still indexed (and evicts the older entry).
  EncodeFields(encoder, {{"x", std::string(67, 'v')}});
  EXPECT_EQ(encoder.DynamicTableLength(), 1);
  EXPECT_EQ(encoder.DynamicTableUsedSize(), 100);
}

TEST(HPACKEncoder, HuffmanOnlyWhenShorter) {
  // "&&" takes 8 bits per symbol: its code is exactly as long as the text.
  ASSERT_EQ(HuffmanEncodedLength("&&"), 2u);
  TzalHTTP2_HPACK ifSmaller, always, never;
  always.SetHuffmanStrategy(h2huAlways);
  never.SetHuffmanStrategy(h2huNever);
  EXPECT_EQ(ToHex(EncodeFields(ifSmaller, {{"x-a", "&&"}})).substr(10), "022626");
  EXPECT_EQ(ToHex(EncodeFields(always, {{"x-a", "&&"}})).substr(10), "82f8f8");
  EXPECT_EQ(ToHex(EncodeFields(never, {{"x-a", "aaaa"}})), "4003782d610461616161");
  EXPECT_EQ(ToHex(EncodeFields(ifSmaller, {{"x-b", "aaaa"}})).substr(0, 2), "40");
}

// Values of 120 to 219 octets of symbols coded in 5, 8 and 10 bits, around 127, where a
// length needs a second octet: Huffman only when shorter, each length as long as it needs.
TEST(HPACKEncoder, StringLengthsAroundThePrefixBoundary) {
  for (const char symbol : {'a', '&', '!'}) {
    for (size_t size = 120; size < 220; ++size) {
      TzalHTTP2_HPACK encoder, decoder;
      const std::string value(size, symbol);
      const std::vector<uint8_t> block = EncodeFields(encoder, {{"x-a", value}});
      const size_t coded = HuffmanEncodedLength(value);
      const size_t length = std::min(coded, size);
      const uint8_t flag = coded < size ? 0x80 : 0x00;
      std::vector<uint8_t> prefix = {static_cast<uint8_t>(flag | std::min<size_t>(length, 127))};
      if (length >= 127)
        prefix.push_back(static_cast<uint8_t>(length - 127));
      const size_t valueStart = 5;  // 0x40 and the name "x-a", raw: its code is not shorter
      ASSERT_EQ(block.size(), valueStart + prefix.size() + length) << symbol << size;
      EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), block.begin() + valueStart)) << symbol << size;
      EXPECT_EQ(DecodeBlock(decoder, block), Lines{"x-a=" + value}) << symbol << size;
    }
  }
}

struct SizeUpdateCase {
  const char* name;
  std::vector<int> sizes;
  const char* prefix;
};

class ScheduledSizeUpdates : public ::testing::TestWithParam<SizeUpdateCase> {};

TEST_P(ScheduledSizeUpdates, AnnounceSmallestThenFinal) {
  TzalHTTP2_HPACK encoder;
  for (int size : GetParam().sizes)
    encoder.SetDynamicTableSize(size);
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{":method", "GET"}})), std::string(GetParam().prefix) + "82");
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{":method", "GET"}})), "82");  // announced once
}

INSTANTIATE_TEST_SUITE_P(
    HPACKEncoder, ScheduledSizeUpdates,
    ::testing::Values(SizeUpdateCase{"DownAndBack", {100, 4096}, "3f453fe11f"},
                      SizeUpdateCase{"DownThenUp", {100, 200}, "3f453fa901"},
                      SizeUpdateCase{"Once", {100}, "3f45"},
                      SizeUpdateCase{"SameSizeIsNoChange", {4096}, ""},
                      SizeUpdateCase{"SmallestOfThree", {300, 50, 200}, "3f133fa901"},
                      SizeUpdateCase{"Zero", {0}, "20"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HPACKEncoder, ShrinkingTheTableEvictsAtOnce) {
  TzalHTTP2_HPACK encoder;
  EncodeFields(encoder, {{"aa", "1"}, {"bb", "2"}, {"cc", "3"}});  // 35 octets each
  ASSERT_EQ(encoder.DynamicTableUsedSize(), 105);
  encoder.SetDynamicTableSize(70);
  EXPECT_EQ(encoder.DynamicTableLength(), 2);
  EXPECT_EQ(encoder.DynamicTableUsedSize(), 70);
  EXPECT_EQ(encoder.HeaderTable().GetItem(62)->Name(), "cc");
  EXPECT_EQ(encoder.HeaderTable().GetItem(63)->Name(), "bb");
  EXPECT_EQ(encoder.HeaderTable().GetItem(64), nullptr);
}

// A header list whose block is much larger than 4096 octets is encoded completely.
TEST(HPACKEncoder, LargeHeaderListIsEncodedCompletely) {
  TzalHTTP2_HPACK encoder, decoder;
  std::vector<TzalHTTP2_TableEntry> fields;
  Lines expected;
  for (int i = 0; i < 300; ++i) {
    fields.emplace_back("x-field-" + std::to_string(i), std::string(60, static_cast<char>('a' + i % 26)));
    expected.push_back(fields.back().Name() + "=" + fields.back().Value());
  }
  const auto block = EncodeFields(encoder, fields);
  EXPECT_GT(block.size(), 4096u * 4);
  EXPECT_EQ(DecodeBlock(decoder, block), expected);
  EXPECT_EQ(decoder.DynamicTableUsedSize(), encoder.DynamicTableUsedSize());
}

TEST(HPACKEncoder, EncodesFromAnOffset) {
  TzalHTTP2_HPACK encoder;
  std::vector<uint8_t> buffer = {1, 2, 3, 4};
  int used = 0, count = 0;
  const std::vector<TzalHTTP2_TableEntry> fields = {{":path", "/"}};
  encoder.Encode(buffer, 2, fields, used, count);
  EXPECT_EQ(ToHex(buffer), "010284");
  EXPECT_EQ(used, 1);
  EXPECT_EQ(count, 1);
}

// Sizes are counted in octets on the wire: a non-ASCII value or one that is not
// valid UTF-8 must keep both tables in step.
TEST(HPACKOctetAccounting, NonASCIITextIsCountedInWireOctets) {
  TzalHTTP2_HPACK encoder, decoder;
  encoder.SetHuffmanStrategy(h2huNever);
  const auto block = EncodeFields(encoder, {{"x-name", "caf\xc3\xa9"}});  // "café": 4 octets in ISO-8859-1
  EXPECT_EQ(ToHex(block), "4006782d6e616d6504636166e9");
  EXPECT_EQ(encoder.DynamicTableUsedSize(), 6 + 4 + 32);
  DecodeBlock(decoder, block);
  EXPECT_EQ(decoder.DynamicTableUsedSize(), 6 + 4 + 32);
}

// Text is looked up by its octets: "é" (c3 a9 in UTF-8) is the octet e9, not the entry
// holding the octets c3 a9 (the text "Ã©").
TEST(HPACKOctetAccounting, NonASCIITextIsMatchedByItsOctets) {
  TzalHTTP2_HPACK encoder;
  encoder.SetHuffmanStrategy(h2huNever);
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{"x", "\xc3\x83\xc2\xa9"}})), "40017802c3a9");
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{"x", "\xc3\xa9"}})), "7e01e9");
  EXPECT_EQ(ToHex(EncodeFields(encoder, {{"x", "\xc3\xa9"}, {"x", "\xc3\x83\xc2\xa9"}})), "bebf");
}

TEST(HPACKOctetAccounting, InvalidUTF8IsCountedInWireOctets) {
  TzalHTTP2_HPACK decoder;
  // Literal with indexing, name "x", value ff fe (not UTF-8): 1 + 2 + 32 octets.
  EXPECT_EQ(DecodeBlock(decoder, FromHex("40017802fffe")), Lines{"x=\xef\xbf\xbd\xef\xbf\xbd"});
  EXPECT_EQ(decoder.DynamicTableUsedSize(), 35);
  // A size update to 70 keeps two such entries; a third evicts the first.
  EXPECT_TRUE(DecodeBlock(decoder, FromHex("3f27")).empty());
  DecodeBlock(decoder, FromHex("40017902fffe"));
  EXPECT_EQ(decoder.DynamicTableLength(), 2);
  DecodeBlock(decoder, FromHex("40017a02fffe"));
  EXPECT_EQ(decoder.DynamicTableLength(), 2);
  EXPECT_EQ(DecodeBlock(decoder, FromHex("bebf")), (Lines{"z=\xef\xbf\xbd\xef\xbf\xbd", "y=\xef\xbf\xbd\xef\xbf\xbd"}));
  // The callback gets the same text, for entries of the table and never-indexed literals.
  EXPECT_EQ(DecodeToCallback(decoder, FromHex("be 1001770263c3 1001760180")),
            (Lines{"z=\xef\xbf\xbd\xef\xbf\xbd", "!w=c\xef\xbf\xbd", "!v=\xef\xbf\xbd"}));
}

// ------------------------------------------------------------------ decoder errors

struct DecodeErrorCase {
  const char* name;
  std::string block;
  const char* message;
};

class DecodeError : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(DecodeError, RaisesGeneralException) {
  TzalHTTP2_HPACK decoder;
  DecodeBlock(decoder, FromHex("400178017a"));  // one dynamic entry: x=z
  try {
    DecodeBlock(decoder, FromHex(GetParam().block));
    ADD_FAILURE() << "no exception";
  } catch (const TzalHTTP2Exception& e) {
    ADD_FAILURE() << "protocol error instead of a general one: " << e.what();
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    HPACKDecoder, DecodeError,
    ::testing::Values(
        DecodeErrorCase{"IndexZero", "80", "Header cannot be found by index."},
        DecodeErrorCase{"IndexPastDynamicTable", "c0", "Table Header item not found."},
        DecodeErrorCase{"NameIndexPastDynamicTable", "7f000161", "Table Header item not found."},
        DecodeErrorCase{"SizeUpdateAboveLimit", "3fe21f", "Table size limit exceeded"},
        DecodeErrorCase{"IntegerAbove31Bits", "ff81ffffff07", "Invalid Integer."},
        DecodeErrorCase{"IntegerWithTooManyOctets", "ff808080808000", "Invalid Integer."},
        DecodeErrorCase{"StringLongerThanLimit", "00 7f 82 ff 3f", "Maximum string length exceeded"},
        DecodeErrorCase{"HuffmanEOS", "000178 84ffffffff", "Encountered EOS in huffman code"},
        DecodeErrorCase{"HuffmanPaddingTooLong", "000178 821fff", "Padding exceeds 7 bits"},
        DecodeErrorCase{"HuffmanPaddingWithZeroInName", "00811e0161", "Invalid padding"},
        DecodeErrorCase{"HuffmanPaddingWithZeroInValue", "000178811e", "Invalid padding"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HPACKDecoder, IntegerBoundaries) {
  TzalHTTP2_HPACK decoder;
  decoder.SetDynamicTableSizeLimit(2147483647);
  const std::pair<const char*, int> updates[] = {
      {"3e", 30}, {"3f00", 31}, {"3f7f", 158}, {"3f8001", 159}, {"3f9a0a", 1337},
      {"3fe0ffffff07", 2147483647}, {"3f8080808000", 31}};
  for (const auto& [hex, size] : updates) {
    EXPECT_TRUE(DecodeBlock(decoder, FromHex(hex)).empty()) << hex;
    EXPECT_EQ(decoder.DynamicTableSize(), size) << hex;
  }
}

TEST(HPACKDecoder, SizeUpdateAtLimitAcceptedAboveRejected) {
  TzalHTTP2_HPACK decoder;
  EXPECT_TRUE(DecodeBlock(decoder, FromHex("3fe11f")).empty());  // 4096
  EXPECT_EQ(decoder.DynamicTableSize(), 4096);
  EXPECT_THROW(DecodeBlock(decoder, FromHex("3fe21f")), EIdException);  // 4097
}

TEST(HPACKDecoder, SizeUpdateToZeroEmptiesTable) {
  TzalHTTP2_HPACK decoder;
  DecodeBlock(decoder, FromHex("400178017a400179017a"));
  ASSERT_EQ(decoder.DynamicTableLength(), 2);
  EXPECT_EQ(DecodeBlock(decoder, FromHex("2082")), Lines{":method=GET"});
  EXPECT_EQ(decoder.DynamicTableLength(), 0);
  EXPECT_EQ(decoder.DynamicTableUsedSize(), 0);
  // With a zero-sized table a literal with indexing is decoded but not stored.
  EXPECT_EQ(DecodeBlock(decoder, FromHex("400178017a")), Lines{"x=z"});
  EXPECT_EQ(decoder.DynamicTableLength(), 0);
}

struct ProtocolErrorCase {
  const char* name;
  const char* block;
  Th2ErrorCodes code;
  const char* message;
};

class DecodeProtocolError : public ::testing::TestWithParam<ProtocolErrorCase> {};

TEST_P(DecodeProtocolError, EndsTheConnection) {
  TzalHTTP2_HPACK decoder;
  ExpectHTTP2Error([&] { DecodeBlock(decoder, FromHex(GetParam().block)); }, GetParam().code, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    HPACKDecoder, DecodeProtocolError,
    ::testing::Values(
        ProtocolErrorCase{"SizeUpdateAfterField", "823f45", h2erCOMPRESSION_ERROR,
                          "HPACK: dynamic table size update after a header field."},
        ProtocolErrorCase{"EmptyName", "00000161", h2erCOMPRESSION_ERROR, "HPACK: field name cannot be empty."},
        ProtocolErrorCase{"NameWithEqualsSign", "00023d610162", h2erPROTOCOL_ERROR,
                          "HPACK: field name cannot contain \"=\"."},
        ProtocolErrorCase{"EndsInsideInteger", "82ff", h2erCOMPRESSION_ERROR,
                          "HPACK: header block ends inside a field representation."},
        ProtocolErrorCase{"EndsInsideString", "0003616263", h2erCOMPRESSION_ERROR,
                          "HPACK: header block ends inside a field representation."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HPACKDecoder, SizeUpdatesBeforeTheFirstFieldAreAccepted) {
  TzalHTTP2_HPACK decoder;
  EXPECT_EQ(DecodeBlock(decoder, FromHex("3f453fe11f82")), Lines{":method=GET"});
  EXPECT_EQ(decoder.DynamicTableSize(), 4096);
}

// A block of indexed fields may expand a thousandfold: the decoded list is bounded.
TEST(HPACKDecoder, HeaderListSizeLimit) {
  TzalHTTP2_HPACK decoder;
  decoder.SetMaxHeaderListSize(100);
  // x=z is 1 + 1 + 32 = 34 octets: two make 68, three 102.
  EXPECT_EQ(DecodeBlock(decoder, FromHex("400178017a be")).size(), 2u);
  ExpectHTTP2Error([&] { DecodeBlock(decoder, FromHex("bebebe")); }, h2erENHANCE_YOUR_CALM,
                   "HPACK: header list larger than 100 octets.");
  decoder.SetMaxHeaderListSize(102);
  EXPECT_EQ(DecodeBlock(decoder, FromHex("bebebe")).size(), 3u);
}

// An entry larger than the whole table empties it (RFC 7541 section 4.4).
TEST(HPACKDecoder, EntryLargerThanTableEmptiesIt) {
  TzalHTTP2_HPACK decoder;
  DecodeBlock(decoder, FromHex("3f27 400178017a"));  // max 70, one entry of 34
  ASSERT_EQ(decoder.DynamicTableLength(), 1);
  const std::string value(40, 'v');  // 1 + 40 + 32 = 73 > 70
  std::vector<uint8_t> block = FromHex("40017828");
  block.insert(block.end(), value.begin(), value.end());
  EXPECT_EQ(DecodeBlock(decoder, block), Lines{"x=" + value});
  EXPECT_EQ(decoder.DynamicTableLength(), 0);
  EXPECT_EQ(decoder.DynamicTableUsedSize(), 0);
}

// A literal whose name comes from the entry that its own insertion evicts.
TEST(HPACKDecoder, NameFromEvictedEntry) {
  TzalHTTP2_HPACK decoder;
  DecodeBlock(decoder, FromHex("3f03 4003616263017a"));  // max 34: one entry abc=z (36 > 34)
  DecodeBlock(decoder, FromHex("3f05 4003616263017a"));  // max 36: abc=z
  ASSERT_EQ(decoder.DynamicTableLength(), 1);
  EXPECT_EQ(DecodeBlock(decoder, FromHex("7e0179")), Lines{"abc=y"});
  EXPECT_EQ(DecodeBlock(decoder, FromHex("be")), Lines{"abc=y"});
}

TEST(HPACKDecoder, StringAtLengthLimitAccepted) {
  TzalHTTP2_HPACK decoder;
  decoder.SetMaxHeaderListSize(2 * 1048576);
  std::vector<uint8_t> block = FromHex("0001787f81ff3f");  // value length 1048576
  block.resize(block.size() + 1048576, 'a');
  const Lines lines = DecodeBlock(decoder, block);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 2u + 1048576u);
}

// The lines of an earlier block are reused as storage, never left in the list.
TEST(HPACKDecoder, FailedBlockLeavesOnlyItsOwnLines) {
  TzalHTTP2_HPACK decoder;
  Lines lines = {"a=1", "b=2", "c=3"};
  EXPECT_THROW(decoder.Decode(FromHex("82 80"), 0, 2, lines), EIdException);
  EXPECT_EQ(lines, Lines{":method=GET"});
}

TEST(HPACKDecoder, DecodesOnlyTheGivenRange) {
  TzalHTTP2_HPACK decoder;
  const std::vector<uint8_t> buffer = FromHex("ff 82 84 86 ff");
  Lines lines = {"stale"};
  decoder.Decode(buffer, 1, 4, lines);
  EXPECT_EQ(lines, (Lines{":method=GET", ":path=/", ":scheme=http"}));
}

// ------------------------------------------------------------------ tables

TEST(HPACKTables, DynamicTableEvictsOldestAndKeepsUsedSize) {
  TzalHTTP2_DynamicTable table;
  table.SetMaxTableSize(100);
  table.AddItem("a", "1");   // 34
  table.AddItem("bb", "2");  // 35
  table.AddItem("c", "33");  // 35: 104 > 100, "a" goes
  EXPECT_EQ(table.Count(), 2);
  EXPECT_EQ(table.UsedSize(), 70);
  EXPECT_EQ(table.GetItem(0)->Name(), "c");
  EXPECT_EQ(table.GetItem(1)->Name(), "bb");
  EXPECT_EQ(table.GetItem(2), nullptr);
  EXPECT_TRUE(table.DeleteItem(0));
  EXPECT_EQ(table.UsedSize(), 35);
  EXPECT_FALSE(table.DeleteItem(5));
  EXPECT_TRUE(table.DeleteItem(0));
  EXPECT_EQ(table.UsedSize(), 0);
}

// The hash index follows the ring as it grows, evicts and deletes.
TEST(HPACKTables, IndexFollowsGrowthEvictionAndDeletion) {
  TzalHTTP2_HeaderTable table;
  bool full = false;
  EXPECT_EQ(table.FindField("x-0", "v", full), -1);  // the index exists before any entry
  for (int i = 0; i < 100; ++i)
    table.AddItem("x-" + std::to_string(i % 10), "v" + std::to_string(i));
  EXPECT_EQ(table.DynamicTableLength(), 100);  // 100 entries of 37 or 38 octets fit in 4096
  EXPECT_EQ(table.FindField("x-3", "v3", full), 62 + 96);
  EXPECT_TRUE(full);
  EXPECT_EQ(table.FindField("x-3", "v4", full), 62 + 6);  // newest x-3
  EXPECT_FALSE(full);
  table.SetMaxDynamicTableSize(38 * 5);  // keeps v95 to v99
  EXPECT_EQ(table.FindField("x-3", "v3", full), -1);
  EXPECT_EQ(table.FindField("x-7", "v97", full), 62 + 2);
  EXPECT_TRUE(full);

  TzalHTTP2_DynamicTable dynamic;
  for (const char* name : {"a", "b", "c"})
    dynamic.AddItem(name, "v");
  int fullMatch = -1, nameMatch = -1;
  dynamic.FindField("b", HPACKNameKey("b"), "v", fullMatch, nameMatch);
  EXPECT_EQ(fullMatch, 1);
  EXPECT_TRUE(dynamic.DeleteItem(1));  // b: a moves up to position 1
  dynamic.FindField("b", HPACKNameKey("b"), "v", fullMatch, nameMatch);
  EXPECT_EQ(nameMatch, -1);
  dynamic.FindField("a", HPACKNameKey("a"), "w", fullMatch, nameMatch);
  EXPECT_EQ(fullMatch, -1);
  EXPECT_EQ(nameMatch, 1);
}

TEST(HPACKTables, BestMatchPrefersFullThenStaticName) {
  TzalHTTP2_HeaderTable table;
  table.AddItem("x-a", "1");
  table.AddItem("x-a", "2");
  table.AddItem(":path", "/p");
  bool full = false;
  EXPECT_EQ(table.GetBestMatchingIndex(TzalHTTP2_TableEntry("x-a", "1"), full), 64);
  EXPECT_TRUE(full);
  EXPECT_EQ(table.GetBestMatchingIndex(TzalHTTP2_TableEntry("x-a", "3"), full), 63);
  EXPECT_FALSE(full);
  EXPECT_EQ(table.GetBestMatchingIndex(TzalHTTP2_TableEntry(":path", "/p"), full), 62);
  EXPECT_TRUE(full);
  EXPECT_EQ(table.GetBestMatchingIndex(TzalHTTP2_TableEntry(":path", "/q"), full), 4);
  EXPECT_FALSE(full);
  EXPECT_EQ(table.GetBestMatchingIndex(TzalHTTP2_TableEntry("X-A", "1"), full), -1);
  EXPECT_EQ(table.GetItem(61)->Name(), "www-authenticate");
  EXPECT_TRUE(table.GetItem(61)->LocalVar());
  EXPECT_THROW(table.GetItem(0), EIdException);
}

// ------------------------------------------------------------------ Huffman

TEST(HPACKHuffman, EverySymbolRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<char>(i));
  for (int shift = 0; shift < 8; ++shift) {
    const std::string text = all.substr(static_cast<size_t>(shift)) + all.substr(0, static_cast<size_t>(shift));
    std::vector<uint8_t> coded;
    HuffmanEncode(text, coded);
    EXPECT_EQ(coded.size(), HuffmanEncodedLength(text));
    std::string decoded;
    HuffmanDecode(std::string_view(reinterpret_cast<const char*>(coded.data()), coded.size()), decoded);
    EXPECT_EQ(decoded, text);
  }
}

TEST(HPACKHuffman, TreeHasEveryCodeAsLeaf) {
  for (int symbol = 0; symbol <= h2HuffmanEOS; ++symbol) {
    const TzalHTTP2_Huffman_TreeNode* node = &HuffmanTree();
    for (int bit = HuffmanCodeLength(symbol) - 1; bit >= 0 && node != nullptr; --bit)
      node = ((HuffmanCode(symbol) >> bit) & 1) ? node->Child1() : node->Child0();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Value(), symbol);
  }
  TzalHTTP2_Huffman_TreeNode root;
  root.Insert(0x2, 2, 1);
  EXPECT_THROW(root.Insert(0x2, 2, 2), EIdException);
  EXPECT_THROW(root.Insert(0x5, 3, 3), EIdException);  // passes through the leaf 10
  EXPECT_THROW(root.Insert(0x1, 1, 4), EIdException);  // ends on the inner node 1
}

}  // namespace
}  // namespace zal
