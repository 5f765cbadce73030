#include "platform/pipewire/links.hpp"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace pellimar::audio::pipewire {

namespace {

std::uint32_t number(const spa_dict* dict, const char* key) {
    const char* text = dict ? spa_dict_lookup(dict, key) : nullptr;
    if (!text) {
        return SPA_ID_INVALID;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return end != text ? std::uint32_t(value) : SPA_ID_INVALID;
}

// A node or link of ours that is not lingering: it lives while we hold its proxy.
struct OwnedProxy {
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    bool gone = false;  // the daemon removed it or refused to make it
    std::function<void()>* onGone = nullptr;

    OwnedProxy() = default;
    OwnedProxy(const OwnedProxy&) = delete;
    OwnedProxy& operator=(const OwnedProxy&) = delete;
    ~OwnedProxy() {
        if (proxy) {
            spa_hook_remove(&listener);
            pw_proxy_destroy(proxy);
        }
    }

    static void markGone(void* data) {
        auto* owned = static_cast<OwnedProxy*>(data);
        owned->gone = true;
        if (owned->onGone && *owned->onGone) {
            (*owned->onGone)();
        }
    }
    static void onError(void* data, int, int, const char*) { markGone(data); }
};

const pw_proxy_events kOwnedEvents = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.removed = OwnedProxy::markGone;
    e.error = OwnedProxy::onError;
    return e;
}();

}  // namespace

struct Wiring::Impl {
    Graph* graph = nullptr;
    pw_registry* registry = nullptr;
    spa_hook registryListener{};

    mutable std::mutex mutex;
    std::map<std::uint32_t, Port> ports;
    std::map<std::uint32_t, Link> links;
    std::function<void()> hook;  // under mutex

    // Loop thread (or loop locked) only.
    std::map<std::uint32_t, std::unique_ptr<OwnedProxy>> ownedNodes;  // by global id
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::unique_ptr<OwnedProxy>> ownedLinks;
    std::function<void()> ownedGone = [this] { changed(); };

    void changed() {
        std::function<void()> h;
        {
            std::lock_guard guard(mutex);
            h = hook;
        }
        if (h) {
            h();
        }
    }

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props) {
        auto* impl = static_cast<Impl*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
            Port port;
            port.id = id;
            port.node = number(props, PW_KEY_NODE_ID);
            port.index = number(props, PW_KEY_PORT_ID);
            const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
            port.output = direction && std::strcmp(direction, "out") == 0;
            const char* monitor = spa_dict_lookup(props, PW_KEY_PORT_MONITOR);
            port.monitor = monitor && std::strcmp(monitor, "true") == 0;
            std::lock_guard guard(impl->mutex);
            impl->ports[id] = port;
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
            Link link;
            link.id = id;
            link.outputNode = number(props, PW_KEY_LINK_OUTPUT_NODE);
            link.outputPort = number(props, PW_KEY_LINK_OUTPUT_PORT);
            link.inputNode = number(props, PW_KEY_LINK_INPUT_NODE);
            link.inputPort = number(props, PW_KEY_LINK_INPUT_PORT);
            std::lock_guard guard(impl->mutex);
            impl->links[id] = link;
        } else {
            return;
        }
        impl->changed();
    }

    static void onGlobalRemove(void* data, std::uint32_t id) {
        auto* impl = static_cast<Impl*>(data);
        {
            std::lock_guard guard(impl->mutex);
            if (impl->ports.erase(id) == 0 && impl->links.erase(id) == 0) {
                return;
            }
        }
        impl->changed();
    }
};

namespace {

const pw_registry_events kEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = Wiring::Impl::onGlobal;
    e.global_remove = Wiring::Impl::onGlobalRemove;
    return e;
}();

std::vector<spa_dict_item> items(const Properties& props) {
    std::vector<spa_dict_item> out;
    for (const auto& [key, value] : props) {
        out.push_back(SPA_DICT_ITEM_INIT(key.c_str(), value.c_str()));
    }
    return out;
}

}  // namespace

