#include "platform/pipewire/graph.hpp"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format.h>
#include <spa/param/format.h>
#include <spa/param/param.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

namespace pellimar::audio::pipewire {

void Node::setProps(Properties p) {
    props = std::move(p);
    auto it = props.find(PW_KEY_MEDIA_CLASS);
    mediaClass_ = it == props.end() ? std::string() : it->second;
    it = props.find(PW_KEY_NODE_NAME);
    name_ = it == props.end() ? std::string() : it->second;
}

const Node* GraphState::nodeBySerial(std::uint64_t serial) const {
    auto it = nodes.find(serial);
    return it == nodes.end() ? nullptr : &it->second;
}

const Node* GraphState::nodeByID(std::uint32_t id) const {
    for (const auto& [serial, node] : nodes) {
        if (node.id == id) {
            return &node;
        }
    }
    return nullptr;
}

const Node* GraphState::nodeByName(const std::string& name) const {
    for (const auto& [serial, node] : nodes) {
        if (node.name() == name) {
            return &node;
        }
    }
    return nullptr;
}

namespace {

Properties toProperties(const spa_dict* dict) {
    Properties props;
    if (dict) {
        const spa_dict_item* item;
        spa_dict_for_each(item, dict) {
            if (item->key && item->value) {
                props[item->key] = item->value;
            }
        }
    }
    return props;
}

std::uint64_t serialOf(const Properties& props, std::uint32_t fallback) {
    auto it = props.find(PW_KEY_OBJECT_SERIAL);
    if (it != props.end()) {
        try {
            return std::stoull(it->second);
        } catch (...) {
        }
    }
    return fallback;
}

// Reads the values of a property that may be a choice: the choice kind and its values.
template <typename T>
std::vector<T> valuesOf(const spa_pod* pod, std::uint32_t podType, std::uint32_t& choice) {
    std::uint32_t count = 0;
    const spa_pod* values = spa_pod_get_values(pod, &count, &choice);
    std::vector<T> out;
    if (values->type != podType || values->size < sizeof(T)) {
        return out;
    }
    const T* data = static_cast<const T*>(SPA_POD_BODY_CONST(values));
    out.assign(data, data + count);
    return out;
}

std::optional<FormatInfo> parseFormat(const spa_pod* param) {
    if (!param || !spa_pod_is_object(param)) {
        return std::nullopt;
    }
    FormatInfo info;
    bool audio = false;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        std::uint32_t choice = SPA_CHOICE_None;
        switch (prop->key) {
            case SPA_FORMAT_mediaType: {
                auto v = valuesOf<std::uint32_t>(&prop->value, SPA_TYPE_Id, choice);
                audio = !v.empty() && v[0] == SPA_MEDIA_TYPE_audio;
                break;
            }
            case SPA_FORMAT_AUDIO_format: {
                auto v = valuesOf<std::uint32_t>(&prop->value, SPA_TYPE_Id, choice);
                // An enumeration repeats its default first.
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i == 0 || choice == SPA_CHOICE_Enum) {
                        if (std::find(info.sampleFormats.begin(), info.sampleFormats.end(), v[i]) ==
                            info.sampleFormats.end()) {
                            info.sampleFormats.push_back(v[i]);
                        }
                    }
                }
                break;
            }
            case SPA_FORMAT_AUDIO_rate: {
                auto v = valuesOf<std::int32_t>(&prop->value, SPA_TYPE_Int, choice);
                if (v.empty()) {
                    break;
                }
                info.rate = v[0];
                if ((choice == SPA_CHOICE_Range || choice == SPA_CHOICE_Step) && v.size() >= 3) {
                    info.rateRange = std::pair<double, double>(v[1], v[2]);
                } else if (choice == SPA_CHOICE_Enum) {
                    for (std::size_t i = 1; i < v.size(); ++i) {
                        info.rateChoices.push_back(v[i]);
                    }
                }
                break;
            }
            case SPA_FORMAT_AUDIO_channels: {
                auto v = valuesOf<std::int32_t>(&prop->value, SPA_TYPE_Int, choice);
                if (!v.empty() && v[0] > 0) {
                    info.channels = std::uint32_t(v[0]);
                }
                break;
            }
            default:
                break;
        }
    }
    if (!audio) {
        return std::nullopt;
    }
    return info;
}

}  // namespace

