#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "extract/extract.h"

extern char** environ;

std::vector<char*> script_argv(const std::vector<std::string>& script_args) {
  std::vector<char*> argv;
  argv.reserve(script_args.size() + 3);
  argv.push_back(const_cast<char*>("sh"));
  argv.push_back(const_cast<char*>("./install.sh"));
  for (const std::string& arg : script_args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

std::vector<std::string> script_environment(char* const* environ_vector, const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char* const* entry = environ_vector; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    bool replaced = false;
    for (const std::string& override : overrides) {
      const std::size_t name_end = override.find('=');
      if (variable.size() > name_end && variable.compare(0, name_end + 1, override, 0, name_end + 1) == 0) {
        replaced = true;
        break;
      }
    }
    if (!replaced) env.emplace_back(variable);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

pid_t start_script(const std::vector<std::string>& script_args, const std::vector<std::string>& overrides,
                   const char* shell) {
  std::vector<char*> argv;
  std::vector<std::string> env;
  std::vector<char*> envp;
  try {
    argv = script_argv(script_args);
    env = script_environment(environ, overrides);
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);
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
    execve(shell, argv.data(), envp.data());
    perror("Cannot exec install.sh");
    exit(-1);
  }
  return child;
}
