#include "transport/zalSock_IOCP_WorkOpThread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "transport/zalIdContext.h"
#include "transport/zalIdIOHandlerStack.h"
#include "transport/zalIdStack.h"
#include "transport/zalIdTCPConnection.h"

namespace zal {

namespace {

// Events taken by one wait; more wait for the next round.
constexpr int kEventsPerWait = 256;

using Clock = std::chrono::steady_clock;

}  // namespace

TzalSock_IOCP_WorkOpThread::TzalSock_IOCP_WorkOpThread(int index)
    : TIdThread(true, "Thread WorkOp " + std::to_string(index)) {
  FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  FWakeHandle = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.ptr = nullptr;  // the one entry that is not a connection
  if (FEpoll < 0 || FWakeHandle < 0 || ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeHandle, &wake) != 0) {
    const int error = errno;
    ::close(FEpoll);
    ::close(FWakeHandle);
    RaiseIdSocketError(IdSocketErrorFromErrno(error));
  }
  FScratch.resize(ScratchSize);
  Start();
}

TzalSock_IOCP_WorkOpThread::~TzalSock_IOCP_WorkOpThread() {
  Shutdown();
  StopAndJoin();
  ::close(FWakeHandle);
  ::close(FEpoll);
}

void TzalSock_IOCP_WorkOpThread::Shutdown() {
  Terminate();
  WakeLoop();
}

void TzalSock_IOCP_WorkOpThread::WakeLoop() {
  [[maybe_unused]] const int ignored = ::eventfd_write(FWakeHandle, 1);
}

void TzalSock_IOCP_WorkOpThread::Post(TIdYarnOfIOCP* yarn) {
  bool first;
  {
    std::lock_guard lock(FPostLock);
    if (yarn->FWoken)
      return;
    yarn->FWoken = true;
    first = FPosted.empty();
    FPosted.push_back(yarn);
  }
  // The loop reads its eventfd before it takes the list: a list that was not
  // empty is taken in the round already signalled.
  if (first)
    WakeLoop();
}

void TzalSock_IOCP_WorkOpThread::Run() {
  epoll_event events[kEventsPerWait];
  int count;
  while ((count = ::epoll_wait(FEpoll, events, kEventsPerWait, WaitMilliseconds())) < 0 && errno == EINTR) {
  }
  if (count < 0)
    RaiseLastIdSocketError();
  for (int i = 0; i < count; ++i)
    HandleEvent(events[i]);
  ScheduleDueTimers();
  RunReady();
  DisposeEnded();
}

int TzalSock_IOCP_WorkOpThread::WaitMilliseconds() const {
  if (!FReady.empty())
    return 0;
  const TIdTimerHeap::TEntry* earliest = FTimers.Earliest();
  if (!earliest)
    return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest->Due - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

void TzalSock_IOCP_WorkOpThread::TakePosted() {
  std::vector<TIdYarnOfIOCP*> posted;
  {
    std::lock_guard lock(FPostLock);
    posted.swap(FPosted);
    for (TIdYarnOfIOCP* yarn : posted)
      yarn->FWoken = false;
  }
  for (TIdYarnOfIOCP* yarn : posted) {
    if (!yarn->FStarted && !yarn->FEnded && yarn->FLoopIndex == SIZE_MAX) {
      yarn->FLoopIndex = FYarns.size();
      FYarns.push_back(yarn);
    }
    Schedule(yarn);
  }
}

void TzalSock_IOCP_WorkOpThread::HandleEvent(const epoll_event& event) {
  if (!event.data.ptr) {
    eventfd_t ignored;
    [[maybe_unused]] const int read = ::eventfd_read(FWakeHandle, &ignored);
    TakePosted();
    return;
  }
  auto* yarn = static_cast<TIdYarnOfIOCP*>(event.data.ptr);
  if (yarn->FEnded)
    return;
  const uint32_t happened = event.events;
  const bool failed = happened & (EPOLLHUP | EPOLLERR);
  const bool input = happened & (EPOLLIN | EPOLLRDHUP);
  const bool room = happened & EPOLLOUT;
  if (input || failed)
    yarn->FSocket->NoteReadable(happened & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
  if (room || failed)
    yarn->FSocket->NoteWritable();
  if (failed || (input && yarn->FAwaitsInput) || (room && yarn->FAwaitsRoom))
    Schedule(yarn);
}

void TzalSock_IOCP_WorkOpThread::ScheduleDueTimers() {
  const Clock::time_point now = Clock::now();
  while (TIdTimerHeap::TEntry* due = FTimers.PopDue(now))
    Schedule(static_cast<TIdYarnOfIOCP*>(due));
}

void TzalSock_IOCP_WorkOpThread::Schedule(TIdYarnOfIOCP* yarn) {
  if (yarn->FScheduled || yarn->FEnded)
    return;
  yarn->FScheduled = true;
  FReady.push_back(yarn);
}

// Yarns scheduled while a round runs wait for the next one, after a look at
// the sockets: a connection that always has more to do cannot starve the others.
void TzalSock_IOCP_WorkOpThread::RunReady() {
  FRunning.swap(FReady);
  for (TIdYarnOfIOCP* yarn : FRunning)
    RunYarn(yarn);
  FRunning.clear();
}

void TzalSock_IOCP_WorkOpThread::RunYarn(TIdYarnOfIOCP* yarn) {
  if (yarn->FEnded)
    return;
  yarn->FScheduled = false;
  if (yarn->FTerminate.load())
    return EndYarn(yarn, nullptr);
  bool goOn;
  try {
    if (!yarn->FStarted)
      BeginConnection(yarn);
    goOn = RunStep(yarn);
  } catch (const std::exception& e) {
    return EndYarn(yarn, &e);
  }
  if (!goOn)
    return EndYarn(yarn, nullptr);
  AwaitNext(yarn);
}

void TzalSock_IOCP_WorkOpThread::BeginConnection(TIdYarnOfIOCP* yarn) {
  auto* context = dynamic_cast<TIdContext*>(yarn->FTask);
  auto* socket = context ? dynamic_cast<TIdIOHandlerStack*>(context->Connection()->IOHandler()) : nullptr;
  if (!socket || !socket->EventDriven() || !socket->BindingAllocated())
    throw EIdException("The event loop serves only connections accepted by its own I/O handler.");
  yarn->FSocket = socket;
  epoll_event watched{};
  watched.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  watched.data.ptr = yarn;
  if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, socket->Binding()->Handle(), &watched) != 0)
    RaiseLastIdSocketError();
  yarn->FHandle = socket->Binding()->Handle();
  yarn->FStarted = true;
  yarn->FTask->DoBeforeRun();
}

