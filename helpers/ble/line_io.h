#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

namespace quillmarch::ble {

// Splits the plug-in's byte stream into requests: one JSON object per
// line, in order. Lines that are not a JSON object (bad JSON, arrays,
// empty lines) are dropped without a trace.
class LineReader {
public:
	// No request is anywhere near this long; a peer that sends this
	// much without a newline is broken, and its bytes are dropped.
	static constexpr int kMaxLine = 1 << 20;

	QList<QJsonObject> feed(const QByteArray &bytes);

private:
	QByteArray m_buffer;
};

// One outgoing line: compact JSON and a newline. Empty when the object
// cannot be serialised.
QByteArray encodeLine(const QJsonObject &object);

} // namespace quillmarch::ble
