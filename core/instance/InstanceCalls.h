#pragma once

#include "chat/ComeForwardRequest.h"
#include "chat/ScriptedSend.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

class QSocketNotifier;

namespace kestrane {

class SingleInstanceLock;

/// Takes the calls that reach the single-instance lock and keeps them until
/// they are answered: a call that closes without a byte, or that sends a
/// ComeForwardRequest, is a second start, which brings this copy forward; a
/// call that sends a ScriptedSend request gets one reply line when its line
/// has been dealt with. A malformed ComeForwardRequest is closed unanswered.
///
/// A call costs a descriptor, so they are capped: at most kMostCalls open at
/// once (more are closed unanswered), and a call whose request is not complete
/// within kRequestLimit is closed unanswered. A call waiting for its reply is
/// not timed here. Does not own the lock; lives on the UI thread, as do its hooks.
class InstanceCalls : public QObject {
public:
    /// Answers one request once, then does nothing. UI thread only; safe to
    /// call after the caller has gone or this object has been destroyed.
    using Reply = std::function<void(ScriptedSend::Outcome outcome, const QString& message)>;

    struct Hooks {
        /// The request is empty (no token) for a plain call.
        std::function<void(const ComeForwardRequest& request)> comeForward;
        std::function<void(const ScriptedSend& request, Reply reply)> sendLine;
    };

    static constexpr int kMostCalls = 16;
    static constexpr std::chrono::milliseconds kRequestLimit{2000};

    /// Listens while `lock` holds its socket; `lock` must outlive this object.
    InstanceCalls(SingleInstanceLock& lock, Hooks hooks, QObject* parent = nullptr);
    /// Closes every call still open, unanswered.
    ~InstanceCalls() override;
    InstanceCalls(const InstanceCalls&) = delete;
    InstanceCalls& operator=(const InstanceCalls&) = delete;

    /// Runs `comeForward` with the request's activation token where Qt's
    /// Wayland platform takes it when a window asks for the focus; a token Qt
    /// did not take is removed afterwards, so that it never serves a later one.
    static void WithActivationToken(const ComeForwardRequest& request,
                                    const std::function<void()>& comeForward);

    /// Calls taken and not yet closed.
    int OpenCalls() const { return static_cast<int>(calls.size()); }

private:
    struct Call {
        Call(int descriptor, QObject* owner);
        ~Call();
        int descriptor;
        QSocketNotifier* notifier; // a child of the owner, deleted later when the call ends
        std::string received;
        bool answering = false; // the request went to the sendLine hook
    };

    void TakeCall();
    void Read(const std::shared_ptr<Call>& call);
    void OnRequest(const std::shared_ptr<Call>& call);
    void Answer(const std::shared_ptr<Call>& call, ScriptedSend::Outcome outcome,
                const QString& message);
    void Close(const std::shared_ptr<Call>& call);

    SingleInstanceLock& lock;
    Hooks hooks;
    QSocketNotifier* listening;             // a child of this object
    std::list<std::shared_ptr<Call>> calls; // the only owner of each call
};

} // namespace kestrane
