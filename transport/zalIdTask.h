#pragma once
// A yarn is one execution slot handed out by a scheduler; a task is the work
// that runs in it (for a server: one connection's context).
#include <exception>
#include <memory>

#include "support/zalObject.h"

namespace zal {

class TIdYarn {
public:
  virtual ~TIdYarn() = default;
};

class TIdTask {
public:
  explicit TIdTask(TIdYarn* yarn) : FYarn(yarn) {}
  virtual ~TIdTask() = default;
  TIdTask(const TIdTask&) = delete;
  TIdTask& operator=(const TIdTask&) = delete;

  void DoBeforeRun() {
    FBeforeRunDone = true;
    BeforeRun();
  }
  // False ends the task's run loop.
  bool DoRun() { return Run(); }
  void DoAfterRun() { AfterRun(); }
  void DoException(const std::exception& e) { HandleException(e); }

  bool BeforeRunDone() const { return FBeforeRunDone; }
  // The yarn the task was started in; it is freed before the task when its thread cleans up.
  TIdYarn* Yarn() const { return FYarn; }
  // Owned by the task and freed with it.
  TObject* Data() const { return FData.get(); }
  void SetData(std::unique_ptr<TObject> data) { FData = std::move(data); }
  // Hands the data over to the caller; the task no longer frees it.
  std::unique_ptr<TObject> TakeData() { return std::move(FData); }

protected:
  virtual void BeforeRun() {}
  virtual bool Run() = 0;
  virtual void AfterRun() {}
  virtual void HandleException(const std::exception&) {}
  void FreeData() { FData.reset(); }

private:
  bool FBeforeRunDone = false;
  TIdYarn* FYarn;
  std::unique_ptr<TObject> FData;
};

}  // namespace zal
