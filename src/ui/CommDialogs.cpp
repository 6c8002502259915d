#include "ui/CommDialogs.h"

#include <cstdio>

#include "calc/BaudCalc.h"
#include "device/CDeviceSession.h"
#include "files/ConfigStore.h"
#include "ui/Texts.h"

namespace tessel {

namespace {
constexpr int kComPorts = 256;
constexpr char kUnableToSave[] = "Unable to save the configuration";
}  // namespace

ChipSelectDialog::ChipSelectDialog(CDeviceSession& session)
    : chipType(session.chipType), memoryMode(session.memoryMode), session_(session) {}

bool ChipSelectDialog::OnOK() {
    if (chipType < 1 || chipType > 6 || (memoryMode != 1 && memoryMode != 2)) return false;
    session_.chipType = chipType;
    session_.memoryMode = memoryMode;
    session_.RefreshGeometry();
    return true;
}

CommSetupDialog::CommSetupDialog(CDeviceSession& session, const ConfigStore& store, Operator& op)
    : session_(session), store_(store), op_(op) {}

void CommSetupDialog::FirstExchange(const std::vector<std::string>& namedPorts) {
    ports.clear();
    for (int i = 1; i <= kComPorts; ++i) ports.push_back("COM" + std::to_string(i));
    ports.insert(ports.end(), namedPorts.begin(), namedPorts.end());
    portSelection = session_.port.GetPortNumber() - 1;
    const std::string& name = session_.port.GetPortName();
    for (size_t i = kComPorts; i < ports.size(); ++i)
        if (!name.empty() && ports[i] == name) portSelection = static_cast<int>(i);
    crystal = session_.crystalMHz == 0.0 ? 11.0592 : session_.crystalMHz;
    OnCompute();
    rates.assign(kStandardRateTexts.begin(), kStandardRateTexts.end());
    rateSelection = positionForRate(recommendedRate);
}

void CommSetupDialog::OnCompute() {
    const BaudChoice best = computeBestRate(crystal, kCommSetupCandidates, true);
    recommendedRate = best.rate;
    reload = best.reload;
    reloadText = formatReload(best.reload);
    rateSelection = best.position;
}

void CommSetupDialog::OnNextBaud() {
    const auto next = computeNextRate(crystal, kCommSetupCandidates, recommendedRate);
    if (!next) return;
    recommendedRate = next->rate;
    reload = next->reload;
    reloadText = formatReload(next->reload);
    rateSelection = next->position;
}

bool CommSetupDialog::Validate(std::string* message) const {
    if (crystal < 1.0 || crystal > 40.0) {
        if (message) *message = "Please enter a number between 1 and 40.";
        return false;
    }
    return true;
}

OkOutcome CommSetupDialog::OnOK() {
    if (session_.port.IsLinkUp()) {
        op_.ShowMessage(text::kDetectedEarlier);
        return OkOutcome::CloseCancel;
    }
    std::string invalid;
    if (!Validate(&invalid)) {
        op_.ShowMessage(invalid);
        return OkOutcome::KeepOpen;
    }
    const int pp = portSelection < 0 ? 0 : portSelection;
    const int rp = rateSelection;
    const bool named = pp >= kComPorts && pp < static_cast<int>(ports.size());
    // A named port has no number; the registry value and format A keep "COM1" for it.
    const int portNumber = named ? 1 : pp + 1;
    if (!store_.WriteRegistryValue("COMMPORT", std::to_string(portNumber))) op_.ShowMessage(kUnableToSave);
    session_.port.SetPortNumber(portNumber);
    if (named) session_.port.SetPortName(ports[static_cast<size_t>(pp)]);
    session_.crystalMHz = crystal;
    const uint32_t rate = rateForPosition(rp);
    const std::string rateText = rateTextForPosition(rp);
    session_.port.SetBaudRate(rate);
    OnCompute();
    if (rate <= recommendedRate) {
        store_.WriteSettingsFormatA(portNumber, rate, crystal);
        if (!store_.WriteRegistryValue("BAUDRATE", rateText)) op_.ShowMessage(kUnableToSave);
        return OkOutcome::CloseOk;
    }
    op_.ShowMessage("You can't choose a baudrate which is higher than the computed best baudrate!\n");
    rateSelection = positionForRate(recommendedRate);
    return OkOutcome::KeepOpen;
}

}  // namespace tessel
