#pragma once
// The two threads of the desktop program. Every command handler and every timer tick runs on
// one command thread, so a long Read never stops the window from repainting; whatever a
// command needs from the operator (a message box, a question, a dialog) is run on the GUI
// thread while the command waits. Closing the window shuts the bridge: questions not yet
// shown are answered No/Cancel at once, so no command is left waiting on a window that is
// gone.

#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Operator.h"

class QEventLoop;
class QWidget;

namespace tessel::gui {

class CommandThread {
public:
    CommandThread();
    ~CommandThread();
    CommandThread(const CommandThread&) = delete;
    CommandThread& operator=(const CommandThread&) = delete;

    // Queues a job; jobs run one after another in order. Ignored once stopped.
    void Post(std::function<void()> job);
    // True while a job runs or waits.
    bool Busy() const;
    // Runs no further jobs, waits for the one running, and ends the thread.
    void Stop();
    bool OnThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void Loop();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

class GuiBridge : public QObject {
    Q_OBJECT
public:
    explicit GuiBridge(QObject* parent = nullptr) : QObject(parent) {}

    // Runs `fn` on the GUI thread and waits for it; on the GUI thread itself it runs at once.
    // False when it did not run because the bridge was shut first. Once `fn` has started,
    // this waits for it to finish even during shut-down, because it may be using objects of
    // the waiting thread (a dialog model on its stack).
    bool RunOnGui(const std::function<void()>& fn);
    // From the GUI thread, while a command waits in RunOnGui (a dialog of it is open): runs
    // `fn` on the command's thread and keeps the GUI's events going until it has ended, so
    // that chip work a dialog's button asks for neither freezes the window nor leaves the
    // command thread. False, with `fn` not run, when no command waits.
    bool RunOnCommand(const std::function<void()>& fn);
    // Posts `fn` to the GUI thread without waiting.
    void PostToGui(std::function<void()> fn);
    void Shutdown();
    bool ShuttingDown() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool shuttingDown_ = false;
    // How many calls of RunOnGui wait, and the work handed to them, if any.
    int waiting_ = 0;
    const std::function<void()>* handed_ = nullptr;
    QEventLoop* handedLoop_ = nullptr;  // the GUI's wait for the handed work
};

// The operator at the desktop: Qt message boxes (Yes/No with No as the default) and the
// dialogs of the models, shown on the GUI thread over `parent`.
class GuiSettings;

// Errors show the error icon and, where one is known, what usually helps; questions the
// question icon.
class QtOperator : public Operator {
public:
    QtOperator(GuiBridge& bridge, QWidget* parent) : bridge_(bridge), parent_(parent) {}
    // Where the file dialogs remember folders and recent files; none: they remember nothing.
    void SetSettings(GuiSettings* settings) { settings_ = settings; }
    // Told, on the GUI thread, of every message shown (the window keeps the last result).
    void SetMessageListener(std::function<void(const std::string&)> listener) { listener_ = std::move(listener); }
    // The file the next Download dialog opens with (a file dropped on the window); GUI thread.
    void SetPendingDownloadFile(const QString& path) { pendingDownload_ = path; }
    void ClearPendingDownloadFile() { pendingDownload_.clear(); }

    void ShowMessage(const std::string& text, MessageKind kind) override;
    void ShowInformation(const std::string& title, const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    DialogResult RunDialog(DialogModel& model) override;
    void DebugTrace(const std::string& line) override;

protected:
    // Errors of a known fault add what usually helps against it.
    void ShowFault(Fault fault, const std::string& text) override;

private:
    void ShowBox(const std::string& text, MessageKind kind, const char* remedy);

    GuiBridge& bridge_;
    QWidget* parent_;
    GuiSettings* settings_ = nullptr;
    std::function<void(const std::string&)> listener_;
    QString pendingDownload_;
};

}  // namespace tessel::gui
