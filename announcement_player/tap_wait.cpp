#include "announcement_player/tap_wait.hpp"

#include "platform/device_queries/device_queries.hpp"

namespace pellimar::announcement {

using namespace audio;
using namespace std::chrono_literals;

namespace {

std::vector<ObjectID> objects(AudioSystem& system, Selector selector) {
    auto ids = objectList(system, selector);
    return ids ? std::move(ids).value() : std::vector<ObjectID>{};
}

}  // namespace

AnnouncementTapWait::AnnouncementTapWait(AudioSystem& system, RunLoop& loop, pid_t pid)
    : system_(system), loop_(loop), pid_(pid) {}

bool AnnouncementTapWait::isAttached(ObjectID process, ObjectID tap) {
    auto pid = readScalar(system_, process, kAudioProcessPropertyPID, std::int32_t(0));
    if (!pid || *pid != pid_) {
        return false;
    }
    std::optional<TapDescription> description;
    if (system_.getTapDescription(tap, {kAudioTapPropertyDescription}, description) != 0 ||
        !description || !description->name.starts_with(kSlotTapPrefix)) {
        return false;
    }
    const auto& listed = description->processes;
    return std::find(listed.begin(), listed.end(), process) != listed.end();
}

bool AnnouncementTapWait::attempt() {
    std::vector<ObjectID> mine;
    for (ObjectID process : objects(system_, kAudioHardwarePropertyProcessObjectList)) {
        auto pid = readScalar(system_, process, kAudioProcessPropertyPID, std::int32_t(0));
        if (pid && *pid == pid_) {
            mine.push_back(process);
        }
    }
    for (ObjectID tap : objects(system_, kAudioHardwarePropertyTapList)) {
        for (ObjectID process : mine) {
            if (isAttached(process, tap)) {
                binding_ = AnnouncementTapBinding{process, tap};
                return true;
            }
        }
    }
    return false;
}

std::unique_ptr<Timer> AnnouncementTapWait::wait(Done done) {
    if (binding_ && isAttached(binding_->process, binding_->tap)) {
        // Still attached: no search, but the answer still arrives on the loop like any other.
        return loop_.pollUntil(
            10ms, 0s, [] { return true; }, [done = std::move(done)](bool) { done({}); });
    }
    binding_.reset();
    return loop_.pollUntil(
        10ms, 2s, [this] { return attempt(); },
        [done = std::move(done)](bool attached) {
            if (attached) {
                done({});
            } else {
                done(fail(PlayerError::playback(kTapTimedOut)));
            }
        });
}

PlayerResult<void> AnnouncementTapWait::waitBlocking() {
    std::optional<PlayerResult<void>> outcome;
    auto handle = wait([&](PlayerResult<void> result) { outcome.emplace(std::move(result)); });
    loop_.runUntil([&] { return outcome.has_value(); });
    if (!outcome) {
        return fail(PlayerError::playback(kTapTimedOut));  // the loop was stopped meanwhile
    }
    return std::move(*outcome);
}

}  // namespace pellimar::announcement
