#include "commands/CommDialogs.h"

#include <cstdio>

#include "calc/BaudCalc.h"
#include "device/CDeviceSession.h"
#include "files/ConfigStore.h"
#include "platform/SafeFile.h"
#include "commands/Texts.h"

namespace tessel {

namespace {
constexpr int kComPorts = 256;
constexpr char kUnableToSave[] = "Unable to save the configuration";
}  // namespace

ChipSelectDialog::ChipSelectDialog(CDeviceSession& session)
    : chipType(session.chipType), memoryMode(session.memoryMode), session_(session) {}

bool ChipSelectDialog::OnOK() {
    if (!Complete(chipType, memoryMode)) return false;
    session_.chipType = chipType;
    session_.memoryMode = memoryMode;
    session_.RefreshGeometry();
    return true;
}

CommSetupDialog::CommSetupDialog(CDeviceSession& session, const ConfigStore& store, Operator& op)
    : session_(session), store_(store), op_(op) {}

std::vector<std::string> PortListTexts(const std::vector<std::string>& namedPorts) {
    std::vector<std::string> ports;
    for (int i = 1; i <= kComPorts; ++i) ports.push_back("COM" + std::to_string(i));
    ports.insert(ports.end(), namedPorts.begin(), namedPorts.end());
    return ports;
}

int PortPosition(const std::vector<std::string>& ports, const CDeviceSession& session) {
    const std::string& name = session.port.GetPortName();
    for (size_t i = kComPorts; i < ports.size(); ++i)
        if (!name.empty() && ports[i] == name) return static_cast<int>(i);
    return session.port.GetPortNumber() - 1;
}

namespace {
// A settings file that cannot be written is skipped, as before; one whose name was made a
// symbolic link is worth a word, since somebody put it there.
void WarnIfLinked(const std::filesystem::path& path, Operator& op) {
    if (IsSymbolicLink(path.string()))
        op.Fail(path.string() + " is a symbolic link; it was not followed and the settings were not saved.");
}

// The port half of both OK handlers: the registry value, the session's port, and the name of
// a named port kept for the next start. Returns the number the settings file records.
int ApplyPortChoice(const std::vector<std::string>& ports, int selection, CDeviceSession& session,
                    const ConfigStore& store, Operator& op) {
    const int pp = selection < 0 ? 0 : selection;
    const bool named = pp >= kComPorts && pp < static_cast<int>(ports.size());
    // A named port has no number; the registry value and the settings file keep "COM1" for it.
    const int portNumber = named ? 1 : pp + 1;
    if (!store.WriteRegistryValue("COMMPORT", std::to_string(portNumber))) op.Fail(kUnableToSave);
    session.port.SetPortNumber(portNumber);
    if (named) session.port.SetPortName(ports[static_cast<size_t>(pp)]);
    store.WritePortName(named ? ports[static_cast<size_t>(pp)] : "");
    return portNumber;
}

bool CrystalInRange(double crystal, std::string* message) {
    if (crystal >= 1.0 && crystal <= 40.0) return true;
    if (message) *message = "Please enter a number between 1 and 40.";
    return false;
}
}  // namespace

void CommSetupDialog::FirstExchange(const std::vector<std::string>& namedPorts) {
    ports = PortListTexts(namedPorts);
    portSelection = PortPosition(ports, session_);
    crystal = session_.crystalMHz == 0.0 ? 11.0592 : session_.crystalMHz;
    OnCompute();
    rates.assign(kStandardRateTexts.begin(), kStandardRateTexts.end());
    beyondRates = beyondListRates(crystal);
    for (const uint32_t rate : beyondRates) rates.push_back(BeyondListText(rate));
    rateSelection = positionForRate(recommendedRate);
}

std::string CommSetupDialog::BeyondListText(uint32_t rate) {
    return std::to_string(rate) + " (beyond the loader's documented list)";
}

uint32_t CommSetupDialog::RateAt(int position) const {
    const int beyond = position - static_cast<int>(kStandardRates.size());
    if (beyond >= 0 && beyond < static_cast<int>(beyondRates.size())) return beyondRates[static_cast<size_t>(beyond)];
    return rateForPosition(position);
}

int CommSetupDialog::PositionOf(uint32_t rate) const {
    for (size_t i = 0; i < beyondRates.size(); ++i)
        if (beyondRates[i] == rate) return static_cast<int>(kStandardRates.size() + i);
    return positionForRate(rate);
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

bool CommSetupDialog::Validate(std::string* message) const { return CrystalInRange(crystal, message); }

OkOutcome CommSetupDialog::OnOK() {
    if (session_.port.IsLinkUp()) {
        op_.Inform(text::kDetectedEarlier);
        return OkOutcome::CloseCancel;
    }
    std::string invalid;
    if (!Validate(&invalid)) {
        op_.Warn(invalid);
        return OkOutcome::KeepOpen;
    }
    const int rp = rateSelection;
    const int portNumber = ApplyPortChoice(ports, portSelection, session_, store_, op_);
    session_.crystalMHz = crystal;
    const uint32_t rate = RateAt(rp);
    const std::string rateText = std::to_string(rate);
    session_.port.SetBaudRate(rate);
    OnCompute();
    // A rate beyond the documented list is no faster than the crystal allows when Timer 2
    // makes it as closely as the listed ones need; the crystal may have changed since the
    // list was filled.
    if (rate <= recommendedRate || (isBeyondListRate(rate) && fitRate(crystal, rate))) {
        if (!store_.WriteSettingsFormatA(portNumber, rate, crystal)) WarnIfLinked(store_.SettingsFilePath(), op_);
        if (!store_.WriteRegistryValue("BAUDRATE", rateText)) op_.Fail(kUnableToSave);
        return OkOutcome::CloseOk;
    }
    op_.Warn("You can't choose a baudrate which is higher than the computed best baudrate!\n");
    rateSelection = positionForRate(recommendedRate);
    return OkOutcome::KeepOpen;
}

ExtMemCommDialog::ExtMemCommDialog(CDeviceSession& session, const ConfigStore& store, Operator& op)
    : session_(session), store_(store), op_(op) {}

void ExtMemCommDialog::FirstExchange(const std::vector<std::string>& namedPorts) {
    ports = PortListTexts(namedPorts);
    portSelection = PortPosition(ports, session_);
    rates.assign(kStandardRateTexts.begin(), kStandardRateTexts.end());
    rateSelection = positionForRate(session_.port.GetBaudRate());
}

void ExtMemCommDialog::OnCompute() {
    const BaudChoice best = computeBestRate(crystal, kExtMemCandidates, false);
    bestRate = best.rate;
    bestReload = best.reload;
}

void ExtMemCommDialog::OnReplace() {
    // 300 baud has no entry in the rate list; within the crystal range the search always
    // stops at 600 or faster, and a rate the list cannot show leaves the choice as it is
    // rather than selecting a position that OK would store as 38400.
    for (size_t i = 0; i < kStandardRates.size(); ++i)
        if (kStandardRates[i] == bestRate) {
            rateSelection = static_cast<int>(i);
            return;
        }
}

bool ExtMemCommDialog::Validate(std::string* message) const { return CrystalInRange(crystal, message); }

OkOutcome ExtMemCommDialog::OnOK() {
    std::string invalid;
    if (!Validate(&invalid)) {
        op_.Warn(invalid);
        return OkOutcome::KeepOpen;
    }
    const int portNumber = ApplyPortChoice(ports, portSelection, session_, store_, op_);
    const uint32_t rate = rateForPosition(rateSelection);
    session_.port.SetBaudRate(rate);
    if (!store_.WriteSettingsFormatB(portNumber, rate)) WarnIfLinked(store_.SettingsFilePath(), op_);
    if (!store_.WriteRegistryValue("BAUDRATE", rateTextForPosition(rateSelection))) op_.Fail(kUnableToSave);
    return OkOutcome::CloseOk;
}

}  // namespace tessel
