// Loading the module at run time and reading the command line, one definition per platform.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace halvane::cli {

// A loaded module; unloaded when destroyed.
class LoadedModule {
public:
    virtual ~LoadedModule() = default;
    // The address of an export, or null.
    virtual void* Find(const char* name) const = 0;
    // Which file was loaded and what version it carries: the path first, then one line per
    // version detail.
    virtual std::vector<std::string> Describe() const = 0;
};

// Loads the module at `path` (UTF-8); the default path when empty. Null on failure, with a
// reason in `error`.
std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error);

// The program's arguments as UTF-8, the program name excluded.
std::vector<std::string> CommandLine(int argc, char** argv);

// Writes UTF-8 text to standard output unchanged.
void WriteOutput(const std::string& text);

}  // namespace halvane::cli
