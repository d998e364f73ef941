// What --trace shows around an export: the proxy settings the module will see, the
// module's own trace lines and what their error codes mean. One definition per platform.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace halvane::cli {

// Collects this process's trace lines from the module's trace channel while an export runs.
class TraceCapture {
public:
    virtual ~TraceCapture() = default;
    // Stops collecting, within a bounded wait, and returns the lines in the order they were
    // written, each as written (ending in its line feed).
    virtual std::vector<std::string> Stop() = 0;
};

// Starts collecting. Null when the lines cannot be collected, with the reason and where the
// lines go instead in `note`.
std::unique_ptr<TraceCapture> StartTraceCapture(std::string& note);

// The proxy settings the module will see, as one line of text.
std::string DescribeProxySettings();

// The symbolic name and a short meaning of the error code of a FAILED trace line.
std::string ExplainErrorCode(unsigned long code);

}  // namespace halvane::cli
