#include <QApplication>

#include "UI/Shell/EditorApplication.hpp"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    int status = 0;
    {
        osterveil::EditorApplication app(application);
        // Qt has taken its own options out; what is left are project files to open.
        status = app.run(QApplication::arguments().mid(1));
    }
    // A quit ends the process inside `run`; here only when its loop could not run.
    return osterveil::EditorApplication::finish(status);
}
