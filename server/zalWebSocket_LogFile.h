#pragma once
// The traffic log of the component's LogFile option: every block each
// connection receives and sends, appended to one file with its time, peer and
// direction. The bytes are written as they are, line breaks kept.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "support/zalIdTextEncoding.h"
#include "transport/zalIdCustomTCPServer.h"

namespace zal {

// The text with credentials replaced by "****" (Authorization values after
// the scheme, URL and session-request passwords, session IDs and keys).
std::string MaskCredentials(std::string_view text);

class TzalWSLogFileServerIntercept : public TIdServerIntercept {
public:
  ~TzalWSLogFileServerIntercept() override;

  const std::string& FileName() const { return FFileName; }
  // A new name takes effect with the next entry.
  void SetFileName(const std::string& value);

  // A logging intercept for one connection, owned by the connection's server step.
  TIdConnectionIntercept* Accept(TIdTCPConnection* connection) override;
  // Appends one entry, credentials masked, to a file only its owner may read; a
  // file that cannot be opened loses the entry, never the traffic.
  void LogBlock(const std::string& peer, const char* direction, const TIdBytes& bytes);

private:
  std::mutex FLock;
  std::string FFileName;
  std::FILE* FFile = nullptr;
};

}  // namespace zal
