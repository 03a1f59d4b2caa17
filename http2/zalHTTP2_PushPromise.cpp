#include "http2/zalHTTP2_PushPromise.h"

#include <memory>
#include <mutex>

namespace zal {

void TzalHTTP2PushPromiseList::AddPushPromise(const std::string& aPath, const std::vector<std::string>& aLinks) {
  auto item = std::make_unique<TzalHTTP2PushPromiseItem>();
  item->SetID(aPath);
  item->Links() = aLinks;
  AddItem(item.release());
}

std::vector<std::string> TzalHTTP2PushPromiseList::GetPushPromiseLinks(const std::string& aPath) const {
  std::lock_guard guard(FLock);
  for (TzalQueueItemBase* item : FList)
    if (item->ID() == aPath)
      return static_cast<TzalHTTP2PushPromiseItem*>(item)->Links();
  return {};
}

}  // namespace zal
