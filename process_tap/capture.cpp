#include "process_tap/capture.hpp"

#include <unistd.h>

#include "platform/common/write_all.hpp"

namespace pellimar::process_tap {

void logLine(std::string_view text) {
    std::string line = "[process-tap] ";
    line.append(text);
    line.push_back('\n');
    writeAll(STDERR_FILENO, line);
}

}  // namespace pellimar::process_tap
