// zal_bench_hpack: HPACK encode and decode speed of our codec against libnghttp2's
// (nghttp2_hd_deflate_hd / nghttp2_hd_inflate_hd2), in one run, on the header lists of
// bench/data/hpack_traffic.txt. Each sequence of lists shares one table, as on a
// connection; every benchmark iteration codes the whole data set with fresh tables.
//   zal_bench_hpack [--data FILE] [Google Benchmark options]
// Prints fields/s of every benchmark (CPU time), then the ratios ours/libnghttp2 and
// the encoded sizes. "decode" and "encode" are the fast paths (DecodeBlock to a
// callback, EncodeBlock from views); "lines" and "entries" the interfaces that take
// and give string lines and table entries. Before timing, it checks that each side decodes what the other
// encodes, field for field.
#include <benchmark/benchmark.h>
#include <nghttp2/nghttp2.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http2/zalHTTP2_HPACK.h"

namespace {

using zal::TzalHTTP2_HeaderField;
using zal::TzalHTTP2_HPACK;
using zal::TzalHTTP2_TableEntry;

struct Field {
  std::string name, value;
};
using HeaderList = std::vector<Field>;

struct Sequence {
  std::vector<HeaderList> lists;
  std::vector<std::vector<TzalHTTP2_HeaderField>> views;   // the lists as EncodeBlock takes them
  std::vector<std::vector<TzalHTTP2_TableEntry>> entries;  // and Encode
  std::vector<std::vector<nghttp2_nv>> nvs;                // and as nghttp2 takes them
  std::vector<std::vector<uint8_t>> peerBlocks;            // encoded by nghttp2: the decoders' input
};

std::vector<Sequence> gSequences;
int64_t gFieldCount = 0;

// "sequence ..." starts a sequence, "block" a header list, other lines are name TAB value.
std::vector<Sequence> LoadTraffic(const std::string& aPath) {
  std::ifstream in(aPath);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", aPath.c_str());
    std::exit(2);
  }
  std::vector<Sequence> sequences;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (line.rfind("sequence ", 0) == 0) {
      sequences.emplace_back();
    } else if (line == "block") {
      sequences.back().lists.emplace_back();
    } else {
      const size_t tab = line.find('\t');
      sequences.back().lists.back().push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
  }
  return sequences;
}

nghttp2_nv PeerField(const Field& aField) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(aField.name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(aField.value.data())), aField.name.size(), aField.value.size(),
          NGHTTP2_NV_FLAG_NONE};
}

// ------------------------------------------------------------------ libnghttp2

class PeerEncoder {
public:
  PeerEncoder() { nghttp2_hd_deflate_new(&FDeflater, 4096); }
  ~PeerEncoder() { nghttp2_hd_deflate_del(FDeflater); }
  PeerEncoder(const PeerEncoder&) = delete;
  PeerEncoder& operator=(const PeerEncoder&) = delete;

  // The block, valid until the next call. One buffer, made once, holds the largest
  // block of the data set many times over, so no call measures nghttp2_hd_deflate_bound.
  std::string_view Encode(const std::vector<nghttp2_nv>& aFields) {
    static std::vector<uint8_t> buffer(1 << 20);
    const ssize_t n = nghttp2_hd_deflate_hd(FDeflater, buffer.data(), buffer.size(), aFields.data(), aFields.size());
    if (n < 0)
      std::abort();
    return std::string_view(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
  }

private:
  nghttp2_hd_deflater* FDeflater = nullptr;
};

class PeerDecoder {
public:
  PeerDecoder() { nghttp2_hd_inflate_new(&FInflater); }
  ~PeerDecoder() { nghttp2_hd_inflate_del(FInflater); }
  PeerDecoder(const PeerDecoder&) = delete;
  PeerDecoder& operator=(const PeerDecoder&) = delete;

