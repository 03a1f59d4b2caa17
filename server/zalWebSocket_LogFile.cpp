#include "server/zalWebSocket_LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "support/zalHelpers.h"
#include "transport/zalIdIOHandlerSocket.h"
#include "transport/zalIdIntercept.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof(text) - length, ".%03d", static_cast<int>(millis));
  return text;
}

std::string PeerOf(TIdTCPConnection* connection) {
  TIdIOHandlerSocket* socket = connection ? connection->Socket() : nullptr;
  if (!socket || !socket->Binding())
    return "?";
  return socket->Binding()->PeerIP() + ":" + std::to_string(socket->Binding()->PeerPort());
}

// The file is the owner's alone (0600): it holds what clients sent. A file
// that already exists loses any wider permissions.
std::FILE* OpenPrivately(const std::string& fileName) {
  const int descriptor = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (descriptor < 0)
    return nullptr;
  ::fchmod(descriptor, 0600);
  std::FILE* file = ::fdopen(descriptor, "ab");
  if (!file)
    ::close(descriptor);
  return file;
}

}  // namespace

namespace {

constexpr std::string_view kMask = "****";

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// An Authorization field keeps its name and scheme; the rest of the line goes.
bool MaskAuthorizationLine(std::string& text, size_t lineStart) {
  for (std::string_view name : {"authorization:", "proxy-authorization:"}) {
    if (text.size() - lineStart < name.size() || !TextIsSame(std::string_view(text).substr(lineStart, name.size()), name))
      continue;
    size_t at = lineStart + name.size();
    at = text.find_first_not_of(" \t", at);
    const size_t lineEnd = std::min(text.find_first_of("\r\n", lineStart), text.size());
    if (at >= lineEnd)
      return true;
    const size_t schemeEnd = text.find_first_of(" \t", at);
    if (schemeEnd < lineEnd)
      at = text.find_first_not_of(" \t", schemeEnd);
    if (at < lineEnd)
      text.replace(at, lineEnd - at, kMask);
    return true;
  }
  return false;
}

// After "/zal/auth/url/<user>/" and "/zal/req/auth/session/<user>/" comes a password.
void MaskPasswordsInPaths(std::string& text) {
  for (std::string_view prefix : {"/zal/auth/url/", "/zal/req/auth/session/"}) {
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
      const size_t userEnd = text.find_first_of("/ \t\r\n?", at + prefix.size());
      if (userEnd == std::string::npos || text[userEnd] != '/')
        continue;
      const size_t passwordEnd = std::min(text.find_first_of("/ \t\r\n?", userEnd + 1), text.size());
      if (passwordEnd > userEnd + 1)
        text.replace(userEnd + 1, passwordEnd - userEnd - 1, kMask);
    }
  }
}

// Session IDs and connection keys: runs of exactly 32 hexadecimal digits.
void MaskKeys(std::string& text) {
  for (size_t at = 0; at + 32 <= text.size();) {
    size_t end = at;
    while (end < text.size() && IsHexDigit(text[end]))
      ++end;
    const bool alone = (at == 0 || !IsWordChar(text[at - 1])) && (end == text.size() || !IsWordChar(text[end]));
    if (end - at == 32 && alone) {
      text.replace(at, 32, kMask);
      at += kMask.size();
    } else {
      at = end > at ? end : at + 1;
    }
  }
}

}  // namespace

std::string MaskCredentials(std::string_view text) {
  std::string masked(text);
  for (size_t lineStart = 0; lineStart < masked.size();) {
    MaskAuthorizationLine(masked, lineStart);
    const size_t lineEnd = masked.find('\n', lineStart);
    if (lineEnd == std::string::npos)
      break;
    lineStart = lineEnd + 1;
  }
  MaskPasswordsInPaths(masked);
  MaskKeys(masked);
  return masked;
}

TzalWSLogFileServerIntercept::~TzalWSLogFileServerIntercept() {
  if (FFile)
    std::fclose(FFile);
}

void TzalWSLogFileServerIntercept::SetFileName(const std::string& value) {
  std::lock_guard lock(FLock);
  if (value == FFileName)
    return;
  FFileName = value;
  if (FFile)
    std::fclose(FFile);
  FFile = nullptr;
}

TIdConnectionIntercept* TzalWSLogFileServerIntercept::Accept(TIdTCPConnection* connection) {
  auto* intercept = new TIdConnectionIntercept();
  const std::string peer = PeerOf(connection);
  intercept->OnReceive = [this, peer](TIdConnectionIntercept&, TIdBytes& buffer) { LogBlock(peer, "Recv", buffer); };
  intercept->OnSend = [this, peer](TIdConnectionIntercept&, TIdBytes& buffer) { LogBlock(peer, "Sent", buffer); };
  return intercept;
}

void TzalWSLogFileServerIntercept::LogBlock(const std::string& peer, const char* direction, const TIdBytes& bytes) {
  std::lock_guard lock(FLock);
  if (!FFile && !FFileName.empty())
    FFile = OpenPrivately(FFileName);
  if (!FFile)
    return;
  std::fprintf(FFile, "%s %s %s %zu bytes:\n", Timestamp().c_str(), peer.c_str(), direction, bytes.size());
  const std::string masked = MaskCredentials({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  std::fwrite(masked.data(), 1, masked.size(), FFile);
  std::fputc('\n', FFile);
  std::fflush(FFile);
}

}  // namespace zal
