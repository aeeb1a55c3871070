#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "extract/extract.h"

std::vector<char*> script_argv(const std::vector<std::string>& script_args) {
  std::vector<char*> argv;
  argv.reserve(script_args.size() + 3);
  argv.push_back(const_cast<char*>("sh"));
  argv.push_back(const_cast<char*>("./install.sh"));
  for (const std::string& arg : script_args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

pid_t start_script(const std::vector<std::string>& script_args, const char* shell) {
  std::vector<char*> argv;
  try {
    argv = script_argv(script_args);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    perror("Script argv allocation");
    return -1;
  }
  // Nothing buffered may be written twice, or after the script's output.
  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child == -1) {
    perror("Cannot fork");
    return -1;
  }
  if (child == 0) {
    execv(shell, argv.data());
    perror("Cannot exec install.sh");
    exit(-1);
  }
  return child;
}
