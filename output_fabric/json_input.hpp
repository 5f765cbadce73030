#pragma once
// The JSON arguments of "ensure", "configure" and "restore", decoded into plain records. A decoding
// failure carries the decoder's own description, which is printed as it is.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output_fabric/device_reader.hpp"
#include "platform/common/utf8.hpp"

namespace pellimar::output_fabric {

struct FabricMember {
    std::string stableId;
    std::optional<bool> enabled;

    bool operator==(const FabricMember&) const = default;
};

struct Fabric {
    std::vector<FabricMember> members;
    std::optional<std::string> clockMasterStableId;

    bool operator==(const Fabric&) const = default;
};

struct ControlRequest {
    std::string stableId;
    std::optional<std::int64_t> outputChannels;
    std::optional<double> sampleRate;
    std::optional<std::uint32_t> inputSourceId;

    bool operator==(const ControlRequest&) const = default;
};

struct StreamRestore {
    std::string physical;
    std::uint32_t stream = 0;
    std::string virtualFormat;

    bool operator==(const StreamRestore&) const = default;
};

struct ControlRestore {
    std::optional<std::uint32_t> inputSourceId;
    std::string stableId;
    std::vector<StreamRestore> streams;

    bool operator==(const ControlRestore&) const = default;
};

using pellimar::isUTF8;

Fallible<Fabric> decodeFabric(const std::string& text);
Fallible<std::vector<ControlRequest>> decodeControlRequests(const std::string& text);
Fallible<std::vector<ControlRestore>> decodeControlRestores(const std::string& text);

}  // namespace pellimar::output_fabric
