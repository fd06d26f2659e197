#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The programs under test as child processes: quorvin-serve with its memory and its descriptors
// measured from outside, quorvin-fetch with its time and peak memory.
namespace quorvin::testing {

// Where the build put the programs.
std::string ServeProgram();
std::string FetchProgram();

// A child that dies with the test process; stdout through a pipe, stderr to a file.
class ChildProcess {
 public:
  // `max_files` > 0 lowers the child's RLIMIT_NOFILE before it starts; `stdin_fd` >= 0 is its
  // standard input (else it shares the test's).
  ChildProcess(const std::vector<std::string>& argv, const std::string& stderr_path,
               rlim_t max_files = 0, int stdin_fd = -1);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // Reads standard output until `needle` has appeared or the child's output ends; false after
  // `timeout`. What was read is kept in Stdout().
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout);

  const std::string& Stdout() const { return stdout_; }

  // Reads what standard output brings within `timeout`, returning early when the child ends.
  void Pump(std::chrono::milliseconds timeout);
  // Waits for the child to end; false when it still runs after `timeout`.
  bool Wait(std::chrono::milliseconds timeout);
  bool Running();

  // The exit code, or 128 + the signal that ended it; -1 while it runs.
  int ExitCode() const { return exit_code_; }

  // The resident size now, and the largest it has been since the program started (not counting
  // the copy of the parent that the fork made), from /proc; -1 when they cannot be read.
  long RssKiB() const { return StatusKiB("VmRSS:"); }

  long PeakRssKiB() const { return StatusKiB("VmHWM:"); }

  // Descriptors the child holds open now.
  int OpenFiles() const;
  void Signal(int signal);

 private:
  long StatusKiB(const char* field) const;

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int pid_fd_ = -1;
  std::string stdout_;
  int exit_code_ = -1;
};

// quorvin-serve on a port of the system's choice.
class ServeProcess {
 public:
  enum class State { kListening, kNotBuilt, kFailed };

  ServeProcess(const std::string& binding, const std::vector<std::string>& options,
               rlim_t max_files = 0);

  State Start() const { return state_; }

  int Port() const { return port_; }

  ChildProcess& Process() { return child_; }

  // Everything the program said on standard error.
  std::string Errors() const;
  // Asks it to stop (SIGTERM) and returns its exit code; 0 is a clean stop.
  int Stop();

 private:
  std::string stderr_path_;
  ChildProcess child_;
  State state_ = State::kFailed;
  int port_ = 0;
};

// A finished run of quorvin-fetch (or any program).
struct RunResult {
  int exit_code = -1;  // -1 when it had to be killed at the hard limit
  double seconds = 0;
  long max_rss_kib = 0;  // the peak resident size, sampled every 10 ms while it ran
  std::string out;
  std::string err;
};

// Runs `argv` to its end, killing it after `hard_limit`, with `stdin_fd` (when >= 0) as its
// standard input. (The kernel's own peak, from wait4, would count the test process that the
// fork copied.)
RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds hard_limit,
                     int stdin_fd = -1);

// The text of a file; empty when there is none.
std::string ReadFileText(const std::string& path);

}  // namespace quorvin::testing
