#include "base/log.h"

#include <atomic>
#include <cstdio>

namespace quillmarch {

namespace {

void stderrSink(LogLevel level, const QString &line)
{
	const char *tag = level == LogLevel::Error     ? "error"
			  : level == LogLevel::Warning ? "warning"
						       : "info";
	std::fprintf(stderr, "%s: %s\n", tag, line.toUtf8().constData());
}

std::atomic<LogSink> g_sink{&stderrSink};

} // namespace

void setLogSink(LogSink sink)
{
	g_sink.store(sink ? sink : &stderrSink);
}

void logLine(LogLevel level, const QString &message)
{
	g_sink.load()(level, QStringLiteral("[quillmarch] ") + message);
}

} // namespace quillmarch
