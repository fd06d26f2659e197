#include "child_process.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quorvin::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Through the system calls: this C library's pidfd header lacks C linkage for C++.
int PidFdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void PidFdSignal(int pid_fd, int signal) {
  ::syscall(SYS_pidfd_send_signal, pid_fd, signal, nullptr, 0);
}

int MillisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string ServeProgram() {
  return QUORVIN_SERVE_PROGRAM;
}

std::string FetchProgram() {
  return QUORVIN_FETCH_PROGRAM;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stderr_path,
                           rlim_t max_files, int stdin_fd) {
  // Everything the child needs is made before the fork: after it, only system calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The address sanitizer keeps freed memory in quarantine (up to 256 MiB): a program built with
  // it would seem to grow with every request. Without the quarantine its resident memory means
  // what it means in a normal build; everything else it checks stays on.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asan_options =
      std::string("ASAN_OPTIONS=") +
      (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") + "quarantine_size_mb=0";
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.push_back(*e);
  }
  env.push_back(const_cast<char*>(asan_options.c_str()));
  env.push_back(nullptr);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  // Closed by the exec: once it reads as ended, the child runs the program, and what /proc says
  // of its memory is the program's, no longer the copy of this process that the fork made.
  int started[2];
  if (::pipe2(started, O_CLOEXEC) != 0) return;
  const int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child goes when the test goes, however the test ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    if (stdin_fd >= 0) ::dup2(stdin_fd, STDIN_FILENO);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    // Nothing else of the test process goes along: the child's descriptors are its own.
    constexpr unsigned kCloseRangeCloexec = 1U << 2;
    ::syscall(SYS_close_range, 3U, ~0U, kCloseRangeCloexec);
    if (max_files > 0) {
      const rlimit limit{max_files, max_files};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(started[1]);
  if (err >= 0) ::close(err);
  char ignored;
  while (pid_ > 0 && ::read(started[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  ::close(started[0]);
  out_fd_ = out[0];
  if (pid_ > 0) pid_fd_ = PidFdOpen(pid_);
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    Signal(SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (pid_fd_ >= 0) ::close(pid_fd_);
}

bool ChildProcess::WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (stdout_.find(needle) == std::string::npos) {
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) return false;  // the child closed its output: it has ended
    stdout_.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

void ChildProcess::Pump(std::chrono::milliseconds timeout) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {pid_fd_, POLLIN, 0}};
  if (::poll(p, 2, static_cast<int>(timeout.count())) <= 0 || out_fd_ < 0 || p[0].revents == 0)
    return;
  char buf[65536];
  const ssize_t n = ::read(out_fd_, buf, sizeof buf);
  if (n > 0) {
    stdout_.append(buf, static_cast<std::size_t>(n));
  } else {
    ::close(out_fd_);  // the end of the output: poll no more on it
    out_fd_ = -1;
  }
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return true;
  if (exit_code_ >= 0) return true;
  pollfd p{pid_fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return false;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::Running() {
  return pid_ > 0 && exit_code_ < 0 && !Wait(std::chrono::milliseconds(0));
}

long ChildProcess::StatusKiB(const char* field) const {
  std::istringstream status(ReadFileText("/proc/" + std::to_string(pid_) + "/status"));
  const std::size_t width = std::char_traits<char>::length(field);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, width, field) == 0) return std::atol(line.c_str() + width);
  }
  return -1;
}

int ChildProcess::OpenFiles() const {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

void ChildProcess::Signal(int signal) {
  if (pid_fd_ >= 0) PidFdSignal(pid_fd_, signal);
}

namespace {

std::string TempPath(const char* what) {
  return (std::filesystem::temp_directory_path() /
          ("quorvin-fault-" + std::to_string(::getpid()) + "-" +
           std::to_string(Clock::now().time_since_epoch().count()) + "-" + what))
      .string();
}

std::vector<std::string> ServeArgs(const std::string& binding,
                                   const std::vector<std::string>& options) {
  std::vector<std::string> argv = {ServeProgram(), "--port", "0", "--binding", binding};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

}  // namespace

ServeProcess::ServeProcess(const std::string& binding, const std::vector<std::string>& options,
                           rlim_t max_files)
    : stderr_path_(TempPath("serve.err")),
      child_(ServeArgs(binding, options), stderr_path_, max_files) {
  // Under the sanitizers the program starts slowly; it says when it listens.
  if (child_.WaitForOutput("Listening on port ", std::chrono::seconds(20)) &&
      child_.WaitForOutput("\n", std::chrono::seconds(5))) {
    port_ = std::atoi(child_.Stdout().c_str() + child_.Stdout().find("port ") + 5);
    state_ = port_ > 0 ? State::kListening : State::kFailed;
    return;
  }
  child_.Wait(std::chrono::seconds(5));
  if (child_.ExitCode() == 2 && Errors().find("not built yet") != std::string::npos)
    state_ = State::kNotBuilt;
}

std::string ServeProcess::Errors() const {
  return ReadFileText(stderr_path_);
}

int ServeProcess::Stop() {
  child_.Signal(SIGTERM);
  if (!child_.Wait(std::chrono::seconds(20))) {
    child_.Signal(SIGKILL);
    child_.Wait(std::chrono::seconds(5));
  }
  std::error_code ec;
  std::filesystem::remove(stderr_path_, ec);
  return child_.ExitCode();
}

RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds hard_limit,
                     int stdin_fd) {
  const std::string err_path = TempPath("run.err");
  RunResult r;
  const auto start = Clock::now();
  {
    ChildProcess child(argv, err_path, 0, stdin_fd);
    const auto deadline = start + hard_limit;
    // Standard output is read as it comes, so that a large output cannot block the child; the
    // peak memory is sampled meanwhile, for it is gone with the process.
    while (child.Running() && Clock::now() < deadline) {
      r.max_rss_kib = std::max(r.max_rss_kib, child.PeakRssKiB());
      child.Pump(std::chrono::milliseconds(10));
    }
    if (child.Running()) {
      child.Signal(SIGKILL);
      child.Wait(std::chrono::seconds(10));
    } else {
      r.exit_code = child.ExitCode();
    }
    for (std::size_t had = SIZE_MAX; had != child.Stdout().size();) {
      had = child.Stdout().size();
      child.Pump(std::chrono::milliseconds(0));  // what it wrote just before it ended
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.out = child.Stdout();
  }
  r.err = ReadFileText(err_path);
  std::error_code ec;
  std::filesystem::remove(err_path, ec);
  return r;
}

}  // namespace quorvin::testing
