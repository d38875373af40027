#pragma once

namespace velkaro {

// The log: one line per message on standard error, each written whole. Messages below the
// current level are dropped. The tests log at Info; the application and velkaro-cli show only
// warnings and errors unless they are given --verbose.

enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3 };

void SetLogLevel(LogLevel level);
LogLevel CurrentLogLevel();

// printf-style; a trailing newline is added when the text has none.
void LogMessage(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define LogDebug(...) LogMessage(LogLevel::Debug, __VA_ARGS__)
#define LogInfo(...) LogMessage(LogLevel::Info, __VA_ARGS__)
#define LogWarning(...) LogMessage(LogLevel::Warning, __VA_ARGS__)
#define LogError(...) LogMessage(LogLevel::Error, __VA_ARGS__)

}  // namespace velkaro
