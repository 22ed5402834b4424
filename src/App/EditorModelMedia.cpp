// Media in the bin: import of files and Premiere XML, removal, relinking, reveal, and a clip's LUT.

#include <QFile>
#include <QSet>
#include <QStringList>
#include <algorithm>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "App/EditorModel.hpp"
#include "App/MediaFiles.hpp"
#include "App/Offload.hpp"
#include "Media/MediaProbe.hpp"
#include "Media/PremiereXML.hpp"
#include "Platform/Foundation/LargeBuffer.hpp"

#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>

namespace osterveil {

namespace fs = std::filesystem;

namespace {

// Premiere exports run to tens of megabytes; a file far beyond that is not one, and parsing it would
// only exhaust memory.
constexpr qint64 largestXMLFile = qint64(512) << 20;
// A file is read this much at a time, the import's stop token looked at between pieces.
constexpr std::size_t readPiece = std::size_t(1) << 20;

struct Probe {
    std::optional<MediaItem> item;
    QString error;
};

Probe probe(const fs::path& file, const std::optional<fs::path>& projectURL) {
    try {
        return {MediaProbe::makeItem(file, projectURL), {}};
    } catch (const std::exception& error) {
        // Whatever stopped the probe, its sentence is what the user is told.
        return {std::nullopt, QString::fromUtf8(error.what())};
    }
}

bool fileExists(const fs::path& file) {
    std::error_code error;
    return !file.empty() && fs::exists(file, error);
}

bool isPremiereXML(const fs::path& file) {
    const QString extension = QFile::decodeName(file.extension().c_str()).toLower();
    return extension == QLatin1String(".xml") || extension == QLatin1String(".xmeml");
}

QString counted(const char* verb, std::size_t n) {
    return QString::fromLatin1(verb) + QLatin1Char(' ') + QString::number(n) + QStringLiteral(" file") +
           (n == 1 ? QString() : QStringLiteral("s")) + QLatin1Char('.');
}

// What a Premiere XML import found on its worker.
struct XMLImport {
    // Set when the file could not be read or parsed; nothing else is then.
    QString error;
    PremiereXMLResult result;
    // The file's media, refreshed from the files that exist.
    std::vector<MediaItem> media;
    // Those of them whose files were not found.
    UuidSet offline;
};

// Probes of files whose size and modification time have not changed since: a Premiere sequence
// names the same few files from thousands of clip items, and an import of it again names them again.
class ProbeCache {
  public:
    static ProbeCache& shared() {
        static ProbeCache cache;
        return cache;
    }

    Probe probe(const fs::path& file, const std::optional<fs::path>& projectURL) {
        std::error_code error;
        const fs::path absolute = fs::absolute(file, error).lexically_normal();
        struct stat info {};
        if (error || ::stat(absolute.c_str(), &info) != 0) return osterveil::probe(file, projectURL);
        const std::string key = absolute.string() + '\n' + std::to_string(info.st_size) + '\n' +
                                std::to_string(info.st_mtim.tv_sec) + '.' + std::to_string(info.st_mtim.tv_nsec) +
                                '\n' + (projectURL ? projectURL->string() : std::string());
        {
            const std::lock_guard guard(lock_);
            if (const auto found = items_.find(key); found != items_.end()) {
                MediaItem item = found->second;
                item.id = Uuid::make();
                return {std::move(item), {}};
            }
        }
        Probe probed = osterveil::probe(file, projectURL);
        if (probed.item) {
            const std::lock_guard guard(lock_);
            if (items_.size() >= 4096) items_.clear();
            items_.insert_or_assign(key, *probed.item);
        }
        return probed;
    }

