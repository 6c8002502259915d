#pragma once
// A port of the browser's Web Serial (navigator.serial), for the page. The page picks the port
// (requestPort needs the operator's gesture) and hands it to the script as Module.tesselPort;
// opening the name "webserial" then opens that port. Calls that wait on the browser (open,
// the modem lines, a full queue of writes, a read with a deadline) suspend the program
// through ASYNCIFY so that the browser's event loop runs meanwhile.

#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace tessel {

class WebSerialDevice : public SerialDevice {
public:
    static std::unique_ptr<SerialDevice> Open(const std::string& name, Clock& clock, OpenError* error);
    ~WebSerialDevice() override;

    bool Configure(const LineSettings& settings) override;
    LineResult SetDtr(bool high) override;
    LineResult SetRts(bool high) override;
    size_t InputCount() override;
    size_t OutputCount() override;
    bool WaitInput(uint64_t deadlineUs, const std::atomic<bool>* cancel) override;
    bool WaitOutputEmpty(uint64_t deadlineUs) override;
    long Read(uint8_t* buffer, size_t n) override;
    long Write(const uint8_t* buffer, size_t n, uint64_t deadlineUs) override;
    bool PurgeInput() override;
    bool PurgeOutput() override { return true; }
    void Wake() override;
    std::string Name() const override { return name_; }
    bool Gone() const override;

private:
    WebSerialDevice(std::string name, Clock& clock) : name_(std::move(name)), clock_(clock) {}
    LineResult Signals();
    bool WaitQueue(uint64_t deadlineUs);

    std::string name_;
    Clock& clock_;
    uint32_t baud_ = 0;
    bool dtr_ = true;
    bool rts_ = true;
};

}  // namespace tessel
