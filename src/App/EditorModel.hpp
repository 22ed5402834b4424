#pragma once

#include <QImage>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <unordered_map>
#include <vector>

#include "App/DesktopServices.hpp"
#include "App/EditorTypes.hpp"
#include "App/KeyPress.hpp"
#include "App/MediaFileWatch.hpp"
#include "App/PlayerControl.hpp"
#include "App/PremiereImport.hpp"
#include "App/ProjectDocument.hpp"
#include "App/RebuildScheduler.hpp"
#include "App/WorkService.hpp"
#include "Model/Project.hpp"
#include "Model/TimelineEditing.hpp"

namespace osterveil {

// The controller of one editor window: everything the window shows beyond the project itself
// (playhead, transport, tool, selection, zoom, thumbnails, status line, alert, sheets, source monitor
// marks, panel options), and the one way the window changes the project.
//
// The model does not own the project; its document does. It reads the project through the document
// and writes every changed project back whole (`edit`, `live` and the transient-edit bracket); it
// keeps no copy of its own beyond the snapshot of an open gesture.
//
// Published state is four plain values behind getters (see "Published state" below), each announced
// on its own once per event-loop turn, so that a view refreshes only for what it shows. Everything
// runs on the GUI thread; work sent elsewhere comes back with a queued call before it touches state.
//
// The methods live in one file per area: EditorModel.cpp (state and lifecycle), EditorModelEditing.cpp
// (the edit and undo protocol and the edits it names), EditorModelRebuild.cpp (the preview),
// EditorModelPlayback.cpp (the players), EditorModelKeys.cpp (what only keys and menus run),
// EditorModelClips.cpp (the inspector's and sheets' edits), and the timeline and media commands' files.
class EditorModel : public QObject {
    Q_OBJECT
  public:
    // The monitor that Space, J/K/L, frame steps, Home/End and the mark keys drive.
    enum class MonitorFocus { program, source };

    using Mutation = std::function<void(Project&)>;

    // Rebuild waits after a document change: an ordinary one, and one during a gesture, whose live
    // steps arrive many times a second.
    static constexpr std::chrono::milliseconds editRebuildDelay{40};
    static constexpr std::chrono::milliseconds gestureRebuildDelay{160};
    // How long a changed media file must keep its size and modification time before it is looked at
    // again: one being copied, recorded or rendered into changes many times a second.
    static constexpr std::chrono::milliseconds mediaSettleDelay{1000};

    // The model owns its program and source players; the window hands it real ones, tests stand-ins.
    EditorModel(std::unique_ptr<PlayerControl> player, std::unique_ptr<PlayerControl> sourcePlayer,
                QObject* parent = nullptr);
    ~EditorModel() override;

    // ----- Lifecycle -------------------------------------------------------------------------------

    // Binds the model to its window's document: from now on it reads and writes that document, records
    // undo steps on its stack and resolves media against its file URL. The first attach installs the
    // players' observers; every attach sets the program player's volume again. Repeated calls with the
    // same or another document are fine.
    void attach(ProjectDocument* document);
    // The reaction to a changed document: schedules the preview rebuild (a short wait, longer while a
    // gesture is open).
    void projectDidChange();
    // The window's document hook: `attach` and `projectDidChange` now, and again after every change of
    // the document's project; after a change of its file URL, `attach` and a new look at the media.
    void followDocument(ProjectDocument* document);

    // The document's project; with none attached, a new default project, built afresh on every read.
    Project project() const;
    // The last selected clip, which the inspector and the single-clip commands act on.
    std::optional<Uuid> primaryClipID() const;

    // The document's file, against which media paths resolve; none for a document never saved.
    const std::optional<std::filesystem::path>& projectURL() const { return projectURL_; }

    PlayerControl& player() const { return *player_; }
    PlayerControl& sourcePlayer() const { return *sourcePlayer_; }
    const RebuildScheduler& rebuilds() const { return rebuilds_; }

    // ----- Edit and undo protocol --------------------------------------------------------------------
    //
    // Every change of the project goes through these. An edit that changes nothing records nothing;
    // each that does is one undo step named for the user ("Undo Split"). Undo and redo restore the
    // project only: selection, playheads and marks stay as they are.

