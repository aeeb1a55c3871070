#include <signal.h>
#include <termios.h>

#include <cerrno>
#include <iterator>

#include "extract/extract.h"

namespace {

// Written by the handlers, read by the run between its blocking calls.
volatile sig_atomic_t received_signal = 0;
volatile pid_t child_pid = 0;

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int signal_number) {
  const int saved_errno = errno;
  received_signal = signal_number;
  if (child_pid > 0) kill(child_pid, signal_number);
  errno = saved_errno;
}

// The terminal the pager has switched, the mode to give it back, and what
// each interrupting signal did before (SIG_IGN ones are left alone).
volatile sig_atomic_t guarded_fd = -1;
termios guarded_mode{};
struct sigaction before_guard[std::size(INTERRUPTS)];
bool guarding[std::size(INTERRUPTS)] = {};

// Gives the terminal its mode back, then lets the signal do what it did
// before: it is delivered again, with that action, once this returns.
void on_interrupt_in_mode(int signal_number) {
  const int saved_errno = errno;
  if (guarded_fd >= 0) tcsetattr(guarded_fd, TCSANOW, &guarded_mode);
  for (std::size_t i = 0; i < std::size(INTERRUPTS); ++i)
    if (INTERRUPTS[i] == signal_number) sigaction(signal_number, &before_guard[i], nullptr);
  raise(signal_number);
  errno = saved_errno;
}

// A write into a pipe whose reader has gone then fails with EPIPE instead of
// ending the program. A handler rather than SIG_IGN: children start with the
// default action again when they execute their program.
void on_broken_pipe(int) {}

void install(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking read, write or prompt returns EINTR, so the
  // run notices the signal where it waits.
  action.sa_flags = 0;
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void catch_interrupts() {
  for (const int signal_number : INTERRUPTS) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    // nohup and friends start the program with the signal ignored; it stays so.
    if (current.sa_handler == SIG_IGN) continue;
    install(signal_number, on_interrupt);
  }
}

void catch_broken_pipe() { install(SIGPIPE, on_broken_pipe); }

int interrupt_signal() { return received_signal; }

void forward_interrupts_to(pid_t child) {
  child_pid = child;
  // A signal that came between the fork and now has not reached the child.
  if (child > 0 && received_signal != 0) kill(child, received_signal);
}

void guard_terminal_mode(int fd, const termios* mode) {
  if (fd < 0) {
    guarded_fd = -1;
    for (std::size_t i = 0; i < std::size(INTERRUPTS); ++i) {
      if (guarding[i]) sigaction(INTERRUPTS[i], &before_guard[i], nullptr);
      guarding[i] = false;
    }
    return;
  }
  guarded_mode = *mode;
  guarded_fd = fd;
  struct sigaction action {};
  action.sa_handler = on_interrupt_in_mode;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(INTERRUPTS); ++i) {
    guarding[i] = sigaction(INTERRUPTS[i], nullptr, &before_guard[i]) == 0 && before_guard[i].sa_handler != SIG_IGN &&
                  sigaction(INTERRUPTS[i], &action, nullptr) == 0;
  }
}
