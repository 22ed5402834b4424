#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QVBoxLayout>
#include <functional>
#include <optional>
#include <vector>

#include "App/EditorTypes.hpp"
#include "Model/Project.hpp"

namespace osterveil {

class ColorPanel;
class EditorModel;
class SliderRow;
class TextButton;
class WrappingLabel;

// The title's text field: several lines that grow with the text. Return commits what was typed
// (Shift+Return starts a new line); so does leaving the field.
class TitleTextEdit : public QPlainTextEdit {
    Q_OBJECT
  public:
    explicit TitleTextEdit(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  signals:
    void submitted();
    void focusLost();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
};

// The clip inspector: the settings of the timeline's primary clip. A header naming the clip, then the
// Compositing section, the colour panel (video tracks), Audio, Speed (video tracks), Transitions and,
// for titles, the Title section; an empty state when no clip is selected.
//
// Like the colour panel it keeps no project state: every widget is made once and refreshed in place
// from the model whenever it changes (never rebuilt, which would lose a drag or the text cursor), and
// every change goes back through the model, addressed by the clip's id. Sliders are live gestures
// ending in one undo step; pickers, toggles and buttons are one committed edit each; the title's text
// fields write live and commit one step on Return, on leaving the field and when the inspected clip
// changes, so typed text never lingers in an open gesture.
class InspectorView : public QScrollArea {
    Q_OBJECT
  public:
    explicit InspectorView(EditorModel& model, QWidget* parent = nullptr);

    // Shows the primary clip as the model holds it now. Runs on every change of the model.
    void refresh();

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The clip shown, none while the empty state is.
    const std::optional<Uuid>& clip() const { return clipID_; }

    // The kinds offered by the transition pickers, in order.
    static const std::vector<TransitionKind>& transitionKinds();
    // The title font menu, in order: the names projects store.
    static const QStringList& titleFontNames();

  private:
    using ClipCommand = std::function<void(const Uuid&)>;

    struct Section {
        QWidget* widget;
        QVBoxLayout* layout;
    };
    // The header and the sections, made hidden.
    void makeSections();
    Section makeSection(const QString& title);
    // An inspector slider row whose drag is one undo step `undoName`; `change` writes each value live.
    SliderRow* slider(QVBoxLayout* into, const QString& label, double minimum, double maximum,
                      const QString& undoName, std::function<void(double)> change);
    void makeHeader();
    void makeCompositing();
    void makeAudio();
    void makeSpeed();
    void makeTransitions();
    void makeTitle();

    struct TransitionBlock {
        QString label;
        QComboBox* picker = nullptr;
        SliderRow* duration = nullptr;
        ClipEdge edge = ClipEdge::incoming;
    };
    void makeTransitionBlock(QVBoxLayout* into, TransitionBlock& block);
    void chooseTransition(TransitionBlock& block, int index);

    // A live step of the model's on the shown clip (nothing while none is), and a committed edit.
    void live(const ClipCommand& step);
    void commit(const ClipCommand& command);
    // Ends the text field's open edit as one undo step under its name; nothing when none is open.
    void commitTyping();
    void showClip(const TimelineClip& clip, const Sequence& sequence);

    EditorModel& model_;
    std::optional<Uuid> clipID_;
    // The undo name of the text field the user is typing in, while its typed text is not yet a step.
    std::optional<QString> typing_;
    // Set while the view writes the model's values into its widgets, so that they are not taken for
    // the user's.
    bool refreshing_ = false;

    QWidget* empty_ = nullptr;
    QWidget* header_ = nullptr;
    WrappingLabel* name_ = nullptr;
    QLabel* timing_ = nullptr;
    QLabel* multiple_ = nullptr;

    QWidget* compositing_ = nullptr;
    SliderRow* opacity_ = nullptr;
    ColorPanel* color_ = nullptr;
    QWidget* audio_ = nullptr;
    SliderRow* volume_ = nullptr;

    QWidget* speed_ = nullptr;
    SliderRow* speedRow_ = nullptr;
    QCheckBox* reverse_ = nullptr;
    QCheckBox* frameBlending_ = nullptr;
    QLabel* ramp_ = nullptr;
    TextButton* clearRamp_ = nullptr;

    QWidget* transitions_ = nullptr;
    TransitionBlock incoming_;
    TransitionBlock outgoing_;
    QLabel* dissolve_ = nullptr;

    QWidget* title_ = nullptr;
    TitleTextEdit* titleText_ = nullptr;
    QComboBox* font_ = nullptr;
    SliderRow* size_ = nullptr;
    QComboBox* align_ = nullptr;
    QComboBox* vertical_ = nullptr;
    QLineEdit* titleColor_ = nullptr;
};

} // namespace osterveil