    // A committed, undoable change. Commits an open gesture first, under this edit's name.
    void edit(const QString& name, const Mutation& mutation);
    // One step of a continuous gesture (a drag, a slider), written at once and not undoable by itself.
    // Opens the gesture when none is open.
    void live(const Mutation& mutation);
    // Gestures bracket their live steps so they become one undo step, or none when cancelled.
    void beginTransientEdit();
    void commitTransientEdit(const QString& name);
    void cancelTransientEdit();
    // Records one undo step back to `snapshot` unless the project already equals it. For commands that
    // build their new project themselves.
    void registerUndo(const Project& snapshot, const QString& name);
    bool isTransientEditOpen() const { return transientBefore_.has_value(); }
    // The window's Undo and Redo. A gesture still open is called off first, as Escape calls it off
    // (`transientEditCancelled`): committing it would record a step that drops every step Redo could
    // bring back, and the gesture's own steps are no part of the history yet.
    void undo();
    void redo();

    // Edits of the timeline panel's menus.
    void setPreviewScale(double scale);
    void addVideoTrack();
    void addAudioTrack();

    // ----- Timeline commands -------------------------------------------------------------------------
    //
    // What the menus, the single-key map, the timeline and the clip panels call on the selection, the
    // playhead and the marks. Each change of the project is at most one undo step under a fixed name; a
    // command that cannot apply leaves the project alone and, where the user should know, says why in
    // `status`. Defined in EditorModelCommands.cpp (selection and edits), EditorModelPlacement.cpp
    // (placing media and titles), EditorModelGestures.cpp (live drags) and EditorModelTracks.cpp.

    // Selection. Additive toggles each id (present: removed; absent: appended, so it becomes primary).
    void select(const UuidSet& ids, bool additive);
    void selectOnly(const Uuid& id);
    // Every clip, track by track, locked and hidden tracks included.
    void selectAll();

    // Edits of the selection and at the playhead.
    void liftDelete();
    void rippleDelete();
    // Cuts at the playhead on the targeted tracks.
    void splitAtPlayhead();
    // The razor: cuts one clip (and its linked partners) at `time`.
    void split(const Uuid& clipID, double time);
    void linkSelected();
    void unlinkSelected();
    void markSequenceIn();
    void markSequenceOut();
    // The marks of the focused monitor: the source item's (window state, no undo) or the sequence's.
    void markIn();
    void markOut();
    void clearMarks();
    // Removes the marker within half a frame of the playhead, else adds one there.
    void toggleMarker();
    // Moves the program playhead to the next or previous marker more than half a frame away.
    void goToMarker(bool forward);
    void rippleTrimToPlayhead(bool next);
    // Act on the primary clip, by a count of sequence frames.
    void slipSelection(int frames);
    void slideSelection(int frames);
    void rollSelection(int frames);
    void nestSelection();
    // How long the clip's source runs, for the editing operations; 0 means no fixed length (titles,
    // stills, unknown clips).
    static double sourceDuration(const Uuid& clipID, const Project& project);

    // Placing media and titles. Each selects what it placed and keeps the playhead where it is.
    void commitPlacement(const Uuid& mediaID, double time, const std::optional<Uuid>& trackID,
                         TimelinePlacement mode);
    // The source monitor's marked span when it shows this item, else the whole item; stills five seconds.
    SourceSpan sourceSpan(const MediaItem& item) const;
    void insertMediaAtPlayhead(const Uuid& mediaID);
    void overwriteMediaAtPlayhead(const Uuid& mediaID);
    void addTitle();

    // Live gesture steps. `delta` is the whole offset since the gesture began: every step starts again
    // from the project as it was then. The caller ends the gesture with `commitTransientEdit` ("Move",
    // "Trim", a control's name) or `cancelTransientEdit`.
    void previewMove(const Uuid& draggedID, double delta, const std::optional<Uuid>& destinationTrackID,
                     bool unlink);
    void previewTrim(const Uuid& clipID, TrimEdge edge, double delta, bool unlink);
    // A live change of one clip; refused (see the clip settings below) when the clip has gone.
    EditResult liveClip(const Uuid& id, const std::function<void(TimelineClip&)>& body);