  // Calls aField(name, value) for every field of the block.
  template <typename OnField>
  void Decode(std::string_view aBlock, OnField&& aField) {
    auto in = reinterpret_cast<const uint8_t*>(aBlock.data());
    size_t left = aBlock.size();
    for (;;) {
      nghttp2_nv nv;
      int flags = 0;
      const ssize_t n = nghttp2_hd_inflate_hd2(FInflater, &nv, &flags, in, left, 1);
      if (n < 0)
        std::abort();
      in += n;
      left -= static_cast<size_t>(n);
      if (flags & NGHTTP2_HD_INFLATE_EMIT)
        aField(std::string_view(reinterpret_cast<const char*>(nv.name), nv.namelen),
               std::string_view(reinterpret_cast<const char*>(nv.value), nv.valuelen));
      if (flags & NGHTTP2_HD_INFLATE_FINAL)
        break;
    }
    nghttp2_hd_inflate_end_headers(FInflater);
  }

private:
  nghttp2_hd_inflater* FInflater = nullptr;
};

// ------------------------------------------------------------------ ours

// The fast paths an HTTP/2 engine uses: a whole block from views, and a whole block to
// a callback with views.
std::string_view OurEncode(TzalHTTP2_HPACK& aEncoder, const std::vector<TzalHTTP2_HeaderField>& aFields,
                           std::vector<uint8_t>& aBuffer) {
  aBuffer.clear();
  aEncoder.EncodeBlock(aBuffer, aFields);
  return std::string_view(reinterpret_cast<const char*>(aBuffer.data()), aBuffer.size());
}

template <typename OnField>
void OurDecode(TzalHTTP2_HPACK& aDecoder, std::string_view aBlock, OnField&& aField) {
  const std::span<const uint8_t> block(reinterpret_cast<const uint8_t*>(aBlock.data()), aBlock.size());
  aDecoder.DecodeBlock(block, [&](const TzalHTTP2_HeaderField& aHeader) { aField(aHeader.Name, aHeader.Value); });
}

// The interfaces with lines and entries.
std::string_view OurEncodeEntries(TzalHTTP2_HPACK& aEncoder, const std::vector<TzalHTTP2_TableEntry>& aFields,
                                  std::vector<uint8_t>& aBuffer) {
  int used = 0, count = 0;
  aEncoder.Encode(aBuffer, 0, aFields, used, count);
  return std::string_view(reinterpret_cast<const char*>(aBuffer.data()), static_cast<size_t>(used));
}

template <typename OnField>
void OurDecodeLines(TzalHTTP2_HPACK& aDecoder, std::string_view aBlock, std::vector<std::string>& aLines,
                    OnField&& aField) {
  const std::span<const uint8_t> block(reinterpret_cast<const uint8_t*>(aBlock.data()), aBlock.size());
  aDecoder.Decode(block, 0, static_cast<int>(block.size()), aLines);
  for (const std::string& line : aLines) {
    const size_t eq = line.find('=');
    aField(std::string_view(line).substr(0, eq), std::string_view(line).substr(eq + 1));
  }
}

// ------------------------------------------------------------------ checks

[[noreturn]] void Mismatch(const char* aWhat, size_t aSequence, size_t aList) {
  std::fprintf(stderr, "%s: wrong fields in sequence %zu, list %zu\n", aWhat, aSequence, aList);
  std::exit(1);
}

// Collects decoded fields and compares them with the expected list.
struct FieldCheck {
  const HeaderList& expected;
  size_t next = 0;
  bool ok = true;
  void operator()(std::string_view aName, std::string_view aValue) {
    ok = ok && next < expected.size() && expected[next].name == aName && expected[next].value == aValue;
    ++next;
  }
  bool Complete() const { return ok && next == expected.size(); }
};

// Encodes every list with libnghttp2 (the decoders' input) and checks both directions,
// for both of our interfaces: we decode nghttp2's blocks, nghttp2 decodes ours. Returns
// our and nghttp2's total sizes.
std::pair<size_t, size_t> PrepareAndCheck() {
  size_t ourSize = 0, peerSize = 0;
  std::vector<uint8_t> buffer;
  std::vector<std::string> lines;
  for (size_t s = 0; s < gSequences.size(); ++s) {
    Sequence& sequence = gSequences[s];
    PeerEncoder peerEncoder;
    PeerDecoder peerDecoder, peerLinesDecoder;
    TzalHTTP2_HPACK ourEncoder, ourDecoder, ourEntriesEncoder, ourLinesDecoder;
    for (size_t l = 0; l < sequence.lists.size(); ++l) {
      const HeaderList& list = sequence.lists[l];
      auto& views = sequence.views.emplace_back();
      auto& entries = sequence.entries.emplace_back();
      auto& nvs = sequence.nvs.emplace_back();
      for (const Field& field : list) {
        views.push_back({field.name, field.value});
        entries.emplace_back(field.name, field.value);
        nvs.push_back(PeerField(field));
      }
      gFieldCount += static_cast<int64_t>(list.size());
      const std::string_view peerBlock = peerEncoder.Encode(nvs);
      peerSize += peerBlock.size();
      sequence.peerBlocks.emplace_back(peerBlock.begin(), peerBlock.end());
      FieldCheck ours{list}, oursLines{list};
      OurDecode(ourDecoder, peerBlock, ours);
      OurDecodeLines(ourLinesDecoder, peerBlock, lines, oursLines);
      if (!ours.Complete() || !oursLines.Complete())
        Mismatch("our decoder", s, l);
      const std::string_view ourBlock = OurEncode(ourEncoder, views, buffer);
      ourSize += ourBlock.size();
      FieldCheck peer{list}, peerLines{list};
      peerDecoder.Decode(ourBlock, peer);
      peerLinesDecoder.Decode(OurEncodeEntries(ourEntriesEncoder, entries, buffer), peerLines);
      if (!peer.Complete() || !peerLines.Complete())
        Mismatch("libnghttp2 decoding our blocks", s, l);
    }
  }
  return {ourSize, peerSize};
}

// ------------------------------------------------------------------ benchmarks

// Sums the octets of the decoded fields, so that no decoding can be left out.
struct Checksum {
  size_t octets = 0;
  void operator()(std::string_view aName, std::string_view aValue) { octets += aName.size() + aValue.size(); }
};

std::string_view Block(const std::vector<uint8_t>& aBlock) {
  return std::string_view(reinterpret_cast<const char*>(aBlock.data()), aBlock.size());
}

// Times aCode(codec, sequence) over the whole data set, a fresh codec per sequence as per
// connection; aCode returns the octets it produced or consumed.
template <typename Codec, typename Code>
void CodeAllSequences(benchmark::State& aState, Code&& aCode) {
  for (auto _ : aState) {
    size_t octets = 0;
    for (const Sequence& sequence : gSequences) {
      Codec codec;
      octets += aCode(codec, sequence);
    }
    benchmark::DoNotOptimize(octets);
  }
  aState.counters["fields/s"] =
      benchmark::Counter(static_cast<double>(gFieldCount), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Decode_zal(benchmark::State& aState) {
  CodeAllSequences<TzalHTTP2_HPACK>(aState, [](TzalHTTP2_HPACK& aDecoder, const Sequence& aSequence) {
    Checksum sum;
    for (const auto& block : aSequence.peerBlocks)
      OurDecode(aDecoder, Block(block), sum);
    return sum.octets;
  });
}

void BM_DecodeLines_zal(benchmark::State& aState) {
  std::vector<std::string> lines;
  CodeAllSequences<TzalHTTP2_HPACK>(aState, [&](TzalHTTP2_HPACK& aDecoder, const Sequence& aSequence) {
    Checksum sum;
    for (const auto& block : aSequence.peerBlocks)
      OurDecodeLines(aDecoder, Block(block), lines, sum);
    return sum.octets;
  });
}

void BM_Decode_libnghttp2(benchmark::State& aState) {
  CodeAllSequences<PeerDecoder>(aState, [](PeerDecoder& aDecoder, const Sequence& aSequence) {
    Checksum sum;
    for (const auto& block : aSequence.peerBlocks)
      aDecoder.Decode(Block(block), sum);
    return sum.octets;
  });
}

void BM_Encode_zal(benchmark::State& aState) {
  std::vector<uint8_t> buffer;
  CodeAllSequences<TzalHTTP2_HPACK>(aState, [&](TzalHTTP2_HPACK& aEncoder, const Sequence& aSequence) {
    size_t octets = 0;
    for (const auto& views : aSequence.views)
      octets += OurEncode(aEncoder, views, buffer).size();
    return octets;
  });
}

void BM_EncodeEntries_zal(benchmark::State& aState) {
  std::vector<uint8_t> buffer;
  CodeAllSequences<TzalHTTP2_HPACK>(aState, [&](TzalHTTP2_HPACK& aEncoder, const Sequence& aSequence) {
    size_t octets = 0;
    for (const auto& entries : aSequence.entries)
      octets += OurEncodeEntries(aEncoder, entries, buffer).size();
    return octets;
  });
}

void BM_Encode_libnghttp2(benchmark::State& aState) {
  CodeAllSequences<PeerEncoder>(aState, [](PeerEncoder& aEncoder, const Sequence& aSequence) {
    size_t octets = 0;
    for (const auto& nvs : aSequence.nvs)
      octets += aEncoder.Encode(nvs).size();
    return octets;
  });
}

BENCHMARK(BM_Decode_zal);
BENCHMARK(BM_Decode_libnghttp2);
BENCHMARK(BM_Encode_zal);
BENCHMARK(BM_Encode_libnghttp2);
BENCHMARK(BM_DecodeLines_zal);
BENCHMARK(BM_EncodeEntries_zal);

// Keeps fields/s of every benchmark (the median when repeated) for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& aRuns) override {
    for (const Run& run : aRuns) {
      const auto counter = run.counters.find("fields/s");
      if (counter == run.counters.end() || run.error_occurred)
        continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median")
          FMedian[name] = counter->second.value;
      } else {
        FLast[name] = counter->second.value;
      }
    }
    ConsoleReporter::ReportRuns(aRuns);
  }

