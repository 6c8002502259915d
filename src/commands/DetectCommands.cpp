#include "commands/DetectCommands.h"

#include <memory>

#include "files/ConfigStore.h"
#include "protocol/Detection.h"
#include "protocol/Upgrade11E.h"
#include "commands/CommDialogs.h"
#include "commands/Commands.h"
#include "commands/ExternalCommands.h"
#include "commands/Target.h"
#include "commands/MemoryView.h"
#include "commands/Texts.h"

namespace tessel {

namespace {

class DetectCommands {
public:
    DetectCommands(Target& w, DetectCommandEnv env) : w_(w), env_(std::move(env)) {}

    // Chip type and memory mode, from a request or the operator; true when both were given.
    bool ChooseChip(const DetectRequest* given = nullptr) {
        ChipSelectDialog dialog(w_.Session());
        if (given) {
            dialog.chipType = given->chipType;
            dialog.memoryMode = given->memoryMode;
        } else if (w_.Op().RunDialog(dialog) != DialogResult::Ok) {
            return false;
        }
        if (!dialog.OnOK()) {
            w_.Op().Warn(text::kChipInfoIncomplete);
            return false;
        }
        return true;
    }

    bool RunCommSetup() {
        if (request_) return ApplyRequest();
        CommSetupDialog dialog(w_.Session(), *env_.store, w_.Op());
        dialog.FirstExchange(NamedPorts());
        const bool ok = w_.Op().RunDialog(dialog) == DialogResult::Ok;
        w_.TickPanes();
        return ok;
    }

    // Runs one detection procedure with the window's hooks wired in.
    template <typename Procedure>
    void WithContext(Procedure procedure) {
        DetectionContext ctx(w_.Session(), w_, w_.Op());
        ctx.worker = &w_.Worker();
        ctx.runCommSetupDialog = [this] { return RunCommSetup(); };
        ctx.detect11EFallback = [&ctx] { Detect11E(ctx, false); };
        ctx.runUpgrade = [this, &ctx](bool menuVariant) { UpgradeBsl11E(ctx, menuVariant, env_.backupDir); };
        ctx.endApplication = [this] { w_.RequestClose(); };
        ctx.returnToMcuFlash = [this] { LeaveExternalAfterDetection(w_); };
        procedure(ctx);
        w_.TickPanes();
        // Detection allocates fresh images; the view shows them rather than the last chip's.
        if (w_.Session().IsLinkUp()) {
            const int block = w_.Session().currentBlock == 1 ? 1 : 0;
            w_.Memory().ShowSectorStatus(block, -1, -1);
            w_.Memory().ShowSector(block, 0);
        }
    }

    // A detection from a request: what the chip and set-up dialogs would ask is given.
    bool Detect(const DetectRequest& r) {
        // The 1.1E loader reports its chip type and memory mode itself.
        if (r.firmware != LoaderFirmware::V11E && !ChooseChip(&r)) return false;
        request_ = &r;
        ApplyRequest();
        switch (r.firmware) {
            case LoaderFirmware::V11F: WithContext([](DetectionContext& x) { Detect11F(x); }); break;
            case LoaderFirmware::V11E: WithContext([](DetectionContext& x) { Detect11E(x, true); }); break;
            case LoaderFirmware::Unknown: WithContext([](DetectionContext& x) { DetectUnknown(x); }); break;
        }
        request_ = nullptr;
        return Told();
    }

    // Whether a loader answers now, with the result line in the command line's words. A
    // command that detects again at its end (Chip Erase) keeps the line it has set.
    bool Told() {
        CDeviceSession& s = w_.Session();
        const std::string port = s.port.GetPortName();
        const bool up = s.IsLinkUp();
        if (!w_.Result().empty()) return up;
        if (!up) {
            // A port that never opened has no name; its box said why.
            w_.SetResult(port.empty() ? std::string("detection failed: no port was opened") : "detection on " + port + " failed");
            return false;
        }
        w_.SetResult("detected " + w_.Field(ChipField::ChipType) + " with loader " + w_.Field(ChipField::FwVersion) +
                     " on " + port + " at " + std::to_string(s.port.GetBaudRate()) + " baud");
        return true;
    }

    bool ApplyRequest() {
        CDeviceSession& s = w_.Session();
        s.crystalMHz = request_->crystal;
        s.port.SetBaudRate(request_->baud);
        w_.TickPanes();
        return true;
    }

    void Detect11FWithConfig() {
        if (!ChooseChip() || !RunCommSetup()) return;
        w_.SetCommandSucceeded(DetectWithSettings(w_));
    }

    void ExtMemSerial() {
        const std::string title = w_.Title();
        w_.SetTitle(text::kBaudMustMatchTitle);
        ExtMemCommDialog dialog(w_.Session(), *env_.store, w_.Op());
        dialog.FirstExchange(NamedPorts());
        if (w_.Op().RunDialog(dialog) == DialogResult::Ok) w_.Op().Inform(text::kSelectChipOrDetect);
        w_.SetTitle(title);
        w_.TickPanes();
    }

    void Exit() {
        if (w_.Op().AskYesNo(text::kExitQuestion)) w_.RequestClose();
    }

private:
    std::vector<std::string> NamedPorts() const { return env_.namedPorts ? env_.namedPorts() : std::vector<std::string>{}; }

    Target& w_;
    DetectCommandEnv env_;
    const DetectRequest* request_ = nullptr;
};

}  // namespace

CommandResult DetectChip(Target& target, const DetectRequest& request) {
    DetectCommands c(target, target.DetectEnv());
    return target.RunCommand([&] { return c.Detect(request); });
}

void ResetLinkNow(Target& target) {
    DetectCommands c(target, target.DetectEnv());
    c.WithContext([&target](DetectionContext& x) { ResetLink(x, [&target] { StopLinkWorker(target.Worker()); }); });
}

bool DetectWithSettings(Target& target) {
    DetectCommands c(target, target.DetectEnv());
    c.WithContext([](DetectionContext& x) { Detect11F(x); });
    return c.Told();
}

Actions DetectActions(Target& target, DetectCommandEnv env) {
    target.SetDetectEnv(env);
    auto c = std::make_shared<DetectCommands>(target, std::move(env));
    Target* w = &target;
    Actions out;
    out.emplace_back(Action::Detect11F, [c] { c->Detect11FWithConfig(); });
    out.emplace_back(Action::DetectBaudAndChip, [w] { w->SetCommandSucceeded(DetectWithSettings(*w)); });
    out.emplace_back(Action::Detect11E, [c, w] {
        c->WithContext([](DetectionContext& x) { Detect11E(x, true); });
        w->SetCommandSucceeded(c->Told());
    });
    out.emplace_back(Action::DetectUnknown, [c, w] {
        if (!c->ChooseChip()) return;
        c->WithContext([](DetectionContext& x) { DetectUnknown(x); });
        w->SetCommandSucceeded(c->Told());
    });
    out.emplace_back(Action::ResetLink, [w] {
        ResetLinkNow(*w);
        // Letting go of the link cannot fail.
        w->SetCommandSucceeded(true);
    });
    out.emplace_back(Action::ExtMemSerialDialog, [c] { c->ExtMemSerial(); });
    out.emplace_back(Action::Exit, [c] { c->Exit(); });
    return out;
}

}  // namespace tessel
