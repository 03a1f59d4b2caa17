// Feeds arbitrary octets to the load-balancer link's Redis session in chunks
// the fuzzer chooses and checks that the replies (and any published envelope
// they carry, decoded) are the same as when the octets arrive in one piece.
//
// Input: repeated [chunk length, chunk octets].
#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/zalRedis_Session.h"
#include "server/zalWebSocket_LoadBalancerMessage.h"

namespace {

using namespace zal;

// One line per reply: its type and text, nested arrays flattened in order;
// a published envelope adds whether it decodes and its body.
void Describe(const redisReply& reply, std::vector<std::string>& log) {
  std::string line = std::to_string(reply.type) + ":" + std::to_string(reply.integer) + ":";
  if (reply.str)
    line.append(reply.str, reply.len);
  log.push_back(line);
  for (size_t i = 0; i < reply.elements; ++i)
    Describe(*reply.element[i], log);
  if (reply.type == REDIS_REPLY_ARRAY && reply.elements == 3 && reply.element[2]->str) {
    TzalLoadBalancerMessage message;
    const bool decoded =
        DecodeLoadBalancerMessage(std::string_view(reply.element[2]->str, reply.element[2]->len), message);
    log.push_back(decoded ? "envelope:" + message.Body : "no envelope");
    if (decoded && EncodeLoadBalancerMessage(message) != std::string(reply.element[2]->str, reply.element[2]->len))
      std::abort();  // a decoded envelope encodes back to the same octets
  }
}

// The replies of `chunks` fed one after the other, ending with "error" when the session raised.
std::vector<std::string> Run(const std::vector<std::string_view>& chunks) {
  std::vector<std::string> log;
  TzalRedisSession session(1 << 20);  // above any input the fuzzer makes: the bound never decides
  try {
    for (std::string_view chunk : chunks)
      session.Feed(chunk, [&](const redisReply& reply) { Describe(reply, log); });
  } catch (const EzalRedisProtocol&) {
    log.push_back("error");
  }
  return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string whole;
  std::vector<std::string_view> chunks;
  std::vector<std::string> pieces;
  size_t at = 0;
  while (at < size) {
    const size_t length = std::min<size_t>(data[at], size - at - 1);
    pieces.emplace_back(reinterpret_cast<const char*>(data + at + 1), length);
    at += 1 + length;
  }
  for (const std::string& piece : pieces) {
    whole += piece;
    chunks.push_back(piece);
  }
  if (Run(chunks) != Run({whole}))
    std::abort();
  return 0;
}
