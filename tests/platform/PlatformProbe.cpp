// A small program that the platform tests start in a process of its own:
//   lock NAME        takes the single-instance lock NAME, prints "held" or
//                    "exists", and keeps it until its input ends;
//   tones F:MS ...   plays the tones through ALSA's default PCM as one request
//                    and prints "played" or "no device" once it has ended.
// ALSA reads its configuration once per process, so each capture needs one.

#include "platform/AlsaTonePlayer.h"
#include "platform/SingleInstanceLock.h"

#include <cstdio>
#include <future>
#include <iostream>
#include <string>
#include <vector>

namespace {

int HoldLock(const std::string& name) {
    kestrane::SingleInstanceLock lock(name);
    std::cout << (lock.AlreadyExists() ? "exists" : "held") << std::endl;
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    return 0;
}

int PlayTones(const std::vector<std::string>& arguments) {
    std::vector<kestrane::Tone> tones;
    for (const std::string& argument : arguments) {
        std::size_t colon = argument.find(':');
        tones.push_back(
            {std::stoi(argument.substr(0, colon)), std::stoi(argument.substr(colon + 1))});
    }
    std::promise<bool> ended;
    std::future<bool> played = ended.get_future();
    kestrane::AlsaTonePlayer player(
        [&ended](const std::vector<kestrane::Tone>& request, const std::atomic<bool>& stopping) {
            ended.set_value(kestrane::AlsaTonePlayer::WriteToDefaultDevice(request, stopping));
        });
    player.Play(tones);
    std::cout << (played.get() ? "played" : "no device") << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == "lock") {
        return HoldLock(arguments[1]);
    }
    if (!arguments.empty() && arguments[0] == "tones") {
        return PlayTones({arguments.begin() + 1, arguments.end()});
    }
    std::fprintf(stderr, "usage: %s lock NAME | tones F:MS ...\n", argv[0]);
    return 2;
}
