#pragma once
// The operator of the tool, as the layers below the user interface see them: the GUI shows
// message boxes and modal dialogs, the CLI prints and fills dialogs from its options, and
// tests script the answers. Declared here so that every layer can report through it.

#include <string>

namespace tessel {

// The fields and handlers of one modal dialog, kept apart from any toolkit so that the
// dialog's logic (Compute buttons, OK checks that keep it open) can be tested on its own.
enum class OkOutcome { KeepOpen, CloseOk, CloseCancel };

class DialogModel {
public:
    virtual ~DialogModel() = default;
    // A stable name of the dialog ("CommSetupDialog", ...) so that a front end can pick the
    // view that renders it and a script can recognise it.
    virtual const char* DialogName() const = 0;
    // What a front end calls when the operator presses OK, after it has put the edits into
    // the model: the model may refuse (KeepOpen) or close the dialog either way.
    virtual OkOutcome PressOk() { return OkOutcome::CloseOk; }
};

enum class DialogResult { Ok, Cancel };

// How a message box presents its text. The code that raises a message knows what happened,
// so the kind travels with the text rather than being guessed from its words: "Chip Erase
// Completed!" is information, "Chip Erase Failed!!!" an error. A Warning is a command cut short
// or refused for a reason the operator can act on, with nothing failed on the way.
enum class MessageKind { Information, Warning, Error };

// What went wrong, told by the code that saw it: a front end picks what usually helps by the
// fault, never by the message's words, and a command's result carries it.
// Port: the serial port could not be had. NoAnswer: it opened but no loader answered as it
// should. LinkLost: a loader that answered stopped. File: an image file could not be used.
// Unconfirmed: a change went out to the chip but reading it back did not show it done.
enum class Fault { None, Port, NoAnswer, LinkLost, File, Unconfirmed };

// "port", "no-answer", "link-lost", "file", "unconfirmed"; "" for none.
inline const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::Port: return "port";
        case Fault::NoAnswer: return "no-answer";
        case Fault::LinkLost: return "link-lost";
        case Fault::File: return "file";
        case Fault::Unconfirmed: return "unconfirmed";
        case Fault::None: break;
    }
    return "";
}

class Operator {
public:
    virtual ~Operator() = default;

    // A text with an OK button, shown as what it is.
    virtual void ShowMessage(const std::string& text, MessageKind kind) = 0;
    void Inform(const std::string& text) { ShowMessage(text, MessageKind::Information); }
    void Warn(const std::string& text) { ShowMessage(text, MessageKind::Warning); }
    void Fail(const std::string& text) { ShowMessage(text, MessageKind::Error); }
    // An error whose fault is known.
    void Fail(Fault fault, const std::string& text) {
        Note(fault, text);
        ShowFault(fault, text);
    }
    // A warning that comes with a fault (a change sent that nothing could read back).
    void Warn(Fault fault, const std::string& text) {
        Note(fault, text);
        Warn(text);
    }
    // The first fault told since ClearFault(): the cause, where the errors after it follow
    // from it. A change that went out unconfirmed outranks its cause: what the chip may now
    // hold is what the operator must know first.
    Fault FirstFault() const { return fault_; }
    // The words that fault was told in.
    const std::string& FaultText() const { return faultText_; }
    void ClearFault() {
        fault_ = Fault::None;
        faultText_.clear();
    }

    // A box of fixed text under its own title (the help boxes); OK only.
    virtual void ShowInformation(const std::string& title, const std::string& text) {
        (void)title;
        Inform(text);
    }

    // Something worth knowing that asks nothing and stops nothing (what a setting the system
    // refused costs); shown once by whoever raises it. A box unless the front end has a
    // quieter place for it.
    virtual void ShowNote(const std::string& text) { Warn(text); }

    // A fault of the line or the system, in the tool's own words rather than a box text of
    // the desktop program ("the serial device /dev/ttyUSB0 has gone (unplugged?)"): every
    // front end shows it as an error.
    virtual void ShowError(const std::string& text) { Fail(text); }

    // The board must be reset into its boot loader now; the loader is waited for up to
    // `waitMs` afterwards. The window's box says it in its own words, with an OK to click
    // before the wait begins.
    virtual void PromptReset(const std::string& text, unsigned waitMs) {
        (void)waitMs;
        Inform(text);
    }

    // A Yes/No question whose default answer is No; true only for an explicit Yes.
    virtual bool AskYesNo(const std::string& text) = 0;

    // Runs a dialog model modally; the model holds the result of the operator's edits.
    virtual DialogResult RunDialog(DialogModel& model) = 0;

    // A line for developers (the system debugger output of old); never shown in a box.
    virtual void DebugTrace(const std::string& line) = 0;

protected:
    // An error whose fault is known, shown as any other unless the front end has more to
    // say about that fault.
    virtual void ShowFault(Fault fault, const std::string& text) {
        (void)fault;
        ShowMessage(text, MessageKind::Error);
    }

private:
    void Note(Fault fault, const std::string& text) {
        if (fault_ != Fault::None && fault != Fault::Unconfirmed) return;
        fault_ = fault;
        faultText_ = text;
    }

    Fault fault_ = Fault::None;
    std::string faultText_;
};

// Says nothing, answers No and Cancel: for code paths that run without an operator.
class SilentOperator final : public Operator {
public:
    void ShowMessage(const std::string&, MessageKind) override {}
    bool AskYesNo(const std::string&) override { return false; }
    DialogResult RunDialog(DialogModel&) override { return DialogResult::Cancel; }
    void DebugTrace(const std::string&) override {}
};

}  // namespace tessel
