// Frames against an independent implementation (Debian's python3-hyperframe, with
// python3-hpack for header blocks): frames we write are parsed by it, frames it
// writes are parsed by us.
#include <gtest/gtest.h>

#include <sstream>

#include "HTTP2TestSupport.h"
#include "http2/zalHTTP2_Frame.h"

namespace zal {
namespace {

using test::FromHex;
using test::ToHex;

const char* kPeerParser = R"(
import sys, hpack
from hyperframe.frame import Frame
data = bytes.fromhex(sys.stdin.read().strip())
decoder = hpack.Decoder()
block = b''
at = 0
while at < len(data):
    frame, length = Frame.parse_frame_header(memoryview(data[at:at + 9]))
    frame.parse_body(memoryview(data[at + 9:at + 9 + length]))
    at += 9 + length
    name = type(frame).__name__
    out = [name, str(frame.stream_id), ','.join(sorted(frame.flags)) or '-']
    if name == 'DataFrame':
        out += [frame.data.hex() if len(frame.data) < 64 else 'len%d' % len(frame.data), str(frame.pad_length)]
    elif name == 'SettingsFrame':
        out += ['%d:%d' % kv for kv in sorted(frame.settings.items())]
    elif name == 'PingFrame':
        out += [frame.opaque_data.hex()]
    elif name == 'GoAwayFrame':
        out += [str(frame.last_stream_id), str(frame.error_code), frame.additional_data.hex() or '-']
    elif name == 'RstStreamFrame':
        out += [str(frame.error_code)]
    elif name == 'WindowUpdateFrame':
        out += [str(frame.window_increment)]
    elif name == 'PushPromiseFrame':
        out += [str(frame.promised_stream_id)]
    print(' '.join(out))
    if name in ('HeadersFrame', 'PushPromiseFrame', 'ContinuationFrame'):
        block += frame.data
        if 'END_HEADERS' in frame.flags:
            for n, v in decoder.decode(block):
                print('  %s=%s' % (n, v))
            block = b''
)";

const char* kPeerWriter = R"(
import hpack
from hyperframe.frame import *
enc = hpack.Encoder()
def frame(f, *flags):
    for flag in flags:
        f.flags.add(flag)
    print(f.serialize().hex())
frame(DataFrame(1, data=b'hello', pad_length=4), 'END_STREAM', 'PADDED')
request = enc.encode([(':method', 'GET'), (':scheme', 'https'), (':path', '/x'), (':authority', 'peer'), ('accept', '*/*')])
frame(HeadersFrame(3, data=request, pad_length=2, depends_on=1, stream_weight=200, exclusive=True),
      'END_HEADERS', 'PADDED', 'PRIORITY', 'END_STREAM')
frame(PriorityFrame(5, depends_on=3, stream_weight=7))
frame(RstStreamFrame(3, error_code=8))
frame(SettingsFrame(0, settings={1: 8192, 2: 0, 3: 100, 4: 1 << 20, 5: 32768, 6: 65536, 8: 1}))
frame(SettingsFrame(0), 'ACK')
promise = enc.encode([(':method', 'GET'), (':scheme', 'https'), (':path', '/style.css'), (':authority', 'peer')])
frame(PushPromiseFrame(3, promised_stream_id=2, data=promise, pad_length=1), 'END_HEADERS', 'PADDED')
frame(PingFrame(0, opaque_data=b'12345678'), 'ACK')
frame(GoAwayFrame(0, last_stream_id=7, error_code=11, additional_data=b'calm down'))
frame(WindowUpdateFrame(0, window_increment=2 ** 31 - 1))
frame(ContinuationFrame(3, data=b'\x82'), 'END_HEADERS')
frame(DataFrame(1, data=b'x' * 16384))
)";

class FrameInterop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::PythonHasModules({"hyperframe", "hpack"}))
      FAIL() << "/usr/bin/python3 with python3-hyperframe and python3-hpack is not available;"
                " scripts/install-deps.sh peers installs them";
  }
};

