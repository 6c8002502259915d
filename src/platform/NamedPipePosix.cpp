#include <cerrno>

#include "platform/NamedPipe.h"

namespace tessel {

namespace {
std::unique_ptr<SerialDevice> Refuse(const std::string& port, OpenError* error) {
    if (error) *error = {ENODEV, port + ": named pipes are the stand-in board's line on Windows; here it serves a "
                                        "pseudo-terminal"};
    return nullptr;
}
}  // namespace

std::unique_ptr<SerialDevice> OpenPipeClient(const std::string& port, Clock&, OpenError* error) {
    return Refuse(port, error);
}

std::unique_ptr<SerialDevice> OpenPipeServer(const std::string& port, Clock&, OpenError* error) {
    return Refuse(port, error);
}

}  // namespace tessel