// One bound proxy (node, client or the default metadata) and its listeners.
struct Bound {
    enum class Kind { node, client, metadata } kind;
    Graph::Impl* impl = nullptr;
    std::uint32_t id = 0;
    std::uint64_t serial = 0;
    pw_proxy* proxy = nullptr;
    spa_hook proxyListener{};
    spa_hook objectListener{};
    pw_node_info* nodeInfo = nullptr;
};

struct Graph::Impl {
    Graph* graph = nullptr;
    pw_context* context = nullptr;
    pw_registry* registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    std::map<std::uint32_t, std::unique_ptr<Bound>> bound;
    int doneSeq = -1;
    // Global metadata entries this connection wrote (under the loop lock). The daemon does not
    // pass a change on to the metadata's other users while a client's new binding of it awaits
    // the session manager's answer, so an echo can be lost (measured).
    std::set<std::string> ownGlobals;

    std::mutex hookMutex;
    std::map<std::uint64_t, ChangeHook> hooks;
    std::uint64_t nextHook = 1;

    // Everything below runs on the loop thread.
    template <typename F>
    void change(F&& edit) {
        {
            std::lock_guard guard(graph->mutex_);
            edit(graph->state_);
            ++graph->generation_;
        }
        std::lock_guard guard(hookMutex);
        for (auto& [id, hook] : hooks) {
            hook();
        }
    }

    void unbind(std::uint32_t id) {
        auto it = bound.find(id);
        if (it == bound.end()) {
            return;
        }
        Bound& b = *it->second;
        spa_hook_remove(&b.objectListener);
        spa_hook_remove(&b.proxyListener);
        if (b.nodeInfo) {
            pw_node_info_free(b.nodeInfo);
        }
        pw_proxy_destroy(b.proxy);
        bound.erase(it);
    }

    void global(std::uint32_t id, const char* type, const spa_dict* props);
    void globalRemoved(std::uint32_t id);
};

namespace {

void onNodeInfo(void* data, const pw_node_info* info) {
    auto* b = static_cast<Bound*>(data);
    b->nodeInfo = pw_node_info_update(b->nodeInfo, info);
    pw_node_info* merged = b->nodeInfo;
    std::vector<std::uint32_t> enumerate;
    if (merged->change_mask & PW_NODE_CHANGE_MASK_PARAMS) {
        for (std::uint32_t i = 0; i < merged->n_params; ++i) {
            spa_param_info& p = merged->params[i];
            if (p.user == 0) {
                continue;
            }
            p.user = 0;
            if ((p.id == SPA_PARAM_EnumFormat || p.id == SPA_PARAM_Format) &&
                (p.flags & SPA_PARAM_INFO_READ)) {
                enumerate.push_back(p.id);
            }
        }
    }
    const bool propsChanged = merged->change_mask & PW_NODE_CHANGE_MASK_PROPS;
    b->impl->change([&](GraphState& s) {
        auto it = s.nodes.find(b->serial);
        if (it == s.nodes.end()) {
            return;
        }
        Node& node = it->second;
        node.state = merged->state;
        if (propsChanged && merged->props) {
            node.setProps(toProperties(merged->props));
        }
        for (auto id : enumerate) {
            if (id == SPA_PARAM_EnumFormat) {
                node.enumFormats.clear();
            } else {
                node.format.reset();
            }
        }
    });
    for (auto id : enumerate) {
        pw_node_enum_params(reinterpret_cast<pw_node*>(b->proxy), 0, id, 0, UINT32_MAX, nullptr);
    }
}

void onNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                 const spa_pod* param) {
    auto* b = static_cast<Bound*>(data);
    auto format = parseFormat(param);
    if (!format) {
        return;
    }
    b->impl->change([&](GraphState& s) {
        auto it = s.nodes.find(b->serial);
        if (it == s.nodes.end()) {
            return;
        }
        if (id == SPA_PARAM_EnumFormat) {
            it->second.enumFormats.push_back(*format);
        } else if (id == SPA_PARAM_Format) {
            it->second.format = *format;
        }
    });
}

