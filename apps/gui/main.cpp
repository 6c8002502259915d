// tessel-gui: the desktop program. One copy per user; a second start tells the operator and
// ends.
#include <QApplication>
#include <QMessageBox>

#include "MainWindow.h"
#include "platform/InstanceLock.h"
#include "ui/Texts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessel-gui"));
    tessel::InstanceLock lock("tessel-gui.lock");
    std::string error;
    if (!lock.TryAcquire(&error)) {
        QMessageBox::information(nullptr, QString::fromLatin1(tessel::text::kInstanceTitle),
                                 error.empty() ? QStringLiteral("Tessel is already running.")
                                               : QString::fromStdString(error));
        return 1;
    }
    tessel::gui::MainWindow window;
    QApplication::setWindowIcon(window.windowIcon());
    window.show();
    return app.exec();
}