Wiring::Wiring(std::shared_ptr<Graph> graph)
    : graph_(std::move(graph)), impl_(std::make_unique<Impl>()) {
    impl_->graph = graph_.get();
    pw_thread_loop_lock(graph_->loop());
    impl_->registry = pw_core_get_registry(graph_->core(), PW_VERSION_REGISTRY, 0);
    if (impl_->registry) {
        pw_registry_add_listener(impl_->registry, &impl_->registryListener, &kEvents, impl_.get());
    }
    pw_thread_loop_unlock(graph_->loop());
    graph_->sync();
}

Wiring::~Wiring() {
    pw_thread_loop_lock(graph_->loop());
    impl_->ownedLinks.clear();
    impl_->ownedNodes.clear();
    if (impl_->registry) {
        spa_hook_remove(&impl_->registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(impl_->registry));
    }
    pw_thread_loop_unlock(graph_->loop());
}

std::vector<Port> Wiring::ports(std::uint32_t node, bool output, bool monitor) const {
    std::vector<Port> out;
    std::lock_guard guard(impl_->mutex);
    for (const auto& [id, port] : impl_->ports) {
        if (port.node == node && port.output == output && port.monitor == monitor) {
            out.push_back(port);
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Port& a, const Port& b) { return a.index < b.index; });
    return out;
}

std::vector<Link> Wiring::links() const {
    std::vector<Link> out;
    std::lock_guard guard(impl_->mutex);
    for (const auto& [id, link] : impl_->links) {
        out.push_back(link);
    }
    return out;
}

bool Wiring::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        // A round trip lets everything the daemon has already announced arrive.
        if (!graph_->sync(left)) {
            return done();
        }
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// Counts the changes of a new node's port configuration: the adapter sets one, a session manager
// sets its own soon after, and ports made before that are replaced (links to them lost).
struct PortConfigWatch {
    spa_hook listener{};
    std::mutex mutex;
    int changes = 0;

    static void onInfo(void* data, const pw_node_info* info) {
        auto* watch = static_cast<PortConfigWatch*>(data);
        if (!(info->change_mask & PW_NODE_CHANGE_MASK_PARAMS)) {
            return;
        }
        for (std::uint32_t i = 0; i < info->n_params; ++i) {
            if (info->params[i].id == SPA_PARAM_PortConfig) {
                std::lock_guard guard(watch->mutex);
                ++watch->changes;
            }
        }
    }
};

const pw_node_events kWatchEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = PortConfigWatch::onInfo;
    return e;
}();

