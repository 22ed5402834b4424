// libFuzzer entry point for the project reader. The reader may refuse input only with its own two
// errors; any other exception escapes and libFuzzer reports it, as the sanitizers report a crash.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Model/Project.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using osterveil::Project;
    try {
        const Project project = Project::decode(std::string_view(reinterpret_cast<const char*>(data), size));
        // A file that opens must also save, and reopen as the same document.
        if (Project::decode(project.encode()) != project) __builtin_trap();
    } catch (const osterveil::DecodingError&) {
    } catch (const osterveil::ProjectError&) {
    }
    return 0;
}
