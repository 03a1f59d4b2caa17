#include "server/zalWebSocket_LoadBalancerMessage.h"

#include <charconv>

namespace zal {

namespace {

constexpr std::string_view Magic = "ZLB1";
// The longest length prefix read: a body is bounded by the bus (512 MiB in Redis).
constexpr size_t MaxLengthDigits = 10;

void AppendField(std::string& out, std::string_view field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

// Takes one <length>:<octets> field off the front of `rest`.
bool TakeField(std::string_view& rest, std::string_view& field) {
  const size_t colon = rest.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon > MaxLengthDigits)
    return false;
  size_t length = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + colon, length);
  if (error != std::errc() || end != rest.data() + colon || length > rest.size() - colon - 1)
    return false;
  field = rest.substr(colon + 1, length);
  rest.remove_prefix(colon + 1 + length);
  return true;
}

bool TakeString(std::string_view& rest, std::string& value) {
  std::string_view field;
  if (!TakeField(rest, field))
    return false;
  value.assign(field);
  return true;
}

bool TakeInteger(std::string_view& rest, int& value, int maximum) {
  std::string_view field;
  if (!TakeField(rest, field) || field.empty())
    return false;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  return error == std::errc() && end == field.data() + field.size() && value >= 0 && value <= maximum;
}

}  // namespace

std::string EncodeLoadBalancerMessage(const TzalLoadBalancerMessage& aMessage) {
  std::string out;
  out.reserve(Magic.size() + 64 + aMessage.Origin.size() + aMessage.Channel.size() + aMessage.Protocol.size() +
              aMessage.Exclude.size() + aMessage.Include.size() + aMessage.Guid.size() + aMessage.Body.size());
  out += Magic;
  AppendField(out, aMessage.Origin);
  AppendField(out, std::to_string(aMessage.Kind));
  AppendField(out, aMessage.Channel);
  AppendField(out, aMessage.Protocol);
  AppendField(out, aMessage.Exclude);
  AppendField(out, aMessage.Include);
  AppendField(out, aMessage.Guid);
  AppendField(out, std::to_string(aMessage.Size));
  AppendField(out, std::to_string(aMessage.Streaming));
  AppendField(out, aMessage.Body);
  return out;
}

bool DecodeLoadBalancerMessage(std::string_view aEncoded, TzalLoadBalancerMessage& aMessage) {
  if (!aEncoded.starts_with(Magic))
    return false;
  std::string_view rest = aEncoded.substr(Magic.size());
  int kind = 0;
  int streaming = 0;
  const bool complete = TakeString(rest, aMessage.Origin) && TakeInteger(rest, kind, lbmWriteBinary) &&
                        TakeString(rest, aMessage.Channel) && TakeString(rest, aMessage.Protocol) &&
                        TakeString(rest, aMessage.Exclude) && TakeString(rest, aMessage.Include) &&
                        TakeString(rest, aMessage.Guid) && TakeInteger(rest, aMessage.Size, INT32_MAX) &&
                        TakeInteger(rest, streaming, stmContinueAndLast) && TakeString(rest, aMessage.Body);
  if (!complete || !rest.empty())
    return false;
  aMessage.Kind = static_cast<TzalLoadBalancerMessageKind>(kind);
  aMessage.Streaming = static_cast<TwsStreaming>(streaming);
  return true;
}

}  // namespace zal
