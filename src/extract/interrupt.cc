#include <signal.h>
#include <termios.h>

#include <atomic>
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

// The terminal the pager has switched, its usual mode and the pager's, and
// what each guarded signal did before (SIG_IGN ones are left alone): the
// interrupts, the quit from the terminal (Ctrl-\, which single keys leave
// on as they leave Ctrl-C), and the stop (Ctrl-Z).
constexpr int GUARDED[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
volatile sig_atomic_t guarded_fd = -1;
termios usual_mode{}, keys_mode{};
struct sigaction before_guard[std::size(GUARDED)];
bool guarding[std::size(GUARDED)] = {};

// Gives the terminal its usual mode back, then lets the signal do what it
// did before. An interrupt is delivered again, with that action, once this
// returns; a stop is taken here, and once continued the pager's mode and
// this handler come back.
void on_signal_in_mode(int signal_number) {
  const int saved_errno = errno;
  if (guarded_fd >= 0) tcsetattr(guarded_fd, TCSANOW, &usual_mode);
  struct sigaction ours {};
  for (std::size_t i = 0; i < std::size(GUARDED); ++i)
    if (GUARDED[i] == signal_number) sigaction(signal_number, &before_guard[i], &ours);
  raise(signal_number);
  if (signal_number == SIGTSTP) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    sigaction(SIGTSTP, &ours, nullptr);
    if (guarded_fd >= 0) tcsetattr(guarded_fd, TCSANOW, &keys_mode);
  }
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

void guard_terminal_mode(int fd, const termios* usual, const termios* keys) {
  if (fd < 0) {
    guarded_fd = -1;
    for (std::size_t i = 0; i < std::size(GUARDED); ++i) {
      if (guarding[i]) sigaction(GUARDED[i], &before_guard[i], nullptr);
      guarding[i] = false;
    }
    return;
  }
  usual_mode = *usual;
  keys_mode = *keys;
  // The modes are in place before a handler can see the descriptor.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  guarded_fd = fd;
  for (std::size_t i = 0; i < std::size(GUARDED); ++i) {
    struct sigaction action {};
    action.sa_handler = on_signal_in_mode;
    sigemptyset(&action.sa_mask);
    // A read waiting for a key goes on waiting after a stop; after an
    // interrupt that does not end the program it returns, as elsewhere.
    action.sa_flags = GUARDED[i] == SIGTSTP ? SA_RESTART : 0;
    guarding[i] = sigaction(GUARDED[i], nullptr, &before_guard[i]) == 0 && before_guard[i].sa_handler != SIG_IGN &&
                  sigaction(GUARDED[i], &action, nullptr) == 0;
  }
}
