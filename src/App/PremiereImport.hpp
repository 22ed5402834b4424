#pragma once

#include <QString>
#include <string>
#include <utility>
#include <vector>

#include "App/DesktopServices.hpp"
#include "Model/Project.hpp"

namespace osterveil {

// What an import of Premiere XML tells the user afterwards.
struct PremiereReport {
    // The imported sequence: its name, frame size and rate head the report.
    Sequence sequence;
    int clipCount = 0;
    // Imported media whose files were not found.
    std::vector<MediaItem> missing;
    // Effects the import did not carry over.
    std::vector<std::string> skipped;
    // Imported clips that are disabled.
    int disabled = 0;
    // The importer's other remarks.
    std::vector<std::string> notes;

    // Nothing missing, skipped, disabled or remarked: no report is shown.
    bool isEmpty() const;
    // The lines of the report joined with line feeds: at most 12 missing files, 12 skipped effects and
    // 6 notes, the rest of the first two counted in a last " more" line.
    QString text() const;
    // "Premiere XML" with the text; with missing media the first button offers to find them in a folder.
    ModalAlert alert() const;
    // The button of `alert` that opens the folder panel.
    static constexpr int locateFolderButton = 0;
};

// The edits that media import and relinking make to a project.
namespace MediaEdits {

// The imported media go after the project's own; the sequence takes the imported name, frame size,
// rate and tracks and loses its In and Out, keeping its id, preview scale and markers.
void mergePremiereImport(Project& project, const std::vector<MediaItem>& media, const Sequence& imported);

// Each pair replaces the first media item with its id, whole; a pair whose id is gone is passed over.
// Returns how many were replaced.
std::size_t replaceMedia(Project& project, const std::vector<std::pair<Uuid, MediaItem>>& replacements);

// Removes the item and every clip that plays it, in the sequence and in every nested sequence (a clip
// left pointing at a removed item could never be relinked). The other clips keep their times.
void removeMedia(Project& project, const Uuid& id);

// Adds imported items to the bin. A sequence still without clips takes its frame size, rate (the
// nearest preset) and name from the first video item of at least 17×17 pixels; a rate of 1 fps or less
// is left alone.
void addImportedMedia(Project& project, const std::vector<MediaItem>& items);

} // namespace MediaEdits
} // namespace osterveil
