#pragma once

// What an update reports as it runs, as values rather than texts: the front
// ends (window, terminal, benchmark) decide on these, and a message text is
// only ever shown to people.

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <variant>

#include "protocol/serial_port.h"

namespace oxu {

// The header is on the line: the update is being watched.
struct UpdateStarted {
    std::size_t imageBytes = 0;
    int pages = 0;  // announced in the header
    bool operator==(const UpdateStarted&) const = default;
};

// The update could not start. reason is the text the window shows.
struct StartFailed {
    std::string reason;
    bool operator==(const StartFailed&) const = default;
};

// A page request was answered: its number and the bytes written for it
// (data and checksum; 2 for a page past the image).
struct PageServed {
    int page = 0;
    std::size_t bytes = 0;
    bool operator==(const PageServed&) const = default;
};

// The device asked for page 0; nothing was sent.
struct PageZeroRequested {
    bool operator==(const PageZeroRequested&) const = default;
};

// The device reported completion; the port is closed. The completion stands
// even when the close could not send what was still queued (closeProblem
// says why, for people; empty when it could): the device already had all it
// asked for.
struct UpdateCompleted {
    std::string closeProblem;
    bool operator==(const UpdateCompleted&) const = default;
};

// The watchdog fired before the device said anything ("Connection Failed").
struct ConnectionFailed {
    bool operator==(const ConnectionFailed&) const = default;
};

// The watchdog fired after the device had spoken ("Transfer Interrupted").
struct TransferInterrupted {
    bool operator==(const TransferInterrupted&) const = default;
};

// The port went away while open; it is closed. description names the port;
// kind says how it was lost (Disconnected, or Stalled for a device that
// stopped reading).
struct PortLost {
    std::string description;
    PortErrorKind kind = PortErrorKind::Disconnected;
    bool operator==(const PortLost&) const = default;
};

// A write failed while answering the device; the port has been released.
struct WriteFailed {
    std::string description;
    PortErrorKind kind = PortErrorKind::Io;
    bool operator==(const WriteFailed&) const = default;
};

using UpdateEvent =
    std::variant<UpdateStarted, StartFailed, PageServed, PageZeroRequested, UpdateCompleted,
                 ConnectionFailed, TransferInterrupted, PortLost, WriteFailed>;

// Told of every event of one update, in order, as it happens: before the
// window shows the box that goes with it. An observer must not call back into
// the transfer that reports to it.
class UpdateObserver {
public:
    virtual ~UpdateObserver() = default;
    virtual void onUpdateEvent(const UpdateEvent& event) = 0;
};

// An observer made of one function, for front ends that need no class.
class FunctionObserver final : public UpdateObserver {
public:
    explicit FunctionObserver(std::function<void(const UpdateEvent&)> handle)
        : m_handle(std::move(handle)) {}
    void onUpdateEvent(const UpdateEvent& event) override { m_handle(event); }

private:
    std::function<void(const UpdateEvent&)> m_handle;
};

// Visits an event with one lambda per kind:
// std::visit(Overloaded{[](const PageServed&) {...}, [](const auto&) {}}, event).
template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace oxu
