#pragma once
// Base of the library's components: the version and the component state queries.
#include <atomic>
#include <string>

namespace zal {

class TzalComponent_Base {
public:
  TzalComponent_Base() = default;
  TzalComponent_Base(const TzalComponent_Base&) = delete;
  TzalComponent_Base& operator=(const TzalComponent_Base&) = delete;
  virtual ~TzalComponent_Base() = default;

  // Always "4.4.6".
  std::string Version() const;

  // Components are never edited in a designer here.
  virtual bool IsDesigning() const { return false; }
  // True once the component began to destroy itself (see BeginDestroy).
  virtual bool IsDestroying() const { return FDestroying.load(); }
  // True while the component's stored settings are being applied (see SetLoading).
  virtual bool IsLoading() const { return FLoading.load(); }

protected:
  // Derived destructors call this first, so that work still running sees the state.
  void BeginDestroy() { FDestroying.store(true); }
  void SetLoading(bool value) { FLoading.store(value); }

private:
  std::atomic<bool> FDestroying{false};
  std::atomic<bool> FLoading{false};
};

}  // namespace zal