    // Track headers and clip panels.
    void removeTrack(const Uuid& id);
    void toggleMute(const Uuid& trackID);
    void toggleHidden(const Uuid& trackID);
    void toggleLocked(const Uuid& trackID);
    void toggleSolo(const Uuid& trackID);
    void toggleTarget(const Uuid& trackID);
    // The committed counterpart of `liveClip`, one undo step under `name`.
    EditResult updateClip(const Uuid& id, const QString& name,
                          const std::function<void(TimelineClip&)>& body);
    // Fits the whole sequence (and two seconds more) into the timeline's visible width.
    void zoomToFit();

    // ----- Clip and sequence settings -------------------------------------------------------------------
    //
    // The clip inspector's and the sequence settings sheet's edits. A committed one is one undo step
    // under its own name; a live one is a step of a gesture the caller ends with `commitTransientEdit`
    // (a slider's drag, typing ended by Return). Each addresses its clip by id: one that has gone, or a
    // title setting of a clip without a title, is refused, and the reason goes to `status` (`liveClip`
    // and `updateClip` refuse such a clip without a word). Defined in EditorModelClips.cpp.

    // Chooses an edge's transition with the gain curve its kind plays with; a new kind on an edge of no
    // length gets half a second. An incoming cross dissolve goes to the clip's linked partners too, in
    // the same step.
    EditResult setTransition(const Uuid& clipID, ClipEdge edge, TransitionKind kind);
    EditResult liveTransitionDuration(const Uuid& clipID, ClipEdge edge, double seconds);
    // The constant speed in percent, negative backwards; a ramp goes.
    EditResult liveSpeed(const Uuid& clipID, double percent);
    EditResult setReversed(const Uuid& clipID, bool on);
    EditResult setFrameBlending(const Uuid& clipID, bool on);
    // Removes an imported speed ramp and keeps the constant speed and direction.
    EditResult clearSpeedRamp(const Uuid& clipID);
    // The title's text also names the clip, "Title" while the text is empty (also a clip that has lost
    // its title).
    EditResult liveTitleText(const Uuid& clipID, const std::string& text);
    // Stored as typed; the renderer draws white where it cannot read it.
    EditResult liveTitleColor(const Uuid& clipID, const std::string& hex);
    EditResult liveTitleSize(const Uuid& clipID, double points);
    EditResult setTitleFont(const Uuid& clipID, const std::string& family);
    // The fonts a title can be set in, in the menu's order.
    static const std::vector<std::string>& titleFontNames();
    EditResult setTitleAlignment(const Uuid& clipID, TitleAlignment alignment);
    EditResult setTitleVertical(const Uuid& clipID, TitleVertical vertical);
    // Writes a draft to the sequence in one step "Sequence Settings": the name unless empty, each side
    // at least 16 and at most the largest frame side, even; clips keep their times.
    EditResult applySequenceSettings(const SequenceSettingsDraft& draft);
    // The side a typed value becomes.
    static std::int64_t appliedSide(std::int64_t typed);
    // The primary clip's source when it has a picture, whose size and rate the sequence can be matched to.
    std::optional<MediaItem> pictureSourceOfSelection() const;
    // "Imported ramp: 100% → 50%": the first three segments of an imported speed ramp.
    static QString rampSummary(const TimeRemap& remap);
    // The warning shown when the clip's incoming cross dissolve will be noticeably shorter than asked.
    static std::optional<QString> dissolveNote(const Project& project, const TimelineClip& clip);

    // ----- Media commands ----------------------------------------------------------------------------
    //
    // Bringing files into the bin (media and Premiere XML), removing, relinking and revealing media, and
    // a clip's LUT. File panels, alerts that need an answer and the file manager are the desktop
    // services'; without them, the commands that need them do nothing. Probing and XML parsing run on
    // workers; each command changes the project in at most one undo step, on the GUI thread. The
    // asynchronous ones call `done` on the GUI thread once finished, and never once the model has gone.
    // Defined in EditorModelMedia.cpp.

    void setDesktopServices(std::shared_ptr<DesktopServices> services) { desktop_ = std::move(services); }

