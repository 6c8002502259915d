#include "Dialogs.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <map>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "DialogViews.h"
#include "ElidedWidgets.h"
#include "GuiSettings.h"
#include "device/ChipCatalogue.h"
#include "platform/PortList.h"
#include "protocol/Password.h"
#include "commands/CommDialogs.h"
#include "commands/ConfigCommands.h"
#include "commands/FlashDialogs.h"
#include "commands/OperatorCommands.h"
#include "commands/PasswordCommands.h"
#include "commands/Texts.h"

namespace tessel::gui {

using namespace views;

namespace {

// "Select MCU Chip Type and Memory Mode".
class ChipSelectView final : public ModelView {
public:
    ChipSelectView(ChipSelectDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(ChipSelectDialog::kTitle));
        auto* layout = new QVBoxLayout(this);

        auto* chipGroup = new QGroupBox(Q("MCU Chip Type"), this);
        auto* chipLayout = new QHBoxLayout(chipGroup);
        std::vector<std::string> models;
        for (const ChipInfo& chip : AllChips()) models.emplace_back(chip.model);
        chip_ = MakeList(chipGroup, "chipType", models, -1);
        chipLayout->addWidget(chip_);
        layout->addWidget(chipGroup);

        auto* memoryGroup = new QGroupBox(Q("Memory Mode"), this);
        auto* memoryLayout = new QHBoxLayout(memoryGroup);
        internal_ = MakeRadio(memoryGroup, "memoryInternal", "Internal");
        external_ = MakeRadio(memoryGroup, "memoryExternal", "External");
        auto* group = new QButtonGroup(this);
        group->addButton(internal_, kInternalMemory);
        group->addButton(external_, kExternalMemory);
        memoryLayout->addWidget(internal_);
        memoryLayout->addWidget(external_);
        layout->addWidget(memoryGroup);

        // OK waits for both choices: the session takes a chip and a memory mode together or
        // not at all, and an OK that changed nothing would read as a choice made.
        ok_ = AddOkCancel(layout)->button(QDialogButtonBox::Ok);
        connect(chip_, &QComboBox::currentIndexChanged, this, &ChipSelectView::UpdateOk);
        connect(group, &QButtonGroup::idToggled, this, &ChipSelectView::UpdateOk);
        Load();
    }

protected:
    // The chip code and memory mode the widgets show, 0 for a choice not made.
    std::pair<int, int> Choice() const {
        const int index = chip_->currentIndex();
        return {index < 0 ? 0 : index + 1,
                internal_->isChecked() ? kInternalMemory : external_->isChecked() ? kExternalMemory : 0};
    }
    void UpdateOk() {
        const auto [chip, mode] = Choice();
        ok_->setEnabled(ChipSelectDialog::Complete(chip, mode));
    }

