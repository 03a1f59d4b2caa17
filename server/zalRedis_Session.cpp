#include "server/zalRedis_Session.h"

#include <hiredis/hiredis.h>

#include <memory>
#include <mutex>

namespace zal {

namespace {

// hiredis gives every reader the same table of reply constructors; the
// sessions' table is a copy with the array's creation checked first.
const redisReplyObjectFunctions* gDefaultFunctions = nullptr;
redisReplyObjectFunctions gCheckedFunctions;
std::once_flag gCheckedFunctionsMade;

}  // namespace

TzalRedisSession::TzalRedisSession(size_t aMaxPendingOctets)
    : FReader(redisReaderCreate()), FMaxPendingOctets(aMaxPendingOctets) {
  if (!FReader)
    throw std::bad_alloc();
  std::call_once(gCheckedFunctionsMade, [this] {
    gDefaultFunctions = FReader->fn;
    gCheckedFunctions = *FReader->fn;
    gCheckedFunctions.createArray = &CreateArray;
  });
  FReader->fn = &gCheckedFunctions;
  FReader->privdata = this;
}

// An array header makes the reader allocate a slot per element before any
// arrives: a count no complete reply within the bound can have is refused
// (returning nothing makes the reader fail).
void* TzalRedisSession::CreateArray(const redisReadTask* aTask, int aElements) {
  auto* session = static_cast<TzalRedisSession*>(aTask->privdata);
  if (aElements > 0 && static_cast<size_t>(aElements) > session->MaxArrayElements()) {
    session->FRefusedArray = aElements;
    return nullptr;
  }
  return gDefaultFunctions->createArray(aTask, aElements);
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
    if (redisReaderGetReply(FReader, &reply) != REDIS_OK) {
      if (FRefusedArray >= 0)
        throw EzalRedisProtocol("Redis reply announces " + std::to_string(FRefusedArray) +
                                " elements, more than the load balancer's MaxQueuedBytes can hold.");
      throw EzalRedisProtocol(std::string("Redis reply unreadable: ") + FReader->errstr);
    }
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
