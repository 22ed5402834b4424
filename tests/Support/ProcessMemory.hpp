#pragma once

#include <fstream>
#include <string>

// The process's own memory as the kernel counts it, for benchmarks.
namespace osterveil::testsupport {

// A field of /proc/self/status counted in kB ("VmRSS", "VmHWM"), in MB; 0 when there is none.
inline double statusMegabytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024;
    return 0;
}

// Resident now, and at most since the process began or the peak was last reset.
inline double residentMegabytes() { return statusMegabytes("VmRSS"); }
inline double peakResidentMegabytes() { return statusMegabytes("VmHWM"); }

} // namespace osterveil::testsupport
