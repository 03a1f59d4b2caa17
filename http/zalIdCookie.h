#pragma once
// HTTP cookies as objects (RFC 6265): the cookies a client sends in "Cookie" header
// lines, parsed into a collection, and the cookies a server sets, each written as the
// value of one "Set-Cookie" header line.
#include <chrono>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "http/zalIdHTTPDate.h"

namespace zal {

// "Tue, 08-Dec-2026 13:14:37 GMT": the expiry form of a "Set-Cookie" line.
std::string CookieExpiryText(TDateTime AValue);

class TIdCookie {
public:
  TIdCookie();

  const std::string& CookieName() const { return FName; }
  void SetCookieName(const std::string& value) { FName = value; }
  const std::string& Value() const { return FValue; }
  void SetValue(const std::string& value) { FValue = value; }
  const std::string& Domain() const { return FDomain; }
  void SetDomain(const std::string& value) { FDomain = value; }
  const std::string& Path() const { return FPath; }
  void SetPath(const std::string& value) { FPath = value; }
  // An unset date (IsDateSet false) means no expiry.
  TDateTime Expires() const { return FExpires; }
  void SetExpires(TDateTime value) { FExpires = value; }
  bool HttpOnly() const { return FHttpOnly; }
  void SetHttpOnly(bool value) { FHttpOnly = value; }
  bool Secure() const { return FSecure; }
  void SetSecure(bool value) { FSecure = value; }
  TDateTime CreatedAt() const { return FCreatedAt; }
  TDateTime LastAccessed() const { return FLastAccessed; }
  bool HostOnly() const { return FHostOnly; }
  void SetHostOnly(bool value) { FHostOnly = value; }
  bool Persistent() const { return FPersistent; }
  void SetPersistent(bool value) { FPersistent = value; }

  bool HasExpiry() const { return IsDateSet(FExpires); }
  // Whole seconds from now until the expiry (negative when past), -1 without expiry.
  int64_t MaxAge() const;
  // An expiry is set and has passed.
  bool IsExpired() const;
  // The value of a "Set-Cookie" line: name=value and the attributes that are set.
  std::string ServerCookie() const;
  std::string CookieText() const { return ServerCookie(); }
  // name=value, as a client sends it.
  std::string ClientCookie() const;

  // Reads one cookie of a "Cookie" line; false when it names nothing.
  bool ParseClientCookie(std::string_view ACookieText);

private:
  std::string FDomain;
  TDateTime FExpires{};
  bool FHttpOnly = false;
  std::string FName;
  std::string FPath;
  bool FSecure = false;
  std::string FValue;
  TDateTime FCreatedAt;
  bool FHostOnly = false;
  TDateTime FLastAccessed;
  bool FPersistent = false;
};

enum TIdCookieAccess : uint8_t { caRead, caReadWrite };

using TIdCookieList = std::vector<TIdCookie*>;

// Cookies in collection order. The second list (`FCookieList`) holds the same items
// for readers on other threads and is guarded by a many-readers/one-writer lock.
class TIdCookies {
public:
  TIdCookies() = default;
  TIdCookies(const TIdCookies&) = delete;
  TIdCookies& operator=(const TIdCookies&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  TIdCookie& operator[](int index) { return *FItems.at(static_cast<size_t>(index)); }
  const TIdCookie& operator[](int index) const { return *FItems.at(static_cast<size_t>(index)); }

  // Appends a new, empty cookie.
  TIdCookie& Add();
  // Appends a cookie with name, value and path (and no other attribute).
  TIdCookie& Add(const std::string& AName, const std::string& AValue, const std::string& APath = "");
  void Delete(int index);
  void Clear();
  // Adds the cookies of one "Cookie" header value ("a=1; b=2") while the
  // collection holds fewer than AMaxCount (-1: no limit); the rest is not read.
  void AddClientCookies(std::string_view ACookieText, int AMaxCount = -1);
  // Index of the first cookie at or after `FirstIndex` named `AName` (ignoring case), or -1.
  int GetCookieIndex(std::string_view AName, int FirstIndex = 0) const;
  // The first cookie named `AName`, or nullptr.
  TIdCookie* Cookie(std::string_view AName);

  // Takes the lock on the second list for reading or writing and hands it out.
  TIdCookieList& LockCookieList(TIdCookieAccess AAccessType);
  void UnlockCookieList(TIdCookieAccess AAccessType);

private:
  TIdCookie& Append(std::unique_ptr<TIdCookie> cookie);

  std::vector<std::unique_ptr<TIdCookie>> FItems;
  TIdCookieList FCookieList;
  std::shared_mutex FRWLock;
};

}  // namespace zal
