#pragma once
// An operator for tests: records every message and trace, answers questions from a script.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Operator.h"

namespace tessel::test {

class RecordingOperator : public Operator {
public:
    void ShowMessage(const std::string& text, MessageKind kind) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages.push_back(text);
        kinds.push_back(kind);
    }
    bool AskYesNo(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        questions.push_back(text);
        if (answers.empty()) return false;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    DialogResult RunDialog(DialogModel& model) override {
        std::function<DialogResult(DialogModel&)> script;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dialogs.push_back(model.DialogName());
            script = dialogScript;
        }
        // Unlocked: pressing OK in the script may show a message through this operator.
        return script ? script(model) : DialogResult::Cancel;
    }
    void DebugTrace(const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        traces.push_back(line);
    }

    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages;
    }

    std::vector<std::string> messages;
    std::vector<MessageKind> kinds;  // the kind each message was raised with
    std::vector<std::string> questions;
    std::vector<std::string> traces;
    std::vector<std::string> dialogs;
    std::deque<bool> answers;
    std::function<DialogResult(DialogModel&)> dialogScript;

private:
    std::mutex mutex_;
};

}  // namespace tessel::test
