#include "core/instance/InstanceCalls.h"

#include "platform/SingleInstanceLock.h"

#include <QByteArray>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

InstanceCalls::Call::Call(int callDescriptor, QObject* owner)
    : descriptor(callDescriptor),
      notifier(new QSocketNotifier(callDescriptor, QSocketNotifier::Read, owner)) {}

InstanceCalls::Call::~Call() {
    // The notifier may be the one whose signal is running now; Qt wants it
    // disabled before its descriptor closes.
    notifier->setEnabled(false);
    notifier->deleteLater();
    ::close(descriptor);
}

InstanceCalls::InstanceCalls(SingleInstanceLock& instanceLock, Hooks callHooks, QObject* parent)
    : QObject(parent), lock(instanceLock), hooks(std::move(callHooks)),
      listening(new QSocketNotifier(instanceLock.Descriptor(), QSocketNotifier::Read, this)) {
    // One call per wake-up: the notifier fires again while more are waiting.
    connect(listening, &QSocketNotifier::activated, this, &InstanceCalls::TakeCall);
}

InstanceCalls::~InstanceCalls() {
    listening->setEnabled(false);
    calls.clear();
}

void InstanceCalls::TakeCall() {
    const int descriptor = lock.AcceptCall();
    if (descriptor < 0) {
        return;
    }
    if (OpenCalls() >= kMostCalls) {
        ::close(descriptor);
        return;
    }
    auto call = std::make_shared<Call>(descriptor, this);
    calls.push_back(call);
    const std::weak_ptr<Call> weakCall = call;
    connect(call->notifier, &QSocketNotifier::activated, this, [this, weakCall] {
        if (const auto alive = weakCall.lock()) {
            Read(alive);
        }
    });
    QTimer::singleShot(kRequestLimit, this, [this, weakCall] {
        if (const auto alive = weakCall.lock(); alive != nullptr && !alive->answering) {
            Close(alive);
        }
    });
}

void InstanceCalls::Read(const std::shared_ptr<Call>& call) {
    // One more byte than a request may hold tells an oversized one apart.
    char buffer[ScriptedSend::kMostRequestBytes + 1];
    const std::size_t room =
        call->answering ? sizeof buffer : sizeof buffer - call->received.size();
    const ssize_t count = ::recv(call->descriptor, buffer, room, 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (count == 0 && call->answering) {
        // The caller may only have finished writing: it still gets its answer.
        call->notifier->setEnabled(false);
        return;
    }
    if (count == 0 && !call->received.empty()) {
        Answer(call, ScriptedSend::Outcome::Refused, QStringLiteral("The request has no end."));
        return;
    }
    if (count <= 0) {
        const bool plainCall = count == 0;
        Close(call);
        if (plainCall && hooks.comeForward) {
            hooks.comeForward(ComeForwardRequest{});
        }
        return;
    }
    if (call->answering) {
        return; // nothing more is asked of a caller that waits for its reply
    }
    call->received.append(buffer, static_cast<std::size_t>(count));
    const std::size_t end = call->received.find('\n');
    if (end != std::string::npos) {
        call->received.resize(end + 1);
        OnRequest(call);
    } else if (call->received.size() > ScriptedSend::kMostRequestBytes) {
        Answer(call, ScriptedSend::Outcome::Refused, QStringLiteral("The request is too long."));
    }
}

void InstanceCalls::OnRequest(const std::shared_ptr<Call>& call) {
    if (call->received.starts_with(ComeForwardRequest::kVerb)) {
        const auto forward = ComeForwardRequest::Parse(call->received);
        Close(call);
        if (forward && hooks.comeForward) {
            hooks.comeForward(*forward);
        }
        return;
    }
    const auto request = ScriptedSend::ParseRequest(call->received);
    if (!request) {
        Answer(call, ScriptedSend::Outcome::Refused,
               QStringLiteral("This copy of Kestrane does not understand the request."));
        return;
    }
    call->answering = true;
    call->received.clear();
    if (!hooks.sendLine) {
        Answer(call, ScriptedSend::Outcome::Refused, QStringLiteral("Nothing takes the line."));
        return;
    }
    const QPointer<InstanceCalls> self(this);
    const std::weak_ptr<Call> weakCall = call;
    hooks.sendLine(
        *request, [self, weakCall](ScriptedSend::Outcome outcome, const QString& message) {
            if (const auto alive = weakCall.lock(); alive != nullptr && self != nullptr) {
                self->Answer(alive, outcome, message);
            }
        });
}

void InstanceCalls::Answer(const std::shared_ptr<Call>& call, ScriptedSend::Outcome outcome,
                           const QString& message) {
    if (std::find(calls.begin(), calls.end(), call) == calls.end()) {
        return; // answered already
    }
    const std::string reply = ScriptedSend::ComposeReply(outcome, message.toStdString());
    // The caller may be gone: no SIGPIPE, and a reply nobody reads is dropped.
    // A reply fits in an empty socket buffer, so it never waits.
    static_cast<void>(
        ::send(call->descriptor, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
    Close(call);
}

void InstanceCalls::WithActivationToken(const ComeForwardRequest& request,
                                        const std::function<void()>& comeForward) {
    static constexpr const char* kVariable = "XDG_ACTIVATION_TOKEN";
    const bool given = !request.activationToken.empty();
    if (given) {
        qputenv(kVariable, QByteArray::fromStdString(request.activationToken));
    }
    comeForward();
    if (given) {
        qunsetenv(kVariable);
    }
}

void InstanceCalls::Close(const std::shared_ptr<Call>& call) {
    calls.remove(call);
}

} // namespace kestrane
