#pragma once
// What one server instance hands to the others over the load-balancer link: a
// broadcast (text or binary, with its filters) or a message for one connection
// GUID. Encoded as one opaque octet string so the bus carries it unchanged.
#include <cstdint>
#include <string>
#include <string_view>

#include "support/zalTypes.h"

namespace zal {

enum TzalLoadBalancerMessageKind : uint8_t { lbmBroadcastText, lbmBroadcastBinary, lbmWriteText, lbmWriteBinary };

struct TzalLoadBalancerMessage {
  std::string Origin;  // the sending instance's LoadBalancer.Guid
  TzalLoadBalancerMessageKind Kind = lbmBroadcastText;
  std::string Channel;
  std::string Protocol;
  std::string Exclude;
  std::string Include;
  std::string Guid;  // the target connection of a write
  int Size = 0;      // fragment size of a binary broadcast or write
  TwsStreaming Streaming = stmNone;
  std::string Body;  // the text, or the stream's octets

  bool IsWrite() const { return Kind == lbmWriteText || Kind == lbmWriteBinary; }
  bool IsBinary() const { return Kind == lbmBroadcastBinary || Kind == lbmWriteBinary; }
};

// "ZLB1" followed by every field as <decimal length>:<octets>, in the order of
// the record. Octets are carried as they are, so bodies may hold any byte.
std::string EncodeLoadBalancerMessage(const TzalLoadBalancerMessage& aMessage);
// False (and `aMessage` unspecified) for anything that is not exactly one encoded message.
bool DecodeLoadBalancerMessage(std::string_view aEncoded, TzalLoadBalancerMessage& aMessage);

}  // namespace zal
