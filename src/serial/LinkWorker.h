#pragma once
// The 1.1E link worker: a 1.1E loader keeps sending the prompt 0xF7 and expects every prompt
// answered, so while one is linked a thread owns the line, answers each prompt with the next
// queued command (or the idle byte 0x61), and moves the bytes between the port and the queues.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/ByteTransport.h"
#include "serial/CByteRing.h"

namespace tessel {

class CSerialPort;
class Operator;

struct LinkWorkerParams {
    std::mutex* commandMutex = nullptr;
    std::mutex* inboundMutex = nullptr;
    std::mutex* outboundMutex = nullptr;
    std::atomic<bool>* runFlag = nullptr;
    CSerialPort* port = nullptr;
    Operator* owner = nullptr;
    CByteRing* commandQueue = nullptr;
    CByteRing* inboundQueue = nullptr;
    CByteRing* outboundQueue = nullptr;
    // The process-wide flags the worker shares with the operator thread.
    std::atomic<bool>* errorReported = nullptr;
    std::atomic<bool>* workerRunning = nullptr;
};

class LinkWorker {
public:
    static constexpr uint32_t kFallbackMs = 500;
    static constexpr uint32_t kPromptLimitMs = 6000;

    ~LinkWorker();

    // Starts the thread on `port`; the flags stay owned by the caller (the session).
    void Start(CSerialPort& port, Operator* owner, std::atomic<bool>& errorReported,
               std::atomic<bool>& workerRunning);
    // Ends the thread even while it sits in a read or in the prompt wait, waits for it, and
    // only then lets the queues go.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    // True once the worker has ended on a failure; false while it runs and after a stop.
    bool Failed() const { return failed_.load(); }

    LinkQueues& Queues() { return *queues_; }
    // The queues as the flash operations use them; valid until the worker is stopped.
    ByteTransport& Transport() { return *transport_; }

    // The operator thread borrows the line (the 1.1E reset wait): the worker parks at its
    // next idle point, before it would read a prompt, and reads nothing until the lease ends,
    // so neither side can take a byte meant for the other. Blocks until the worker has
    // parked or has ended.
    class PortLease {
    public:
        explicit PortLease(LinkWorker& worker);
        ~PortLease();
        PortLease(const PortLease&) = delete;
        PortLease& operator=(const PortLease&) = delete;

    private:
        LinkWorker& worker_;
    };

private:
    enum class PromptWait { Prompted, Stopped, Failed };
    // Idle: the next prompt, unless the worker is stopped or the prompt does not come.
    PromptWait WaitForPrompt();
    // False when it ended on a failure.
    bool Run();
    bool ParkIfAsked();

    LinkWorkerParams params_;
    std::unique_ptr<LinkQueues> queues_;
    std::unique_ptr<QueueTransport> transport_;
    std::atomic<bool> run_{false};
    std::atomic<bool> stopRequested_{false};  // the run flag's inverse, for cancelling sleeps
    std::atomic<bool> pauseRequested_{false};
    std::atomic<bool> parked_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

void StartLinkWorker(LinkWorker& worker, CSerialPort& port, Operator* owner,
                     std::atomic<bool>& errorReported, std::atomic<bool>& workerRunning);
void StopLinkWorker(LinkWorker& worker);

}  // namespace tessel
