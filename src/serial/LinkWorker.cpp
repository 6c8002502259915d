#include "serial/LinkWorker.h"

#include "platform/Clock.h"
#include "platform/Operator.h"
#include "serial/CSerialPort.h"

namespace tessel {

namespace {
constexpr uint8_t kPrompt = 0xF7;
constexpr uint8_t kIdle = 0x61;
}  // namespace

LinkWorker::~LinkWorker() { Stop(); }

void LinkWorker::Start(CSerialPort& port, Operator* owner, std::atomic<bool>& errorReported,
                       std::atomic<bool>& workerRunning) {
    Stop();
    queues_ = std::make_unique<LinkQueues>(port.GetClock());
    transport_ = std::make_unique<QueueTransport>(*queues_, port.GetClock(), owner, errorReported);
    run_ = true;
    stopRequested_ = false;
    ended_ = false;
    parked_ = false;
    pauseRequested_ = false;
    failed_ = false;
    params_ = {&queues_->commandMutex, &queues_->inboundMutex, &queues_->outboundMutex, &run_,
               &port, owner, &queues_->command, &queues_->inbound, &queues_->outbound,
               &errorReported, &workerRunning};
    // The thread joins the virtual clock before it starts, so that time cannot move on
    // while it is still being scheduled.
    port.GetClock().AddParticipant();
    thread_ = std::thread([this] {
        failed_ = !Run();
        ended_ = true;
        queues_->forOperator.Raise();
        params_.port->GetClock().RemoveParticipant();
    });
    workerRunning = true;
}

void LinkWorker::Stop() {
    if (!thread_.joinable()) return;
    run_ = false;
    stopRequested_ = true;
    queues_->forWorker.Raise();
    params_.port->CancelWaits();
    thread_.join();
    params_.port->ResumeWaits();
    transport_.reset();
    queues_.reset();
    if (params_.workerRunning) *params_.workerRunning = false;
}

bool LinkWorker::ParkIfAsked() {
    if (!pauseRequested_) return false;
    parked_ = true;
    queues_->forOperator.Raise();
    for (;;) {
        const uint64_t seen = queues_->forWorker.Seen();
        if (!pauseRequested_ || !run_) break;
        queues_->forWorker.WaitMs(seen, kPromptLimitMs, &stopRequested_);
    }
    parked_ = false;
    return true;
}

LinkWorker::PromptWait LinkWorker::WaitForPrompt() {
    CSerialPort& port = *params_.port;
    Clock& clock = port.GetClock();
    std::atomic<bool>& error = *params_.errorReported;
    const uint64_t start = clock.TickMs();
    while (run_) {
        if (ParkIfAsked()) continue;
        uint8_t byte = 0;
        const bool got = port.ReadByte(&byte);
        if (!run_) break;
        // Before the port is opened a read fails at once; wait on the clock instead
        // of spinning through the prompt limit.
        if (!got && !port.IsOpen()) clock.SleepUntilUs(clock.NowUs() + 1000, &stopRequested_);
        if (pauseRequested_) continue;
        if (got && byte == kPrompt) return PromptWait::Prompted;
        if (error) return PromptWait::Failed;
        if (clock.TickMs() - start > kPromptLimitMs) {
            error = true;
            return PromptWait::Failed;
        }
    }
    return PromptWait::Stopped;
}

bool LinkWorker::Run() {
    CSerialPort& port = *params_.port;
    Clock& clock = port.GetClock();
    std::atomic<bool>& error = *params_.errorReported;
    error = false;
    bool sending = false, receiveOne = false, receiveMany = false, countFollows = false;
    uint32_t counter = 0;
    bool havePrevious = false;
    uint64_t previousTick = 0;

    auto receive = [&](bool many) -> bool {
        uint8_t byte = 0;
        if (!port.ReadByte(&byte)) {
            if (!run_) return true;  // a stop, not a failure
            error = true;
            return false;
        }
        const uint64_t now = clock.TickMs();
        if (byte == kPrompt && havePrevious && !error && now - previousTick > kFallbackMs) {
            error = true;  // the target gave up on the exchange and is prompting again
            return false;
        }
        havePrevious = true;
        previousTick = now;
        if (--counter == 0 || !many) {
            receiveMany = receiveOne = false;
        }
        if (error) return false;
        {
            std::lock_guard<std::mutex> lock(*params_.inboundMutex);
            if (!params_.inboundQueue->IsFull() && !params_.inboundQueue->Put(byte) && params_.owner)
                params_.owner->Fail("Error! Queue is not full but unable to write.");
        }
        queues_->forOperator.Raise();
        return true;
    };

    while (run_) {
        if (sending) {
            uint8_t byte = 0;
            const uint64_t seen = queues_->forWorker.Seen();
            {
                std::unique_lock<std::mutex> lock(*params_.outboundMutex);
                if (params_.outboundQueue->IsEmpty()) {
                    lock.unlock();
                    queues_->forWorker.WaitMs(seen, kPromptLimitMs, &stopRequested_);
                    continue;
                }
                if (!params_.outboundQueue->Get(&byte)) {
                    lock.unlock();
                    if (params_.owner) params_.owner->Fail("Error! Queue is not empty but unable to read.");
                    continue;
                }
            }
            queues_->forOperator.Raise();
            if (!port.WriteByte(byte)) {
                error = true;
                return false;
            }
            if (--counter == 0) {
                if (countFollows) {
                    counter = byte;
                    countFollows = false;
                    if (receiveMany || counter == 0) sending = false;
                    if (receiveMany && counter == 0) receiveMany = false;
                } else {
                    sending = false;
                }
            }
        } else if (receiveMany) {
            if (!receive(true)) return false;
        } else if (receiveOne) {
            counter = 1;
            if (!receive(false)) return false;
        } else {
            // Idle: wait for the next prompt and answer it. The last reply byte is remembered
            // across the wait, so that a prompt arriving in place of the next reply's first
            // byte is judged like any other.
            const PromptWait wait = WaitForPrompt();
            if (wait == PromptWait::Failed) return false;
            if (wait == PromptWait::Stopped || !run_) break;
            uint8_t command = kIdle;
            {
                std::lock_guard<std::mutex> lock(*params_.commandMutex);
                if (error) return false;
                if (!params_.commandQueue->IsEmpty()) {
                    if (!port.PurgeInput() && params_.owner)
                        params_.owner->Warn("Warning! Failed to purge in_buffer.");
                    if (!params_.commandQueue->Get(&command)) command = kIdle;
                }
            }
            if (command != kIdle) queues_->forOperator.Raise();
            switch (command) {
                case 0x05: sending = true; counter = 1; receiveOne = true; error = false; break;
                case 0x06: sending = true; counter = 3; countFollows = true; receiveOne = true; break;
                case 0x0B: sending = true; counter = 3; receiveOne = true; break;
                case 0x0C: sending = true; counter = 3; countFollows = true; receiveMany = true; break;
                case 0x0E: sending = true; counter = 3; countFollows = true; break;
                case 0x60: counter = 3; receiveMany = true; break;
                case 0x62: sending = true; counter = 1; error = false; break;
                default: break;
            }
            if (!error && !port.WriteByte(command)) {
                error = true;
                return false;
            }
        }
        if (error) return false;
    }
    return true;
}

LinkWorker::PortLease::PortLease(LinkWorker& worker) : worker_(worker) {
    if (!worker_.Running()) return;
    ClockSignal& parked = worker_.queues_->forOperator;
    worker_.pauseRequested_ = true;
    // Break a read in progress; the worker notices the request before it reads again.
    worker_.params_.port->CancelWaits();
    for (;;) {
        const uint64_t seen = parked.Seen();
        if (worker_.parked_ || worker_.ended_) break;
        parked.WaitMs(seen, LinkWorker::kPromptLimitMs);
    }
    worker_.params_.port->ResumeWaits();
}

LinkWorker::PortLease::~PortLease() {
    worker_.pauseRequested_ = false;
    worker_.queues_->forWorker.Raise();
}

void StartLinkWorker(LinkWorker& worker, CSerialPort& port, Operator* owner,
                     std::atomic<bool>& errorReported, std::atomic<bool>& workerRunning) {
    worker.Start(port, owner, errorReported, workerRunning);
}

void StopLinkWorker(LinkWorker& worker) { worker.Stop(); }

}  // namespace tessel