  private:
    std::mutex lock_;
    std::unordered_map<std::string, MediaItem> items_;
};

XMLImport readPremiereXML(const fs::path& file, const std::optional<fs::path>& projectURL,
                          EditorModel::ImportProgress& progress, const std::stop_token& stop) {
    XMLImport out;
    const QString name = QFile::decodeName(file.filename().c_str());
    QFile input(QFile::decodeName(file.c_str()));
    std::error_code error;
    if (!fs::is_regular_file(file, error) || !input.open(QIODevice::ReadOnly)) {
        out.error = QStringLiteral("The file \u201C") + name + QStringLiteral("\u201D couldn't be opened.");
        return out;
    }
    if (input.size() > largestXMLFile) {
        out.error = QStringLiteral("The file \u201C") + name +
                    QStringLiteral("\u201D is too large to be Premiere XML.");
        return out;
    }
    // Stopped by the status bar's Cancel or by the window's going.
    std::stop_source stopping;
    const std::stop_callback cancelled(progress.cancelled.get_token(), [&] { stopping.request_stop(); });
    const std::stop_callback closed(stop, [&] { stopping.request_stop(); });
    const auto stopped = [&] { return stopping.stop_requested(); };
    // A piece at a time, as a file on a slow disk may take a while.
    LargeBuffer data;
    try {
        data.resize(static_cast<std::size_t>(input.size()));
    } catch (const std::bad_alloc&) {
        out.error =
            QStringLiteral("There is not enough memory to import \u201C") + name + QStringLiteral("\u201D.");
        return out;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        if (stopped()) return out;
        const qint64 n = input.read(data.data() + done, qint64(std::min(data.size() - done, readPiece)));
        if (n < 0) {
            out.error = QStringLiteral("The file \u201C") + name + QStringLiteral("\u201D couldn't be read.");
            return out;
        }
        if (n == 0) break;
        done += std::size_t(n);
    }
    data.resize(done);
    try {
        out.result = PremiereXML::parse(data.view(), stopping.get_token());
    } catch (const PremiereXMLError& parseError) {
        if (parseError.kind() != PremiereXMLError::Kind::stopped)
            out.error = QString::fromStdString(parseError.errorDescription());
        return out;
    }
    out.media = out.result.project.media.toVector();

    // Each file once, however many items name it, on several workers.
    std::vector<std::string> paths;
    std::unordered_map<std::string, std::vector<std::size_t>> itemsOf;
    for (std::size_t i = 0; i < out.media.size(); ++i) {
        const std::string& path = out.media[i].path;
        if (path.empty()) continue;
        auto [slot, fresh] = itemsOf.try_emplace(path);
        if (fresh) paths.push_back(path);
        slot->second.push_back(i);
    }
    progress.files = static_cast<int>(paths.size());
    std::vector<std::optional<Probe>> probes(paths.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t k = next++; k < paths.size() && !stopped(); k = next++) {
            if (fileExists(paths[k])) probes[k] = ProbeCache::shared().probe(paths[k], projectURL);
            ++progress.probed;
        }
    };
    {
        // Probing waits on the disk as much as it decodes: a worker per core at most.
        const std::size_t count = std::min<std::size_t>(paths.size(), std::max(2u, std::thread::hardware_concurrency()));
        std::vector<std::jthread> workers;
        for (std::size_t w = 1; w < count; ++w)
            workers.emplace_back(work);
        work();
    }
    if (stopped()) return out;

