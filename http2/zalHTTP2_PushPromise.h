#pragma once
// The preload-link list: for a request path, the paths a GET of it pushes
// (RFC 9113 8.4). The application may change it while connections read it.
#include <string>
#include <vector>

#include "support/zalQueues.h"

namespace zal {

// One request path (its ID) and the links pushed with it.
class TzalHTTP2PushPromiseItem : public TzalQueueItemBase {
public:
  const std::string& Path() const { return FID; }
  std::vector<std::string>& Links() { return FLinks; }

private:
  std::vector<std::string> FLinks;
};

// A locked queue that owns its items.
class TzalHTTP2PushPromiseList : public TzalQueue {
public:
  TzalHTTP2PushPromiseList() { SetOwnObjects(true); }

  // Appends an item for aPath with a copy of aLinks (an existing path is kept).
  void AddPushPromise(const std::string& aPath, const std::vector<std::string>& aLinks);
  // The links of the first item whose path equals aPath exactly (letter case
  // included), copied under the lock so that a removal meanwhile cannot touch
  // them; empty when there is none.
  std::vector<std::string> GetPushPromiseLinks(const std::string& aPath) const;
};

}  // namespace zal
