#pragma once

#include <QObject>
#include <QStringList>
#include <memory>

class QApplication;

namespace osterveil {

class DocumentController;
class DocumentWindows;

// The program: one window per open project document, with the editor's look, and the launch steps.
// Quitting and closing windows go through the documents (each modified one asks first); closing the
// last window ends the program.
class EditorApplication : public QObject {
    Q_OBJECT
  public:
    explicit EditorApplication(QApplication& application);
    ~EditorApplication() override;

    // Opens the files named (one new "Untitled" document when none opened), brings the program to the
    // front, and runs until the last window closes or Quit; there the process ends, once the saves on
    // their way have landed. Returns only when the event loop could not run (its exit code).
    int run(const QStringList& files);
    // The end of the process, once the program has gone: the saves on their way land, and nothing else
    // is waited for (an import or an open its window left, told to stop, may be deep in a parse).
    // Returns `status` when no work runs any more; else the process ends here, with `status`.
    static int finish(int status);

    // The launch steps, apart for tests: before the first window, and once the windows are up.
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();

    DocumentController& documents() const { return *controller_; }
    DocumentWindows& windows() const { return *windows_; }

    // Fusion with the dark palette built from `Theme`, and the sans family the views are drawn in.
    static void applyLook(QApplication& application);

  protected:
    // Every event of the window's thread starts or goes on with a turn of its loop (`WindowTurn`).
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    [[noreturn]] void endAtQuit();

    std::unique_ptr<DocumentWindows> windows_;
    std::unique_ptr<DocumentController> controller_;
};

} // namespace osterveil
