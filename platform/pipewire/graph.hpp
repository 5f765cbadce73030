#pragma once
// One connection to the PipeWire daemon and a cache of the graph it announces. The connection
// runs on a pw_thread_loop; the cache is written there and read by any thread under `mutex()`.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/result.hpp"
#include "platform/pipewire/identity.hpp"

struct pw_thread_loop;
struct pw_core;

namespace pellimar::audio::pipewire {

using Properties = std::map<std::string, std::string>;

// Whether a libpipewire version ("1.4.2") is at least major.minor.micro; false when unreadable.
bool pipewireVersionAtLeast(const std::string& version, int major, int minor, int micro);

// The version of the libpipewire this process runs with (not the one it was built against).
std::string runningPipeWireVersion();

// What one Format or EnumFormat param says about raw audio.
struct FormatInfo {
    std::vector<std::uint32_t> sampleFormats;  // SPA audio formats, the preferred one first
    std::uint32_t channels = 0;
    double rate = 0;  // the fixed or default rate
    std::optional<std::pair<double, double>> rateRange;
    std::vector<double> rateChoices;  // an enumeration of rates, when given as one
};

struct Node {
    std::uint32_t id = 0;
    std::uint64_t serial = 0;
    Properties props;
    int state = 0;  // enum pw_node_state
    std::vector<FormatInfo> enumFormats;
    std::optional<FormatInfo> format;  // empty while the node is suspended

    // Read on every property call, so kept beside the properties they come from.
    const std::string& mediaClass() const { return mediaClass_; }
    const std::string& name() const { return name_; }
    void setProps(Properties p);

  private:
    std::string mediaClass_;
    std::string name_;
};

struct Client {
    std::uint32_t id = 0;
    std::uint64_t serial = 0;
    Properties props;
    // Whether its info has come: the registry announces a client without what names it.
    bool described = false;
};

// The cache. Read under Graph::mutex().
struct GraphState {
    std::map<std::uint64_t, Node> nodes;           // by serial: the order the daemon made them
    std::map<std::uint64_t, Client> clients;       // by serial
    Properties defaults;                           // the "default" metadata's global entries
    std::map<std::uint32_t, Properties> metadata;  // its entries on other subjects, by global id
    bool connected = false;
    std::string error;                  // why the connection ended, once it has
    std::uint64_t ownClientSerial = 0;  // this connection's client
    std::uint32_t ownClientID = 0;
    mutable IdentityCache identities;  // /proc facts of the clients' pids, kept by readers

    const Node* nodeBySerial(std::uint64_t serial) const;
    const Node* nodeByID(std::uint32_t id) const;
    const Node* nodeByName(const std::string& name) const;
};

class Graph {
  public:
    // Connects (PIPEWIRE_REMOTE / XDG_RUNTIME_DIR decide where) and waits, at most `timeout`,
    // until the cache holds the whole graph.
    static Result<std::shared_ptr<Graph>, std::string> connect(
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    std::mutex& mutex() { return mutex_; }
    const GraphState& state() const { return state_; }  // under mutex()
    // Bumped on every change of the cache; read under mutex().
    std::uint64_t generation() const { return generation_; }

    // Called on the loop thread after each change of the cache; must not block.
    using ChangeHook = std::function<void()>;
    std::uint64_t addChangeHook(ChangeHook hook);
    void removeChangeHook(std::uint64_t id);

    // Sets properties on this connection's client, waiting for the daemon to take them.
    bool updateClientProperties(const Properties& props);

    // Sets (or, without a value, deletes) an entry of the "default" metadata; false when there
    // is no such metadata. Does not wait. An entry of the global subject is in the cache at once
    // and stays as written here: its echo can be lost, and a late one would undo a newer write.
    bool setMetadata(std::uint32_t subject, const std::string& key, const std::string& type,
                     const std::optional<std::string>& value);

    // Waits until the daemon has handled everything sent so far, at most `timeout`.
    bool sync(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // For the output queue: the loop and core that streams are made on.
    pw_thread_loop* loop() const { return loop_; }
    pw_core* core() const { return core_; }

    struct Impl;

  private:
    Graph();
    std::mutex mutex_;
    GraphState state_;
    std::uint64_t generation_ = 0;
    pw_thread_loop* loop_ = nullptr;
    pw_core* core_ = nullptr;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pellimar::audio::pipewire
