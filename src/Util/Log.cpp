#include "tavrik/Util/Log.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace tavrik {
namespace {

std::atomic<bool> gDebugEnabled{false};

// Guards gSink. Lines are delivered under a shared copy so that a sink
// replaced concurrently is never called after destruction.
std::mutex gSinkMutex;
std::shared_ptr<LogSink> gSink;

void syslogSink(LogLevel level, std::string_view category, std::string_view message) {
  int priority = level == LogLevel::error ? LOG_ERR : level == LogLevel::debug ? LOG_DEBUG : LOG_NOTICE;
  syslog(LOG_USER | priority, "[%.*s] %.*s", static_cast<int>(category.size()), category.data(),
         static_cast<int>(message.size()), message.data());
}

std::shared_ptr<LogSink> currentSink() {
  std::lock_guard lock(gSinkMutex);
  return gSink;
}

} // namespace

Log Log::defaultLog() { return Log("default", false); }
Log Log::disabled() { return Log("disabled", true); }
Log Log::category(std::string name) { return Log(std::move(name), false); }

bool Log::isEnabled(LogLevel level) const {
  if (disabled_) return false;
  if (level == LogLevel::debug) return gDebugEnabled.load(std::memory_order_relaxed);
  return true;
}

void Log::vlog(LogLevel level, const char* format, va_list args) const {
  if (!isEnabled(level)) return;
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  std::string message;
  if (static_cast<size_t>(n) < sizeof small) {
    message.assign(small, static_cast<size_t>(n));
  } else {
    message.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<size_t>(n));
  }
  if (auto sink = currentSink(); sink && *sink) {
    (*sink)(level, category_, message);
  } else {
    syslogSink(level, category_, message);
  }
}

void Log::log(LogLevel level, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  vlog(level, format, args);
  va_end(args);
}

void Log::debug(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  vlog(LogLevel::debug, format, args);
  va_end(args);
}

void Log::info(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  vlog(LogLevel::defaultLevel, format, args);
  va_end(args);
}

void Log::error(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  vlog(LogLevel::error, format, args);
  va_end(args);
}

void setLogSink(LogSink sink) {
  auto shared = sink ? std::make_shared<LogSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(gSinkMutex);
  gSink = std::move(shared);
}

void setDebugLoggingEnabled(bool enabled) { gDebugEnabled.store(enabled); }
bool isDebugLoggingEnabled() { return gDebugEnabled.load(); }

} // namespace tavrik
