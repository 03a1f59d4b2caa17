#pragma once
// The server component's option objects with their defaults. Each is a plain
// value: setting an option property copies it member by member, and every new
// connection receives its own copy.
#include <cstdint>
#include <string>
#include <vector>

#include "support/zalTypes.h"

namespace zal {

class TzalOAuth2Server;

enum TwsTLSVersions : uint8_t { tlsUndefined, tls1_0, tls1_1, tls1_2, tls1_3 };
enum TwsOpenSSLAPI : uint8_t { oslAPI_1_0, oslAPI_1_1 };
enum TwsIOHandler : uint8_t { iohDefault, iohIOCP };
enum TwsServerType : uint8_t { wsTCP, wsHTTP };
enum TwsSSLHandler : uint8_t { sslClient, sslServer, sslSession, sslProxy, sslLoadBalancer };

struct TzalWSOptionsServer {
  // WebSocket limits besides MaxMessageSize, copied into each new connection.
  int64_t MaxFrameSize = 16 * 1024 * 1024;      // octets of one received frame's payload; past it 1009
  int64_t MaxSendQueueSize = 32 * 1024 * 1024;  // octets queued for sending, or of one message; past it 1008
  int CloseTimeOut = 5000;                      // ms to wait for the peer's side of a closing handshake

  bool CleanDisconnect = false;
  TwsFragmentedMessages FragmentedMessages = frgOnlyBuffer;
  bool HTMLFiles = true;
  bool JavascriptFiles = true;
  int WriteTimeOut = 0;  // milliseconds; above 0 it becomes each connection's send time-out
  bool RaiseDisconnectExceptions = true;
  bool ValidateUTF8 = false;
  // A new connection that has not sent enough to be classified within this many
  // milliseconds is closed (or classified by what it sent).
  int FirstBytesTimeOut = 30000;
  // Bytes buffered while classifying a new connection; at the limit it is
  // classified by what it sent (and the protocol's own limits apply).
  int FirstBytesLimit = 65536;
  // Milliseconds a TLS client may take to follow its first byte with the rest
  // of its hello before the connection fails with "Error starting SSL connection.".
  int TLSStartTimeOut = 5000;
  // Octets of one received WebSocket message, after inflation; 0: no bound.
  int64_t MaxMessageSize = 16 * 1024 * 1024;
  // Milliseconds a WebSocket handshake may wait for the rest of its request
  // (the eight key octets after a Hixie-76 header block).
  int HandshakeTimeOut = 5000;

  // Milliseconds to wait for more input in each read step; 0 or less reads back as 1.
  int ReadTimeOut() {
    if (FReadTimeOut <= 0)
      FReadTimeOut = 1;
    return FReadTimeOut;
  }
  void SetReadTimeOut(int value) { FReadTimeOut = value; }

private:
  int FReadTimeOut = 10;
};

struct TzalTCPTLS_Options_Base {
  std::string CertFile;
  std::string KeyFile;
  std::string RootCertFile;
  std::string Password;
  bool VerifyCertificate = false;
  int VerifyDepth = 0;
  TwsTLSVersions Version = tlsUndefined;
};

struct TzalWSOpenSSL_Options {
  TwsOpenSSLAPI APIVersion = oslAPI_1_0;
  bool ECDHE = false;
};

struct TzalWSSSL_Options : TzalTCPTLS_Options_Base {
  TzalWSOpenSSL_Options OpenSSL_Options;
  int Port = 0;  // the port on which TLS is spoken; 0 = every port
  // The total time a client has for its TLS handshake, in milliseconds (0: no limit).
  int HandshakeTimeOut = 10000;
};

struct TzalWSHTTP2Settings {
  uint32_t HeaderTableSize = 4096;
  bool EnablePush = true;
  uint32_t MaxConcurrentStreams = 2147483647;
  uint32_t InitialWindowSize = 65535;
  uint32_t MaxFrameSize = 16384;
  uint32_t MaxHeaderListSize = 2147483647;
  bool FEnableConnectProtocol = false;
};

struct TzalWSHTTP2Events {
  bool OnConnect = false;     // HTTP/2 connections raise the component's OnConnect
  bool OnDisconnect = false;  // and OnDisconnect
};

struct TzalWSHTTP2Server_Options {
  bool Enabled = false;
  TzalWSHTTP2Settings Settings;
  TzalWSHTTP2Events Events;
  // Milliseconds a connection's queued DATA may wait on windows the client keeps
  // closed before the connection ends with GOAWAY; 0: no limit.
  int StallTimeOut = 60000;
  // Octets of DATA queued per connection; while more wait, new streams are
  // refused with RST_STREAM REFUSED_STREAM.
  int64_t MaxQueuedOutput = 16 * 1024 * 1024;
  // Milliseconds a connection may stay without streams, queued output or
  // received octets before it ends with GOAWAY NO_ERROR; 0: no limit.
  int IdleTimeOut = 60000;
  // Request body octets held until their requests are complete, per connection
  // and for the whole server; the stream whose body would pass either is
  // answered 413 and its body dropped.
  int64_t MaxBufferedRequestBody = 32 * 1024 * 1024;
  int64_t MaxBufferedRequestBodyTotal = 256 * 1024 * 1024;
  // Milliseconds a stop waits for HTTP/2 connections to finish the streams they
  // took before its GOAWAY; then the rest are closed. 0: no wait.
  int StopGraceTimeOut = 2000;
};

struct TzalWSEnabledOption {
  bool Enabled = false;
};

struct TzalWSSessionAuthentication_Options {
  bool Enabled = true;
  // Milliseconds a session ID stays good when it is not used; 0: for ever.
  int TimeOut = 60000;
  // Session IDs kept at most; past it the oldest go. 0: no cap.
  int MaxCount = 10000;
};

struct TzalWSAuthenticationServer_Options {
  bool Enabled = false;
  bool AllowNonAuth = false;
  std::vector<std::string> AuthUsers;  // user=password lines
  TzalWSEnabledOption URL{true};
  TzalWSSessionAuthentication_Options Session;
  TzalWSEnabledOption Basic{false};
  struct {
    TzalOAuth2Server* OAuth2 = nullptr;
  } OAuth;
};

struct TzalWSFlash_Options {
  bool Enabled = false;
  std::string Domain = "*";
  std::string Ports = "*";
};

struct TzalWSServerSentEvents_Options {
  bool Enabled = false;
  int Retry = 3000;
};

struct TzalWSFallBack_Options {
  TzalWSFlash_Options Flash;
  TzalWSServerSentEvents_Options ServerSentEvents;
};

struct TzalWSThreadPool_Options {
  int MaxThreads = 0;
  int PoolSize = 32;
};

struct TzalWSIOCP_Options {
  int IOCPThreads = 8;
  int WorkOpThreads = 0;  // event loops; 0: one per core
  int TimeOut = 10000;
};

struct TzalWSIOHandler_Options {
  TwsIOHandler IOHandlerType = iohDefault;
  TzalWSIOCP_Options IOCP;
};

struct TzalWSHeartBeat_Options {
  bool Enabled = false;
  int Interval = 300;  // seconds
  int Timeout = 0;     // seconds
};

struct TzalWSWatchDogMonitor_Options {
  bool Enabled = false;
  int TimeOut = 10;  // seconds
};

struct TzalWSWatchDogServer_Options {
  bool Enabled = false;
  int Interval = 60;  // seconds
  int Attempts = 0;   // 0 = unlimited
  TzalWSWatchDogMonitor_Options Monitor;
};

struct TzalWSQueue {
  TwsQueueMsgLevels Level = qmNone;
};

struct TzalWSQueueServer_Options {
  TzalWSQueue Text;
  TzalWSQueue Binary;
  TzalWSQueue Ping;
};

struct TzalWSSpecifications {
  bool RFC6455 = true;
  struct {
    bool Hixie76 = true;
  } Drafts;
  bool FRFC8441 = false;
};

struct TzalWSSecurity_Options {
  std::string OriginsAllowed;
};

struct TzalWSDeflateFrame_Options {
  bool Enabled = false;
  int WindowBits = 15;
};

struct TzalWSPerMessageDeflate_Options {
  bool Enabled = false;
  int ClientMaxWindowBits = 15;
  int ServerMaxWindowBits = 15;
  bool ClientNoContextTakeOver = false;
  bool ServerNoContextTakeOver = false;
  int MemLevel = 9;
};

struct TzalWSExtensions_Options {
  TzalWSDeflateFrame_Options DeflateFrame;
  TzalWSPerMessageDeflate_Options PerMessage_Deflate;
};

struct TzalWSLogFile_Options {
  bool Enabled = false;
  std::string FileName;
};

struct TzalWSThrottle_Options {
  bool Enabled = false;
  int BitsPerSec = 0;
};

struct TzalWSLoadBalancerServer_Options {
  bool Enabled = false;
  std::string Host;      // the Redis server; empty: 127.0.0.1
  int Port = 0;          // 0: 6379
  int AutoRestart = 0;   // seconds: the longest wait between reconnection attempts; 0: 5
  bool AutoRegisterBindings = false;
  std::vector<std::string> Bindings;
  std::string Guid;      // this instance; a fresh GUID is stored here at activation when empty
  int TimeOut = 5000;    // ms: connecting, and each answer of the bus
  int MaxQueuedBytes = 8388608;  // octets waiting to be published (and to be delivered)
};

struct TzalWSOptimizationConnections {
  bool Enabled = true;
  int CacheSize = 100;
  int GroupLevel = 1;
};

// Off by default: connection objects are counted references, so one in use
// lives on without the list, and the list would only keep the memory of ended
// connections for up to Interval.
struct TzalWSOptimizationConnectionsFree {
  bool Enabled = false;
  int Interval = 60;  // seconds
  int MaxWaiting = 10000;  // connections on the list at most; beyond it the oldest is freed at once
};

struct TzalWSOptimizations {
  TzalWSOptimizationConnections Connections;
  TzalWSEnabledOption Channels{true};
  TzalWSOptimizationConnectionsFree ConnectionsFree;
};

struct TzalTCPKeepAlive {
  bool Enabled = false;
  int Time = 7200000;  // milliseconds
  int Interval = 1000;  // milliseconds
};

}  // namespace zal