TEST_F(FrameInterop, PeerParsesOurFrames) {
  TIdBytes wire;
  const auto collect = [&wire](TzalHTTP2_Frame_Base& aFrame) {
    aFrame.OnWriteBytes = [&wire](TzalHTTP2_Frame_Base*, const TIdBytes& aBytes) {
      wire.insert(wire.end(), aBytes.begin(), aBytes.end());
    };
  };
  TzalHTTP2_HPACK encoder;
  TzalHTTP2_StreamIdentifierCounter counter(h2frServerWrite);

  TzalHTTP2_Frame_Settings settings(h2frServerWrite);
  collect(settings);
  settings.SetEnablePush(false);
  settings.SetMaxConcurrentStreams(100);
  settings.SetInitialWindowSize(1048576);
  settings.SetEnableConnectProtocol(true);
  settings.WriteBytes();
  settings.Clear();
  settings.SetACK(true);
  settings.WriteBytes();

  TzalHTTP2_Frame_Headers headers(&encoder, &counter, h2frServerWrite);
  collect(headers);
  headers.Headers() = {":status: 200", "content-type: text/html", "x-big: " + std::string(20000, 'z')};
  headers.SetEndHeaders(true);
  headers.WriteBytes();

  TzalHTTP2_Frame_PushPromise promise(&encoder, &counter, h2frServerWrite);
  collect(promise);
  promise.SetStreamIdentifier(1);
  promise.SetEndHeaders(true);
  promise.OnRequestPromisedStreamId = [](int32_t& aId) { aId = 2; };
  promise.Headers() = {":method: GET", ":path: /style.css", ":scheme: https", ":authority: a"};
  promise.WriteBytes();

  TzalHTTP2_Frame_Data data(h2frServerWrite);
  collect(data);
  data.SetStreamIdentifier(1);
  data.SetData(TIdBytes(20000, 'd'));
  data.SetEndStream(true);
  EXPECT_EQ(data.WriteDataFrames(0), 20000 - 16384);
  EXPECT_EQ(data.WriteDataFrames(100000), 0);
  TzalHTTP2_Frame_Data padded(h2frServerWrite);
  collect(padded);
  padded.SetStreamIdentifier(3);
  padded.SetData(FromHex("6869"));
  padded.SetPadded(true);
  padded.SetPadLength(5);
  padded.SetEndStream(true);
  padded.WriteDataFrames(0);

  TzalHTTP2_Frame_Ping ping(h2frServerWrite);
  collect(ping);
  ping.SetPayLoad({'p', 'i', 'n', 'g', 0, 1, 2, 3});
  ping.WriteBytes();
  TzalHTTP2_Frame_GoAway goAway(h2frServerWrite);
  collect(goAway);
  goAway.SetLastStreamid(5);
  goAway.SetErrorCode(h2erPROTOCOL_ERROR);
  goAway.SetAdditionalDebugData("oops");
  goAway.WriteBytes();
  TzalHTTP2_Frame_RSTStream rst(h2frServerWrite);
  collect(rst);
  rst.SetStreamIdentifier(3);
  rst.SetErrorCode(h2erCANCEL);
  rst.WriteBytes();
  TzalHTTP2_Frame_WindowUpdate update(h2frServerWrite);
  collect(update);
  update.SetStreamIdentifier(3);
  update.SetWindowSizeIncrement(2147483647);
  update.WriteBytes();

  const auto output = test::RunPython(kPeerParser, ToHex(wire));
  ASSERT_TRUE(output.has_value()) << "the peer could not parse our frames";
  const std::string expected =
      "SettingsFrame 0 - 2:0 3:100 4:1048576 8:1\n"
      "SettingsFrame 0 ACK\n"
      "HeadersFrame 1 -\n"
      "ContinuationFrame 1 END_HEADERS\n"
      "  :status=200\n"
      "  content-type=text/html\n"
      "  x-big=" + std::string(20000, 'z') + "\n"
      "PushPromiseFrame 1 END_HEADERS 2\n"
      "  :method=GET\n"
      "  :path=/style.css\n"
      "  :scheme=https\n"
      "  :authority=a\n"
      "DataFrame 1 - len16384 0\n"
      "DataFrame 1 END_STREAM len3616 0\n"
      "DataFrame 3 END_STREAM,PADDED 6869 5\n"
      "PingFrame 0 - 70696e6700010203\n"
      "GoAwayFrame 0 - 5 1 6f6f7073\n"
      "RstStreamFrame 3 - 8\n"
      "WindowUpdateFrame 3 - 2147483647\n";
  EXPECT_EQ(*output, expected);
}

std::vector<TIdBytes> PeerFrames() {
  std::vector<TIdBytes> frames;
  const auto output = test::RunPython(kPeerWriter, "");
  if (!output)
    return frames;
  std::istringstream lines(*output);
  std::string line;
  while (std::getline(lines, line))
    frames.push_back(FromHex(line));
  return frames;
}

// Checks the header, reads the flags (for the types that have any) and the payload.
TzalHTTP2_FrameHeader ReadPeerFrame(const TIdBytes& aFrame, TzalHTTP2_Frame_Base& aObject) {
  const TzalHTTP2_FrameHeader header = ReadFrameHeader(aFrame);
  EXPECT_EQ(static_cast<size_t>(header.Length) + 9, aFrame.size());
  EXPECT_TRUE(CheckFrameHeader(header, 16384, false));
  aObject.SetStreamIdentifier(header.StreamIdentifier);
  aObject.ReadFlags(header.Flags);
  aObject.ReadPayload(std::span(aFrame).subspan(9));
  return header;
}

