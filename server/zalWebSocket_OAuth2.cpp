#include "server/zalWebSocket_OAuth2.h"

#include <algorithm>
#include <cctype>

#include "support/zalHelpers.h"

namespace zal {

namespace {

// RFC 6750 2.1: b64token = 1*( ALPHA / DIGIT / "-" / "." / "_" / "~" / "+" / "/" ) *"="
bool IsB64Token(std::string_view aText) {
  const size_t padding = aText.find_last_not_of('=') + 1;  // 0 when all of it is "="
  const std::string_view body = aText.substr(0, padding);
  return !body.empty() && std::all_of(body.begin(), body.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
  });
}

// The value of a line that carries the field aName, in either form; nothing otherwise.
bool FieldValue(std::string_view aLine, std::string_view aName, std::string_view& aValue) {
  if (aLine.size() <= aName.size() || !TextStartsWith(aLine, aName))
    return false;
  const char separator = aLine[aName.size()];
  if (separator != ':' && separator != '=')
    return false;
  aValue = aLine.substr(aName.size() + 1);
  return true;
}

}  // namespace

std::string BearerToken(std::string_view aAuthorization) {
  const std::string_view value = Trim(aAuthorization);
  constexpr std::string_view scheme = "Bearer";
  // credentials = "Bearer" 1*SP b64token
  if (value.size() <= scheme.size() || !TextStartsWith(value, scheme) || value[scheme.size()] != ' ')
    return {};
  const std::string_view token = value.substr(value.find_first_not_of(' ', scheme.size()));
  return IsB64Token(token) ? std::string(token) : std::string();
}

std::string BearerTokenOf(std::span<const std::string> aRequestLines) {
  for (const std::string& line : aRequestLines) {
    if (line.empty())
      break;
    std::string_view value;
    if (FieldValue(line, "Authorization", value))
      return BearerToken(value);
  }
  return {};
}

std::string BearerChallenge(bool aTokenGiven) {
  return aTokenGiven ? "Bearer error=\"invalid_token\"" : "Bearer";
}

}  // namespace zal
