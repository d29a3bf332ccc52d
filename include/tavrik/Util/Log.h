// A small system log in the manner of the platform's unified logging: named
// log handles with default, debug and error levels, a disabled log that
// formats nothing, and a process-wide sink that a client may replace.
//
// By default, default and error lines go to syslog(3) and debug lines are
// dropped unless `setDebugLoggingEnabled(true)` was called.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <string_view>

namespace tavrik {

enum class LogLevel { debug, defaultLevel, error };

/// Receives every emitted line. Called on the logging thread, outside any
/// engine lock; it must be thread-safe.
using LogSink = std::function<void(LogLevel, std::string_view category, std::string_view message)>;

/// A log handle. Cheap to copy. A disabled handle formats and emits nothing.
class Log {
public:
  /// The engine's default log (category "default").
  static Log defaultLog();
  /// A log that is off: nothing is formatted or emitted.
  static Log disabled();
  /// An enabled log with its own category name.
  static Log category(std::string name);

  bool isDisabled() const { return disabled_; }
  const std::string& categoryName() const { return category_; }
  /// True when a line of this level would reach the sink.
  bool isEnabled(LogLevel level) const;

  void log(LogLevel level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  bool operator==(const Log&) const = default;

private:
  Log(std::string category, bool disabled) : category_(std::move(category)), disabled_(disabled) {}
  void vlog(LogLevel level, const char* format, va_list args) const;

  std::string category_;
  bool disabled_ = false;
};

/// Replaces the process-wide sink; an empty function restores the syslog sink.
void setLogSink(LogSink sink);
/// Debug lines are dropped unless enabled (off by default).
void setDebugLoggingEnabled(bool enabled);
bool isDebugLoggingEnabled();

} // namespace tavrik
