#pragma once
// The OAuth2 provider the server component consults (Authentication.OAuth.OAuth2)
// and the bearer token of a request (RFC 6750 2.1). The component owns no
// provider: the application supplies one and keeps it alive while the
// component is active.
#include <span>
#include <string>
#include <string_view>

namespace zal {

class TzalWSConnectionServer;

class TzalOAuth2Server {
public:
  virtual ~TzalOAuth2Server() = default;

  // Answers the request itself when it is for one of the provider's own
  // endpoints (an authorisation or token endpoint, say) and returns true; false
  // leaves the request to the component. aRequestLines are, for HTTP/1.x, the
  // request line and the header lines "Name: value" as received (bytes of the
  // body may follow; the connection's input buffer still holds the whole
  // request), and for HTTP/2 the decoded fields "name=value", pseudo-header
  // fields included. The answer is written with the connection's own answers
  // (SendResponse, SendResponseHTTP, SendResponseCode, SendRedirect): on HTTP/1.x
  // the connection is closed after it, on HTTP/2 they answer the request's stream.
  virtual bool HandleRequest(TzalWSConnectionServer& aConnection, std::span<const std::string> aRequestLines) = 0;

  // Whether aToken (a b64token of RFC 6750 2.1, never empty) is a valid access
  // token for a request on aConnection.
  virtual bool AcceptsBearerToken(TzalWSConnectionServer& aConnection, const std::string& aToken) = 0;
  // Both operations run on the connections' worker threads, several at a time.
};

// The token of an Authorization field value "Bearer <token>" (RFC 6750 2.1; the
// scheme ignores letter case, RFC 9110 11.1); empty for any other value.
std::string BearerToken(std::string_view aAuthorization);
// The bearer token of a request's lines: its first Authorization field, a line
// "Authorization: <value>" (HTTP/1.x) or "authorization=<value>" (HTTP/2), names
// compared without regard to letter case. Lines after the first empty one (the
// end of an HTTP/1.x header block) are not looked at.
std::string BearerTokenOf(std::span<const std::string> aRequestLines);
// The WWW-Authenticate challenge of a request refused for want of a good bearer
// token (RFC 6750 3): "Bearer", with error="invalid_token" when it carried a
// token (RFC 6750 3.1 gives no error code to a request without one).
std::string BearerChallenge(bool aTokenGiven);

}  // namespace zal
