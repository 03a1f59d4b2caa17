#pragma once
// TzalRedisSession: the Redis protocol (RESP2) of one connection to a Redis
// server, without the socket. Commands are appended as octets to Output(),
// which the owner sends and trims; received octets are pushed in with Feed(),
// which parses them with hiredis' reply reader and hands every complete reply
// to a callback. A reply that is not complete stays in the reader until more
// octets arrive; nothing here reads, writes or waits.
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

struct redisReader;
struct redisReply;
struct redisReadTask;

namespace zal {

// A malformed reply, or one that would buffer more than the session allows.
class EzalRedisProtocol : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Appends one command to `aOut` as a RESP array of bulk strings.
void AppendRedisCommand(std::string& aOut, std::initializer_list<std::string_view> aArguments);

class TzalRedisSession {
public:
  using TReplyHandler = std::function<void(const redisReply& aReply)>;

  // `aMaxPendingOctets`: the most octets of an unfinished reply the reader may hold.
  explicit TzalRedisSession(size_t aMaxPendingOctets);
  ~TzalRedisSession();
  TzalRedisSession(const TzalRedisSession&) = delete;
  TzalRedisSession& operator=(const TzalRedisSession&) = delete;

  void Command(std::initializer_list<std::string_view> aArguments) { AppendRedisCommand(FOutput, aArguments); }
  // Octets waiting to be sent; the owner erases what went out.
  std::string& Output() { return FOutput; }
  // Parses `aOctets` and calls `aOnReply` for each complete reply, in order.
  // Raises EzalRedisProtocol on bytes that are no RESP, or on a reply that
  // grows past the bound before it is complete, or on an array that announces
  // more elements than the bound could hold (the reader would allocate room for
  // all of them at once).
  void Feed(std::string_view aOctets, const TReplyHandler& aOnReply);
  // Octets received that belong to no complete reply yet.
  size_t PendingOctets() const { return FPendingOctets; }

private:
  // Every element takes at least three octets ("+\r\n").
  size_t MaxArrayElements() const { return FMaxPendingOctets / 3 + 1; }
  static void* CreateArray(const ::redisReadTask* aTask, int aElements);

  redisReader* FReader;
  size_t FMaxPendingOctets;
  size_t FPendingOctets = 0;
  long long FRefusedArray = -1;  // the element count of an array refused, if any
  std::string FOutput;
};

}  // namespace zal
