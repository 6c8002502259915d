#include "GuiBridge.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Dialogs.h"
#include "commands/FlashDialogs.h"
#include "commands/MessageAdvice.h"
#include "commands/Texts.h"

namespace tessel::gui {

CommandThread::CommandThread() : thread_([this] { Loop(); }) {}

CommandThread::~CommandThread() { Stop(); }

void CommandThread::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
}

bool CommandThread::Busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ || !jobs_.empty();
}

void CommandThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable() && !OnThread()) thread_.join();
}

void CommandThread::Loop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            running_ = true;
        }
        job();
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
}

bool GuiBridge::RunOnGui(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        if (ShuttingDown()) return false;
        fn();
        return true;
    }
    struct Call {
        bool started = false;
        bool done = false;
    };
    auto call = std::make_shared<Call>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shuttingDown_) return false;
    }
    QMetaObject::invokeMethod(
        this,
        [this, call, &fn] {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (shuttingDown_) return;
                call->started = true;
            }
            fn();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                call->done = true;
            }
            cv_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    for (;;) {
        cv_.wait(lock, [&] { return call->done || (shuttingDown_ && !call->started) || handed_; });
        if (!handed_) break;
        // Work the open dialog handed over runs here, on the command's own thread.
        const std::function<void()>* work = handed_;
        QEventLoop* loop = handedLoop_;
        handed_ = nullptr;
        lock.unlock();
        (*work)();
        // Queued, so that an end that comes before the GUI's exec() still ends it.
        QMetaObject::invokeMethod(loop, [loop] { loop->quit(); }, Qt::QueuedConnection);
        lock.lock();
    }
    --waiting_;
    return call->done;
}

bool GuiBridge::RunOnCommand(const std::function<void()>& fn) {
    QEventLoop loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_ == 0 || handed_ || shuttingDown_) return false;
        handed_ = &fn;
        handedLoop_ = &loop;
    }
    cv_.notify_all();
    loop.exec();
    return true;
}

void GuiBridge::PostToGui(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void GuiBridge::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shuttingDown_ = true;
    }
    cv_.notify_all();
}

bool GuiBridge::ShuttingDown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shuttingDown_;
}

namespace {
QString Text(const std::string& s) { return QString::fromStdString(s); }
QString BoxTitle() { return QString::fromLatin1(text::kTitle).trimmed(); }
}  // namespace

void QtOperator::ShowMessage(const std::string& text, MessageKind kind) { ShowBox(text, kind, ""); }

void QtOperator::ShowFault(Fault fault, const std::string& text) { ShowBox(text, MessageKind::Error, RemedyFor(fault)); }

void QtOperator::ShowBox(const std::string& text, MessageKind kind, const char* remedy) {
    bridge_.RunOnGui([&] {
        if (listener_) listener_(text);
        const QMessageBox::Icon icon = kind == MessageKind::Error     ? QMessageBox::Critical
                                       : kind == MessageKind::Warning ? QMessageBox::Warning
                                                                      : QMessageBox::Information;
        QMessageBox box(icon, BoxTitle(), Text(text), QMessageBox::Ok, parent_);
        if (*remedy) box.setInformativeText(QString::fromLatin1(remedy));
        box.exec();
    });
}

void QtOperator::ShowInformation(const std::string& title, const std::string& text) {
    bridge_.RunOnGui([&] { QMessageBox::information(parent_, Text(title), Text(text)); });
}

bool QtOperator::AskYesNo(const std::string& text) {
    bool yes = false;
    bridge_.RunOnGui([&] {
        yes = QMessageBox::question(parent_, BoxTitle(), Text(text), QMessageBox::Yes | QMessageBox::No,
                                    QMessageBox::No) == QMessageBox::Yes;
    });
    return yes;
}

DialogResult QtOperator::RunDialog(DialogModel& model) {
    DialogResult result = DialogResult::Cancel;
    bridge_.RunOnGui([&] {
        auto* files = dynamic_cast<FileSectorDialog*>(&model);
        if (files && files->kind == FileSectorDialog::Kind::Download && !pendingDownload_.isEmpty()) {
            files->fileName = QFile::encodeName(pendingDownload_).toStdString();
            pendingDownload_.clear();
        }
        result = RunModelDialog(model, parent_, settings_, [this](const std::function<void()>& work) {
            if (!bridge_.RunOnCommand(work)) work();
        });
    });
    return result;
}

void QtOperator::DebugTrace(const std::string& line) {
    if (std::getenv("TESSEL_TRACE")) std::fprintf(stderr, "trace: %s\n", line.c_str());
}

}  // namespace tessel::gui
