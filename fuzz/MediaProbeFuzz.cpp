// libFuzzer entry point for the media probe with the decoding behind it: the bytes are written to a
// file (the probe and FFmpeg read files), probed, and the first frames of what is accepted decoded,
// picture and sound. The probe may refuse a file only with `MediaError` or the media layer's errors,
// and decoders only with theirs.
//
// The first byte picks the file's extension, since a name decides the kind where content says nothing.
// Start from the small files in seeds-media/ and ../shared/testdata/damaged:
//   ./build-fuzz/fuzz/media_probe_fuzz -max_total_time=300 -timeout=60 build-fuzz/media-corpus fuzz/seeds-media ../shared/testdata/damaged

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <QtGlobal>

#include "Media/MediaProbe.hpp"
#include "Platform/Foundation/Log.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/MediaErrors.hpp"
#include "Platform/Media/VideoDecoder.hpp"

namespace {

namespace fs = std::filesystem;
using namespace osterveil;

const fs::path& folder() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("osterveil-probe-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

void decodeFirstFrames(const MediaItem& item) {
    const auto asset = media::Asset::open(item.path);
    for (const auto& track : asset->tracks(media::MediaType::video)) {
        try {
            media::VideoDecoder decoder(track);
            for (int i = 0; i < 4; ++i) (void)decoder.frameAt(media::Time(i, 10));
            (void)decoder.frameAt(media::Time::zero());
        } catch (const media::Error&) {
        }
        break;
    }
    for (const auto& track : asset->tracks(media::MediaType::audio)) {
        try {
            media::AudioDecoder decoder(track, 48000, 2);
            for (int i = 0; i < 4 && decoder.next(); ++i) {
            }
            std::vector<float> out(2 * 4800);
            decoder.read(0, 4800, out.data());
        } catch (const media::Error&) {
        }
        break;
    }
}

} // namespace

// The libraries' complaints about damaged input are expected by the thousand; keep them off the terminal.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::setSink([](Log::Level, const std::string&, const std::string&) {});
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const char* const extensions[] = {".mp4", ".mov", ".mkv", ".wav", ".mp3", ".png", ".jpg", ""};
    const fs::path file = folder() / (std::string("input") + extensions[data[0] % 8]);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    // A rewrite may keep the size and the modification time: read every input afresh.
    media::Asset::purgeCache();
    try {
        const MediaItem item = MediaProbe::makeItem(file, std::nullopt);
        if (item.kind != MediaKind::image) decodeFirstFrames(item);
    } catch (const MediaError&) {
    } catch (const media::Error&) {
    }
    std::error_code ec;
    fs::remove(file, ec);
    return 0;
}
