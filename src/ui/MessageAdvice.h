#pragma once
// What kind of message a text is, and what the operator can do about it. The commands report
// through one-text message boxes whose wording is fixed; a front end that can show an error
// as an error, and say what usually helps, asks here rather than keeping its own list.

#include <string>

namespace tessel {

enum class MessageKind { Information, Error };

struct MessageAdvice {
    MessageKind kind = MessageKind::Information;
    // Empty when there is nothing more to say than the message itself.
    std::string remedy;
};

MessageAdvice AdviseOn(const std::string& message);

// The remedies, for front ends and tests that name them.
extern const char kPortRemedy[];
extern const char kNoAnswerRemedy[];
extern const char kLinkLostRemedy[];

}  // namespace tessel
