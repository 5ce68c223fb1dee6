// Runs a test body in a forked child (to drop privileges, set limits or close
// descriptors without touching the test runner) and brings its answer back.
#pragma once

#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gridflip {

// `body` returns the text to give back; the child never returns into the runner.
// A child that does not exit cleanly adds " [child failed]" to the answer.
template <class Body>
std::string run_in_child(Body body) {
  int channel[2];
  if (::pipe(channel) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    const std::string answer = body();
    const char* next = answer.data();
    std::size_t left = answer.size();
    while (left > 0) {
      const ssize_t written = ::write(channel[1], next, left);
      if (written <= 0) break;
      next += written;
      left -= static_cast<std::size_t>(written);
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string answer;
  char chunk[256];
  ssize_t got;
  while ((got = ::read(channel[0], chunk, sizeof chunk)) > 0) {
    answer.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) answer += " [child failed]";
  return answer;
}

}  // namespace gridflip
