// libFuzzer entry point for the Final Cut Pro XML importer. It may refuse input only with its own
// error; any other exception escapes and libFuzzer reports it, as the sanitizers report a crash.
//
// Premiere's exports in ../shared/testdata/xmeml make a good starting corpus:
//   ./build-fuzz/fuzz/premiere_xml_fuzz -max_total_time=60 build-fuzz/xml-corpus ../shared/testdata/xmeml

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Media/PremiereXML.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace osterveil;
    try {
        const PremiereXMLResult result = PremiereXML::parse(std::string_view(reinterpret_cast<const char*>(data), size));
        // Whatever imports must save: finite numbers and UTF-8 text throughout.
        (void)result.project.encode();
        for (const Track& t : result.project.sequence.tracks)
            for (const TimelineClip& c : t.clips)
                if (!(c.duration > 0) || !std::isfinite(c.start)) __builtin_trap();
    } catch (const PremiereXMLError&) {
    }
    return 0;
}
