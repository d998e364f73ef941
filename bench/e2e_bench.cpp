// End-to-end cost of the module against the reference service: GetTodayStatus through the
// shared library versus bare HTTPS POST exchanges on the same stack (bare_exchange.h:
// libcurl natively, WinHTTP on Windows; a fresh connection per request, same TLS settings,
// same URL), measured in the same run.
//
//   e2e_bench [--calls N] [--seconds S] [--threads 1,4,16]
//
// Runs under tests/e2e/with_service.py (HALVANE_TEST_PORT, HALVANE_TEST_CERTS) with a
// scripted service that answers every request with a signed "completed" status; the port
// must be the one the module was built for.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bare_exchange.h"
#include "halvane.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char16_t kKey[] = u"HLV-7F3A-91C2-E5D8-0B6A";
constexpr char16_t kAccount[] = u"50012345";
constexpr char kExpected[] = "completed|ready|100|false";

bool ModuleCall() {
    HalvaneChar result[256] = {};
    GetTodayStatus(reinterpret_cast<const HalvaneChar*>(kKey), reinterpret_cast<const HalvaneChar*>(kAccount), result,
                   256);
    for (std::size_t i = 0;; ++i) {
        if (result[i] != static_cast<HalvaneChar>(kExpected[i])) return false;
        if (kExpected[i] == '\0') return true;
    }
}

std::string RequestBody() {
    thread_local std::mt19937_64 generator(std::random_device{}());
    char nonce[33];
    std::snprintf(nonce, sizeof nonce, "%016llx%016llx", static_cast<unsigned long long>(generator()),
                  static_cast<unsigned long long>(generator()));
    return "key=HLV-7F3A-91C2-E5D8-0B6A&account=50012345&nonce=" + std::string(nonce) +
           "&timestamp=" + std::to_string(static_cast<long long>(std::time(nullptr)));
}

// The request body is made per call, as the module makes its envelope per call.
bool BareCall() { return bare::Exchange(RequestBody()); }

using Exchange = bool (*)();

struct Latencies {
    std::vector<double> ms;
    double cpuSeconds = 0;  // the process's CPU time spent inside the calls
    int failures = 0;

    double Mean() const {
        double sum = 0;
        for (double v : ms) sum += v;
        return ms.empty() ? 0 : sum / static_cast<double>(ms.size());
    }
    double Percentile(double p) const {
        if (ms.empty()) return 0;
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        const auto at = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
        return sorted[at];
    }
};

void Measure(Exchange exchange, int count, Latencies& out, bool steps = false) {
    for (int i = 0; i < count; ++i) {
        const double cpuStart = bare::ProcessCpuSeconds();
        if (steps) bare::StepsBegin();
        const auto start = Clock::now();
        const bool ok = exchange();
        out.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (steps) bare::StepsEnd(exchange == ModuleCall ? 0 : 1);
        out.cpuSeconds += bare::ProcessCpuSeconds() - cpuStart;
        if (!ok) ++out.failures;
    }
}

struct Throughput {
    double perSecond = 0;
    long calls = 0;
    long failures = 0;
};

void RunFor(Exchange exchange, int threads, double seconds, Throughput& total, double& elapsedTotal) {
    // The service finishes off the previous run's connections first.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::atomic<long> calls{0}, failures{0};
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            while (Clock::now() < deadline) {
                if (!exchange()) ++failures;
                ++calls;
            }
        });
    }
    for (std::thread& thread : pool) thread.join();
    elapsedTotal += std::chrono::duration<double>(Clock::now() - start).count();
    total.calls += calls.load();
    total.failures += failures.load();
}

// Module and bare runs alternate (module, bare, bare, module) so that neither always runs
// right after the other.
void RunPair(int threads, double seconds, Throughput& module, Throughput& bareRuns) {
    double moduleElapsed = 0, bareElapsed = 0;
    RunFor(ModuleCall, threads, seconds / 2, module, moduleElapsed);
    RunFor(BareCall, threads, seconds / 2, bareRuns, bareElapsed);
    RunFor(BareCall, threads, seconds / 2, bareRuns, bareElapsed);
    RunFor(ModuleCall, threads, seconds / 2, module, moduleElapsed);
    module.perSecond = static_cast<double>(module.calls) / moduleElapsed;
    bareRuns.perSecond = static_cast<double>(bareRuns.calls) / bareElapsed;
}

