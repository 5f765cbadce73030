#include "process_tap/capture.hpp"

namespace pellimar::process_tap {

const LogWriter& programLog() {
    static const LogWriter writer = LogWriter::fromEnvironment("[process-tap] ");
    return writer;
}

}  // namespace pellimar::process_tap