    for (std::size_t k = 0; k < paths.size(); ++k) {
        if (!probes[k]) continue;
        for (std::size_t i : itemsOf[paths[k]]) {
            MediaItem& item = out.media[i];
            if (probes[k]->item) {
                // The clips refer to the file's id; everything else is what the file is now.
                MediaItem fresh = *probes[k]->item;
                fresh.id = item.id;
                if (fresh.path.empty()) fresh.path = item.path;
                item = std::move(fresh);
            } else {
                // A file the probe rejects stays as the XML describes it, unannounced. Bookmarks cannot
                // be made here, so it has none.
                item.bookmark.reset();
            }
        }
    }
    for (const MediaItem& item : out.media)
        if (!item.resolveURL(projectURL)) out.offline.insert(item.id);
    return out;
}

// A relink says the files behind the media changed, which the project need not show: an item relinked
// to its file put back where it was is equal by value, so no document change would rebuild the preview
// (which finds what is offline) or load the item's pictures again. The model is told all the same.
void relinked(EditorModel& model, const Project& before) {
    if (model.project() == before) model.projectDidChange();
}

// One offline item found in a folder, and what its file turned out to be.
struct FolderMatch {
    Uuid id;
    fs::path file;
    std::optional<MediaItem> probed;
    bool fileExists = false;
};

std::vector<FolderMatch> matchInFolder(const fs::path& folder, const Project& project,
                                       const std::optional<fs::path>& projectURL,
                                       const std::stop_token& stop) {
    const MediaFiles::Index index = MediaFiles::mediaIndex(folder, stop);
    std::vector<FolderMatch> matches;
    if (index.empty()) return matches;
    for (const MediaItem& item : project.media) {
        // Online items stay as they are, even where the folder holds a file of the same name.
        if (item.resolveURL(projectURL)) continue;
        if (auto file = MediaFiles::match(item, index)) matches.push_back({item.id, *file});
    }
    for (FolderMatch& match : matches) {
        if (stop.stop_requested()) return {};
        Probe probed = probe(match.file, projectURL);
        if (probed.item) {
            probed.item->id = match.id;
            if (probed.item->path.empty()) probed.item->path = match.file.string();
            match.probed = std::move(probed.item);
        } else {
            match.fileExists = fileExists(match.file);
        }
    }
    return matches;
}

} // namespace

void EditorModel::importMedia() {
    if (!desktop_) return;
    OpenPanel panel{.prompt = QStringLiteral("Import"),
                    .message =
                        QStringLiteral("QuickTime, audio, stills, or a Premiere Final Cut Pro XML file."),
                    .multipleSelection = true,
                    .filters = MediaFiles::importTypes()};
    panel.filters.push_back(MediaFiles::premiereXMLType());
    QPointer<EditorModel> self(this);
    desktop_->open(panel, [self](std::vector<fs::path> files) {
        if (self && !files.empty()) self->ingest(std::move(files));
    });
}

void EditorModel::ingest(std::vector<fs::path> files, std::function<void()> done) {
    std::vector<fs::path> xml;
    std::vector<fs::path> media;
    for (fs::path& file : files)
        (isPremiereXML(file) ? xml : media).push_back(std::move(file));
    QPointer<EditorModel> self(this);
    importXMLFiles(std::move(xml), 0, [self, media = std::move(media), done = std::move(done)]() mutable {
        if (self) self->addMediaFiles(std::move(media), std::move(done));
    });
}

void EditorModel::importXMLFiles(std::vector<fs::path> files, std::size_t next, std::function<void()> then) {
    if (next >= files.size()) {
        then();
        return;
    }
    const fs::path file = files[next];
    QPointer<EditorModel> self(this);
    importPremiereXML(file, [self, files = std::move(files), next, then = std::move(then)]() mutable {
        if (self) self->importXMLFiles(std::move(files), next + 1, std::move(then));
    });
}

void EditorModel::addMediaFiles(std::vector<fs::path> files, std::function<void()> done) {
    if (files.empty()) {
        if (done) done();
        return;
    }
    struct Outcome {
        std::vector<MediaItem> items;
        QStringList failures;
    };
    offload(
        this,
        [files = std::move(files), url = projectURL_](const std::stop_token& stop) {
            // One file after another, in the order given, while the window is there to take them.
            Outcome outcome;
            for (const fs::path& file : files) {
                if (stop.stop_requested()) break;
                Probe probed = probe(file, url);
                if (probed.item)
                    outcome.items.push_back(std::move(*probed.item));
                else
                    outcome.failures << probed.error;
            }
            return outcome;
        },
        [done = std::move(done)](EditorModel& model, Outcome outcome) {
            if (!outcome.items.empty()) {
                // Applied to the project as it is now: edits made during the probes stay.
                model.edit(QStringLiteral("Import Media"),
                           [&](Project& p) { MediaEdits::addImportedMedia(p, outcome.items); });
                model.setStatus(counted("Imported", outcome.items.size()));
            }
            if (!outcome.failures.isEmpty())
                model.setAlert(AppAlert::make(QStringLiteral("Some files were skipped"),
                                              outcome.failures.join(QLatin1Char('\n'))));
            if (done) done();
        });
}

