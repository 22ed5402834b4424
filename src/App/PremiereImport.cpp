#include "App/PremiereImport.hpp"

#include <QStringList>
#include <algorithm>
#include <filesystem>

#include "App/EditorMeasures.hpp"

namespace osterveil {

namespace {

constexpr std::size_t listedItems = 12;
constexpr std::size_t listedNotes = 6;

const QString bullet = QStringLiteral("\u2022 ");

template <class T, class Text>
void appendList(QStringList& lines, const QString& heading, const std::vector<T>& items, Text text) {
    if (items.empty()) return;
    lines << QString() << heading;
    for (std::size_t i = 0; i < std::min(items.size(), listedItems); ++i)
        lines << bullet + text(items[i]);
    if (items.size() > listedItems)
        lines << bullet + QString::number(items.size() - listedItems) + QStringLiteral(" more");
}

// Removes the clips that play `id` from each track holding one; tracks without stay shared.
void removeClipsOf(Sequence& sequence, const Uuid& id) {
    for (std::size_t i = 0; i < sequence.tracks.size(); ++i) {
        const auto uses = [&](const TimelineClip& clip) { return clip.mediaID == id; };
        const auto& clips = sequence.tracks[i].clips;
        if (std::any_of(clips.begin(), clips.end(), uses)) sequence.tracks.mut(i).clips.removeIf(uses);
    }
}

bool plays(const Sequence& sequence, const Uuid& id) {
    return std::any_of(sequence.tracks.begin(), sequence.tracks.end(), [&](const Track& track) {
        return std::any_of(track.clips.begin(), track.clips.end(),
                           [&](const TimelineClip& clip) { return clip.mediaID == id; });
    });
}

} // namespace

bool PremiereReport::isEmpty() const {
    return missing.empty() && skipped.empty() && notes.empty() && disabled <= 0;
}

QString PremiereReport::text() const {
    QStringList lines;
    lines << QString::fromStdString(sequence.name) + QStringLiteral("  ") + QString::number(sequence.width) +
                 QChar(0x00D7) + QString::number(sequence.height) + QStringLiteral("  ") +
                 QString::fromStdString(sequence.frameRate.label());
    lines << QString::number(clipCount) + QStringLiteral(" timeline clips.");
    appendList(lines, QStringLiteral("Offline, file not found:"), missing, [](const MediaItem& item) {
        const std::string file = std::filesystem::path(item.path).filename().string();
        return QString::fromStdString(item.path.empty() ? item.name : file);
    });
    appendList(lines, QStringLiteral("Skipped effects:"), skipped,
               [](const std::string& effect) { return QString::fromStdString(effect); });
    if (disabled > 0)
        lines << QString()
              << QString::number(disabled) + QStringLiteral(" disabled clip") +
                     (disabled == 1 ? QString() : QStringLiteral("s")) +
                     QStringLiteral(" stay on the timeline and do not play.");
    for (std::size_t i = 0; i < std::min(notes.size(), listedNotes); ++i)
        lines << QString::fromStdString(notes[i]);
    return lines.join(QLatin1Char('\n'));
}

ModalAlert PremiereReport::alert() const {
    ModalAlert alert{QStringLiteral("Premiere XML"), text(), {QStringLiteral("OK")}};
    if (!missing.empty()) alert.buttons = {QStringLiteral("Locate Folder…"), QStringLiteral("Leave Offline")};
    return alert;
}

namespace MediaEdits {

void mergePremiereImport(Project& project, const std::vector<MediaItem>& media, const Sequence& imported) {
    for (const MediaItem& item : media)
        project.media.push_back(item);
    Sequence& sequence = project.sequence;
    sequence.name = imported.name;
    sequence.width = imported.width;
    sequence.height = imported.height;
    sequence.frameRate = imported.frameRate;
    sequence.tracks = imported.tracks;
    sequence.inPoint.reset();
    sequence.outPoint.reset();
}

std::size_t replaceMedia(Project& project, const std::vector<std::pair<Uuid, MediaItem>>& replacements) {
    std::size_t replaced = 0;
    for (const auto& replacement : replacements) {
        const Uuid& id = replacement.first;
        const auto& media = project.media;
        const auto found =
            std::find_if(media.begin(), media.end(), [&id](const MediaItem& m) { return m.id == id; });
        if (found == media.end()) continue;
        project.media.mut(static_cast<std::size_t>(found - media.begin())) = replacement.second;
        ++replaced;
    }
    return replaced;
}

void removeMedia(Project& project, const Uuid& id) {
    project.media.removeIf([&id](const MediaItem& item) { return item.id == id; });
    removeClipsOf(project.sequence, id);
    for (std::size_t i = 0; i < project.nests.size(); ++i)
        if (plays(project.nests[i].sequence, id)) removeClipsOf(project.nests.mut(i).sequence, id);
}

void addImportedMedia(Project& project, const std::vector<MediaItem>& items) {
    for (const MediaItem& item : items)
        project.media.push_back(item);
    Sequence& sequence = project.sequence;
    if (sequence.duration() > EditorMeasures::emptyLength) return;
    if (std::any_of(sequence.tracks.begin(), sequence.tracks.end(),
                    [](const Track& track) { return !track.clips.empty(); }))
        return;
    const auto format = std::find_if(items.begin(), items.end(), [](const MediaItem& item) {
        return item.kind == MediaKind::video && item.width >= 17 && item.height >= 17;
    });
    if (format == items.end()) return;
    sequence.width = format->width;
    sequence.height = format->height;
    if (format->nominalFrameRate > 1.0) sequence.frameRate = FrameRate::closest(format->nominalFrameRate);
    sequence.name = format->name;
}

} // namespace MediaEdits
} // namespace osterveil
