#include "server/zalWebSocket_Resources.h"

#include <mutex>
#include <vector>

#include "support/zalHelpers.h"

namespace zal {

std::string_view BuiltInResource(std::string_view aName) {
  for (const TzalResourceData& resource : BuiltInResources())
    if (aName == resource.Name)
      return resource.Bytes;
  return {};
}

namespace {

struct Registered {
  std::string FileName;
  TzalWSHTTPResponse::Factory Create;
};

template <class T>
Registered Entry() {
  return {T::GetFileName(), &TzalWSHTTPResponse::Create<T>};
}

struct Registry {
  std::mutex Lock;
  std::vector<Registered> Classes{Entry<TzalWSProtocol_JS_Base>(), Entry<TzalWSProtocol_JS_Flash>(),
                                  Entry<TzalWSProtocol_JS_EventSource>(), Entry<TzalWSProtocol_HTML_Base>()};
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void TzalWSHTTPResponse::RegisterFileName(std::string aFileName, Factory aFactory) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.Lock);
  registry.Classes.push_back({std::move(aFileName), std::move(aFactory)});
}

std::string TzalWSHTTPResponse::GetResponseMessage(std::string_view aFileName) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.Lock);
  std::string text;
  for (std::string_view name : Split(aFileName, ',')) {
    for (const Registered& entry : registry.Classes) {
      if (TextIsSame(entry.FileName, name)) {
        text += entry.Create()->GetContent();
        text += "\r\n";
        break;
      }
    }
  }
  return text;
}

}  // namespace zal