    // The open panel for media and Premiere XML; the files chosen go to `ingest`.
    void importMedia();
    // Premiere XML files (".xml", ".xmeml", any letter case) are imported first, one after another;
    // every other file is then probed, one after another, and the new items added in one step "Import
    // Media" with the count in `status`. Files that could not be probed are listed in one alert.
    void ingest(std::vector<std::filesystem::path> files, std::function<void()> done = {});
    // The open panel for one Premiere XML file.
    void importPremiereXML();
    // Replaces the sequence's tracks with the file's sequence and adds its media (probed afresh where
    // the files exist) in one step "Import Premiere XML", then shows the report. A file that cannot be
    // read or parsed leaves everything as it was and raises an alert.
    void importPremiereXML(const std::filesystem::path& file, std::function<void()> done = {});
    // How far a Premiere XML import has got, shared with the worker that reads and probes.
    struct ImportProgress {
        std::atomic<int> probed{0};
        std::atomic<int> files{0};
        // The status bar's Cancel.
        std::stop_source cancelled;
    };
    // An import runs: its progress is in `status` and `cancelImport` stops it.
    bool isImporting() const { return importProgress_ != nullptr; }
    // Stops the running import before it changes anything; the status says so.
    void cancelImport();
    // The cancel token of the work the window runs off the GUI thread: the model's going stops it.
    std::stop_token workToken() const { return work_.get_token(); }
    // Drops what the window has queued and stops what runs for it at its next step, as its going does.
    void stopWork();
    // Shows the report modally when there is anything to tell; with offline media it offers to match
    // them in a folder.
    void presentPremiereReport(const PremiereReport& report);
    // Removes the item and every clip that plays it (nested sequences included) in one step "Remove
    // Media"; the selection loses the clips that went.
    void removeMedia(const Uuid& id);
    // Asks whether to locate this item's file or a folder in which to match every offline item.
    void relink(const Uuid& mediaID);
    // The open panel for the folder of `relinkOffline`.
    void locateFolder();
    // Matches every offline item by file name in the folder tree and relinks the matches in one step
    // "Relink Media", keeping their ids. Never raises an alert; the outcome is in `status`.
    void relinkOffline(const std::filesystem::path& folder, std::function<void()> done = {});
    // Shows the item's file in the file manager; for an offline item, says so in `status` instead.
    void revealMedia(const Uuid& id);
    // The open panel for a clip's look-up table; the choice is one step "LUT".
    void chooseLUT(const Uuid& clipID);

    // ----- Preview rebuild ---------------------------------------------------------------------------

    // Supersedes any pending rebuild with one of the project as it is now, after `delay`.
    void scheduleRebuild(std::chrono::milliseconds delay);
    // Builds the request's project on the preview lane at its preview scale; on the GUI thread, the
    // result goes to the program player when it is newer than the one the player has (so a drag shows
    // every preview that finishes while it moves), and the latest scheduled one ends the building.
    void performRebuild(const RebuildRequest& request);
    // Installs a build in the program player at the same playhead, volume and rate, keeping the
    // picture on screen until the new item's is ready.
    void apply(std::shared_ptr<const CompositionBuild> build);
    // "Sequence 01   1920×1080   30 fps   Preview Half", with the offline count when there is one.
    QString statusLine(const Project& project) const;
    // Starts, once per item, the thumbnail and waveform of every media item that has neither yet.
    void loadAuxiliary();
    // The media's pictures and the watch on its files, in a turn of their own after the views' refresh.
    void lookAtMediaSoon();

    // What the preview and the pictures of media are made with. Each runs on a worker thread and
    // must be safe there; tests put stand-ins here. The pictures stop when the window closes.
    struct PreviewServices {
        std::function<CompositionBuild(const Project&, const std::optional<std::filesystem::path>&, media::Size)> build;
        StoppableCall<std::optional<QImage>(const MediaItem&, const std::optional<std::filesystem::path>&)>
            thumbnail;
        StoppableCall<std::vector<float>(const MediaItem&, const std::optional<std::filesystem::path>&)>
            peaks;
    };
    static PreviewServices defaultPreviewServices();
    void setPreviewServices(PreviewServices services);

    // ----- Playback and transport --------------------------------------------------------------------
    //
    // Space, J/K/L and frame steps drive the focused monitor's player; jumps to edits and looping
    // always drive the program. Every seek made here is exact.

