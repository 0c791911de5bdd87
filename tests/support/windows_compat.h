#pragma once
// Included first into every test file of the Windows build: the few POSIX
// calls tests use to set up or to decide whether they can run. Nobody is root
// there, so the tests that need loop devices or mounts skip with their reason.
#ifdef _WIN32
#include <unistd.h>

#include <cstdlib>

inline int geteuid() { return 1; }
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif
