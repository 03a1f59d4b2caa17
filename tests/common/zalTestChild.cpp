#include "common/zalTestChild.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zal::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  FPid = fork();
  if (FPid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  FInput = input[1];
  FOutput = output[0];
}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (!FReaped) {
    Signal(SIGKILL);
    Wait(5000);
  }
  if (FOutput >= 0)
    close(FOutput);
}

void ChildProcess::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  size_t written = 0;
  while (FInput >= 0 && written < text.size()) {
    const ssize_t n = write(FInput, text.data() + written, text.size() - written);
    if (n <= 0)
      return;
    written += static_cast<size_t>(n);
  }
}

void ChildProcess::CloseInput() {
  if (FInput >= 0)
    close(FInput);
  FInput = -1;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t newline = FBuffer.find('\n');
    if (newline != std::string::npos) {
      line = FBuffer.substr(0, newline);
      FBuffer.erase(0, newline + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd fd{FOutput, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char chunk[65536];
    const ssize_t n = read(FOutput, chunk, sizeof chunk);
    if (n <= 0)
      return false;
    FBuffer.append(chunk, static_cast<size_t>(n));
  }
}

bool ChildProcess::WaitForLine(const std::function<bool(const std::string&)>& match, std::string& line,
                               int timeoutMs) {
  for (auto earlier = FSkipped.begin(); earlier != FSkipped.end(); ++earlier) {
    if (match(*earlier)) {
      line = *earlier;
      FSkipped.erase(earlier);
      return true;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadLine(line, static_cast<int>(left.count())))
      return false;
    if (match(line))
      return true;
    FSkipped.push_back(line);
  }
}

bool ChildProcess::WaitForLine(const std::string& exact, int timeoutMs) {
  std::string line;
  return WaitForLine([&](const std::string& candidate) { return candidate == exact; }, line, timeoutMs);
}

void ChildProcess::Signal(int signal) {
  if (!FReaped && FPid > 0)
    kill(FPid, signal);
}

int ChildProcess::Wait(int timeoutMs) {
  if (FReaped)
    return FStatus;
  // The process descriptor becomes readable when the child ends.
  const int handle = static_cast<int>(syscall(SYS_pidfd_open, FPid, 0));
  pollfd fd{handle, POLLIN, 0};
  if (handle < 0 || poll(&fd, 1, timeoutMs) <= 0)
    kill(FPid, SIGKILL);
  if (handle >= 0)
    close(handle);
  waitpid(FPid, &FStatus, 0);
  FReaped = true;
  return FStatus;
}

long ProcessCpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long user = 0;
  long system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return user + system;
}

}  // namespace zal::test
