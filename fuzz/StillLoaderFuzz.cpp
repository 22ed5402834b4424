// libFuzzer entry point for the still loader: Qt's image readers behind the checks the program adds
// (complete JPEGs, an allocation limit). Whatever decodes must be a picture of sensible size; nothing
// else may escape.
//
// Start from the small pictures in seeds-still/:
//   ./build-fuzz/fuzz/still_loader_fuzz -max_total_time=300 -rss_limit_mb=4096 build-fuzz/still-corpus fuzz/seeds-still

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <QByteArray>
#include <QtGlobal>

#include "Platform/Foundation/Log.hpp"
#include "Platform/Stills/StillReader.hpp"

// Qt's readers warn about every damaged file, and libtiff's words on it go to the program's log; keep
// both off the terminal.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    osterveil::Log::setSink([](osterveil::Log::Level, const std::string&, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace osterveil;
    if (size < 1) return 0;
    // The first byte picks the size asked for: as stored, a thumbnail, or a frame size.
    const int sizes[] = {0, 64, 480, 1920};
    const int maxPixel = sizes[data[0] % 4];
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const auto still = stills::decode(bytes, maxPixel);
    if (!still) return 0;
    if (still->image.isNull() || still->image.width() <= 0 || still->image.height() <= 0) __builtin_trap();
    // What decodes fits the allocation limit, scaled or not.
    if (still->image.sizeInBytes() > qsizetype(stills::allocationLimitMB) * 1024 * 1024) __builtin_trap();
    return 0;
}