    bool Store() override {
        std::tie(m_.chipType, m_.memoryMode) = Choice();
        return true;
    }
    void Load() override {
        Select(chip_, m_.chipType - 1);
        internal_->setChecked(m_.memoryMode == kInternalMemory);
        external_->setChecked(m_.memoryMode == kExternalMemory);
        UpdateOk();
    }

private:
    ChipSelectDialog& m_;
    QPushButton* ok_ = nullptr;
    QComboBox* chip_ = nullptr;
    QRadioButton* internal_ = nullptr;
    QRadioButton* external_ = nullptr;
};

// The port and rate lists both set-up dialogs open with.
struct CommLists {
    QComboBox* port = nullptr;
    QComboBox* rate = nullptr;
};

// The text of a device present: its path, then what the adapter says it is, its USB id,
// serial number and stable name, so that two adapters of one make can be told apart.
QString PortText(const std::string& name, const PortEntry* entry) {
    QString text = Q(name);
    if (!entry) return text;
    QStringList parts;
    if (!entry->description.empty()) parts << Q(entry->description);
    if (!entry->usbId.empty()) parts << QStringLiteral("USB %1").arg(Q(entry->usbId));
    if (!entry->serial.empty()) parts << QStringLiteral("serial %1").arg(Q(entry->serial));
    if (!entry->byId.empty()) parts << Q(entry->byId.substr(entry->byId.find_last_of('/') + 1));
    if (!parts.isEmpty()) text += QStringLiteral("  (%1)").arg(parts.join(QStringLiteral(", ")));
    return text;
}

// The model lists "COM1" to "COM256" first; the operator looks for the adapter that is
// plugged in, so the devices present come first with what they are, then the stand-in
// boards, then the numbered names of the devices that exist (all 256 only when asked for,
// or the one chosen before). Each entry keeps the model's position as its data.
// The model position of the numbered name a device entry stands for.
constexpr int kAliasRole = Qt::UserRole + 1;

void FillPortList(QComboBox* box, const std::vector<std::string>& ports, bool allComNames, int selected) {
    const QSignalBlocker quiet(box);
    box->clear();
    std::map<std::string, PortEntry> present;
    for (const PortEntry& p : ListSerialPorts()) present[p.name] = p;
    auto numbered = [](const std::string& name) {
        return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
               name.find_first_not_of("0123456789", 3) == std::string::npos;
    };
    auto rank = [&](const std::string& name) {
        if (name.rfind("sim:", 0) == 0 || name == "sim") return 1;
        return numbered(name) ? 2 : 0;
    };
    // COMn stands for ttyS(n-1); the device tree may sit under a recorded root.
    auto comDevice = [&](const std::string& name) -> std::string {
        const std::string node = "/ttyS" + std::to_string(std::stoi(name.substr(3)) - 1);
        for (const auto& p : present)
            if (p.first.size() >= node.size() && p.first.compare(p.first.size() - node.size(), node.size(), node) == 0)
                return p.first;
        return {};
    };
    std::vector<int> order(ports.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return rank(ports[static_cast<size_t>(a)]) < rank(ports[static_cast<size_t>(b)]);
    });
    // A numbered name whose device is present is that device's entry, which already says
    // "(COM1)": listing both would offer one port twice. The one chosen before stays when no
    // device stands for it.
    std::string aliasOf;
    if (!allComNames && selected >= 0 && static_cast<size_t>(selected) < ports.size() &&
        numbered(ports[static_cast<size_t>(selected)]))
        aliasOf = comDevice(ports[static_cast<size_t>(selected)]);
    for (int i : order) {
        const std::string& name = ports[static_cast<size_t>(i)];
        if (numbered(name) && !allComNames && (i != selected || !aliasOf.empty())) continue;
        const auto entry = present.find(name);
        box->addItem(PortText(name, entry == present.end() ? nullptr : &entry->second), i);
        box->setItemData(box->count() - 1, box->itemText(box->count() - 1), Qt::ToolTipRole);
        if (!aliasOf.empty() && name == aliasOf) box->setItemData(box->count() - 1, selected, kAliasRole);
    }
}
void SelectPort(QComboBox* box, int modelIndex) {
    int at = box->findData(modelIndex);
    if (at < 0) at = box->findData(modelIndex, kAliasRole);
    box->setCurrentIndex(at);
}
int SelectedPort(const QComboBox* box) {
    const QVariant data = box->currentData();
    return data.isValid() ? data.toInt() : -1;
}

template <typename Model>
CommLists AddCommLists(QWidget* dialog, QVBoxLayout* layout, const Model& m) {
    auto* group = new QGroupBox(Q("Communication Configuration"), dialog);
    auto* grid = new QGridLayout(group);
    CommLists lists;
    lists.port = new QComboBox(group);
    lists.port->setObjectName("port");
    lists.port->setAccessibleName(Q("Comm Port"));
    // The adapters' long descriptions show in the opened list and the tool tip; the closed
    // box keeps the dialog its usual width.
    lists.port->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    lists.port->setMinimumContentsLength(36);
    lists.port->view()->setTextElideMode(Qt::ElideNone);
    FillPortList(lists.port, m.ports, false, m.portSelection);
    SelectPort(lists.port, m.portSelection);
    auto* allCom = new QCheckBox(Q("Show all COM names"), group);
    allCom->setObjectName("showAllComNames");
    QObject::connect(allCom, &QCheckBox::toggled, group, [box = lists.port, ports = m.ports](bool all) {
        const int chosen = SelectedPort(box);
        FillPortList(box, ports, all, chosen);
        SelectPort(box, chosen);
    });
    lists.rate = MakeList(group, "rate", m.rates, m.rateSelection);
    lists.rate->setAccessibleName(Q("Baud Rate"));
    grid->addWidget(new QLabel(Q("Comm Port"), group), 0, 0);
    grid->addWidget(lists.port, 0, 1);
    grid->addWidget(allCom, 1, 1);
    grid->addWidget(new QLabel(Q("Baud Rate"), group), 2, 0);
    grid->addWidget(lists.rate, 2, 1);
    layout->addWidget(group);
    return lists;
}