const pw_node_events kNodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = onNodeInfo;
    e.param = onNodeParam;
    return e;
}();

void onClientInfo(void* data, const pw_client_info* info) {
    auto* b = static_cast<Bound*>(data);
    if (!(info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) || !info->props) {
        return;
    }
    auto props = toProperties(info->props);
    b->impl->change([&](GraphState& s) {
        auto it = s.clients.find(b->serial);
        if (it != s.clients.end()) {
            it->second.props = std::move(props);
            it->second.described = true;
        }
    });
}

const pw_client_events kClientEvents = [] {
    pw_client_events e{};
    e.version = PW_VERSION_CLIENT_EVENTS;
    e.info = onClientInfo;
    return e;
}();

int onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*,
                       const char* value) {
    auto* b = static_cast<Bound*>(data);
    if (subject != PW_ID_CORE) {
        b->impl->change([&](GraphState& s) {
            if (!key) {
                s.metadata.erase(subject);
            } else if (!value) {
                s.metadata[subject].erase(key);
            } else {
                s.metadata[subject][key] = value;
            }
        });
        return 0;
    }
    if (!key) {
        b->impl->ownGlobals.clear();
    } else if (b->impl->ownGlobals.contains(key)) {
        return 0;
    }
    b->impl->change([&](GraphState& s) {
        if (!key) {
            s.defaults.clear();
            s.metadata.clear();
        } else if (!value) {
            s.defaults.erase(key);
        } else {
            s.defaults[key] = value;
        }
    });
    return 0;
}

const pw_metadata_events kMetadataEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = onMetadataProperty;
    return e;
}();

void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props) {
    static_cast<Graph::Impl*>(data)->global(id, type, props);
}

void onRegistryGlobalRemove(void* data, std::uint32_t id) {
    static_cast<Graph::Impl*>(data)->globalRemoved(id);
}

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onRegistryGlobal;
    e.global_remove = onRegistryGlobalRemove;
    return e;
}();

void onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* impl = static_cast<Graph::Impl*>(data);
    if (id == PW_ID_CORE) {
        impl->doneSeq = seq;
        pw_thread_loop_signal(impl->graph->loop(), false);
    }
}

void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* impl = static_cast<Graph::Impl*>(data);
    if (id != PW_ID_CORE || res != -EPIPE) {
        return;
    }
    impl->change([&](GraphState& s) {
        s.connected = false;
        s.error = std::string("PipeWire: lost the connection to the daemon (") +
                  (message ? message : "") + ")";
        s.nodes.clear();
        s.clients.clear();
        s.defaults.clear();
    });
    pw_thread_loop_signal(impl->graph->loop(), false);
}

const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onCoreDone;
    e.error = onCoreError;
    return e;
}();

void onProxyRemoved(void* data) {
    auto* b = static_cast<Bound*>(data);
    b->impl->globalRemoved(b->id);
}

const pw_proxy_events kProxyEvents = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.removed = onProxyRemoved;
    return e;
}();

}  // namespace

void Graph::Impl::global(std::uint32_t id, const char* type, const spa_dict* dict) {
    Bound::Kind kind;
    std::uint32_t version;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        kind = Bound::Kind::node;
        version = PW_VERSION_NODE;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        kind = Bound::Kind::client;
        version = PW_VERSION_CLIENT;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        const char* name = dict ? spa_dict_lookup(dict, PW_KEY_METADATA_NAME) : nullptr;
        if (!name || std::strcmp(name, "default") != 0) {
            return;
        }
        kind = Bound::Kind::metadata;
        version = PW_VERSION_METADATA;
    } else {
        return;
    }
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
    if (!proxy) {
        return;
    }
    auto b = std::make_unique<Bound>();
    b->kind = kind;
    b->impl = this;
    b->id = id;
    b->proxy = proxy;
    Properties props = toProperties(dict);
    b->serial = serialOf(props, id);
    pw_proxy_add_listener(proxy, &b->proxyListener, &kProxyEvents, b.get());
    switch (kind) {
        case Bound::Kind::node:
            pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &b->objectListener,
                                 &kNodeEvents, b.get());
            change([&](GraphState& s) {
                Node node;
                node.id = id;
                node.serial = b->serial;
                node.setProps(std::move(props));
                s.nodes[b->serial] = std::move(node);
            });
            break;
        case Bound::Kind::client:
            pw_client_add_listener(reinterpret_cast<pw_client*>(proxy), &b->objectListener,
                                   &kClientEvents, b.get());
            change([&](GraphState& s) {
                Client client;
                client.id = id;
                client.serial = b->serial;
                client.props = std::move(props);
                s.clients[b->serial] = std::move(client);
                if (id == s.ownClientID) {
                    s.ownClientSerial = b->serial;
                }
            });
            break;
        case Bound::Kind::metadata:
            pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy), &b->objectListener,
                                     &kMetadataEvents, b.get());
            break;
    }
    bound[id] = std::move(b);
}

