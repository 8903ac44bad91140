// The platform's verifier: a violation of a kernel rule ends the process with
// "BUGCHECK: <reason>" on stderr, as a real kernel would stop the machine.
// Death tests expect that line.
#pragma once

namespace pf {

// Prints "BUGCHECK: <reason>" (printf-style) to stderr and aborts.
[[noreturn]] void bugcheck(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

namespace verifier {

// The class driver's report of a request (SRB, IRP, ...) completed a second
// time; what names the kind of request. Ends in bugcheck().
[[noreturn]] void requestCompletedTwice(const char* what, const void* request);

}  // namespace verifier
}  // namespace pf