    // Gives the transport to a monitor: the shuttle stops and the monitor losing the focus pauses.
    void focusMonitor(MonitorFocus focus);
    void togglePlayback();
    // J, K and L: reverse at 1, 2, 4, 8 times; stop; forward likewise.
    void shuttleReverse();
    void shuttleStop();
    void shuttleForward();
    // Moves the focused monitor by whole frames of its rate, stopping the shuttle first.
    void step(int frames);
    void stepSource(int frames);
    // Moves the program playhead to the next or previous clip edge on any track.
    void jumpToEdit(bool forward);
    // "2×", "-4×", "Play" or "Stopped".
    QString shuttleLabel() const;
    // The bin item loaded in the source monitor, and its playable length (0 for a still).
    std::optional<MediaItem> sourceItem() const;
    double sourceDuration() const;
    // Loads a bin item into the source monitor, selects it and gives the source the transport.
    void openInSource(const Uuid& id);
    // Moves the program playhead to the frame of the sequence nearest `seconds` (never before 0) and
    // the player exactly there; `tolerant` (a ruler drag) shows the nearest cheap picture first, the
    // exact one following once the pointer rests.
    void seekProgram(double seconds, bool tolerant = false);
    // Moves the source playhead to `seconds` (never before 0) and its player exactly there.
    void seekSource(double seconds);
    // The program monitor's volume, 0 to 1.
    void setProgramVolume(double volume);

    // ----- Keys and menus ------------------------------------------------------------------------------
    //
    // The commands each key and menu item runs are in the command table (EditorCommands); these are the
    // ones only keys and menus call. Defined in EditorModelKeys.cpp.

    // Runs the command of a single-key shortcut; true when the key is one (also when its command then
    // had nothing to do). Keys held with Ctrl or Meta are left to the menus.
    bool handleKey(const KeyPress& press);
    // Move the focused monitor's playhead, and its player exactly there: to the start or the end, to
    // the In mark (the start when there is none) or the Out mark (the end when there is none).
    void goToStart();
    void goToEnd();
    void goToIn();
    void goToOut();
    // Places the source monitor's item at the program playhead from the program monitor; nothing when
    // the source monitor shows nothing.
    void insertSource();
    void overwriteSource();
    // One zoom step in or out, within the zoom limits.
    void zoomIn();
    void zoomOut();

    // ----- Published state ---------------------------------------------------------------------------
    //
    // Four parts, each a plain value: what the timeline shows of the window (tool, selection, zoom…), the
    // transport of both monitors, the pictures of media, and the window's own (status line, alert,
    // sheets, panel options). A change is announced by `partsChanged` once per event-loop turn, with
    // every part that changed in that turn; a view follows the parts it shows (`follow`). The project
    // is the document's, not the model's, but its changes are announced the same way, and the two
    // playheads and the building flag, which change often, are parts of their own within the transport.
    // Values only the model writes (what the players, the workers and the commands report) have no
    // public setter.

    enum class Part : unsigned {
        project = 1u << 0,
        timelineView = 1u << 1,
        transport = 1u << 2,
        programTime = 1u << 3,
        sourceTime = 1u << 4,
        building = 1u << 5,
        pictures = 1u << 6,
        window = 1u << 7,
    };
    Q_DECLARE_FLAGS(Parts, Part)

