// Points in time as the engine stores them.
#pragma once

#include <chrono>

namespace tavrik {
using Date = std::chrono::system_clock::time_point;
} // namespace tavrik
