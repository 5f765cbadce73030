#include "process_tap/tap_runtime.hpp"

#include <algorithm>
#include <array>
#include <thread>

#include "platform/device_queries/device_queries.hpp"
#include "process_tap/recovery.hpp"

namespace pellimar::process_tap {
namespace {

constexpr std::uint32_t kSubTapDriftQuality = audio::kAudioAggregateDriftCompensationHighQuality;

bool isWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Decodes one whole UTF-8 sequence; U+FFFD for anything malformed.
char32_t decode(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return lead;
    }
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || text.size() != static_cast<std::size_t>(extra) + 1) {
        return 0xFFFD;
    }
    char32_t c = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        c = (c << 6) | (static_cast<unsigned char>(text[static_cast<std::size_t>(i)]) & 0x3F);
    }
    return c;
}

std::size_t sequenceLength(unsigned char lead) {
    return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

// Trims white space and line breaks, Unicode's as well as ASCII's, from both ends.
std::string_view trim(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length =
            std::min(sequenceLength(static_cast<unsigned char>(text.front())), text.size());
        if (!isWhitespace(decode(text.substr(0, length)))) {
            break;
        }
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        if (!isWhitespace(decode(text.substr(start)))) {
            break;
        }
        text.remove_suffix(text.size() - start);
    }
    return text;
}