    struct TimelineView {
        EditTool tool = EditTool::select;
        // Clip and edge drags snap to edit points.
        bool snapping = true;
        // In the order selected; the last is the primary clip.
        std::vector<Uuid> selectedClipIDs;
        // Points per second of sequence time.
        double pixelsPerSecond = 52;
        // Sequence time of the snap guide drawn during a drag; cleared whenever a gesture ends.
        std::optional<double> snapGuide;
        // The user is dragging the playhead in the ruler; the player's clock does not move it meanwhile.
        bool isScrubbing = false;
        // Visible width of the timeline in points, kept current by the timeline panel.
        double timelineViewport = 900;
    };
    struct Transport {
        // Program playhead on the sequence, seconds.
        double currentTime = 0;
        bool isPlaying = false;
        // Of the focused monitor: 0, or ±1, ±2, ±4, ±8.
        int shuttle = 0;
        MonitorFocus monitorFocus = MonitorFocus::program;
        // The program loops between the sequence's In and Out points.
        bool loopPlayback = false;
        // Program player volume, 0 to 1.
        double playerVolume = 1.0;
        // A preview rebuild is running.
        bool isBuilding = false;
        // The bin item in the source monitor, its playhead, its marks and whether it plays.
        std::optional<Uuid> sourceMediaID;
        double sourceTime = 0;
        std::optional<double> sourceIn;
        std::optional<double> sourceOut;
        bool sourcePlaying = false;
    };
    struct MediaPictures {
        // Per media item id. An entry goes only when its item is relinked, so that it loads from the new
        // file.
        std::unordered_map<Uuid, QImage> thumbnails;
        std::unordered_map<Uuid, std::vector<float>> waveforms;
        // Media whose files were missing at the last applied rebuild.
        UuidSet offlineIDs;
    };
    struct WindowState {
        // The status bar's one line.
        QString status = QStringLiteral("Import a clip to start.");
        // The one pending alert; the window clears it when dismissed.
        std::optional<AppAlert> alert;
        // Which sheet is presented.
        bool showExport = false;
        bool showSequenceSettings = false;
        bool showShortcuts = false;
        // The highlighted item of the project bin, and whether the bin shows icons instead of a list.
        std::optional<Uuid> selectedMediaID;
        bool projectShowsIcons = false;
        // Titles of the colour panel's expanded groups.
        std::set<QString> openColorSections{QStringLiteral("Basic")};
    };

    const TimelineView& timelineView() const { return timeline_; }
    const Transport& transport() const { return transport_; }
    const MediaPictures& pictures() const { return pictures_; }
    const WindowState& window() const { return window_; }

    // Calls `refresh` on `receiver` at the end of every event-loop turn in which one of `parts` changed,
    // once however many did.
    template <class Receiver> void follow(Parts parts, Receiver* receiver, void (Receiver::*refresh)()) {
        connect(this, &EditorModel::partsChanged, receiver, [parts, receiver, refresh](Parts changed) {
            if (changed & parts) (receiver->*refresh)();
        });
    }

    // Each value by itself, as the views and the commands read and set it.
    double currentTime() const { return transport_.currentTime; }
    bool isPlaying() const { return transport_.isPlaying; }
    int shuttle() const { return transport_.shuttle; }
    MonitorFocus monitorFocus() const { return transport_.monitorFocus; }
    EditTool tool() const { return timeline_.tool; }
    void setTool(EditTool tool) { publish(Part::timelineView, timeline_.tool, tool); }
    bool snapping() const { return timeline_.snapping; }
    void setSnapping(bool on) { publish(Part::timelineView, timeline_.snapping, on); }
    bool loopPlayback() const { return transport_.loopPlayback; }
    void setLoopPlayback(bool on) { publish(Part::transport, transport_.loopPlayback, on); }
    const std::vector<Uuid>& selectedClipIDs() const { return timeline_.selectedClipIDs; }
    void setSelectedClipIDs(std::vector<Uuid> ids) {
        publish(Part::timelineView, timeline_.selectedClipIDs, std::move(ids));
    }
    double pixelsPerSecond() const { return timeline_.pixelsPerSecond; }
    void setPixelsPerSecond(double pps) { publish(Part::timelineView, timeline_.pixelsPerSecond, pps); }
    const std::unordered_map<Uuid, QImage>& thumbnails() const { return pictures_.thumbnails; }
    const std::unordered_map<Uuid, std::vector<float>>& waveforms() const { return pictures_.waveforms; }
    const UuidSet& offlineIDs() const { return pictures_.offlineIDs; }
    const QString& status() const { return window_.status; }
    bool isBuilding() const { return transport_.isBuilding; }
    const std::optional<AppAlert>& alert() const { return window_.alert; }
    void setAlert(std::optional<AppAlert> alert) { publish(Part::window, window_.alert, std::move(alert)); }
    bool showExport() const { return window_.showExport; }
    void setShowExport(bool on) { publish(Part::window, window_.showExport, on); }
    bool showSequenceSettings() const { return window_.showSequenceSettings; }
    void setShowSequenceSettings(bool on) { publish(Part::window, window_.showSequenceSettings, on); }
    bool showShortcuts() const { return window_.showShortcuts; }
    void setShowShortcuts(bool on) { publish(Part::window, window_.showShortcuts, on); }
    const std::optional<double>& snapGuide() const { return timeline_.snapGuide; }
    double playerVolume() const { return transport_.playerVolume; }
    bool isScrubbing() const { return timeline_.isScrubbing; }
    void setScrubbing(bool on) { publish(Part::timelineView, timeline_.isScrubbing, on); }
    double timelineViewport() const { return timeline_.timelineViewport; }
    void setTimelineViewport(double width) { publish(Part::timelineView, timeline_.timelineViewport, width); }
    const std::optional<Uuid>& selectedMediaID() const { return window_.selectedMediaID; }
    void setSelectedMediaID(std::optional<Uuid> id) { publish(Part::window, window_.selectedMediaID, id); }
    const std::optional<Uuid>& sourceMediaID() const { return transport_.sourceMediaID; }
    double sourceTime() const { return transport_.sourceTime; }
    const std::optional<double>& sourceIn() const { return transport_.sourceIn; }
    const std::optional<double>& sourceOut() const { return transport_.sourceOut; }
    bool sourcePlaying() const { return transport_.sourcePlaying; }
    bool projectShowsIcons() const { return window_.projectShowsIcons; }
    void setProjectShowsIcons(bool on) { publish(Part::window, window_.projectShowsIcons, on); }
    const std::set<QString>& openColorSections() const { return window_.openColorSections; }
    void setOpenColorSections(std::set<QString> titles) {
        publish(Part::window, window_.openColorSections, std::move(titles));
    }

