#include <QApplication>
#include <QLabel>
#include <QMainWindow>

#include "Model/Project.hpp"
#include "Model/Timecode.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Osterveil");

    osterveil::Project project;
    project.sequence.name = "Sequence 01";

    QMainWindow window;
    window.setWindowTitle(QString::fromStdString(project.name) + " — Osterveil");
    auto* label = new QLabel(QString::fromStdString(
        project.sequence.name + "  " + osterveil::Timecode::string(0, project.sequence.frameRate)));
    label->setAlignment(Qt::AlignCenter);
    window.setCentralWidget(label);
    window.resize(1440, 900);
    window.show();
    return QApplication::exec();
}
