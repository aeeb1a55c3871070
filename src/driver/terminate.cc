// What the stub prints when an exception escapes (only the C++ library's
// own, such as a failed allocation, can). libstdc++'s handler names the
// exception's type through its demangler, which is 47 KB of every package;
// this one prints the exception's what() instead, and aborts as that does.
// It is an object of the program itself, so the library's is never linked.
#include <cstdio>
#include <cstdlib>
#include <exception>

#if defined(__GLIBCXX__)
namespace __gnu_cxx {

void __verbose_terminate_handler() {
  static bool entered = false;
  if (!entered) {
    // Once: a second terminate (from what() itself) goes straight to abort.
    entered = true;
    const std::exception_ptr current = std::current_exception();
    if (!current) {
      fputs("terminate called without an active exception\n", stderr);
    } else {
      try {
        std::rethrow_exception(current);
      } catch (const std::exception& e) {
        fprintf(stderr, "terminate called after throwing an exception\n  what():  %s\n", e.what());
      } catch (...) {
        fputs("terminate called after throwing an exception\n", stderr);
      }
    }
  }
  abort();
}

}  // namespace __gnu_cxx
#endif