std::vector<int> ParseList(const char* text) {
    std::vector<int> values;
    for (const char* p = text; *p != '\0';) {
        char* end = nullptr;
        const long value = std::strtol(p, &end, 10);
        if (end == p || value < 1) break;
        values.push_back(static_cast<int>(value));
        p = *end == ',' ? end + 1 : end;
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 200;
    double seconds = 5;
    std::vector<int> threadCounts = {1, 4, 16};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--calls") == 0)
            calls = std::max(10, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(0.5, std::atof(argv[i + 1]));
        else if (std::strcmp(argv[i], "--threads") == 0)
            threadCounts = ParseList(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: e2e_bench [--calls N] [--seconds S] [--threads 1,4,16]\n");
            return 2;
        }
    }
    const char* port = std::getenv("HALVANE_TEST_PORT");
    const char* certs = std::getenv("HALVANE_TEST_CERTS");
    if (port == nullptr || certs == nullptr) {
        std::fprintf(stderr, "e2e_bench: run me under tests/e2e/with_service.py\n");
        return 2;
    }
    if (!bare::Setup({"localhost", port, "/get_today_status.php", certs})) {
        std::fprintf(stderr, "e2e_bench: cannot set up the bare exchanges\n");
        return 2;
    }

    // Warm-up: first connections, page faults, the service's first requests.
    Latencies warm;
    Measure(ModuleCall, 5, warm);
    Measure(BareCall, 5, warm);
    if (warm.failures != 0) {
        std::fprintf(stderr, "e2e_bench: %d of 10 warm-up exchanges failed (service, port or CA?)\n", warm.failures);
        return 1;
    }

    // Sequential: module and bare calls alternate one by one (in both orders), so that
    // drift and other load on the machine hit both alike.
    Latencies moduleCalls, bareCalls;
    for (int i = 0; i < calls; ++i) {
        if (i % 2 == 0) {
            Measure(ModuleCall, 1, moduleCalls, true);
            Measure(BareCall, 1, bareCalls, true);
        } else {
            Measure(BareCall, 1, bareCalls, true);
            Measure(ModuleCall, 1, moduleCalls, true);
        }
    }
    std::printf("sequential, %d calls each, one fresh TLS connection per call (ms per call)\n", calls);
    std::printf("%-28s %9s %9s %9s %9s %9s\n", "", "mean", "median", "p90", "p99", "failures");
    std::printf("%-28s %9.3f %9.3f %9.3f %9.3f %9d\n", "GetTodayStatus (module)", moduleCalls.Mean(),
                moduleCalls.Percentile(0.5), moduleCalls.Percentile(0.9), moduleCalls.Percentile(0.99),
                moduleCalls.failures);
    std::printf("%-28s %9.3f %9.3f %9.3f %9.3f %9d\n", bare::kName, bareCalls.Mean(), bareCalls.Percentile(0.5),
                bareCalls.Percentile(0.9), bareCalls.Percentile(0.99), bareCalls.failures);
    std::printf("ratio %s: mean %.3f, median %.3f (target <= %s)\n", bare::kRatio,
                moduleCalls.Mean() / bareCalls.Mean(), moduleCalls.Percentile(0.5) / bareCalls.Percentile(0.5),
                bare::kTarget);
    bare::StepsPrint();
    // This side's CPU per call: what the module adds to the exchange, little moved by other
    // load on the machine (the service's share is in its own process).
    const double moduleCpuMs = 1000 * moduleCalls.cpuSeconds / calls, bareCpuMs = 1000 * bareCalls.cpuSeconds / calls;
    std::printf("client CPU per call: module %.3f ms, bare %.3f ms, ratio %.3f\n\n", moduleCpuMs, bareCpuMs,
                moduleCpuMs / bareCpuMs);

    std::printf("throughput, %.1f s of each kind per thread count (calls per second)\n", seconds);
    // The ratio reads like the sequential one: time per module call over time per bare call.
    std::printf("%-8s %12s %12s %12s %10s\n", "threads", "module", "bare", "bare/module", "failures");
    long failures = moduleCalls.failures + bareCalls.failures;
    for (int threads : threadCounts) {
        Throughput m, b;
        RunPair(threads, seconds, m, b);
        std::printf("%-8d %12.1f %12.1f %12.3f %10ld\n", threads, m.perSecond, b.perSecond, b.perSecond / m.perSecond,
                    m.failures + b.failures);
        failures += m.failures + b.failures;
    }
    bare::Teardown();
    return failures == 0 ? 0 : 1;
}
