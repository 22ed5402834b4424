#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include "App/DesktopServices.hpp"

namespace osterveil {

// The desktop as a Qt program on Linux sees it: Qt's own file dialogs (so the prompt and message are
// shown as given), message boxes, and the file manager reached over D-Bus.
class QtDesktopServices : public DesktopServices {
  public:
    // Alerts are centred on `window`; file panels stand on their own.
    explicit QtDesktopServices(QWidget* window = nullptr) : window_(window) {}

    void open(const OpenPanel& panel, Chosen chosen) override;
    int runModal(const ModalAlert& alert) override;
    // Asks the file manager (org.freedesktop.FileManager1 ShowItems) to show the file selected; when
    // none answers, opens the folder that holds it.
    void reveal(const std::filesystem::path& file) override;

    // A panel's name filters: with more than one group, all of them together first. Each extension is
    // offered in lower and upper case.
    static QStringList nameFilters(const std::vector<FileFilter>& filters);

  private:
    QPointer<QWidget> window_;
};

} // namespace osterveil
