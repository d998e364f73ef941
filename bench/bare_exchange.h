// The yardstick of e2e_bench: one HTTPS POST exchange made directly on the platform's own
// stack (libcurl natively, WinHTTP on Windows), the way the module's backend makes it but
// without the module around it. One implementation per platform, chosen by the build.
#ifndef HALVANE_BENCH_BARE_EXCHANGE_H
#define HALVANE_BENCH_BARE_EXCHANGE_H

#include <string>

namespace bare {

struct Target {
    std::string host;
    std::string port;
    std::string path;
    std::string certsDir;  // the test certificates (libcurl reads ca.pem; WinHTTP trusts the user's store)
};

// Label of the bare rows in the tables, the ratio's name and its target.
extern const char kName[], kRatio[], kTarget[];

// Once per process, before any exchange; false when the stack cannot be set up.
bool Setup(const Target& target);
void Teardown();

// The CPU time the whole process has used so far (user and system), in seconds, from the
// platform's own counters: what a call costs this side, whatever else the machine runs.
double ProcessCpuSeconds();

// One POST of `body` on a fresh connection: true for a 200 with a non-empty body.
// Safe to call from several threads at once.
bool Exchange(const std::string& body);

// Where each call's time goes, from its trace lines: StepsBegin before a call on the measuring
// thread, StepsEnd after it (kind 0: the module, 1: the bare exchange); StepsPrint gives the
// mean time from each line to the next (and from the call's start and to its end) per kind.
// Only where the platform lets a program see its own trace lines (WinHTTP: OutputDebugStringA
// raises an exception a handler sees first); elsewhere StepsPrint says so.
void StepsBegin();
void StepsEnd(int kind);
void StepsPrint();

}  // namespace bare

#endif
