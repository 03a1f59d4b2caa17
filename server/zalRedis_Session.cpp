#include "server/zalRedis_Session.h"

#include <hiredis/hiredis.h>

#include <memory>

namespace zal {

TzalRedisSession::TzalRedisSession(size_t aMaxPendingOctets)
    : FReader(redisReaderCreate()), FMaxPendingOctets(aMaxPendingOctets) {
  if (!FReader)
    throw std::bad_alloc();
}

TzalRedisSession::~TzalRedisSession() { redisReaderFree(FReader); }

void AppendRedisCommand(std::string& aOut, std::initializer_list<std::string_view> aArguments) {
  aOut += '*';
  aOut += std::to_string(aArguments.size());
  aOut += "\r\n";
  for (std::string_view argument : aArguments) {
    aOut += '$';
    aOut += std::to_string(argument.size());
    aOut += "\r\n";
    aOut += argument;
    aOut += "\r\n";
  }
}

void TzalRedisSession::Feed(std::string_view aOctets, const TReplyHandler& aOnReply) {
  if (redisReaderFeed(FReader, aOctets.data(), aOctets.size()) != REDIS_OK)
    throw EzalRedisProtocol(std::string("Redis reply unreadable: ") + FReader->errstr);
  FPendingOctets += aOctets.size();
  for (;;) {
    void* reply = nullptr;
    if (redisReaderGetReply(FReader, &reply) != REDIS_OK)
      throw EzalRedisProtocol(std::string("Redis reply unreadable: ") + FReader->errstr);
    if (!reply)
      break;
    std::unique_ptr<redisReply, void (*)(void*)> owned(static_cast<redisReply*>(reply), freeReplyObject);
    // The reader has consumed exactly this reply's octets: the rest is pending.
    FPendingOctets = FReader->len - FReader->pos;
    aOnReply(*owned);
  }
  if (FPendingOctets > FMaxPendingOctets)
    throw EzalRedisProtocol("Redis reply larger than the load balancer's MaxQueuedBytes.");
}

}  // namespace zal
