// Drives the component's connection loop (set-up, execute steps, disconnect) over
// an in-memory connection whose input arrives in fuzzer-chosen chunks separated
// by fuzzer-chosen gaps (reads that time out). Besides the sanitizers, the oracle
// traps when a step makes no progress: an execute step that neither consumed
// input nor a gap nor changed the connection, reads that keep finding nothing
// new after the peer has closed, or a connection that is neither answered nor
// closed once its input has ended.
//
// Input: one settings byte (bit 0 KeepAlive, bit 1 HTTP/2 enabled, bit 2 TLS on,
// bit 3 unknown protocols accepted, bit 4 server-sent events, bit 5 the Flash
// policy), then records of a length byte L and L bytes of data; L = 0 is a gap.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "server/zalWebSocket_Server.h"
#include "transport/zalIdContext.h"
#include "transport/zalIdIOHandler.h"
#include "transport/zalIdTCPConnection.h"

namespace {

using namespace zal;

// A connection's byte source: the scripted chunks and gaps, then the peer's close.
class ScriptedIOHandler : public TIdIOHandler {
public:
  struct Event {
    bool gap;
    std::vector<uint8_t> data;
  };

  explicit ScriptedIOHandler(std::deque<Event> events) : FEvents(std::move(events)) {}

  size_t Consumed() const { return FConsumed; }
  bool InputEnded() const { return FEvents.empty(); }
  size_t Sent() const { return FSent; }

  bool Readable(int) override {
    if (!FEvents.empty() && FEvents.front().gap) {
      FEvents.pop_front();  // the wait times out
      ++FConsumed;
      return false;
    }
    CountReadAfterTheEnd();
    return true;  // data, or the peer's close
  }

protected:
  int ReceiveRaw(uint8_t* buffer, int length) override {
    CountReadAfterTheEnd();
    while (!FEvents.empty() && FEvents.front().gap)  // a receive does not wait
      FEvents.pop_front(), ++FConsumed;
    if (FEvents.empty())
      return 0;
    std::vector<uint8_t>& data = FEvents.front().data;
    const size_t count = std::min(data.size(), static_cast<size_t>(length));
    std::copy_n(data.begin(), count, buffer);
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    if (data.empty())
      FEvents.pop_front();
    ++FConsumed;
    return static_cast<int>(count);
  }
  int SendRaw(const uint8_t*, int length) override {
    FSent += static_cast<size_t>(length);
    return length;
  }
  bool SourceAvailable() const override { return Opened(); }

private:
  // After the end of input every read finds the close again: many of them in a
  // row mean a loop that waits for what can never come.
  void CountReadAfterTheEnd() {
    if (FEvents.empty() && ++FReadsAfterTheEnd > 1000)
      __builtin_trap();
  }

  std::deque<Event> FEvents;
  size_t FConsumed = 0;
  size_t FSent = 0;
  int FReadsAfterTheEnd = 0;
};

// The component with its connection steps reachable.
class Server : public TzalWebSocketHTTPServer {
public:
  using TzalWSHTTPServer::DoTCPConnect;
  using TzalWSHTTPServer::DoTCPDisconnect;
  using TzalWSHTTPServer::DoTCPExecute;
};

std::deque<ScriptedIOHandler::Event> Events(const uint8_t* data, size_t size) {
  std::deque<ScriptedIOHandler::Event> events;
  for (size_t i = 0; i < size;) {
    const size_t announced = data[i++];
    const size_t length = std::min(announced, size - i);
    events.push_back({length == 0, std::vector<uint8_t>(data + i, data + i + length)});
    i += length;
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const uint8_t settings = data[0];
  Server server;
  server.SetNotifyEvents(neNoSync);
  server.SetKeepAlive(settings & 1);
  server.HTTP2Options().Enabled = settings & 2;
  server.SetSSL(settings & 4);
  server.OnUnknownProtocol = [&](TzalWSConnection*, bool& accept) { accept = settings & 8; };
  server.FallBack().ServerSentEvents.Enabled = settings & 16;
  server.FallBack().Flash.Enabled = settings & 32;
  server.OnCommandGet = [](TIdContext*, TIdHTTPRequestInfo*, TIdHTTPResponseInfo* response) {
    response->SetContentText("fuzz");
  };

  auto* io = new ScriptedIOHandler(Events(data + 1, size - 1));
  TIdTCPConnection connection;
  connection.SetIOHandler(io, true);
  io->Open();
  TIdServerContext context(&connection, nullptr, nullptr);
  context.SetOwnsConnection(false);

  server.DoTCPConnect(&context);
  int stepsWithoutProgress = 0;
  int stepsAfterTheEnd = 0;
  while (connection.Connected()) {
    const size_t consumedBefore = io->Consumed();
    const int bufferedBefore = io->InputBuffer().Size();
    const TObject* dataBefore = context.Data();
    try {
      server.DoTCPExecute(&context);
    } catch (const EIdSilentException&) {
      break;  // the quiet end of a connection
    } catch (const std::exception&) {
      break;  // the TCP server ends the connection on any other exception
    }
    const bool progress = io->Consumed() != consumedBefore || io->InputBuffer().Size() != bufferedBefore ||
                          context.Data() != dataBefore || !connection.Connected();
    stepsWithoutProgress = progress ? 0 : stepsWithoutProgress + 1;
    if (stepsWithoutProgress > 3)
      __builtin_trap();  // the same bytes examined again without new input
    if (io->InputEnded() && ++stepsAfterTheEnd > 100)
      __builtin_trap();  // input over, yet neither answered nor closed
  }
  server.DoTCPDisconnect(&context);
  return 0;
}
