#pragma once
// A child process with a pipe to its standard input and one from its standard
// output, read line by line with time bounds. Standard error is inherited.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zal::test {

class ChildProcess {
public:
  // Starts `argv[0]` (looked up on PATH); a program that cannot run exits with 127.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return FPid; }
  void WriteLine(const std::string& line);
  // Ends the child's standard input.
  void CloseInput();
  // The next output line, or false when none comes within `timeoutMs` or the output ended.
  bool ReadLine(std::string& line, int timeoutMs);
  // The first line, among those skipped by earlier waits and then those still
  // to come, that satisfies `match` (returned in `line`); false on time-out or end.
  bool WaitForLine(const std::function<bool(const std::string&)>& match, std::string& line, int timeoutMs);
  bool WaitForLine(const std::string& exact, int timeoutMs);
  void Signal(int signal);
  // Waits up to `timeoutMs` for the child's end (killing it then); returns its exit status.
  int Wait(int timeoutMs);

private:
  pid_t FPid = -1;
  int FInput = -1;
  int FOutput = -1;
  std::string FBuffer;
  std::vector<std::string> FSkipped;
  bool FReaped = false;
  int FStatus = -1;
};

// CPU time (user + system) a process has used so far, in clock ticks.
long ProcessCpuTicks(pid_t pid);

}  // namespace zal::test
