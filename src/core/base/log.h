#pragma once

#include <QString>

namespace quillmarch {

enum class LogLevel { Info, Warning, Error };

// Where log lines go. The plug-in points this at OBS's blog(); tests capture
// lines; by default they go to stderr. Every line gets the "[quillmarch] "
// prefix here, so callers never write it themselves.
using LogSink = void (*)(LogLevel level, const QString &line);

void setLogSink(LogSink sink);
void logLine(LogLevel level, const QString &message);

inline void logInfo(const QString &message)
{
	logLine(LogLevel::Info, message);
}
inline void logWarning(const QString &message)
{
	logLine(LogLevel::Warning, message);
}
inline void logError(const QString &message)
{
	logLine(LogLevel::Error, message);
}

} // namespace quillmarch
