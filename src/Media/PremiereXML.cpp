#include "PremiereXML.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "Platform/Foundation/LargeBuffer.hpp"
#include "PremiereXMLInternal.hpp"

namespace osterveil {

PremiereXMLError PremiereXMLError::notASequence() {
    return PremiereXMLError(Kind::notASequence, "This file is not a Final Cut Pro XML sequence. Premiere writes one "
                                                "from File > Export > Final Cut Pro XML.");
}

PremiereXMLError PremiereXMLError::stopped() {
    return PremiereXMLError(Kind::stopped, "The import was stopped.");
}

PremiereXMLError PremiereXMLError::malformed(std::string_view parserMessage, std::ptrdiff_t offset) {
    return PremiereXMLError(Kind::malformed, "This file is not well-formed XML: " + std::string(parserMessage) +
                                                 " at byte " + std::to_string(offset) + ".");
}

namespace premiere_xml {
namespace {

// Where a parse's document lives: large blocks that its nodes and its copy of the bytes are laid in
// one after another, given back whole when the document goes, where millions of nodes freed one by one
// took seconds. The parse stops as soon as its next page of nodes would be laid: the token is asked
// there, and the parser gives up as it would for want of memory.
class DocumentArena {
  public:
    explicit DocumentArena(std::stop_token stop)
        : stop_(std::move(stop)), outer_(std::exchange(current, this)) {}
    ~DocumentArena() { current = outer_; }
    DocumentArena(const DocumentArena&) = delete;
    DocumentArena& operator=(const DocumentArena&) = delete;

    bool stopped() const { return stop_.stop_requested(); }