// "RS232 Configuration and  Detect Target MCU": OK is "&Detect MCU".
class CommSetupView final : public ModelView {
public:
    CommSetupView(CommSetupDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(CommSetupDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        lists_ = AddCommLists(this, layout, m_);

        auto* group = new QGroupBox(Q("Enter Crystal Frequency and Calculate Baud Rate"), this);
        auto* grid = new QGridLayout(group);
        crystal_ = MakeEdit(group, "crystal");
        recommended_ = MakeEdit(group, "recommended", true);
        // The reload value travels with the dialog but is not shown to the operator.
        reload_ = MakeEdit(group, "reload", true);
        reload_->setMaxLength(4);
        reload_->setVisible(false);
        auto* compute = MakeButton(group, "compute", "&Compute");
        auto* nextBaud = MakeButton(group, "nextBaud", "&Next Baud");
        grid->addWidget(LabelFor(crystal_, "Ext. Crystal Frequency of Target MCU"), 0, 0, 1, 3);
        grid->addWidget(crystal_, 1, 0);
        grid->addWidget(new QLabel(Q("MHz"), group), 1, 1);
        grid->addWidget(compute, 1, 2);
        grid->addWidget(LabelFor(recommended_, "Baud Rate Recommend by PC"), 2, 0, 1, 3);
        grid->addWidget(recommended_, 3, 0);
        grid->addWidget(nextBaud, 3, 2);
        grid->addWidget(reload_, 4, 0);
        layout->addWidget(group);

        QDialogButtonBox* buttons = AddOkCancel(layout);
        buttons->button(QDialogButtonBox::Ok)->setText(Q("&Detect MCU"));
        buttons->button(QDialogButtonBox::Cancel)->setText(Q("&Cancel"));
        Handler(compute, [this] { m_.OnCompute(); });
        Handler(nextBaud, [this] { m_.OnNextBaud(); });
        Load();
    }

protected:
    bool Store() override {
        m_.portSelection = SelectedPort(lists_.port);
        m_.rateSelection = lists_.rate->currentIndex();
        return StoreCrystal(crystal_, m_);
    }
    void Load() override {
        SelectPort(lists_.port, m_.portSelection);
        Select(lists_.rate, m_.rateSelection);
        crystal_->setText(CrystalText(m_.crystal));
        recommended_->setText(QString::number(m_.recommendedRate));
        reload_->setText(Q(m_.reloadText));
    }

private:
    CommSetupDialog& m_;
    CommLists lists_;
    QLineEdit* crystal_ = nullptr;
    QLineEdit* recommended_ = nullptr;
    QLineEdit* reload_ = nullptr;
};

// "Serial Communication (External Memory Mode)".
class ExtMemCommView final : public ModelView {
public:
    ExtMemCommView(ExtMemCommDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(ExtMemCommDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        lists_ = AddCommLists(this, layout, m_);

        auto* group = new QGroupBox(Q("Calculate Baud Rate and RCAP2 value "), this);
        auto* grid = new QGridLayout(group);
        crystal_ = MakeEdit(group, "crystal");
        recommended_ = MakeEdit(group, "recommended", true);
        reload_ = MakeEdit(group, "reload", true);
        auto* compute = MakeButton(group, "compute", "Compute");
        auto* replace = MakeButton(group, "replace", "Replace");
        grid->addWidget(crystal_, 0, 0);
        grid->addWidget(LabelFor(crystal_, "MHz"), 0, 1);
        grid->addWidget(compute, 0, 2);
        grid->addWidget(LabelFor(recommended_, "Best Baud Rate Calculate by PC"), 1, 0, 1, 2);
        grid->addWidget(recommended_, 2, 0);
        grid->addWidget(replace, 2, 2);
        grid->addWidget(LabelFor(reload_, "Best RCAP2 Value Calculate by PC"), 3, 0, 1, 2);
        grid->addWidget(reload_, 4, 0);
        layout->addWidget(group);

        AddOkCancel(layout);
        Handler(compute, [this] { m_.OnCompute(); });
        // Replace only moves the rate choice: it neither reads nor rewrites the crystal, so a
        // crystal typed but not yet computed stays as typed.
        connect(replace, &QPushButton::clicked, this, [this] {
            m_.portSelection = SelectedPort(lists_.port);
            m_.rateSelection = lists_.rate->currentIndex();
            m_.OnReplace();
            Select(lists_.rate, m_.rateSelection);
        });
        Load();
    }

protected:
    bool Store() override {
        m_.portSelection = SelectedPort(lists_.port);
        m_.rateSelection = lists_.rate->currentIndex();
        return StoreCrystal(crystal_, m_);
    }
    void Load() override {
        SelectPort(lists_.port, m_.portSelection);
        Select(lists_.rate, m_.rateSelection);
        crystal_->setText(CrystalText(m_.crystal));
        recommended_->setText(QString::number(m_.bestRate));
        reload_->setText(QString::number(m_.bestReload));
    }

private:
    ExtMemCommDialog& m_;
    CommLists lists_;
    QLineEdit* crystal_ = nullptr;
    QLineEdit* recommended_ = nullptr;
    QLineEdit* reload_ = nullptr;
};

// The range dialog of Read, Sector Erase and Print, titled by the command that asks.
class SectorRangeView final : public ModelView {
public:
    SectorRangeView(SectorRangeDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(m_.Title()));
        auto* layout = new QVBoxLayout(this);
        auto* grid = new QGridLayout;
        start_ = MakeList(this, "startSector", m_.sectors, m_.startIndex);
        count_ = MakeList(this, "count", m_.counts, m_.countIndex);
        grid->addWidget(LabelFor(start_, SectorRangeDialog::kStartLabel), 0, 0);
        grid->addWidget(start_, 0, 1);
        grid->addWidget(LabelFor(count_, SectorRangeDialog::kCountLabel), 1, 0);
        grid->addWidget(count_, 1, 1);
        layout->addLayout(grid);
        AddOkCancel(layout);
        Load();
    }

protected:
    bool Store() override {
        m_.startIndex = start_->currentIndex();
        m_.countIndex = count_->currentIndex();
        return true;
    }
    void Load() override {
        Select(start_, m_.startIndex);
        Select(count_, m_.countIndex);
    }

private:
    SectorRangeDialog& m_;
    QComboBox* start_ = nullptr;
    QComboBox* count_ = nullptr;
};

// A file name edit with its "..." chooser button, on one row of `grid`.
QLineEdit* AddFileRow(QWidget* dialog, QGridLayout* grid, int row, const std::function<QString(const QString&)>& choose) {
    auto* edit = new ElidedLineEdit(dialog);
    edit->setObjectName("fileName");
    auto* browse = MakeButton(dialog, "browse", "...");
    grid->addWidget(LabelFor(edit, FileSectorDialog::kFileLabel), row, 0, 1, 2);
    grid->addWidget(edit, row + 1, 0);
    grid->addWidget(browse, row + 1, 1);
    QObject::connect(browse, &QPushButton::clicked, edit, [edit, choose] {
        const QString chosen = choose(edit->text());
        if (!chosen.isEmpty()) edit->setText(chosen);
    });
    return edit;
}

// Where a file chooser opens: beside the file in the field, else in the last folder used.
QString StartFolder(const QString& current, const GuiSettings* settings) {
    if (!current.isEmpty()) {
        const QFileInfo info(current);
        if (info.absoluteDir().exists()) return info.absoluteFilePath();
    }
    return settings ? settings->LastFolder() : QString();
}

// Download and Compare: a file and the sector it starts at. The file field is the edit of a
// list of the files used last, so that the operator picks one again without browsing.
class FileSectorView final : public ModelView {
public:
    FileSectorView(FileSectorDialog& model, QWidget* parent, GuiSettings* settings)
        : ModelView(model, parent), m_(model), settings_(settings) {
        setWindowTitle(Q(m_.Title()));
        setMinimumWidth(520);
        auto* layout = new QVBoxLayout(this);
        auto* grid = new QGridLayout;
        recent_ = new QComboBox(this);
        recent_->setObjectName("recentFiles");
        recent_->setEditable(true);
        recent_->setInsertPolicy(QComboBox::NoInsert);
        recent_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        recent_->setMinimumContentsLength(40);
        file_ = new ElidedLineEdit(recent_);
        file_->setObjectName("fileName");
        recent_->setLineEdit(file_);
        if (settings_) recent_->addItems(settings_->RecentFiles());
        for (int i = 0; i < recent_->count(); ++i) recent_->setItemData(i, recent_->itemText(i), Qt::ToolTipRole);
        auto* browse = MakeButton(this, "browse", "...");
        connect(browse, &QPushButton::clicked, this, [this] {
            const QString chosen =
                QFileDialog::getOpenFileName(this, QString(), StartFolder(file_->text(), settings_), ImageFileFilters());
            if (!chosen.isEmpty()) file_->setText(chosen);
        });
        grid->addWidget(LabelFor(recent_, FileSectorDialog::kFileLabel), 0, 0, 1, 2);
        grid->addWidget(recent_, 1, 0);
        grid->addWidget(browse, 1, 1);
        start_ = MakeList(this, "startSector", m_.sectors, m_.startIndex);
        grid->addWidget(LabelFor(start_, FileSectorDialog::kStartLabel), 2, 0, 1, 2);
        grid->addWidget(start_, 3, 0, 1, 2);
        grid->setColumnStretch(0, 1);
        layout->addLayout(grid);
        AddOkCancel(layout);
        Load();
    }

