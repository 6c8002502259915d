// tessel-gui: the desktop program. One copy per user; a second start tells the operator and
// ends.
#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "MainWindow.h"

#include "platform/InstanceLock.h"
#include "platform/PortList.h"
#include "commands/Texts.h"

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

// Qt's own options, which QApplication takes out of the arguments: those followed by a value
// (also written "-style=fusion"), and those on their own. Qt reads them with one dash or two.
constexpr std::string_view kQtValueOptions[] = {
    "style",   "stylesheet", "platform", "platformpluginpath", "platformtheme", "plugin",
    "session", "display",    "geometry", "qwindowgeometry",    "qwindowicon",   "qwindowtitle",
    "fontengine", "dialogs", "qmljsdebugger"};
constexpr std::string_view kQtFlagOptions[] = {"widgetcount", "reverse", "nograb", "dograb", "sync"};

// What is wrong with the arguments, or "" when Qt may have them. Checked before Qt starts:
// without a display QApplication ends the program with an abort, and a mistyped option
// must not open a window either.
std::string ArgumentProblem(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') return "unexpected argument '" + std::string(arg) + "'";
        std::string_view name = arg.substr(arg[1] == '-' ? 2 : 1);
        const size_t eq = name.find('=');
        const bool inlineValue = eq != std::string_view::npos;
        if (inlineValue) name = name.substr(0, eq);
        const bool takesValue = std::ranges::find(kQtValueOptions, name) != std::end(kQtValueOptions);
        if (!takesValue && std::ranges::find(kQtFlagOptions, name) == std::end(kQtFlagOptions)) return "unknown option '" + std::string(arg) + "'";
        if (takesValue && !inlineValue && ++i >= argc)
            return "option '" + std::string(arg) + "' needs a value";
    }
    return {};
}

// The platform plugin Qt will load: -platform wins over QT_QPA_PLATFORM; "" when neither
// names one (Qt then picks xcb or wayland by the session).
std::string_view ChosenPlatform(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.starts_with("--")) arg.remove_prefix(1);
        if (arg == "-platform" && i + 1 < argc) return argv[i + 1];
        if (arg.starts_with("-platform=")) return arg.substr(10);
    }
    const char* env = std::getenv("QT_QPA_PLATFORM");
    return env ? env : "";
}

bool Unset(const char* name) {
    const char* value = std::getenv(name);
    return !value || !*value;
}

// Why no window can open, or "" when a display may be there. Without one Qt ends the
// program with an abort that advises reinstalling it; an operator on a terminal without a
// display is better told what is missing.
std::string DisplayProblem(int argc, char** argv) {
    const std::string_view platform = ChosenPlatform(argc, argv);
    const bool x11 = platform.empty() || platform.starts_with("xcb");
    const bool wayland = platform.empty() || platform.starts_with("wayland");
    // "-display" names an X display for Qt as DISPLAY does.
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]).starts_with("-display") || std::string_view(argv[i]).starts_with("--display"))
            return {};
    if (x11 && wayland && Unset("DISPLAY") && Unset("WAYLAND_DISPLAY")) return "cannot open a display ($DISPLAY unset)";
    if (x11 && !wayland && Unset("DISPLAY")) return "cannot open a display ($DISPLAY unset)";
    if (wayland && !x11 && Unset("WAYLAND_DISPLAY")) return "cannot open a display ($WAYLAND_DISPLAY unset)";
    return {};
}

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
    if (const std::string problem = ArgumentProblem(argc, argv); !problem.empty()) {
        std::fprintf(stderr, "tessel-gui: %s\nUsage: tessel-gui [OPTION]...\nTry 'tessel-gui --help' for more information.\n",
                     problem.c_str());
        return 2;
    }
    if (const std::string problem = DisplayProblem(argc, argv); !problem.empty()) {
        std::fprintf(stderr, "tessel-gui: %s\n", problem.c_str());
        return 1;
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
