// Bugcheck: the end of the process on a violated kernel rule.
#include "pf/host/verifier.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace pf {

void bugcheck(const char* fmt, ...) {
  char reason[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(reason, sizeof reason, fmt, args);
  va_end(args);
  std::fprintf(stderr, "BUGCHECK: %s\n", reason);
  std::fflush(stderr);
  std::abort();
}

namespace verifier {

void requestCompletedTwice(const char* what, const void* request) {
  bugcheck("request completed twice: %s %p", what ? what : "request", request);
}

}  // namespace verifier
}  // namespace pf
