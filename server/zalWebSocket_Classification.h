#pragma once
// Which protocol a new connection speaks, decided from its first bytes alone.
// The rows are tried in order; the first that matches wins.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "support/zalFirstBytesScanner.h"

namespace zal {

enum TzalFirstBytesRow : uint8_t {
  fbWebSocketUpgrade,       // GET ... HTTP/1.x with "Upgrade: websocket"
  fbSessionIdRequest,       // GET /zal/req/auth/session/ with session authentication on
  fbLongPollingPost,        // POST /zal/xhr/...
  fbProtocolPost,           // POST /zal/protocol/...
  fbOAuth2,                 // an OAuth2 server took the request over
  fbHTTP2Preface,           // the HTTP/2 connection preface (RFC 7540 3.5)
  fbBuiltInResource,        // a built-in script, page or movie was served
  fbFlashPolicy,            // <policy-file-request/>
  fbServerSentEvents,       // Accept: text/event-stream
  fbHTTP1,                  // any other HTTP/1.x request
  fbUnknown,                // none of the above
};

struct TzalClassificationSettings {
  bool AuthenticationEnabled = false;
  bool SessionAuthenticationEnabled = false;
  bool HTTP2Enabled = false;
  // The bytes are an HTTP/1.x request cut short (time, size or line length ran
  // out): the HTTP/1.1 loop answers it (408, 414, 431) rather than nobody.
  bool IncompleteHTTP1Request = false;
  // Rows whose test is an action: true when it took the request over.
  std::function<bool()> OAuth2Handled;
  std::function<bool()> BuiltInResourceServed;
};

// The length of the header block at the start of `bytes`, its blank line
// (CR LF CR LF, or LF LF) included; -1 while it is incomplete.
int HeaderBlockEnd(std::span<const uint8_t> bytes);
// The 24-octet HTTP/2 client connection preface.
bool IsHTTP2Preface(std::span<const std::string> lines);
TzalFirstBytesRow ClassifyFirstBytes(std::span<const std::string> lines, const TzalClassificationSettings& settings);

}  // namespace zal