    // pugixml's allocation functions, for the whole process: a parse on this thread lays its document
    // in its arena, and everything else goes to the heap.
    static void* allocate(std::size_t size) {
        if (!current) return std::malloc(size);
        if (current->stopped()) return nullptr;
        try {
            return current->lay(size);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    static void deallocate(void* p) {
        if (current && current->holds(p)) return;
        std::free(p);
    }

  private:
    static constexpr std::size_t blockSize = std::size_t(64) << 20;

    void* lay(std::size_t size) {
        size = (size + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
        if (blocks_.empty() || used_ + size > blocks_.back().size()) {
            blocks_.emplace_back(std::max(size, blockSize));
            used_ = 0;
        }
        void* p = blocks_.back().data() + used_;
        used_ += size;
        return p;
    }
    bool holds(const void* p) const {
        return std::any_of(blocks_.begin(), blocks_.end(), [p](const LargeBuffer& b) { return b.holds(p); });
    }

    static thread_local DocumentArena* current;
    std::stop_token stop_;
    DocumentArena* outer_;
    std::vector<LargeBuffer> blocks_;
    std::size_t used_ = 0;
};

thread_local DocumentArena* DocumentArena::current = nullptr;

// Larger frames than any camera or display makes; the renderer sizes buffers from these.
constexpr std::int64_t maxFrameSide = 16384;

std::string counted(std::int64_t n, const std::string& singular, const std::string& plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// Premiere exports each stereo or surround audio track as one track per channel, all holding the
// same clips. Each clip plays its file's whole sound here, so the further channel tracks would only
// repeat it: their clips join the first channel's track unless it already has a clip starting there.
void mergeChannel(TrackParse& first, TrackParse&& channel, double frame) {
    std::vector<double> starts;
    starts.reserve(first.clips.size());
    for (const ParsedClip& c : first.clips) starts.push_back(c.start);
    std::sort(starts.begin(), starts.end());
    for (ParsedClip& c : channel.clips) {
        const auto it = std::lower_bound(starts.begin(), starts.end(), c.start - frame / 2);
        if (it != starts.end() && *it <= c.start + frame / 2) continue;
        first.clips.push_back(std::move(c));
    }
}

// Clips on one track may not overlap; an overlap in the file (a channel track written with the
// transition's handle, say) leaves the later clip where the file puts it, in sync with its links,
// and shortens the one it covers.
void resolveOverlaps(std::vector<ParsedClip>& clips, double frame, const std::string& trackName,
                     std::vector<std::string>& notes) {
    std::stable_sort(clips.begin(), clips.end(),
                     [](const ParsedClip& a, const ParsedClip& b) { return a.start < b.start; });
    constexpr double slack = 1e-6;
    std::vector<ParsedClip> kept;
    kept.reserve(clips.size());
    for (ParsedClip& c : clips) {
        while (!kept.empty() && kept.back().end() > c.start + slack) {
            ParsedClip& prev = kept.back();
            const double remaining = c.start - prev.start;
            if (remaining >= frame / 2) {
                const auto frames = static_cast<std::int64_t>(std::llround((prev.end() - c.start) / frame));
                notes.push_back(prev.name + " on " + trackName + " overlapped the next clip and was shortened by " +
                                counted(frames, "frame", "frames") + ".");
                prev.duration = remaining;
                break;
            }
            notes.push_back(prev.name + " on " + trackName + " lay under the clip after it and was left out.");
            kept.pop_back();
        }
        kept.push_back(std::move(c));
    }
    clips = std::move(kept);
}

struct Channel {
    std::int64_t index = 0;
    std::int64_t count = 1;
};

std::optional<Channel> explodedChannel(Element track) {
    const auto index = integer(std::optional<std::string>(track.attribute("currentExplodedTrackIndex").value()));
    const auto count = integer(std::optional<std::string>(track.attribute("totalExplodedTrackCount").value()));
    if (!index || !count || *count < 2 || *index < 0 || *index >= *count) return std::nullopt;
    return Channel{*index, *count};
}

} // namespace
} // namespace premiere_xml

PremiereXMLResult PremiereXML::parse(std::string_view data, const std::stop_token& stop) {
    using namespace premiere_xml;
    const auto stopPoint = [&stop] {
        if (stop.stop_requested()) throw PremiereXMLError::stopped();
    };

    static std::once_flag arenas;
    std::call_once(arenas, [] {
        pugi::set_memory_management_functions(DocumentArena::allocate, DocumentArena::deallocate);
    });
    // Made before the document and gone after it.
    const DocumentArena arena(stop);
    pugi::xml_document doc;
    // Whitespace text is kept so that an element's string value is its full text. Document type
    // declarations are skipped and entities other than the five predefined ones stay unexpanded:
    // nothing outside the bytes is ever read.
    const pugi::xml_parse_result loaded =
        doc.load_buffer(data.data(), data.size(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_auto);
    if (arena.stopped()) throw PremiereXMLError::stopped();
    if (loaded.status == pugi::status_no_document_element) throw PremiereXMLError::notASequence();
    if (!loaded) throw PremiereXMLError::malformed(loaded.description(), loaded.offset);
    const Element root = doc.document_element();
    if (!root) throw PremiereXMLError::notASequence();
    stopPoint();

    const std::vector<Element> sequences = descendants(root, "sequence", stop);
    if (sequences.empty()) throw PremiereXMLError::notASequence();
    const Element sequence = sequences.front();

    ImportState state;
    state.stop = stop;
    if (const pugi::xml_attribute version = root.attribute("version")) {
        const std::string v = validUTF8(version.value());
        if (v != "4" && v != "5") state.notes.push_back("XML version " + v + " was read as Final Cut Pro XML.");
    }
    if (sequences.size() >= 2) state.notes.push_back("Only the first sequence was imported.");

    const Element characteristics = sampleCharacteristics(sequence);
    XMLRate sequenceRate{24, false};
    if (auto r = rate(sequence)) sequenceRate = *r;
    else if (auto r2 = rate(characteristics ? characteristics : sequence)) sequenceRate = *r2;
    const double frame = 1.0 / sequenceRate.fps();

    FrameSize rawSize;
    if (auto w = integer(characteristics, "width")) rawSize.width = *w;
    if (auto h = integer(characteristics, "height")) rawSize.height = *h;
    const std::int64_t width = std::clamp<std::int64_t>(rawSize.width, 16, maxFrameSide);
    const std::int64_t height = std::clamp<std::int64_t>(rawSize.height, 16, maxFrameSide);
    if (rawSize.width > maxFrameSide || rawSize.height > maxFrameSide)
        state.notes.push_back("The frame size " + std::to_string(rawSize.width) + "×" + std::to_string(rawSize.height) +
                              " was limited to " + std::to_string(width) + "×" + std::to_string(height) + ".");

    const FileTable files = fileRecords(root, sequenceRate, stop);
    stopPoint();

    const Element media = sequence.child("media");
    if (!media) throw PremiereXMLError::notASequence();

    std::vector<TrackParse> videoTracks;
    for (Element t = media.child("video").child("track"); t; t = t.next_sibling("track"))
        videoTracks.push_back(clips(t, TrackRole::video, sequenceRate, rawSize, files, state));

    std::vector<TrackParse> audioTracks;
    std::optional<Channel> group; // the multichannel track the last audio track started
    std::int64_t mergedChannels = 0;
    for (Element t = media.child("audio").child("track"); t; t = t.next_sibling("track")) {
        const std::optional<Channel> channel = explodedChannel(t);
        if (channel && channel->index > 0 && group && group->count == channel->count && !audioTracks.empty()) {
            // Its notes would repeat those of the first channel.
            const std::size_t notes = state.notes.size();
            const int unreadable = state.unreadableClips, generators = state.generatorItems;
            const int sequenceRateClips = state.sequenceRateClips;
            TrackParse parsed = clips(t, TrackRole::audio, sequenceRate, rawSize, files, state);
            state.notes.resize(notes);
            state.unreadableClips = unreadable;
            state.generatorItems = generators;
            state.sequenceRateClips = sequenceRateClips;
            mergeChannel(audioTracks.back(), std::move(parsed), frame);
            ++mergedChannels;
            continue;
        }
        audioTracks.push_back(clips(t, TrackRole::audio, sequenceRate, rawSize, files, state));
        group = channel && channel->index == 0 ? channel : std::nullopt;
    }
    if (mergedChannels > 0)
        state.notes.push_back("Merged " + counted(mergedChannels, "audio channel track", "audio channel tracks") +
                              " into the stereo or surround tracks they belong to.");

    for (std::size_t i = 0; i < videoTracks.size(); ++i) {
        stopPoint();
        resolveOverlaps(videoTracks[i].clips, frame, "V" + std::to_string(i + 1), state.notes);
    }
    for (std::size_t i = 0; i < audioTracks.size(); ++i) {
        stopPoint();
        resolveOverlaps(audioTracks[i].clips, frame, "A" + std::to_string(i + 1), state.notes);
    }

    // Links to items that were not imported (channel copies, nested or unreadable items) would leave a
    // clip alone in its group; a group is kept only where it joins two imported clips.
    stopPoint();
    std::unordered_map<std::string, Uuid> groups = linkGroups(state.links, stop);
    {
        std::unordered_map<Uuid, int> members;
        for (const auto* list : {&videoTracks, &audioTracks})
            for (const TrackParse& t : *list) {
                stopPoint();
                for (const ParsedClip& c : t.clips)
                    if (auto it = groups.find(c.xmlID); it != groups.end()) ++members[it->second];
            }
        std::erase_if(groups, [&](const auto& entry) { return members[entry.second] < 2; });
    }

    PremiereXMLResult result;
    Project& project = result.project;
    project.fileVersion = 1;
    project.name = "Untitled";

    std::unordered_map<std::string, Uuid> mediaByFile;
    std::vector<MediaItem> items;
    items.reserve(files.size());
    for (const auto& [id, record] : files) {
        stopPoint();
        items.push_back(mediaItem(record, sequenceRate));
        mediaByFile.emplace(id, items.back().id);
    }
    project.media = CowVector<MediaItem>(items);

    Sequence s = Sequence::makeNew();
    s.name = text(sequence, "name").value_or("Premiere Sequence");
    s.width = width;
    s.height = height;
    s.frameRate = FrameRate::closest(sequenceRate.fps());

    std::vector<Track> tracks;
    const auto addTracks = [&](const std::vector<TrackParse>& parses, TrackRole role, const char* prefix) {
        for (std::size_t i = 0; i < parses.size(); ++i) {
            stopPoint();
            Track t = Track::make(role, prefix + std::to_string(i + 1));
            (role == TrackRole::video ? t.isHidden : t.isMuted) = !parses[i].enabled;
            t.isLocked = parses[i].locked;
            std::vector<TimelineClip> trackClips;
            trackClips.reserve(parses[i].clips.size());
            for (const ParsedClip& c : parses[i].clips) {
                stopPoint();
                trackClips.push_back(makeClip(c, role, mediaByFile, groups));
                if (!c.enabled) ++result.disabledClipCount;
            }
            t.clips = CowVector<TimelineClip>(std::make_move_iterator(trackClips.begin()),
                                              std::make_move_iterator(trackClips.end()));
            tracks.push_back(std::move(t));
        }
    };
    if (videoTracks.empty()) tracks.push_back(Track::make(TrackRole::video, "V1"));
    addTracks(videoTracks, TrackRole::video, "V");
    addTracks(audioTracks, TrackRole::audio, "A");
    if (audioTracks.empty()) tracks.push_back(Track::make(TrackRole::audio, "A1"));
    s.tracks = CowVector<Track>(tracks);
    project.sequence = std::move(s);

    if (state.sequenceRateClips == 1)
        state.notes.push_back(
            "Read 1 clip item at the sequence's frame rate, as the rate the file gives it does "
            "not fit its in and out points.");
    else if (state.sequenceRateClips > 1)
        state.notes.push_back(
            "Read " + std::to_string(state.sequenceRateClips) +
            " clip items at the sequence's frame rate, as the rate the file gives them does not "
            "fit their in and out points.");
    if (state.unreadableClips > 0)
        state.notes.push_back("Skipped " + counted(state.unreadableClips, "clip item", "clip items") +
                              " whose media file or timing could not be read.");
    if (state.generatorItems > 0)
        state.notes.push_back("Skipped " + counted(state.generatorItems, "generator item", "generator items") +
                              " (titles, mattes and other generated media).");

    result.skippedEffects.assign(state.skipped.begin(), state.skipped.end());
    result.notes = std::move(state.notes);
    return result;
}

} // namespace osterveil
