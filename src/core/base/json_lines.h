#pragma once

#include <QByteArray>
#include <QJsonObject>

namespace quillmarch {

// Cuts a byte stream of JSON lines (the device's secure feed, the Bluetooth
// helper's messages) into objects. A line ends at a line feed; surrounding
// white space (a carriage return included) is trimmed, and lines that are
// empty or not a JSON object are skipped. Pure byte work, so it can be
// tested and fuzzed without a socket.
class JsonLineSplitter {
public:
	// A peer whose unfinished line grows past this is not worth keeping.
	static constexpr int kMaxLine = 1 << 20;

	void append(const QByteArray &bytes);
	// Takes lines off the front of the buffer until one holds an object and
	// stores it in *object. False when no complete line is left; the bytes
	// of an unfinished line stay buffered.
	bool next(QJsonObject *object);
	void clear();

	// Bytes received but not yet taken as lines.
	QByteArray pending() const { return m_buffer.mid(m_start); }
	int pendingSize() const { return int(m_buffer.size()) - m_start; }
	bool overflowed() const { return pendingSize() > kMaxLine; }

private:
	QByteArray m_buffer;
	int m_start = 0;   // bytes before this were already taken
	int m_scanned = 0; // bytes before this hold no line feed
};

} // namespace quillmarch
