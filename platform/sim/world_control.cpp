#include <charconv>
#include <filesystem>
#include <fstream>

#include "platform/json/json_checks.hpp"
#include "platform/sim/world.hpp"
#include "platform/sim/world_internal.hpp"
#include "platform/sim/world_store.hpp"

namespace pellimar::audio::sim {

WorldControl::WorldControl(std::string path) : path_(std::move(path)) {}

Result<World, std::string> WorldControl::read() const {
    auto store = WorldStore::open(path_, false);
    if (!store) {
        return fail(store.error());
    }
    auto world = (*store)->current();
    if (!world) {
        return fail(world.error());
    }
    return **world;
}

Result<void, std::string> WorldControl::update(const std::function<void(World&)>& change) {
    auto store = WorldStore::open(path_, true);
    if (!store) {
        return fail(store.error());
    }
    bool finite = true;
    auto r = (*store)->mutate([&](World& w) {
        World next = w;
        change(next);
        finite = allFinite(next);
        if (finite) {
            w = std::move(next);
        }
        return finite;
    });
    if (!r) {
        return fail(r.error());
    }
    if (!finite) {
        return fail(std::string(kNotFinite));
    }
    return {};
}

Result<ObjectID, std::string> WorldControl::addProcess(std::int32_t pid,
                                                       std::optional<std::string> bundleID,
                                                       bool running) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        Process p;
        p.id = id = w.allocateID();
        p.pid = pid;
        p.bundleID = bundleID;
        p.running = running;
        w.processes.push_back(p);
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::removeProcess(ObjectID process) {
    bool found = false;
    auto r = update([&](World& w) {
        found = std::erase_if(w.processes, [&](const Process& p) { return p.id == process; }) > 0;
    });
    if (!r) {
        return r;
    }
    if (!found) {
        return fail("no process object " + std::to_string(process));
    }
    return {};
}

Result<void, std::string> WorldControl::setRunning(ObjectID process, bool running) {
    bool found = false;
    auto r = update([&](World& w) {
        for (auto& p : w.processes) {
            if (p.id == process) {
                p.running = running;
                found = true;
            }
        }
    });
    if (!r) {
        return r;
    }
    if (!found) {
        return fail("no process object " + std::to_string(process));
    }
    return {};
}

Result<ObjectID, std::string> WorldControl::addDevice(Device device) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        Device d = device;
        d.id = 0;
        for (auto& s : d.streams) {
            s.id = 0;
        }
        assignIDs(w, d);
        id = d.id;
        w.devices.push_back(std::move(d));
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<ObjectID, std::string> WorldControl::addAggregate(const Value& description) {
    if (!pellimar::json::nestedWithin(description, kMaxDescriptionNesting)) {
        return fail("a composition nested deeper than " + std::to_string(kMaxDescriptionNesting) +
                    " levels");
    }
    ObjectID id = 0;
    auto r = update([&](World& w) {
        Device d = makeAggregate(w, description);
        id = d.id;
        w.devices.push_back(std::move(d));
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::removeDevice(ObjectID device) {
    bool found = false;
    auto r = update([&](World& w) {
        found = std::erase_if(w.devices, [&](const Device& d) { return d.id == device; }) > 0;
    });
    if (!r) {
        return r;
    }
    if (!found) {
        return fail("no device object " + std::to_string(device));
    }
    return {};
}

Result<ObjectID, std::string> WorldControl::injectFault(Fault fault) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        fault.id = id = w.allocateID();
        w.faults.push_back(fault);
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::clearFaults() {
    return update([](World& w) { w.faults.clear(); });
}

Result<ObjectID, std::string> WorldControl::addDelay(Delay delay) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        delay.id = id = w.allocateID();
        w.delays.push_back(delay);
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::reset() {
    auto r = update([](World& w) { w = defaultWorldFrom(w.nextObjectID); });
    if (r) {
        return r;
    }
    // An unreadable world can still be replaced; keep its counter if it is legible, so that IDs
    // handed out before stay unused.
    std::string text;
    if (std::error_code error; std::filesystem::is_regular_file(path_, error)) {
        std::ifstream in(path_);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::uint32_t next = 2;
    if (auto key = text.find("\"nextObjectID\""); key != std::string::npos) {
        auto digits = text.find_first_of("0123456789", key);
        auto colon = text.find(':', key);
        if (digits != std::string::npos && colon != std::string::npos && colon < digits) {
            std::from_chars(text.data() + digits, text.data() + text.size(), next);
        }
    }
    std::error_code ignored;
    if (!std::filesystem::is_directory(std::filesystem::path(path_).parent_path(), ignored) &&
        !std::filesystem::path(path_).parent_path().empty()) {
        return r;  // nothing to repair where there is no directory
    }
    return WorldStore::writeWorld(path_, defaultWorldFrom(next));
}

}  // namespace pellimar::audio::sim
