#pragma once
// The running capture: one process tap per slot, an optional live input padded to an even channel
// count, all gathered into the public capture device; re-aimed as applications come and go.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "process_tap/capture.hpp"
#include "process_tap/process_inventory.hpp"

namespace pellimar::process_tap {

struct SlotInfo {
    int slot = 0;
    std::string bundleID;
    ObjectID tapObjectID = 0;
    std::vector<ProcessInfo> processes;
};

struct RuntimeInfo {
    bool ok = true;
    std::string aggregateName;
    std::string aggregateUID;
    ObjectID aggregateObjectID = 0;
    std::vector<SlotInfo> slots;
    std::uint32_t channels = 0;
    std::uint32_t applicationChannels = 0;
    std::uint32_t liveInputChannels = 0;
    std::uint32_t announcementChannels = 0;
    std::optional<std::string> liveInputName;
    std::optional<std::string> liveInputUID;
    double sampleRate = 0;
};

nlohmann::json toJson(const SlotInfo& slot);
nlohmann::json toJson(const RuntimeInfo& info);

struct InputDevice {
    ObjectID objectID = 0;
    std::string uid;
    std::uint32_t channels = 0;
};

// Processes whose bundle ID is one of the "|"-separated alternatives, or continues one with ".".
std::vector<ProcessInfo> matchingProcesses(std::string_view prefix,
                                           const std::vector<ProcessInfo>& inventory);

audio::TapDescription makeDescription(int slot, const std::vector<ProcessInfo>& processes);
audio::TapDescription makePadDescription();

// The first device with this name (trimmed) that has input channels.
Result<std::optional<InputDevice>, TapError> findInputDevice(AudioSystem& system,
                                                             std::string_view name);

class TapRuntime {
  public:
    using Sleep = std::function<void(std::chrono::microseconds)>;

    TapRuntime(AudioSystem& system, std::vector<std::string> prefixes,
               std::optional<std::string> liveInputName, Sleep sleep = {});
    ~TapRuntime();
    TapRuntime(const TapRuntime&) = delete;
    TapRuntime& operator=(const TapRuntime&) = delete;

    Result<RuntimeInfo, TapError> start(const std::vector<ProcessInfo>& processes);
    void update(const std::vector<ProcessInfo>& processes);
    void stop();

    // Why this capture cannot go on, once its device or a tap is gone (a new start took them
    // over, or someone destroyed them) or the audio system stopped answering; nothing while
    // everything is in place.
    std::optional<std::string> lostReason();

    // Says once per run which selected process a tap no longer lists: the audio system lets a
    // user move a captured application elsewhere by hand, and it stays out until the next start.
    void reportMovedAway(const std::vector<ProcessInfo>& processes);

    const std::vector<ObjectID>& tapIDs() const { return tapIDs_; }
    ObjectID aggregateID() const { return aggregateID_; }
    ObjectID livePadTapID() const { return livePadTapID_; }
    const std::vector<std::vector<ObjectID>>& selectedProcessIDs() const {
        return selectedProcessIDs_;
    }

  private:
    struct CreatedTap {
        ObjectID id = 0;
        std::string uid;
        double sampleRate = 0;
    };
    Result<CreatedTap, TapError> createSlotTap(int slot, const std::vector<ProcessInfo>& processes,
                                               const std::string& failureMessage);
    Result<ObjectID, TapError> createAggregate(const audio::Value& description);
    // "slot 2 (PATTERN)", or "announcement slot 3 (PATTERN)" for the last.
    std::string slotName(std::size_t index) const;
    void logMembership(std::vector<std::pair<std::size_t, const ProcessInfo*>>& joins,
                       const std::vector<std::pair<std::size_t, ObjectID>>& leaves,
                       const std::vector<ProcessInfo>& processes) const;
    audio::TapDescription slotDescription(int slot,
                                          const std::vector<ProcessInfo>& processes) const;

    AudioSystem& system_;
    Sleep sleep_;
    std::vector<ObjectID> tapIDs_;
    ObjectID aggregateID_ = 0;
    ObjectID livePadTapID_ = 0;
    const std::vector<std::string> prefixes_;
    const std::optional<std::string> liveInputName_;
    std::vector<std::vector<ObjectID>> selectedProcessIDs_;
    // For the log: the previous refresh's processes (to name one that quit since) and each
    // slot's failed updates since its last success.
    std::vector<ProcessInfo> lastInventory_;
    std::vector<int> failedUpdates_;
    std::vector<std::set<ObjectID>> movedAway_;  // per slot, said once per run
};

}  // namespace pellimar::process_tap