TEST_F(FrameInterop, WeParsePeerFrames) {
  const auto frames = PeerFrames();
  ASSERT_EQ(frames.size(), 12u);
  TzalHTTP2_HPACK decoder;

  TzalHTTP2_Frame_Data data(h2frServerRead);
  ReadPeerFrame(frames[0], data);
  EXPECT_EQ(data.DataString(), "hello");
  EXPECT_TRUE(data.EndStream());
  EXPECT_EQ(data.PadLength(), 4);

  TzalHTTP2_Frame_Headers headers(&decoder, nullptr, h2frServerRead);
  EXPECT_EQ(ReadPeerFrame(frames[1], headers).Type, h2ftHEADERS);
  EXPECT_TRUE(headers.EndHeaders() && headers.EndStream() && headers.Padded() && headers.Priority());
  EXPECT_EQ(headers.StreamIdentifier(), 3);
  EXPECT_EQ(headers.StreamDependency(), static_cast<int32_t>(0x80000001));
  EXPECT_EQ(headers.Weight(), 200);
  EXPECT_EQ(headers.Headers(), (TzalHTTP2HeaderLines{":method=GET", ":scheme=https", ":path=/x", ":authority=peer",
                                                      "accept=*/*"}));

  TzalHTTP2_Frame_Priority priority(h2frServerRead);
  ReadPeerFrame(frames[2], priority);
  EXPECT_EQ(priority.StreamDependency(), 3);
  EXPECT_EQ(priority.Weight(), 7);

  TzalHTTP2_Frame_RSTStream rst(h2frServerRead);
  ReadPeerFrame(frames[3], rst);
  EXPECT_EQ(rst.ErrorCode(), h2erCANCEL);

  TzalHTTP2_Frame_Settings settings(h2frServerRead);
  ReadPeerFrame(frames[4], settings);
  EXPECT_FALSE(settings.ACK());
  EXPECT_EQ(settings.HeaderTableSize(), 8192);
  EXPECT_FALSE(settings.EnablePush());
  EXPECT_EQ(settings.MaxConcurrentStreams(), 100);
  EXPECT_EQ(settings.InitialWindowSize(), 1 << 20);
  EXPECT_EQ(settings.MaxFrameSize(), 32768);
  EXPECT_EQ(settings.MaxHeaderListSize(), 65536);
  EXPECT_TRUE(settings.EnableConnectProtocol());
  ReadPeerFrame(frames[5], settings);
  EXPECT_TRUE(settings.ACK());
  EXPECT_EQ(settings.HeaderTableSize(), 4096);

  TzalHTTP2_Frame_PushPromise promise(&decoder, nullptr, h2frClientRead);
  ReadPeerFrame(frames[6], promise);
  EXPECT_EQ(promise.PromisedStreamid(), 2);
  EXPECT_TRUE(promise.EndHeaders() && promise.Padded());
  EXPECT_EQ(promise.Method(), h2meGet);
  EXPECT_EQ(promise.URL(), "/style.css");

  TzalHTTP2_Frame_Ping ping(h2frServerRead);
  ReadPeerFrame(frames[7], ping);
  EXPECT_TRUE(ping.ACK());
  EXPECT_EQ(std::string(ping.PayLoad().begin(), ping.PayLoad().end()), "12345678");

  TzalHTTP2_Frame_GoAway goAway(h2frServerRead);
  ReadPeerFrame(frames[8], goAway);
  EXPECT_EQ(goAway.LastStreamid(), 7);
  EXPECT_EQ(goAway.ErrorCode(), h2erENHANCE_YOUR_CALM);
  EXPECT_EQ(goAway.AdditionalDebugData(), "calm down");

  TzalHTTP2_Frame_WindowUpdate update(h2frServerRead);
  ReadPeerFrame(frames[9], update);
  EXPECT_EQ(update.WindowSizeIncrement(), 2147483647);

  TzalHTTP2_Frame_Continuation continuation(h2frServerRead);
  ReadPeerFrame(frames[10], continuation);
  EXPECT_TRUE(continuation.EndHeaders());
  EXPECT_EQ(ToHex(continuation.PayLoad()), "82");

  ReadPeerFrame(frames[11], data);
  EXPECT_EQ(data.Data(), TIdBytes(16384, 'x'));
  EXPECT_FALSE(data.EndStream());
}

}  // namespace
}  // namespace zal