void EditorModel::importPremiereXML() {
    if (!desktop_) return;
    // No type filter: any file may be chosen, and the parser decides.
    const OpenPanel panel{.prompt = QStringLiteral("Import"),
                          .message = QStringLiteral("Final Cut Pro XML exported from Premiere Pro.")};
    QPointer<EditorModel> self(this);
    desktop_->open(panel, [self](std::vector<fs::path> files) {
        if (self && !files.empty()) self->importPremiereXML(files.front());
    });
}

void EditorModel::importPremiereXML(const fs::path& file, std::function<void()> done) {
    auto progress = std::make_shared<ImportProgress>();
    importProgress_ = progress;
    const QString name = QFile::decodeName(file.filename().c_str());
    const auto showProgress = [this, progress, name] {
        const int files = progress->files, probed = progress->probed;
        setStatus(files > 0 ? QStringLiteral("Importing \u201C%1\u201D: %2 of %3 files probed\u2026")
                                  .arg(name)
                                  .arg(probed)
                                  .arg(files)
                            : QStringLiteral("Importing \u201C%1\u201D\u2026").arg(name));
    };
    showProgress();
    if (!importTimer_) importTimer_ = new QTimer(this);
    importTimer_->disconnect();
    connect(importTimer_, &QTimer::timeout, this, showProgress);
    importTimer_->start(100);
    markChanged(Part::window);

    offload(
        this,
        [file, url = projectURL_, progress](const std::stop_token& stop) {
            return readPremiereXML(file, url, *progress, stop);
        },
        [done = std::move(done), progress, name](EditorModel& model, XMLImport import) {
            if (model.importProgress_ == progress) {
                model.importProgress_.reset();
                model.importTimer_->stop();
                model.markChanged(Part::window);
            }
            if (progress->cancelled.stop_requested()) {
                model.setStatus(QStringLiteral("Import of \u201C%1\u201D cancelled.").arg(name));
                if (done) done();
                return;
            }
            if (!import.error.isEmpty()) {
                model.setAlert(AppAlert::make(QStringLiteral("Could not import Premiere XML"), import.error));
                if (done) done();
                return;
            }
            const Sequence& imported = import.result.project.sequence;
            model.edit(QStringLiteral("Import Premiere XML"),
                       [&](Project& p) { MediaEdits::mergePremiereImport(p, import.media, imported); });
            model.setSelectedClipIDs({});
            model.setCurrentTime(0);

            PremiereReport report{.sequence = imported,
                                  .skipped = import.result.skippedEffects,
                                  .disabled = import.result.disabledClipCount,
                                  .notes = import.result.notes};
            for (const MediaItem& item : model.project().media)
                if (import.offline.contains(item.id)) report.missing.push_back(item);
            for (const Track& track : imported.tracks)
                report.clipCount += static_cast<int>(track.clips.size());
            model.setStatus(QStringLiteral("Imported ") + QString::fromStdString(imported.name) +
                            QStringLiteral(" from Premiere XML."));

            QPointer<EditorModel> self(&model);
            model.presentPremiereReport(report);
            if (self && done) done();
        });
}

void EditorModel::cancelImport() {
    if (importProgress_) importProgress_->cancelled.request_stop();
}