std::vector<ObjectID> sortedIDs(const std::vector<ProcessInfo>& processes) {
    std::vector<ObjectID> ids;
    ids.reserve(processes.size());
    for (const auto& process : processes) {
        ids.push_back(process.objectID);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Input channels of a device; 0 when its stream configuration cannot be read.
std::uint32_t inputChannels(AudioSystem& system, ObjectID device) {
    const audio::AudioObjectPropertyAddress address{audio::kAudioDevicePropertyStreamConfiguration,
                                                    audio::kAudioObjectPropertyScopeInput, 0};
    const auto channels = audio::streamChannelCount(system, device, address);
    return channels ? std::uint32_t(*channels) : 0;
}

audio::Value subTap(const std::string& uid) {
    return {{"uid", uid}, {"drift", true}, {"drift quality", kSubTapDriftQuality}};
}

void sleepFor(std::chrono::microseconds duration) {
    std::this_thread::sleep_for(duration);
}

std::string describe(const ProcessInfo& process) {
    return "pid " + std::to_string(process.pid) + " (" +
           (process.bundleID.empty() ? std::string("no bundle ID") : process.bundleID) +
           ", object " + std::to_string(process.objectID) + ")";
}

// A process a slot lost: as this refresh or the one before saw it; a process that quit in
// between is known by its object ID alone.
std::string describeLeaver(ObjectID id, const std::vector<ProcessInfo>& now,
                           const std::vector<ProcessInfo>& before) {
    for (const auto* list : {&now, &before}) {
        const auto found = std::find_if(list->begin(), list->end(),
                                        [&](const ProcessInfo& p) { return p.objectID == id; });
        if (found != list->end()) {
            return describe(*found);
        }
    }
    return "object " + std::to_string(id);
}

}  // namespace

nlohmann::json toJson(const SlotInfo& slot) {
    return {{"slot", slot.slot},
            {"bundleID", slot.bundleID},
            {"tapObjectID", slot.tapObjectID},
            {"processes", toJson(slot.processes)}};
}

nlohmann::json toJson(const RuntimeInfo& info) {
    auto slots = nlohmann::json::array();
    for (const auto& slot : info.slots) {
        slots.push_back(toJson(slot));
    }
    nlohmann::json json = {{"ok", info.ok},
                           {"aggregateName", info.aggregateName},
                           {"aggregateUID", info.aggregateUID},
                           {"aggregateObjectID", info.aggregateObjectID},
                           {"slots", std::move(slots)},
                           {"channels", info.channels},
                           {"applicationChannels", info.applicationChannels},
                           {"liveInputChannels", info.liveInputChannels},
                           {"announcementChannels", info.announcementChannels},
                           {"sampleRate", info.sampleRate}};
    if (info.liveInputName) {
        json["liveInputName"] = *info.liveInputName;
    }
    if (info.liveInputUID) {
        json["liveInputUID"] = *info.liveInputUID;
    }
    return json;
}

std::vector<ProcessInfo> matchingProcesses(std::string_view prefix,
                                           const std::vector<ProcessInfo>& inventory) {
    std::vector<std::string_view> alternatives;
    for (std::size_t start = 0; start <= prefix.size();) {
        const std::size_t bar = std::min(prefix.find('|', start), prefix.size());
        if (bar > start) {
            alternatives.push_back(prefix.substr(start, bar - start));
        }
        start = bar + 1;
    }
    std::vector<ProcessInfo> matches;
    for (const auto& process : inventory) {
        const std::string_view bundleID = process.bundleID;
        const bool matched =
            std::any_of(alternatives.begin(), alternatives.end(), [&](std::string_view a) {
                return bundleID == a || (bundleID.size() > a.size() && bundleID.starts_with(a) &&
                                         bundleID[a.size()] == '.');
            });
        if (matched) {
            matches.push_back(process);
        }
    }
    return matches;
}

audio::TapDescription makeDescription(int slot, const std::vector<ProcessInfo>& processes) {
    audio::TapDescription description;
    for (const auto& process : processes) {
        description.processes.push_back(process.objectID);
    }
    description.name = std::string(kSlotTapNamePrefix) + std::to_string(slot);
    description.isPrivate = false;
    description.exclusive = false;
    description.mixdown = true;
    description.mono = false;
    description.muteBehavior = audio::TapMuteBehavior::mutedWhenTapped;
    return description;
}

audio::TapDescription makePadDescription() {
    audio::TapDescription description;
    description.name = std::string(kPadTapName);
    description.processes = {};
    description.isPrivate = false;
    description.exclusive = false;
    description.mixdown = true;
    description.mono = true;
    description.muteBehavior = audio::TapMuteBehavior::unmuted;
    return description;
}

Result<std::optional<InputDevice>, TapError> findInputDevice(AudioSystem& system,
                                                             std::string_view name) {
    const std::string_view wanted = trim(name);
    if (wanted.empty()) {
        return std::optional<InputDevice>();
    }
    auto devices = objectIDs(system, audio::kAudioHardwarePropertyDevices);
    if (!devices) {
        return fail(std::move(devices).error());
    }
    for (const ObjectID device : *devices) {
        auto deviceName = string(system, device, audio::kAudioObjectPropertyName);
        if (!deviceName || *deviceName != wanted) {
            continue;
        }
        const std::uint32_t channels = inputChannels(system, device);
        if (channels == 0) {
            continue;
        }
        auto uid = string(system, device, audio::kAudioDevicePropertyDeviceUID);
        if (!uid) {
            return fail(std::move(uid).error());
        }
        return std::optional<InputDevice>(InputDevice{device, std::move(*uid), channels});
    }
    return std::optional<InputDevice>();
}

TapRuntime::TapRuntime(AudioSystem& system, std::vector<std::string> prefixes,
                       std::optional<std::string> liveInputName, Sleep sleep)
    : system_(system),
      sleep_(sleep ? std::move(sleep) : Sleep(sleepFor)),
      prefixes_(std::move(prefixes)),
      liveInputName_(std::move(liveInputName)) {}

TapRuntime::~TapRuntime() {
    stop();
}

Result<TapRuntime::CreatedTap, TapError> TapRuntime::createSlotTap(
    int slot, const std::vector<ProcessInfo>& processes, const std::string& failureMessage) {
    selectedProcessIDs_.push_back(sortedIDs(processes));
    ObjectID tap = 0;
    const Status status = system_.createProcessTap(slotDescription(slot, processes), tap);
    if (status != 0) {
        return fail(TapError::status(failureMessage, status));
    }
    tapIDs_.push_back(tap);
    auto uid = string(system_, tap, audio::kAudioTapPropertyUID);
    if (!uid) {
        return fail(std::move(uid).error());
    }
    auto format =
        scalar(system_, tap, audio::kAudioTapPropertyFormat, audio::AudioStreamBasicDescription{});
    if (!format) {
        return fail(std::move(format).error());
    }
    return CreatedTap{tap, std::move(*uid), format->mSampleRate};
}

std::string TapRuntime::slotName(std::size_t index) const {
    const std::string number = std::to_string(index + 1);
    const std::string& pattern = prefixes_[index];
    return (index + 1 == prefixes_.size() ? "announcement slot " : "slot ") + number + " (" +
           pattern + ")";
}

Result<ObjectID, TapError> TapRuntime::createAggregate(const audio::Value& description) {
    // A device of a run being killed may still hold the UID for a moment; clear it and retry.
    static constexpr std::array<std::chrono::microseconds, 3> kPauses = {
        std::chrono::microseconds(250000), std::chrono::microseconds(500000),
        std::chrono::microseconds(750000)};
    Status status = 0;
    for (std::size_t attempt = 0; attempt <= kPauses.size(); ++attempt) {
        if (attempt > 0) {
            programLog().detail(LogLevel::warning,
                                TapError::status("Create aggregate device", status).description() +
                                    " Retrying in " +
                                    std::to_string(kPauses[attempt - 1].count() / 1000) +
                                    " ms, after removing any device with the capture UID.");
            sleep_(kPauses[attempt - 1]);
            (void)destroyExistingAggregate(system_);
        }
        ObjectID device = 0;
        status = system_.createAggregateDevice(description, device);
        if (status == 0) {
            return device;
        }
    }
    return fail(TapError::status("Create aggregate device", status));
}

Result<RuntimeInfo, TapError> TapRuntime::start(const std::vector<ProcessInfo>& processes) {
    if (auto removed = destroyExistingAggregate(system_); !removed) {
        return fail(std::move(removed).error());
    }
    if (auto recovered = destroyOrphanedApplicationTaps(system_); !recovered) {
        return fail(std::move(recovered).error());
    }

    RuntimeInfo info;
    info.aggregateName = std::string(aggregateName);
    info.aggregateUID = std::string(aggregateUID);
    std::vector<std::string> tapUIDs;
    const int slotCount = static_cast<int>(prefixes_.size());

    auto addSlot = [&](int slot, const std::string& failureMessage) -> Result<void, TapError> {
        const std::string& pattern = prefixes_[static_cast<std::size_t>(slot - 1)];
        auto matches = matchingProcesses(pattern, processes);
        auto tap = createSlotTap(slot, matches, failureMessage);
        if (!tap) {
            return fail(std::move(tap).error());
        }
        tapUIDs.push_back(tap->uid);
        info.sampleRate = tap->sampleRate;
        const std::string name = slotName(std::size_t(slot - 1));
        programLog().detail(LogLevel::debug, "Tap " + std::to_string(tap->id) + " for " + name +
                                                 " (" + tap->uid + ").");
        for (const auto& process : matches) {
            programLog().detail(LogLevel::info,
                                "Join: " + describe(process) + " into " + name + ".");
        }
        info.slots.push_back(SlotInfo{slot, pattern, tap->id, std::move(matches)});
        return {};
    };

    for (int slot = 1; slot < slotCount; ++slot) {
        if (auto added = addSlot(slot, "Create process tap for slot " + std::to_string(slot));
            !added) {
            return fail(std::move(added).error());
        }
    }

    std::optional<InputDevice> liveInput;
    std::optional<std::string> padUID;
    std::uint32_t liveChannels = 0;
    if (liveInputName_) {
        auto found = findInputDevice(system_, *liveInputName_);
        if (!found) {
            return fail(std::move(found).error());
        }
        liveInput = std::move(*found);
    }
    if (liveInput) {
        liveChannels = liveInput->channels;
        if (liveChannels % 2 == 1) {
            ObjectID pad = 0;
            auto padDescription = makePadDescription();
            padDescription.label = "live channel pad";
            const Status status = system_.createProcessTap(padDescription, pad);
            if (status != 0) {
                return fail(TapError::status("Create mono pad tap for live input", status));
            }
            livePadTapID_ = pad;
            auto uid = string(system_, pad, audio::kAudioTapPropertyUID);
            if (!uid) {
                return fail(std::move(uid).error());
            }
            padUID = std::move(*uid);
            programLog().write(LogLevel::info, "Padding " + std::to_string(liveChannels) +
                                                   "ch live '" + *liveInputName_ + "' to " +
                                                   std::to_string(liveChannels + 1) +
                                                   "ch with silent mono tap.");
            liveChannels += 1;
        }
    }

    if (slotCount > 0) {
        if (auto added = addSlot(slotCount, "Create process tap for announcement"); !added) {
            return fail(std::move(added).error());
        }
    }

    auto taps = audio::Value::array();
    if (padUID) {
        taps.push_back(subTap(*padUID));
    }
    for (const auto& uid : tapUIDs) {
        taps.push_back(subTap(uid));
    }
    audio::Value description = {{"name", std::string(aggregateName)},
                                {"uid", std::string(aggregateUID)},
                                {"private", false},
                                {"taps", std::move(taps)}};
    if (liveInput) {
        description["master"] = liveInput->uid;
        description["subdevices"] = audio::Value::array({{{"uid", liveInput->uid}}});
    }

    auto device = createAggregate(description);
    if (!device) {
        return fail(std::move(device).error());
    }
    aggregateID_ = *device;

    info.aggregateObjectID = aggregateID_;
    info.applicationChannels = 2 * static_cast<std::uint32_t>(std::max(slotCount - 1, 0));
    info.liveInputChannels = liveChannels;
    info.announcementChannels = 2;
    info.channels = info.applicationChannels + info.liveInputChannels + info.announcementChannels;
    if (liveInput) {
        info.liveInputName = *liveInputName_;
        info.liveInputUID = liveInput->uid;
    }
    lastInventory_ = processes;
    programLog().detail(LogLevel::info, "Capture device " + std::to_string(aggregateID_) +
                                            " with " + std::to_string(info.channels) +
                                            " channels at " +
                                            std::to_string(std::int64_t(info.sampleRate)) + " Hz.");
    return info;
}

audio::TapDescription TapRuntime::slotDescription(int slot,
                                                  const std::vector<ProcessInfo>& processes) const {
    auto description = makeDescription(slot, processes);
    const bool announcement = slot == static_cast<int>(prefixes_.size());
    description.label =
        (announcement ? std::string("announcements") : "slot " + std::to_string(slot)) + " (" +
        prefixes_[static_cast<std::size_t>(slot - 1)] + ")";
    return description;
}

void TapRuntime::reportMovedAway(const std::vector<ProcessInfo>& processes) {
    const std::size_t slots = std::min(tapIDs_.size(), selectedProcessIDs_.size());
    movedAway_.resize(slots);
    for (std::size_t i = 0; i < slots; ++i) {
        std::optional<audio::TapDescription> tapped;
        if (system_.getTapDescription(
                tapIDs_[i], audio_objects::globalAddress(audio::kAudioTapPropertyDescription),
                tapped) != 0 ||
            !tapped) {
            continue;
        }
        for (ObjectID id : selectedProcessIDs_[i]) {
            const auto& listed = tapped->processes;
            if (std::find(listed.begin(), listed.end(), id) != listed.end() ||
                !movedAway_[i].insert(id).second) {
                continue;
            }
            auto process = std::find_if(processes.begin(), processes.end(),
                                        [&](const ProcessInfo& p) { return p.objectID == id; });
            const std::string who =
                process == processes.end()
                    ? "Process object " + std::to_string(id)
                    : "Process " + std::to_string(process->pid) + " (" + process->bundleID + ")";
            programLog().write(LogLevel::warning,
                               who + " left slot " + std::to_string(i + 1) +
                                   ": moved to another output by hand; it stays out until the "
                                   "capture restarts.");
        }
    }
}

void TapRuntime::update(const std::vector<ProcessInfo>& processes) {
    const std::size_t slots = std::min(tapIDs_.size(), prefixes_.size());
    failedUpdates_.resize(slots, 0);
    // Per process that changed slots: where it went and where it left, paired up afterwards so
    // that a process going from one slot to another reads as one move.
    std::vector<std::pair<std::size_t, const ProcessInfo*>> joins;
    std::vector<std::pair<std::size_t, ObjectID>> leaves;
    for (std::size_t i = 0; i < slots; ++i) {
        const auto matches = matchingProcesses(prefixes_[i], processes);
        auto ids = sortedIDs(matches);
        if (i < selectedProcessIDs_.size() && selectedProcessIDs_[i] == ids) {
            continue;
        }
        // Matches are already in inventory order, which is the order the tap lists them.
        const auto description = slotDescription(static_cast<int>(i + 1), matches);
        const Status status = system_.setTapDescription(
            tapIDs_[i], audio_objects::globalAddress(audio::kAudioTapPropertyDescription),
            description);
        if (status != 0) {
            programLog().write(LogLevel::warning, "Update slot " + std::to_string(i + 1) +
                                                      " failed (" + std::to_string(status) +
                                                      "); retrying.");
            ++failedUpdates_[i];
            continue;
        }
        if (failedUpdates_[i] > 0) {
            programLog().detail(LogLevel::info, "Updated " + slotName(i) + " after " +
                                                    std::to_string(failedUpdates_[i]) +
                                                    " failed tries.");
            failedUpdates_[i] = 0;
        }
        const std::vector<ObjectID> none;
        const auto& before = i < selectedProcessIDs_.size() ? selectedProcessIDs_[i] : none;
        for (const auto& process : processes) {
            if (std::binary_search(ids.begin(), ids.end(), process.objectID) &&
                !std::binary_search(before.begin(), before.end(), process.objectID)) {
                joins.emplace_back(i, &process);
            }
        }
        for (const ObjectID id : before) {
            if (!std::binary_search(ids.begin(), ids.end(), id)) {
                leaves.emplace_back(i, id);
            }
        }
        if (i < selectedProcessIDs_.size()) {
            selectedProcessIDs_[i] = std::move(ids);
        } else {
            selectedProcessIDs_.push_back(std::move(ids));
        }
    }
    logMembership(joins, leaves, processes);
    lastInventory_ = processes;
}

void TapRuntime::logMembership(std::vector<std::pair<std::size_t, const ProcessInfo*>>& joins,
                               const std::vector<std::pair<std::size_t, ObjectID>>& leaves,
                               const std::vector<ProcessInfo>& processes) const {
    const LogWriter& log = programLog();
    if (!log.wants(LogLevel::info)) {
        return;
    }
    for (const auto& [slot, id] : leaves) {
        const auto join = std::find_if(joins.begin(), joins.end(), [id = id](const auto& j) {
            return j.second != nullptr && j.second->objectID == id;
        });
        if (join != joins.end()) {
            log.write(LogLevel::info, "Move: " + describe(*join->second) + " from " +
                                          slotName(slot) + " to " + slotName(join->first) + ".");
            join->second = nullptr;
            continue;
        }
        log.write(LogLevel::info, "Leave: " + describeLeaver(id, processes, lastInventory_) +
                                      " from " + slotName(slot) + ".");
    }
    for (const auto& [slot, process] : joins) {
        if (process != nullptr) {
            log.write(LogLevel::info,
                      "Join: " + describe(*process) + " into " + slotName(slot) + ".");
        }
    }
}

void TapRuntime::stop() {
    if (aggregateID_ != 0) {
        (void)system_.destroyAggregateDevice(aggregateID_);
        aggregateID_ = 0;
    }
    for (auto tap = tapIDs_.rbegin(); tap != tapIDs_.rend(); ++tap) {
        if (*tap != 0) {
            (void)system_.destroyProcessTap(*tap);
        }
    }
    tapIDs_.clear();
    if (livePadTapID_ != 0) {
        (void)system_.destroyProcessTap(livePadTapID_);
        livePadTapID_ = 0;
    }
}

std::optional<std::string> TapRuntime::lostReason() {
    std::vector<std::pair<ObjectID, Selector>> objects;
    if (aggregateID_ != 0) {
        objects.emplace_back(aggregateID_, audio::kAudioDevicePropertyDeviceUID);
    }
    for (ObjectID tap : tapIDs_) {
        objects.emplace_back(tap, audio::kAudioTapPropertyUID);
    }
    if (livePadTapID_ != 0) {
        objects.emplace_back(livePadTapID_, audio::kAudioTapPropertyUID);
    }
    for (const auto& [object, selector] : objects) {
        auto uid = string(system_, object, selector);
        if (uid) {
            continue;
        }
        if (uid.error().code == audio::kAudioHardwareNotRunningError) {
            const Status code = uid.error().code;
            return "Lost the audio system (OSStatus " + std::to_string(code) + ", fourCC " +
                   audio_objects::fourCC(code) + "); stopping.";
        }
        if (uid.error().code == audio::kAudioHardwareBadObjectError) {
            return std::string(
                "The capture device or a slot tap was removed, as when another capture starts; "
                "stopping.");
        }
    }
    return std::nullopt;
}

}  // namespace pellimar::process_tap