  double FieldsPerSecond(const std::string& aName) const {
    const auto median = FMedian.find(aName);
    if (median != FMedian.end())
      return median->second;
    const auto last = FLast.find(aName);
    return last == FLast.end() ? 0 : last->second;
  }

private:
  std::map<std::string, double> FMedian, FLast;
};

void PrintRatio(const RatioReporter& aReporter, const char* aWhat, const std::string& aOurs, const std::string& aPeer) {
  const double ours = aReporter.FieldsPerSecond(aOurs), peer = aReporter.FieldsPerSecond(aPeer);
  if (ours > 0 && peer > 0)
    std::printf("%-16s ours %8.2f M fields/s   libnghttp2 %8.2f M fields/s   ratio ours/libnghttp2 %.2f\n", aWhat,
                ours / 1e6, peer / 1e6, ours / peer);
}

}  // namespace

int main(int argc, char** argv) {
  std::string data = ZAL_BENCH_DATA_DIR "/hpack_traffic.txt";
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--data" && i + 1 < argc)
      data = argv[++i];
    else
      args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    return 2;

  gSequences = LoadTraffic(data);
  const auto [ourSize, peerSize] = PrepareAndCheck();
  size_t lists = 0;
  for (const Sequence& sequence : gSequences)
    lists += sequence.lists.size();
  std::printf("data: %s: %zu sequences, %zu header lists, %lld fields; both sides decode what the other encodes\n",
              data.c_str(), gSequences.size(), lists, static_cast<long long>(gFieldCount));

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatio(reporter, "decode", "BM_Decode_zal", "BM_Decode_libnghttp2");
  PrintRatio(reporter, "encode", "BM_Encode_zal", "BM_Encode_libnghttp2");
  PrintRatio(reporter, "decode, lines", "BM_DecodeLines_zal", "BM_Decode_libnghttp2");
  PrintRatio(reporter, "encode, entries", "BM_EncodeEntries_zal", "BM_Encode_libnghttp2");
  std::printf("encoded size: ours %zu octets, libnghttp2 %zu octets, ratio %.3f\n", ourSize, peerSize,
              static_cast<double>(ourSize) / static_cast<double>(peerSize));
  benchmark::Shutdown();
  return 0;
}
