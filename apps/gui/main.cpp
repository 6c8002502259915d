// tessel-gui: the desktop program. One copy per user; a second start tells the operator and
// ends.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <string_view>

#include "MainWindow.h"
#include <cstdlib>

#include "platform/InstanceLock.h"
#include "platform/PortList.h"
#include "ui/Texts.h"

namespace {

constexpr char kHelp[] =
    "Usage: tessel-gui [OPTION]...\n"
    "The desktop program of Tessel: detect Norvik51 microcontrollers through their boot-strap loader,\n"
    "read, download, compare and erase their flash, and set their lock, remap and configuration bits\n"
    "and the loader's password, in one window. Only one copy runs per user.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "Qt's own options (-platform, -style, -display ...) are accepted too.\n"
    "\n"
    "Files:\n"
    "  $XDG_CONFIG_HOME/tessel/ (by default ~/.config/tessel/) holds the settings: port, baud rate,\n"
    "  crystal. Backups of the chip's code taken before a command rewrites it go to\n"
    "  $XDG_STATE_HOME/tessel/ (by default ~/.local/state/tessel/).\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts: they need no display and open no window.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("tessel-gui %s\n", TESSEL_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessel-gui"));
    // A recorded device tree in place of this machine's, as the command line takes it.
    if (const char* tree = std::getenv("TESSEL_DEVICE_TREE")) tessel::SetDeviceTreeRoot(tree);
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