  signals:
    // The parts that changed in this event-loop turn; once per turn.
    void partsChanged(osterveil::EditorModel::Parts parts);
    // The same, for a listener that follows everything but the playheads and the building flag.
    void changed();
    // `currentTime` or `sourceTime` moved; once per event-loop turn.
    void timeChanged();
    // `isBuilding` changed; once per event-loop turn.
    void buildingChanged();
    // An open gesture was called off (Escape) and the project is back as it began. Emitted at once, so
    // that whatever drives the gesture stops before its next step re-applies it.
    void transientEditCancelled();
    // Zoom to Fit ran: the timeline shows the sequence from its start.
    void zoomedToFit();

  private:
    // Tests set what a player, a worker or a command would have reported.
    friend struct EditorModelTestAccess;

    template <class T, class U> void publish(Part part, T& field, U&& value) {
        if (field == value) return;
        field = std::forward<U>(value);
        markChanged(part);
    }
    void markChanged(Parts parts);
    void deliverChanges();

    // The values only the model writes.
    void setCurrentTime(double seconds) { publish(Part::programTime, transport_.currentTime, seconds); }
    void setPlaying(bool on) { publish(Part::transport, transport_.isPlaying, on); }
    void setShuttle(int speed) { publish(Part::transport, transport_.shuttle, speed); }
    void setMonitorFocus(MonitorFocus focus) { publish(Part::transport, transport_.monitorFocus, focus); }
    void setPlayerVolume(double volume) { publish(Part::transport, transport_.playerVolume, volume); }
    void setBuilding(bool on) { publish(Part::building, transport_.isBuilding, on); }
    void setSourceMediaID(std::optional<Uuid> id) { publish(Part::transport, transport_.sourceMediaID, id); }
    void setSourceTime(double seconds) { publish(Part::sourceTime, transport_.sourceTime, seconds); }
    void setSourceIn(std::optional<double> time) { publish(Part::transport, transport_.sourceIn, time); }
    void setSourceOut(std::optional<double> time) { publish(Part::transport, transport_.sourceOut, time); }
    void setSourcePlaying(bool on) { publish(Part::transport, transport_.sourcePlaying, on); }
    void setSnapGuide(std::optional<double> time) { publish(Part::timelineView, timeline_.snapGuide, time); }
    void setThumbnail(const Uuid& mediaID, QImage image);
    void setWaveform(const Uuid& mediaID, std::vector<float> peaks);
    void setOfflineIDs(UuidSet ids) { publish(Part::pictures, pictures_.offlineIDs, std::move(ids)); }
    void setStatus(QString text) { publish(Part::window, window_.status, std::move(text)); }

    // The program player's volume set to `playerVolume`.
    void syncVolume();
    // Writes a whole project into the attached document; nothing without one.
    void writeProject(Project project);
    // Pushes one step that restores `before` on undo and `after` on redo.
    void pushUndoStep(Project before, Project after, const QString& name);

