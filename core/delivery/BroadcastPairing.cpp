#include "core/delivery/BroadcastPairing.h"

#include "chat/PeerName.h"

#include <algorithm>
#include <utility>

namespace kestrane {

BroadcastPairing::BroadcastPairing(Show showLine) : show(std::move(showLine)) {
    timer.setSingleShot(true);
    timer.callOnTimeout([this] { Run(); });
}

void BroadcastPairing::Hold(std::shared_ptr<const ChatMessage> line, std::string address) {
    const auto now = Clock::now();
    std::string name = PeerNameKey(line->sender);
    const std::string_view text = line->GetText();
    if (const auto shown = std::ranges::find_if(sealed,
                                                [&](const Sealed& entry) {
                                                    return entry.until > now &&
                                                           entry.name == name && entry.text == text;
                                                });
        shown != sealed.end()) {
        sealed.erase(shown);
        return;
    }
    const auto ofName = [&](const Held& entry) { return entry.name == name; };
    if (static_cast<std::size_t>(std::ranges::count_if(held, ofName)) >= kMostPerName) {
        Release(std::ranges::find_if(held, ofName), LineTrust::NotAuthenticated);
    } else if (held.size() >= kMostHeld) {
        Release(held.begin(), LineTrust::NotAuthenticated);
    }
    held.push_back({std::move(line), std::move(address), std::move(name), now + kWait});
    if (!timer.isActive()) {
        Run();
    }
}

bool BroadcastPairing::Pair(const std::string& name, std::string_view text, LineTrust trust) {
    const std::string byName = PeerNameKey(name);
    const auto found = std::ranges::find_if(held, [&](const Held& entry) {
        return entry.name == byName && entry.line->GetText() == text;
    });
    if (found == held.end()) {
        return false;
    }
    Release(found, trust);
    return true;
}

void BroadcastPairing::SealedShown(const std::string& name, std::string_view text) {
    if (sealed.size() >= kMostHeld) {
        sealed.pop_front();
    }
    sealed.push_back({PeerNameKey(name), std::string(text), Clock::now() + kSealedMemory});
}

void BroadcastPairing::Release(std::deque<Held>::iterator entry, LineTrust trust) {
    const Held line = std::move(*entry);
    held.erase(entry);
    show(*line.line, line.address, trust);
}

void BroadcastPairing::Run() {
    const auto now = Clock::now();
    while (!held.empty() && held.front().until <= now) {
        Release(held.begin(), LineTrust::NotAuthenticated);
    }
    while (!sealed.empty() && sealed.front().until <= now) {
        sealed.pop_front();
    }
    if (held.empty()) {
        timer.stop();
        return;
    }
    timer.start(std::max(std::chrono::ceil<std::chrono::milliseconds>(held.front().until - now),
                         std::chrono::milliseconds(0)));
}

} // namespace kestrane