void EditorModel::presentPremiereReport(const PremiereReport& report) {
    if (report.isEmpty() || !desktop_) return;
    // The alert runs its own event loop; keep what it needs alive through it.
    const std::shared_ptr<DesktopServices> desktop = desktop_;
    QPointer<EditorModel> self(this);
    const int answer = desktop->runModal(report.alert());
    if (!self || report.missing.empty() || answer != PremiereReport::locateFolderButton) return;
    const OpenPanel panel{.prompt = QStringLiteral("Relink"),
                          .message = QStringLiteral("Offline media is matched by file name."),
                          .chooseFiles = false,
                          .chooseFolders = true};
    desktop->open(panel, [self](std::vector<fs::path> folders) {
        if (self && !folders.empty()) self->relinkOffline(folders.front());
    });
}

void EditorModel::removeMedia(const Uuid& id) {
    edit(QStringLiteral("Remove Media"), [&](Project& p) { MediaEdits::removeMedia(p, id); });
    const Sequence sequence = project().sequence;
    std::vector<Uuid> kept;
    std::copy_if(timeline_.selectedClipIDs.begin(), timeline_.selectedClipIDs.end(), std::back_inserter(kept),
                 [&](const Uuid& clipID) { return sequence.clip(clipID).has_value(); });
    setSelectedClipIDs(std::move(kept));
}

void EditorModel::relink(const Uuid& mediaID) {
    if (!desktop_) return;
    const std::shared_ptr<DesktopServices> desktop = desktop_;
    QPointer<EditorModel> self(this);
    const int answer = desktop->runModal(
        {QStringLiteral("Relink media"),
         QStringLiteral("Locate this file, or choose a folder and match every offline item by file name."),
         {QStringLiteral("Locate File…"), QStringLiteral("Locate Folder…"), QStringLiteral("Cancel")}});
    if (!self) return;
    if (answer == 0)
        locateFile(mediaID);
    else if (answer == 1)
        locateFolder();
}

void EditorModel::locateFile(const Uuid& mediaID) {
    if (!desktop_) return;
    const OpenPanel panel{.prompt = QStringLiteral("Locate File"), .filters = MediaFiles::importTypes()};
    QPointer<EditorModel> self(this);
    desktop_->open(panel, [self, mediaID](std::vector<fs::path> files) {
        if (self && !files.empty()) self->replaceMedia(mediaID, files.front());
    });
}

void EditorModel::locateFolder() {
    if (!desktop_) return;
    const OpenPanel panel{.prompt = QStringLiteral("Locate Folder"),
                          .message =
                              QStringLiteral("Every offline file is matched by name inside this folder."),
                          .chooseFiles = false,
                          .chooseFolders = true};
    QPointer<EditorModel> self(this);
    desktop_->open(panel, [self](std::vector<fs::path> folders) {
        if (self && !folders.empty()) self->relinkOffline(folders.front());
    });
}

void EditorModel::relinkOffline(const fs::path& folder, std::function<void()> done) {
    offload(
        this,
        [folder, current = project(), url = projectURL_](const std::stop_token& stop) {
            return matchInFolder(folder, current, url, stop);
        },
        [done = std::move(done)](EditorModel& model, std::vector<FolderMatch> matches) {
            const Project current = model.project();
            std::vector<std::pair<Uuid, MediaItem>> replacements;
            for (FolderMatch& match : matches) {
                // An item removed during the probes has nothing left to relink.
                const std::optional<MediaItem> old = current.mediaItem(match.id);
                if (!old) continue;
                if (match.probed) {
                    replacements.emplace_back(match.id, std::move(*match.probed));
                } else if (match.fileExists) {
                    // A file the probe rejects is still where the item's media is: keep what the item
                    // knew about it and point it there. Bookmarks cannot be made here.
                    MediaItem moved = *old;
                    moved.path = match.file.string();
                    moved.bookmark.reset();
                    replacements.emplace_back(match.id, std::move(moved));
                }
            }
            if (replacements.empty()) {
                model.setStatus(QStringLiteral("No file names in that folder matched the offline media."));
            } else {
                model.edit(QStringLiteral("Relink Media"),
                           [&](Project& p) { MediaEdits::replaceMedia(p, replacements); });
                for (const auto& replacement : replacements)
                    model.forgetPictures(replacement.first);
                model.setStatus(counted("Relinked", replacements.size()));
            }
            // Also when nothing matched: an item shown offline may be back in place by now.
            relinked(model, current);
            if (done) done();
        });
}