bool sessionManagerRuns(const GraphState& s) {
    for (const auto& [serial, client] : s.clients) {
        auto it = client.props.find(PW_KEY_APP_NAME);
        if (it != client.props.end() && it->second.rfind("WirePlumber", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

Result<MadeNode, Status> Wiring::createNode(const Properties& props, const std::string& readyKey,
                                            NodeLife life) {
    const bool lingering = life == NodeLife::lingering;
    auto dictItems = items(props);
    const spa_dict dict = SPA_DICT_INIT(dictItems.data(), std::uint32_t(dictItems.size()));
    PortConfigWatch watch;
    pw_thread_loop_lock(graph_->loop());
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        graph_->core(), "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &dict, 0));
    if (proxy) {
        pw_proxy_add_object_listener(proxy, &watch.listener, &kWatchEvents, &watch);
    }
    pw_thread_loop_unlock(graph_->loop());
    if (!proxy) {
        return fail(kAudioHardwareUnspecifiedError);
    }
    const std::string name = props.at(PW_KEY_NODE_NAME);
    MadeNode madeNode;
    const bool made = waitUntil([&] {
        std::lock_guard guard(graph_->mutex());
        // The registry announces a few properties; the rest come with the node's info.
        const Node* node = graph_->state().nodeByName(name);
        if (node && node->props.contains(readyKey)) {
            madeNode = {node->serial, node->id};
            return true;
        }
        return false;
    });
    bool managed = false;
    {
        std::lock_guard guard(graph_->mutex());
        managed = made && lingering && sessionManagerRuns(graph_->state());
    }
    if (managed) {
        // Until WirePlumber has set its port configuration, links to the node do not last.
        (void)waitUntil(
            [&] {
                std::lock_guard guard(watch.mutex);
                return watch.changes >= 2;
            },
            std::chrono::seconds(2));
    }
    pw_thread_loop_lock(graph_->loop());
    spa_hook_remove(&watch.listener);
    if (lingering || !made) {
        pw_proxy_destroy(proxy);  // a lingering node belongs to the daemon now
    } else {
        auto owned = std::make_unique<OwnedProxy>();
        owned->proxy = proxy;
        owned->onGone = &impl_->ownedGone;
        pw_proxy_add_listener(proxy, &owned->listener, &kOwnedEvents, owned.get());
        impl_->ownedNodes[madeNode.id] = std::move(owned);
    }
    pw_thread_loop_unlock(graph_->loop());
    if (!made) {
        std::lock_guard guard(graph_->mutex());
        return fail(graph_->state().connected ? kAudioHardwareIllegalOperationError
                                              : kAudioHardwareNotRunningError);
    }
    return madeNode;
}

Status Wiring::destroyNode(std::uint32_t globalID) {
    pw_thread_loop_lock(graph_->loop());
    if (impl_->registry) {
        pw_registry_destroy(impl_->registry, globalID);
    }
    pw_thread_loop_unlock(graph_->loop());
    const bool gone = waitUntil([&] {
        std::lock_guard guard(graph_->mutex());
        return graph_->state().nodeByID(globalID) == nullptr;
    });
    return gone ? kAudioHardwareNoError : kAudioHardwareIllegalOperationError;
}

void Wiring::link(std::uint32_t outputPort, std::uint32_t inputPort) {
    const std::string out = std::to_string(outputPort);
    const std::string in = std::to_string(inputPort);
    const spa_dict_item linkItems[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, out.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, in.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_OBJECT_LINGER, "true"),
    };
    const spa_dict dict = SPA_DICT_INIT(linkItems, 3);
    pw_thread_loop_lock(graph_->loop());
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        graph_->core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
    if (proxy) {
        pw_proxy_destroy(proxy);  // lingering: destroying our handle leaves the link
    }
    pw_thread_loop_unlock(graph_->loop());
}

void Wiring::destroyOwnedNode(std::uint32_t globalID) {
    pw_thread_loop_lock(graph_->loop());
    impl_->ownedNodes.erase(globalID);
    pw_thread_loop_unlock(graph_->loop());
}

void Wiring::ownLink(std::uint32_t outputPort, std::uint32_t inputPort) {
    const std::string out = std::to_string(outputPort);
    const std::string in = std::to_string(inputPort);
    const spa_dict_item linkItems[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, out.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, in.c_str()),
    };
    const spa_dict dict = SPA_DICT_INIT(linkItems, 2);
    pw_thread_loop_lock(graph_->loop());
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        graph_->core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
    if (proxy) {
        auto owned = std::make_unique<OwnedProxy>();
        owned->proxy = proxy;
        owned->onGone = &impl_->ownedGone;
        pw_proxy_add_listener(proxy, &owned->listener, &kOwnedEvents, owned.get());
        impl_->ownedLinks[{outputPort, inputPort}] = std::move(owned);
    }
    pw_thread_loop_unlock(graph_->loop());
}

void Wiring::dropOwnedLink(std::uint32_t outputPort, std::uint32_t inputPort) {
    pw_thread_loop_lock(graph_->loop());
    impl_->ownedLinks.erase({outputPort, inputPort});
    pw_thread_loop_unlock(graph_->loop());
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> Wiring::ownedLinks() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    pw_thread_loop_lock(graph_->loop());
    std::erase_if(impl_->ownedLinks, [](const auto& entry) { return entry.second->gone; });
    for (const auto& [ports, owned] : impl_->ownedLinks) {
        out.push_back(ports);
    }
    pw_thread_loop_unlock(graph_->loop());
    return out;
}

void Wiring::unlink(std::uint32_t linkID) {
    pw_thread_loop_lock(graph_->loop());
    if (impl_->registry) {
        pw_registry_destroy(impl_->registry, linkID);
    }
    pw_thread_loop_unlock(graph_->loop());
}

void Wiring::setChangeHook(std::function<void()> hook) {
    std::lock_guard guard(impl_->mutex);
    impl_->hook = std::move(hook);
}

}  // namespace pellimar::audio::pipewire