    void installPlaybackObservers();
    // Called on every program tick: back to In once playback reaches Out, when looping.
    void loopIfNeeded(double time);
    // Sets the focused monitor's playhead and seeks its player there exactly.
    void seekFocused(double seconds);
    PlayerControl& focusedPlayer() const {
        return transport_.monitorFocus == MonitorFocus::source ? *sourcePlayer_ : *player_;
    }

    // Timeline commands.
    // Candidate times for a drag to snap to: 0, the playhead, the sequence marks, markers, and the edges
    // of every clip not in `excluding`.
    std::vector<double> snapPoints(const Project& project, const UuidSet& excluding) const;
    // The track a playhead placement of the item goes to, or none after saying why in `status`.
    std::optional<Uuid> targetedTrackID(const Uuid& mediaID);

    // Clip settings. A refused result's reason goes to `status`.
    EditResult announced(EditResult result);
    // One clip's change, committed under `name` or else live; refused, saying nothing, when the clip has
    // gone or, with `needsTitle`, has no title.
    EditResult changeClip(const Uuid& clipID, const std::optional<QString>& name, bool needsTitle,
                          const std::function<void(TimelineClip&)>& body);

    // Media commands.
    void locateFile(const Uuid& mediaID);
    // Probes `file` and, when it is media, relinks the item to it in one step "Relink Media".
    void replaceMedia(const Uuid& mediaID, const std::filesystem::path& file);
    // Imports the XML files from `next` on, one after another, then calls `then`.
    void importXMLFiles(std::vector<std::filesystem::path> files, std::size_t next,
                        std::function<void()> then);
    void addMediaFiles(std::vector<std::filesystem::path> files, std::function<void()> done);
    // Drops the item's thumbnail and waveform, so that the next project change loads them again.
    void forgetPictures(const Uuid& mediaID);
    // Watches where the project's media files are found, so that one changed, replaced, deleted or put
    // back while the project is open is looked at again by a fresh preview once it has settled (which
    // marks it offline if it no longer is the item's media, and online when it is again).
    void watchMediaFiles();

    // Published state, with the values of a new window.
    TimelineView timeline_;
    Transport transport_;
    MediaPictures pictures_;
    WindowState window_;

    // The model's own.
    // The owner's side of every job the model queues on the work service.
    std::stop_source work_;
    std::unique_ptr<PlayerControl> player_;
    std::unique_ptr<PlayerControl> sourcePlayer_;
    QPointer<ProjectDocument> document_;
    std::optional<std::filesystem::path> projectURL_;
    // The project as it was when the open gesture began; present exactly while one is open.
    std::optional<Project> transientBefore_;
    RebuildScheduler rebuilds_;
    // Shared with the workers, which may outlive the model.
    std::shared_ptr<const PreviewServices> previewServices_;
    QMetaObject::Connection timeObserver_;
    QMetaObject::Connection sourceTimeObserver_;
    QMetaObject::Connection statusObserver_;
    QMetaObject::Connection sourceStatusObserver_;
    // Media ids whose thumbnail or waveform request is running.
    UuidSet thumbInFlight_;
    UuidSet waveInFlight_;
    std::shared_ptr<DesktopServices> desktop_;
    // The running Premiere XML import's progress, and the timer that shows it.
    std::shared_ptr<ImportProgress> importProgress_;
    QTimer* importTimer_ = nullptr;
    // The pictures of new media and the watch on their files are due once the views have the change,
    // until they are asked for.
    bool auxiliaryDue_ = false;
    // The watch on the media files, and the media list and project file its paths were worked out from.
    MediaFileWatch* mediaWatch_ = nullptr;
    CowVector<MediaItem> watchedMedia_;
    std::optional<std::filesystem::path> watchedProjectURL_;
    // The document `followDocument` listens to.
    QMetaObject::Connection followProject_;
    QMetaObject::Connection followFileURL_;

    // The parts changed since the last announcement.
    Parts pendingChanges_;
    // The serial of the rebuild whose item the program player has.
    std::uint64_t appliedRebuild_ = 0;
    // A preview of the open gesture has reached the player.
    bool gesturePreviewShown_ = false;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(EditorModel::Parts)

} // namespace osterveil
