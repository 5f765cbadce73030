#pragma once
// The bundle ID of a process on Linux: the most specific application identity that the graph or
// /proc gives, in one fixed order (docs/pellimar-process-tap.md lists it). Reading /proc costs
// a few file reads per process, so its facts are cached per pid.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pellimar::audio::pipewire {

// What the graph says about the clients of one pid and their streams.
struct GraphFacts {
    std::string portalAppID;    // pipewire.access.portal.app_id of a client
    std::string applicationID;  // application.id of a client, else of one of its streams
    std::string binary;         // application.process.binary: the executable's name
};

// What /proc says about one process; empty where a file is missing or unreadable.
struct ProcFacts {
    std::string flatpakAppID;  // [Application] name in the process's own /.flatpak-info
    std::string unitAppID;     // application ID of the systemd unit it runs in
    std::string desktopID;     // the desktop file that launched it, without ".desktop"
    std::string programName;   // argv[0] without its directory
    std::string executable;    // the executable's file name (readable as root or same user)
};

// Parsers of the files' contents.
std::string flatpakAppID(std::string_view flatpakInfo);
std::string unescapeUnitName(std::string_view name);
std::string unitAppID(std::string_view unitName);      // "" for a unit no desktop started
std::string cgroupAppID(std::string_view procCgroup);  // the whole /proc/PID/cgroup text
std::string desktopID(std::string_view environ, std::int32_t pid);  // NUL-separated
std::string programName(std::string_view cmdline);                  // NUL-separated

ProcFacts readProcFacts(std::int32_t pid);

std::string chooseBundleID(const GraphFacts& graph, const ProcFacts& proc);

// Not locked itself: it lives in the graph cache and is used under the graph's mutex.
class IdentityCache {
  public:
    const ProcFacts& facts(std::int32_t pid);
    // Forgets every other pid, so that a reused pid is read afresh.
    void keepOnly(const std::vector<std::int32_t>& pids);
    std::size_t size() const { return byPid_.size(); }

  private:
    std::map<std::int32_t, ProcFacts> byPid_;
};

}  // namespace pellimar::audio::pipewire
