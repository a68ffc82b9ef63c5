#include "IsolatedRuns.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sweep {

namespace {

using Clock = std::chrono::steady_clock;

// Findings travel NUL-separated, so they may hold any text but NUL.
void WriteAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void RunChild(const IsolatedRun &run, size_t index, int fd) {
  std::string out;
  for (const std::string &finding : run(index)) out += finding + '\0';
  WriteAll(fd, out);
  close(fd);
  // No exit handlers: the parent's test framework and leak checks are not the child's business.
  _exit(0);
}

struct Child {
  pid_t pid = -1;
  int fd = -1;
  size_t index = 0;
  Clock::time_point deadline;
  std::string received;
};

void Finish(Child &child, IsolatedOutcome &outcome, bool hung) {
  close(child.fd);
  int status = 0;
  if (hung) kill(child.pid, SIGKILL);
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (hung) {
    outcome.end = IsolatedOutcome::End::kHung;
    return;
  }
  if (WIFSIGNALED(status)) {
    outcome.end = IsolatedOutcome::End::kCrashed;
    outcome.how = std::string("signal ") + std::to_string(WTERMSIG(status)) + " (" +
                  strsignal(WTERMSIG(status)) + ")";
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    outcome.end = IsolatedOutcome::End::kCrashed;
    outcome.how = "exit status " + std::to_string(WEXITSTATUS(status));
  }
  for (size_t at = 0; at < child.received.size();) {
    size_t end = child.received.find('\0', at);
    if (end == std::string::npos) end = child.received.size();
    outcome.findings.push_back(child.received.substr(at, end - at));
    at = end + 1;
  }
}

}  // namespace

std::vector<IsolatedOutcome> RunIsolated(size_t count, const IsolatedRun &run, unsigned parallel,
                                         std::chrono::milliseconds limit) {
  std::vector<IsolatedOutcome> outcomes(count);
  std::vector<Child> running;
  size_t next = 0;
  if (parallel == 0) parallel = 1;
  while (next < count || !running.empty()) {
    while (next < count && running.size() < parallel) {
      int fds[2];
      if (pipe(fds) != 0) {
        outcomes[next].end = IsolatedOutcome::End::kCrashed;
        outcomes[next++].how = std::string("no pipe: ") + std::strerror(errno);
        continue;
      }
      std::fflush(nullptr);  // what the parent buffered must not be written twice
      pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        for (const Child &other : running) close(other.fd);
        RunChild(run, next, fds[1]);
      }
      close(fds[1]);
      if (pid < 0) {
        close(fds[0]);
        outcomes[next].end = IsolatedOutcome::End::kCrashed;
        outcomes[next++].how = std::string("no child: ") + std::strerror(errno);
        continue;
      }
      running.push_back(Child{pid, fds[0], next++, Clock::now() + limit, {}});
    }
    if (running.empty()) break;

    std::vector<pollfd> polled;
    Clock::time_point soonest = running.front().deadline;
    for (const Child &child : running) {
      polled.push_back(pollfd{child.fd, POLLIN, 0});
      soonest = std::min(soonest, child.deadline);
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(soonest - Clock::now());
    int ready =
        poll(polled.data(), polled.size(), static_cast<int>(std::max<long>(0, wait.count())));
    if (ready < 0 && errno != EINTR) break;

    for (size_t i = running.size(); i-- > 0;) {
      Child &child = running[i];
      bool ended = false;
      if (polled[i].revents != 0) {
        char buffer[4096];
        ssize_t n = read(child.fd, buffer, sizeof(buffer));
        if (n > 0) {
          child.received.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          Finish(child, outcomes[child.index], /*hung=*/false);
          ended = true;
        }
      }
      if (!ended && Clock::now() >= child.deadline) {
        Finish(child, outcomes[child.index], /*hung=*/true);
        ended = true;
      }
      if (ended) running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return outcomes;
}

}  // namespace sweep