void Graph::Impl::globalRemoved(std::uint32_t id) {
    auto it = bound.find(id);
    if (it == bound.end()) {
        return;
    }
    const Bound::Kind kind = it->second->kind;
    const std::uint64_t serial = it->second->serial;
    unbind(id);
    change([&](GraphState& s) {
        if (kind == Bound::Kind::node) {
            s.nodes.erase(serial);
            // The daemon drops a removed node's entries without telling; the id may come back
            // on another node, which must not inherit them.
            s.metadata.erase(id);
        } else if (kind == Bound::Kind::client) {
            s.clients.erase(serial);
        } else {
            s.defaults.clear();
            s.metadata.clear();
        }
    });
    if (kind == Bound::Kind::metadata) {
        ownGlobals.clear();
    }
}

Graph::Graph() : impl_(std::make_unique<Impl>()) {
    impl_->graph = this;
}

Graph::~Graph() {
    if (!loop_) {
        return;
    }
    pw_thread_loop_lock(loop_);
    while (!impl_->bound.empty()) {
        impl_->unbind(impl_->bound.begin()->first);
    }
    if (impl_->registry) {
        spa_hook_remove(&impl_->registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(impl_->registry));
    }
    if (core_) {
        spa_hook_remove(&impl_->coreListener);
        pw_core_disconnect(core_);
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (impl_->context) {
        pw_context_destroy(impl_->context);
    }
    pw_thread_loop_destroy(loop_);
}

bool pipewireVersionAtLeast(const std::string& version, int major, int minor, int micro) {
    int is[3] = {};
    if (std::sscanf(version.c_str(), "%d.%d.%d", &is[0], &is[1], &is[2]) != 3) {
        return false;
    }
    return std::tie(is[0], is[1], is[2]) >= std::tie(major, minor, micro);
}

std::string runningPipeWireVersion() {
    return pw_get_library_version();
}

Result<std::shared_ptr<Graph>, std::string> Graph::connect(std::chrono::milliseconds timeout) {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });

    std::shared_ptr<Graph> graph(new Graph());
    graph->loop_ = pw_thread_loop_new("pellimar-pipewire", nullptr);
    if (!graph->loop_) {
        return fail(std::string("PipeWire: cannot make a thread loop"));
    }
    Impl& impl = *graph->impl_;
    // The realtime client configuration, as players use: streams' data threads get realtime
    // priority where the system allows it. From 1.3.81 on it is the default, and naming it puts
    // a deprecation warning on every program's stderr.
    impl.context =
        pw_context_new(pw_thread_loop_get_loop(graph->loop_),
                       pipewireVersionAtLeast(runningPipeWireVersion(), 1, 3, 81)
                           ? nullptr
                           : pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr),
                       0);
    if (!impl.context) {
        return fail(std::string("PipeWire: cannot make a context: ") + std::strerror(errno));
    }
    if (pw_thread_loop_start(graph->loop_) < 0) {
        return fail(std::string("PipeWire: cannot start the thread loop"));
    }
    pw_thread_loop_lock(graph->loop_);
    graph->core_ = pw_context_connect(impl.context, nullptr, 0);
    if (!graph->core_) {
        const int error = errno;
        pw_thread_loop_unlock(graph->loop_);
        return fail(std::string("PipeWire: cannot connect to the daemon (") + std::strerror(error) +
                    "); is it running, and XDG_RUNTIME_DIR set?");
    }
    {
        std::lock_guard guard(graph->mutex_);
        graph->state_.connected = true;
    }
    pw_core_add_listener(graph->core_, &impl.coreListener, &kCoreEvents, &impl);
    impl.registry = pw_core_get_registry(graph->core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(impl.registry, &impl.registryListener, &kRegistryEvents, &impl);
    pw_thread_loop_unlock(graph->loop_);

    // Globals, then their info, then the params the info announced.
    for (int round = 0; round < 3; ++round) {
        if (!graph->sync(timeout)) {
            std::lock_guard guard(graph->mutex_);
            if (!graph->state_.error.empty()) {
                return fail(graph->state_.error);
            }
            return fail(std::string("PipeWire: the daemon did not answer within ") +
                        std::to_string(timeout.count()) + " ms");
        }
        if (round == 0) {
            pw_thread_loop_lock(graph->loop_);
            auto* client = reinterpret_cast<pw_proxy*>(pw_core_get_client(graph->core_));
            const std::uint32_t own = client ? pw_proxy_get_bound_id(client) : SPA_ID_INVALID;
            {
                std::lock_guard guard(graph->mutex_);
                graph->state_.ownClientID = own;
                for (const auto& [serial, c] : graph->state_.clients) {
                    if (c.id == own) {
                        graph->state_.ownClientSerial = serial;
                    }
                }
            }
            pw_thread_loop_unlock(graph->loop_);
        }
    }
    return graph;
}

