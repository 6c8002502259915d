#include "device/StopRequest.h"

#include <algorithm>
#include <cstring>

namespace tessel {

void StopRequest::Clear() {
    requested_ = false;
    notes_.clear();
    leftDataOff_ = false;
}

void StopRequest::Note(const std::string& clause) {
    if (!clause.empty()) notes_.push_back(clause);
}

void StopRequest::NoteLoss(const std::string& clause) {
    leftDataOff_ = true;
    Note(clause);
}

std::string StopRequest::Notes() const {
    std::string text;
    for (const std::string& n : notes_) {
        if (!text.empty()) text += "; ";
        text += n;
    }
    return text;
}

void StopRequest::KeepBackup(const std::string& path) {
    if (path.empty() || std::find(backups_.begin(), backups_.end(), path) != backups_.end()) return;
    backups_.push_back(path);
    Publish();
}

void StopRequest::DropBackup(const std::string& path) {
    backups_.erase(std::remove(backups_.begin(), backups_.end(), path), backups_.end());
    Publish();
}

std::vector<std::string> StopRequest::Backups() const { return backups_; }

void StopRequest::Publish() {
    // The handler reads the buffer that is current; the other one is written and then made
    // current, so a reader never sees a text half rewritten.
    const int next = 1 - current_.load();
    std::string text;
    for (const std::string& b : backups_) {
        if (!text.empty()) text += ", ";
        text += b;
    }
    const size_t n = std::min(text.size(), kTextSize - 1);
    std::memcpy(buffers_[next], text.data(), n);
    buffers_[next][n] = '\0';
    current_.store(next);
}

}  // namespace tessel