    void accept() override {
        ModelView::accept();
        // Only a file that was really taken is remembered.
        if (result() == QDialog::Accepted && settings_ && QFileInfo(file_->text()).isFile())
            settings_->AddRecentFile(file_->text());
    }

protected:
    bool Store() override {
        m_.fileName = PathBytes(file_->text());
        m_.startIndex = start_->currentIndex();
        return true;
    }
    void Load() override {
        recent_->setCurrentIndex(-1);
        file_->setText(PathText(m_.fileName));
        Select(start_, m_.startIndex);
    }

private:
    FileSectorDialog& m_;
    GuiSettings* settings_;
    QComboBox* recent_ = nullptr;
    ElidedLineEdit* file_ = nullptr;
    QComboBox* start_ = nullptr;
};

// "Save Flash Contents into a Disk File".
class SaveView final : public ModelView {
public:
    SaveView(SaveDialog& model, QWidget* parent) : ModelView(model, parent), m_(model) {
        setWindowTitle(Q(SaveDialog::kTitle));
        auto* layout = new QVBoxLayout(this);
        auto* grid = new QGridLayout;
        // The chooser asks before it lets an existing file be replaced (its default). Its
        // filter chooses the format, and the name gets that format's extension.
        file_ = AddFileRow(this, grid, 0, [this](const QString& current) {
            const QString hex = Q("Intel HEX (*.hex)"), bin = Q("Binary (*.bin)"), txt = Q("Dump text (*.txt)");
            QString filter = text_->isChecked() ? txt : current.endsWith(Q(".bin"), Qt::CaseInsensitive) ? bin : hex;
            QFileDialog chooser(this, QString(), current);
            chooser.setAcceptMode(QFileDialog::AcceptSave);
            chooser.setObjectName("saveChooser");
            chooser.setNameFilters({hex, bin, txt});
            chooser.selectNameFilter(filter);
            if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return QString();
            return SaveNameFor(chooser.selectedFiles().front(), chooser.selectedNameFilter() == txt
                                                                     ? Q("txt")
                                                                 : chooser.selectedNameFilter() == bin ? Q("bin")
                                                                                                      : Q("hex"));
        });
        start_ = MakeList(this, "startSector", m_.sectors, m_.startIndex);
        count_ = MakeList(this, "count", m_.counts, m_.countIndex);
        grid->addWidget(LabelFor(start_, FileSectorDialog::kStartLabel), 2, 0, 1, 2);
        grid->addWidget(start_, 3, 0, 1, 2);
        grid->addWidget(LabelFor(count_, "Range"), 4, 0, 1, 2);
        grid->addWidget(count_, 5, 0, 1, 2);
        layout->addLayout(grid);

        auto* saveAs = new QGroupBox(Q("Save as"), this);
        auto* saveAsLayout = new QHBoxLayout(saveAs);
        binary_ = MakeRadio(saveAs, "binaryFile", "Binary File");
        text_ = MakeRadio(saveAs, "textFile", "Text File");
        saveAsLayout->addWidget(binary_);
        saveAsLayout->addWidget(text_);
        layout->addWidget(saveAs);

        AddOkCancel(layout);
        Load();
        // A chosen name sets the radio its extension stands for.
        connect(file_, &QLineEdit::textChanged, this, [this](const QString& name) {
            const QString ext = QFileInfo(name).suffix().toLower();
            if (ext == QLatin1String("txt")) text_->setChecked(true);
            else if (ext == QLatin1String("hex") || ext == QLatin1String("bin")) binary_->setChecked(true);
        });
    }

