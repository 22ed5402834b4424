#include <QApplication>

#include "UI/Shell/EditorApplication.hpp"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    osterveil::EditorApplication app(application);
    // Qt has taken its own options out; what is left are project files to open.
    return app.run(QApplication::arguments().mid(1));
}