bool Graph::sync(std::chrono::milliseconds timeout) {
    pw_thread_loop_lock(loop_);
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(timeout.count()) * SPA_NSEC_PER_MSEC);
    bool done = false;
    for (;;) {
        {
            std::lock_guard guard(mutex_);
            if (!state_.connected) {
                break;
            }
        }
        // Sequence numbers grow, so a later answer covers this one too.
        if (seq >= 0 && impl_->doneSeq >= seq) {
            done = true;
            break;
        }
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) {
            break;
        }
    }
    pw_thread_loop_unlock(loop_);
    return done;
}

bool Graph::updateClientProperties(const Properties& props) {
    std::vector<spa_dict_item> items;
    for (const auto& [key, value] : props) {
        items.push_back(SPA_DICT_ITEM_INIT(key.c_str(), value.c_str()));
    }
    const spa_dict dict = SPA_DICT_INIT(items.data(), std::uint32_t(items.size()));
    pw_thread_loop_lock(loop_);
    const int result = pw_core_update_properties(core_, &dict);
    pw_thread_loop_unlock(loop_);
    return result >= 0 && sync();
}

bool Graph::setMetadata(std::uint32_t subject, const std::string& key, const std::string& type,
                        const std::optional<std::string>& value) {
    pw_thread_loop_lock(loop_);
    pw_metadata* metadata = nullptr;
    for (const auto& [id, b] : impl_->bound) {
        if (b->kind == Bound::Kind::metadata) {
            metadata = reinterpret_cast<pw_metadata*>(b->proxy);
        }
    }
    if (metadata) {
        pw_metadata_set_property(metadata, subject, key.c_str(), value ? type.c_str() : nullptr,
                                 value ? value->c_str() : nullptr);
    }
    if (metadata && subject == PW_ID_CORE) {
        impl_->ownGlobals.insert(key);
        impl_->change([&](GraphState& s) {
            if (value) {
                s.defaults[key] = *value;
            } else {
                s.defaults.erase(key);
            }
        });
    }
    pw_thread_loop_unlock(loop_);
    return metadata != nullptr;
}

std::uint64_t Graph::addChangeHook(ChangeHook hook) {
    std::lock_guard guard(impl_->hookMutex);
    const std::uint64_t id = impl_->nextHook++;
    impl_->hooks.emplace(id, std::move(hook));
    return id;
}

void Graph::removeChangeHook(std::uint64_t id) {
    std::lock_guard guard(impl_->hookMutex);
    impl_->hooks.erase(id);
}

}  // namespace pellimar::audio::pipewire