    // The chosen name with the filter's extension: kept when it has it, given it when it
    // has none, and the filter's put in place of a contradicting one.
    static QString SaveNameFor(const QString& chosen, const QString& ext) {
        const QFileInfo info(chosen);
        const QString suffix = info.suffix().toLower();
        if (suffix == ext) return chosen;
        if (suffix == QLatin1String("hex") || suffix == QLatin1String("bin") || suffix == QLatin1String("txt"))
            return chosen.left(chosen.size() - suffix.size()) + ext;
        return chosen + QLatin1Char('.') + ext;
    }

protected:
    bool Store() override {
        m_.fileName = PathBytes(file_->text());
        m_.startIndex = start_->currentIndex();
        m_.countIndex = count_->currentIndex();
        m_.textMode = binary_->isChecked() ? 0 : text_->isChecked() ? 1 : -1;
        return true;
    }
    void Load() override {
        file_->setText(PathText(m_.fileName));
        Select(start_, m_.startIndex);
        Select(count_, m_.countIndex);
        binary_->setChecked(m_.textMode == 0);
        text_->setChecked(m_.textMode == 1);
    }

private:
    SaveDialog& m_;
    QLineEdit* file_ = nullptr;
    QComboBox* start_ = nullptr;
    QComboBox* count_ = nullptr;
    QRadioButton* binary_ = nullptr;
    QRadioButton* text_ = nullptr;
};

}  // namespace

