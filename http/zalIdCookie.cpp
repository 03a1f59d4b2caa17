#include "http/zalIdCookie.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "support/zalHelpers.h"

namespace zal {

namespace {

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
    text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
    text.remove_suffix(1);
  return text;
}

// Removes and returns the text before the first `delimiter`, dropping the delimiter;
// without one the whole text.
std::string_view FetchView(std::string_view& text, char delimiter) {
  const size_t pos = text.find(delimiter);
  const std::string_view head = text.substr(0, pos);
  text = pos == std::string_view::npos ? std::string_view() : text.substr(pos + 1);
  return head;
}

struct CookieProperty {
  std::string Name;
  std::string Value;
};

// Reads the value after "name=" from `rest`: a double-quoted value ends at the next
// quote (the rest of the piece up to ";" is dropped); any other value ends at ";".
std::string ReadCookieValue(std::string_view& rest) {
  if (rest.front() == '"') {
    rest.remove_prefix(1);
    const std::string value(FetchView(rest, '"'));
    FetchView(rest, ';');
    return value;
  }
  return std::string(Trim(FetchView(rest, ';')));
}

// The name/value properties of one cookie piece; a text without "=" or ";" is one
// property with an empty name and an empty value.
std::vector<CookieProperty> ReadCookieProperties(std::string_view text) {
  std::vector<CookieProperty> properties;
  text = Trim(text);
  while (!text.empty()) {
    const size_t pos = text.find_first_of("=;");
    if (pos == std::string_view::npos) {
      properties.push_back({});
      break;
    }
    CookieProperty property{std::string(TrimRight(text.substr(0, pos))), {}};
    const bool hasValue = text[pos] == '=';
    text = TrimLeft(text.substr(pos + 1));
    if (hasValue && !text.empty())
      property.Value = ReadCookieValue(text);
    text = TrimLeft(text);
    if (!property.Name.empty())
      properties.push_back(std::move(property));
  }
  return properties;
}

}  // namespace

std::string CookieExpiryText(TDateTime AValue) {
  // The HTTP date "Tue, 08 Dec 2026 13:14:37 GMT" with dashes around the month.
  std::string text = DateTimeToHTTPDate(AValue);
  const size_t dayEnd = text.find(' ', text.find(',') + 2);
  const size_t monthEnd = text.find(' ', dayEnd + 1);
  if (dayEnd != std::string::npos && monthEnd != std::string::npos) {
    text[dayEnd] = '-';
    text[monthEnd] = '-';
  }
  return text;
}

TIdCookie::TIdCookie() : FCreatedAt(Now()), FLastAccessed(FCreatedAt) {}

int64_t TIdCookie::MaxAge() const {
  if (!HasExpiry())
    return -1;
  const auto left = FExpires - Now();
  return std::chrono::duration_cast<std::chrono::seconds>(left).count();
}

bool TIdCookie::IsExpired() const { return HasExpiry() && Now() > FExpires; }

std::string TIdCookie::ServerCookie() const {
  std::string text = ClientCookie();
  if (!FPath.empty())
    text += "; Path=" + FPath;
  if (!FDomain.empty())
    text += "; Domain=" + FDomain;
  if (FSecure)
    text += "; Secure";
  if (FHttpOnly)
    text += "; HttpOnly";
  if (HasExpiry()) {
    const int64_t maxAge = MaxAge();
    if (maxAge >= 0)
      text += "; Max-Age=" + std::to_string(maxAge);
    text += "; Expires=" + CookieExpiryText(FExpires);
  }
  return text;
}

std::string TIdCookie::ClientCookie() const { return FName + "=" + FValue; }

bool TIdCookie::ParseClientCookie(std::string_view ACookieText) {
  std::vector<CookieProperty> properties = ReadCookieProperties(ACookieText);
  if (properties.empty())
    return false;
  FName = std::move(properties.front().Name);
  FValue = std::move(properties.front().Value);
  return true;
}

TIdCookie& TIdCookies::Append(std::unique_ptr<TIdCookie> cookie) {
  std::unique_lock lock(FRWLock);
  FCookieList.push_back(cookie.get());
  FItems.push_back(std::move(cookie));
  return *FItems.back();
}

TIdCookie& TIdCookies::Add() { return Append(std::make_unique<TIdCookie>()); }

TIdCookie& TIdCookies::Add(const std::string& AName, const std::string& AValue, const std::string& APath) {
  TIdCookie& cookie = Add();
  cookie.SetCookieName(AName);
  cookie.SetValue(AValue);
  cookie.SetPath(APath);
  return cookie;
}

void TIdCookies::Delete(int index) {
  if (index < 0 || index >= Count())
    throw std::out_of_range("cookie index out of range");
  std::unique_lock lock(FRWLock);
  const auto item = FItems.begin() + index;
  std::erase(FCookieList, item->get());
  FItems.erase(item);
}

void TIdCookies::Clear() {
  std::unique_lock lock(FRWLock);
  FCookieList.clear();
  FItems.clear();
}

void TIdCookies::AddClientCookies(std::string_view ACookieText, int AMaxCount) {
  std::string_view text = Trim(ACookieText);
  while (!text.empty() && (AMaxCount < 0 || Count() < AMaxCount)) {
    const std::string_view piece = FetchView(text, ';');
    if (piece.empty())
      continue;
    auto cookie = std::make_unique<TIdCookie>();
    if (cookie->ParseClientCookie(piece))
      Append(std::move(cookie));
  }
}

int TIdCookies::GetCookieIndex(std::string_view AName, int FirstIndex) const {
  for (int i = std::max(FirstIndex, 0); i < Count(); ++i)
    if (TextIsSame(FItems[static_cast<size_t>(i)]->CookieName(), AName))
      return i;
  return -1;
}

TIdCookie* TIdCookies::Cookie(std::string_view AName) {
  const int index = GetCookieIndex(AName);
  return index < 0 ? nullptr : FItems[static_cast<size_t>(index)].get();
}

TIdCookieList& TIdCookies::LockCookieList(TIdCookieAccess AAccessType) {
  if (AAccessType == caRead)
    FRWLock.lock_shared();
  else
    FRWLock.lock();
  return FCookieList;
}

void TIdCookies::UnlockCookieList(TIdCookieAccess AAccessType) {
  if (AAccessType == caRead)
    FRWLock.unlock_shared();
  else
    FRWLock.unlock();
}

}  // namespace zal