bool TzalSock_IOCP_WorkOpThread::RunStep(TIdYarnOfIOCP* yarn) {
  // The loop's block serves as the input buffer of a connection that holds
  // none; what the step leaves unread is kept by the connection.
  struct TLentBlock {
    TIdBuffer& Input;
    TIdBytes& Block;
    const bool Lent;
    TLentBlock(TIdBuffer& input, TIdBytes& block) : Input(input), Block(block), Lent(input.Capacity() == 0) {
      if (Lent)
        Input.LendStorage(Block);
    }
    ~TLentBlock() {
      if (Lent)
        Input.ReturnStorage(Block);
      else if (Input.Size() == 0)
        Input.Clear();  // emptied: the next step borrows the loop's block again
      // The loop always holds one block: one the connection kept, or dropped, is replaced now.
      if (Block.size() < static_cast<size_t>(ScratchSize))
        Block.resize(ScratchSize);
    }
  } lent(yarn->FSocket->InputBuffer(), FScratch);
  FTimers.Cancel(*yarn);
  yarn->FAwaits = false;
  return yarn->FTask->DoRun();
}

void TzalSock_IOCP_WorkOpThread::AwaitNext(TIdYarnOfIOCP* yarn) {
  if (!yarn->FAwaits)
    return Schedule(yarn);  // a step that asks for nothing is followed at once
  TIdIOHandlerStack& socket = *yarn->FSocket;
  // Edge-triggered readiness: what the socket had before the step is not
  // signalled again, so a step that awaits it runs again now; so does one
  // whose input grew after it asked (the server's check for a close reads).
  const bool inputCame = socket.InputBuffer().Size() != yarn->FInputAtAwait;
  const bool ready = !socket.BindingAllocated() ||
                     (yarn->FAwaitsInput && (inputCame || socket.MayReceive() || socket.HasPendingInput())) ||
                     (yarn->FAwaitsRoom && socket.MaySend());
  if (ready)
    return Schedule(yarn);
  if (yarn->FDeadline != Clock::time_point::max())
    FTimers.Schedule(*yarn, yarn->FDeadline);
}

void TzalSock_IOCP_WorkOpThread::EndYarn(TIdYarnOfIOCP* yarn, const std::exception* failure) {
  yarn->FEnded = true;
  FTimers.Cancel(*yarn);
  if (yarn->FHandle >= 0)
    ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, yarn->FHandle, nullptr);  // the context still holds the descriptor
  TIdTask* task = yarn->FTask;
  try {
    if (yarn->FStarted)
      task->DoAfterRun();
  } catch (const std::exception& e) {
    task->DoException(e);
  }
  if (failure)
    task->DoException(*failure);
  yarn->FReleased = true;
  yarn->FScheduler->ReleaseYarn(yarn);
  {
    // No thread finds the yarn any more (the scheduler and the connection let
    // go of it): a wake already posted is dropped, and none can follow.
    std::lock_guard lock(FPostLock);
    yarn->FWoken = true;
    FPosted.erase(std::remove(FPosted.begin(), FPosted.end(), yarn), FPosted.end());
  }
  Unlist(yarn);
  FEnded.push_back(yarn);
}

void TzalSock_IOCP_WorkOpThread::Unlist(TIdYarnOfIOCP* yarn) {
  if (yarn->FLoopIndex == SIZE_MAX)
    return;
  TIdYarnOfIOCP* last = FYarns.back();
  FYarns[yarn->FLoopIndex] = last;
  last->FLoopIndex = yarn->FLoopIndex;
  FYarns.pop_back();
  yarn->FLoopIndex = SIZE_MAX;
}

// Ended yarns are freed once no event of the round can name them any more.
void TzalSock_IOCP_WorkOpThread::DisposeEnded() {
  for (TIdYarnOfIOCP* yarn : FEnded)
    delete yarn;
  FEnded.clear();
}

void TzalSock_IOCP_WorkOpThread::AfterRun() {
  TakePosted();
  while (!FYarns.empty())
    EndYarn(FYarns.back(), nullptr);
  FReady.clear();
  DisposeEnded();
}

}  // namespace zal