void EditorModel::replaceMedia(const Uuid& mediaID, const fs::path& file) {
    offload(
        this, [file, url = projectURL_] { return probe(file, url); },
        [mediaID](EditorModel& model, Probe probed) {
            if (!probed.item) {
                model.setAlert(AppAlert::make(QStringLiteral("Could not relink"), probed.error));
                return;
            }
            // Removed while the file was probed: nothing was relinked, so nothing is reported as relinked.
            if (!model.project().mediaItem(mediaID)) return;
            MediaItem item = std::move(*probed.item);
            item.id = mediaID;
            const QString name = QString::fromStdString(item.name);
            const Project before = model.project();
            model.edit(QStringLiteral("Relink Media"), [&](Project& p) {
                MediaEdits::replaceMedia(p, {{mediaID, item}});
            });
            model.forgetPictures(mediaID);
            model.setStatus(QStringLiteral("Relinked ") + name + QLatin1Char('.'));
            relinked(model, before);
        });
}

void EditorModel::revealMedia(const Uuid& id) {
    const std::optional<MediaItem> item = project().mediaItem(id);
    if (!item) return;
    const std::optional<fs::path> file = item->resolveURL(projectURL_);
    if (!file) {
        setStatus(QStringLiteral("That media is offline. Relink it to show it in the file manager."));
        return;
    }
    if (desktop_) desktop_->reveal(*file);
}

void EditorModel::chooseLUT(const Uuid& clipID) {
    if (!desktop_) return;
    const OpenPanel panel{.prompt = QStringLiteral("Load LUT"),
                          .message = QStringLiteral("A .cube look-up table."),
                          .filters = {MediaFiles::lutType()}};
    QPointer<EditorModel> self(this);
    desktop_->open(panel, [self, clipID](std::vector<fs::path> files) {
        if (!self || files.empty()) return;
        // The table is read where it is drawn; a file that is no table shows nothing now. Bookmarks
        // cannot be made here, so any earlier one goes with the earlier table.
        const std::string path = files.front().string();
        self->updateClip(clipID, QStringLiteral("LUT"), [&path](TimelineClip& clip) {
            clip.grade.lumetri.lutPath = path;
            clip.grade.lumetri.lutBookmark.reset();
        });
    });
}

void EditorModel::watchMediaFiles() {
    const Project current = project();
    if (mediaWatch_ && current.media == watchedMedia_ && projectURL_ == watchedProjectURL_) return;
    watchedMedia_ = current.media;
    watchedProjectURL_ = projectURL_;
    if (!mediaWatch_) {
        mediaWatch_ = new MediaFileWatch(mediaSettleDelay, this);
        connect(mediaWatch_, &MediaFileWatch::settled, this, [this] { scheduleRebuild(editRebuildDelay); });
    }
    // Every place an item's file is looked for, there or not: one that has gone may come back.
    QSet<QString> paths;
    for (const MediaItem& item : current.media)
        for (const fs::path& place : item.lookupPaths(projectURL_))
            paths.insert(QFile::decodeName(place.c_str()));
    mediaWatch_->watch(paths);
}

void EditorModel::forgetPictures(const Uuid& mediaID) {
    const bool thumbnail = pictures_.thumbnails.erase(mediaID) > 0;
    const bool waveform = pictures_.waveforms.erase(mediaID) > 0;
    if (thumbnail || waveform) markChanged(Part::pictures);
}

} // namespace osterveil
