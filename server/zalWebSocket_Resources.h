#pragma once
// The component's built-in resources: the browser client scripts and the test
// page, compiled into the library from server/resources/, and the registry of
// the classes that serve them by file name.
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace zal {

struct TzalResourceData {
  const char* Name;
  std::string_view Bytes;
};

// Every compiled-in resource (generated from server/resources/).
std::span<const TzalResourceData> BuiltInResources();
// The bytes of the resource with that name; empty when there is none.
std::string_view BuiltInResource(std::string_view aName);

// A resource served under a file name. GetFileName is a class operation: each
// descendant hides it with its own.
class TzalWSHTTPResponse_Base {
public:
  virtual ~TzalWSHTTPResponse_Base() = default;
  // The text of the class's resource, its bytes read as text.
  virtual std::string GetContent() const { return {}; }
  static std::string GetFileName() { return {}; }
};

class TzalWSProtocol_JS_Base : public TzalWSHTTPResponse_Base {
public:
  std::string GetContent() const override { return std::string(BuiltInResource("ZAL_JS_ZALWEBSOCKETS")); }
  static std::string GetFileName() { return "zalWebSockets.js"; }
};

class TzalWSProtocol_JS_Flash : public TzalWSHTTPResponse_Base {
public:
  std::string GetContent() const override { return std::string(BuiltInResource("ZAL_JS_ZALWEBSOCKETSFLASH")); }
  static std::string GetFileName() { return "zalWebSocketsFlash.js"; }
};

class TzalWSProtocol_JS_EventSource : public TzalWSHTTPResponse_Base {
public:
  std::string GetContent() const override {
    return std::string(BuiltInResource("ZAL_JS_ZALWEBSOCKETSEVENTSOURCE"));
  }
  static std::string GetFileName() { return "zalWebSocketsEventSource.js"; }
};

class TzalWSProtocol_HTML_Base : public TzalWSHTTPResponse_Base {
public:
  std::string GetContent() const override { return std::string(BuiltInResource("ZAL_HTML_ZALWEBSOCKETS")); }
  static std::string GetFileName() { return "zalWebSockets.html"; }
};

// The process-wide registry of resource classes, holding the four above from
// the start, in the order JS_Base, JS_Flash, JS_EventSource, HTML_Base.
class TzalWSHTTPResponse {
public:
  using Factory = std::unique_ptr<TzalWSHTTPResponse_Base> (*)();
  template <class T>
  static std::unique_ptr<TzalWSHTTPResponse_Base> Create() {
    return std::make_unique<T>();
  }
  template <class T>
  static void RegisterFileName() {
    RegisterFileName(T::GetFileName(), &Create<T>);
  }
  // For a comma-separated list of file names, the content of the first class
  // registered under each name (letter case ignored), each followed by CR LF;
  // names without a class add nothing.
  static std::string GetResponseMessage(std::string_view aFileName);

private:
  static void RegisterFileName(std::string aFileName, Factory aFactory);
};

}  // namespace zal