QString ImageFileFilters() {
    return QStringLiteral("Intel HEX (*.hex *.ihx *.ihex);;Binary (*.bin);;All files (*)");
}

std::unique_ptr<QDialog> CreateModelDialog(DialogModel& model, QWidget* parent, GuiSettings* settings) {
    const std::string_view name = model.DialogName() ? model.DialogName() : "";
    if (name == "ChipSelectDialog") return Make<ChipSelectDialog, ChipSelectView>(model, parent);
    if (name == "CommSetupDialog") return Make<CommSetupDialog, CommSetupView>(model, parent);
    if (name == "ExtMemCommDialog") return Make<ExtMemCommDialog, ExtMemCommView>(model, parent);
    if (name == "SectorRangeDialog") return Make<SectorRangeDialog, SectorRangeView>(model, parent);
    if (name == "DownloadDialog" || name == "CompareDialog") {
        auto* m = dynamic_cast<FileSectorDialog*>(&model);
        if (!m) return nullptr;
        return std::make_unique<FileSectorView>(*m, parent, settings);
    }
    if (name == "SaveDialog") return Make<SaveDialog, SaveView>(model, parent);
    return views::CreateOperatorDialog(model, parent);
}

DialogResult RunModelDialog(DialogModel& model, QWidget* parent, GuiSettings* settings,
                            std::function<void(const std::function<void()>&)> runner) {
    std::unique_ptr<QDialog> dialog = CreateModelDialog(model, parent, settings);
    if (!dialog) return DialogResult::Cancel;
    if (auto* view = dynamic_cast<views::ModelView*>(dialog.get()); view && runner) view->SetWorkRunner(std::move(runner));
    // The parent owns its children too: should it be destroyed while the dialog runs, the
    // dialog goes with it and must not be deleted a second time here.
    QPointer<QDialog> alive(dialog.get());
    const int code = dialog->exec();
    if (!alive) {
        (void)dialog.release();
        return DialogResult::Cancel;
    }
    return code == QDialog::Accepted ? DialogResult::Ok : DialogResult::Cancel;
}

}  // namespace tessel::gui
