#pragma once
// Ports and links of the PipeWire graph, and the calls that make and remove server-side objects:
// lingering nodes from the adapter factory, lingering links, destroys through the registry.
// Kept apart from the graph cache because only taps and aggregate devices need them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system/audio_system.hpp"
#include "platform/pipewire/graph.hpp"

namespace pellimar::audio::pipewire {

struct Port {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    std::uint32_t index = 0;  // port.id: the port's place among its node's ports of a direction
    bool output = false;
    bool monitor = false;
};

struct Link {
    std::uint32_t id = 0;
    std::uint32_t outputNode = 0;
    std::uint32_t outputPort = 0;
    std::uint32_t inputNode = 0;
    std::uint32_t inputPort = 0;
};

// How a node we make lives: lingering nodes belong to the daemon and are linked by us, so they
// wait for the session manager's port configuration; owned ones die with this connection.
enum class NodeLife { lingering, ownedUnwatched };

struct MadeNode {
    std::uint64_t serial = 0;
    std::uint32_t id = 0;  // its global id, for links, metadata and destroys
};

class Wiring {
  public:
    explicit Wiring(std::shared_ptr<Graph> graph);
    ~Wiring();
    Wiring(const Wiring&) = delete;
    Wiring& operator=(const Wiring&) = delete;

    // A node's ports of one kind, in port order.
    std::vector<Port> ports(std::uint32_t node, bool output, bool monitor) const;
    std::vector<Link> links() const;

    // Makes a node through the adapter factory and waits until the graph cache holds it with its
    // full properties (`readyKey` among them); its serial and id, or a status. A lingering node
    // belongs to the daemon; any other lives until destroyOwnedNode or until this connection ends,
    // so that it dies with a killed program.
    Result<MadeNode, Status> createNode(const Properties& props, const std::string& readyKey,
                                        NodeLife life = NodeLife::lingering);
    void destroyOwnedNode(std::uint32_t globalID);
    // Destroys a global through the registry and waits until the cache has dropped the node.
    Status destroyNode(std::uint32_t globalID);
    // A lingering link between two ports; does not wait. Callable on any thread.
    void link(std::uint32_t outputPort, std::uint32_t inputPort);
    void unlink(std::uint32_t linkID);

    // Links that live only while this connection holds them (taken on the loop thread, or with
    // the loop locked). A link the daemon removed (a port went) is forgotten, so it can be made
    // again; `ownedLinks` lists the ones still held.
    void ownLink(std::uint32_t outputPort, std::uint32_t inputPort);
    void dropOwnedLink(std::uint32_t outputPort, std::uint32_t inputPort);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ownedLinks();

    // Waits, at most `limit`, until `done` holds, letting the daemon answer in between.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(5));

    // Called on the PipeWire loop thread after ports or links changed; must not block.
    void setChangeHook(std::function<void()> hook);

    struct Impl;

  private:
    std::shared_ptr<Graph> graph_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pellimar::audio::pipewire
