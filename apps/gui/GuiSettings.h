#pragma once
// What the desktop program remembers for its operator beyond the serial set-up: the window's
// place and size, the folder files were last chosen in, and the image files used last. It
// lives beside the settings file in the same per-user folder, in a file of its own, so the
// settings file keeps exactly the format other tools expect of it.

#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>

namespace tessel::gui {

class GuiSettings {
public:
    static constexpr int kMaxRecentFiles = 8;
    static constexpr const char* kFileName = "tessel-gui.ini";

    // `folder` empty: the user's configuration folder.
    explicit GuiSettings(const QString& folder = QString());

    // Most recent first, without duplicates.
    QStringList RecentFiles() const;
    // Puts `path` (made absolute) first and the folder it is in as the last folder.
    void AddRecentFile(const QString& path);
    // Where a file chooser opens when its field names no file: the last folder used, else
    // the home folder.
    QString LastFolder() const;

    QByteArray WindowGeometry() const;
    void SetWindowGeometry(const QByteArray& geometry);

    QString FilePath() const;

private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace tessel::gui
