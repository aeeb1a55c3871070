#include <signal.h>

#include <cerrno>

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
