#include "GuiSettings.h"

#include <QDir>
#include <QFileInfo>

#include "files/ConfigStore.h"

namespace tessel::gui {

namespace {
constexpr const char kRecent[] = "files/recent";
constexpr const char kLastFolder[] = "files/lastFolder";
constexpr const char kGeometry[] = "window/geometry";
}  // namespace

GuiSettings::GuiSettings(const QString& folder) {
    const QString dir =
        folder.isEmpty() ? QString::fromStdString(ConfigStore::UserConfigFolder().string()) : folder;
    QDir().mkpath(dir);
    settings_ = std::make_unique<QSettings>(QDir(dir).filePath(QString::fromLatin1(kFileName)),
                                            QSettings::IniFormat);
}

QString GuiSettings::FilePath() const { return settings_->fileName(); }

QStringList GuiSettings::RecentFiles() const { return settings_->value(kRecent).toStringList(); }

void GuiSettings::AddRecentFile(const QString& path) {
    if (path.isEmpty()) return;
    const QFileInfo info(path);
    const QString absolute = info.absoluteFilePath();
    QStringList recent = RecentFiles();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    while (recent.size() > kMaxRecentFiles) recent.removeLast();
    settings_->setValue(kRecent, recent);
    settings_->setValue(kLastFolder, info.absolutePath());
    settings_->sync();
}

QString GuiSettings::LastFolder() const {
    const QString folder = settings_->value(kLastFolder).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

QByteArray GuiSettings::WindowGeometry() const { return settings_->value(kGeometry).toByteArray(); }

void GuiSettings::SetWindowGeometry(const QByteArray& geometry) {
    settings_->setValue(kGeometry, geometry);
    settings_->sync();
}

}  // namespace tessel::gui
