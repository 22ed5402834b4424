#include "Platform/Stills/TiffMessages.hpp"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>

#include <tiffio.h>

#include "Platform/Foundation/Log.hpp"

namespace osterveil::stills {

namespace {

thread_local TiffMessages* current = nullptr;

// Files already told of. Far more than a project holds; past it the record starts again.
constexpr std::size_t kRemembered = 4096;
std::mutex toldLock;

std::unordered_set<std::string>& toldFiles() {
    static std::unordered_set<std::string> files;
    return files;
}

bool firstWordOn(const std::string& file) {
    std::lock_guard lock(toldLock);
    auto& told = toldFiles();
    if (told.size() >= kRemembered) told.clear();
    return told.insert(file).second;
}

void warned(thandle_t, const char* module, const char* format, va_list args) {
    TiffMessages::report(false, module, format, args);
}

void failed(thandle_t, const char* module, const char* format, va_list args) {
    TiffMessages::report(true, module, format, args);
}

} // namespace

TiffMessages::TiffMessages(std::filesystem::path file) : file_(std::move(file)), outer_(current) {
    // Once, before the first reading that may need it: the handlers are the whole process's.
    static std::once_flag routed;
    std::call_once(routed, [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandlerExt(warned);
        TIFFSetErrorHandlerExt(failed);
    });
    current = this;
}

TiffMessages::~TiffMessages() {
    current = outer_;
}

void TiffMessages::report(bool error, const char* module, const char* format, va_list args) {
    TiffMessages* reading = current;
    if (reading && reading->told_) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = module && *module ? std::string(module) + ": " + text : std::string(text);
    if (reading) {
        reading->told_ = true;
        if (!reading->file_.empty() && !firstWordOn(reading->file_.string())) return;
        line = (reading->file_.empty() ? std::string("A still") : reading->file_.string()) + ": " + line;
    }
    if (error)
        Log::media().error(line);
    else
        Log::media().info(line);
}

} // namespace osterveil::stills
