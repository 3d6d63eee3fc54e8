#include "base/json_lines.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace quillmarch {

void JsonLineSplitter::append(const QByteArray &bytes)
{
	if (m_start > 0) {
		m_buffer.remove(0, m_start);
		m_scanned -= m_start;
		m_start = 0;
	}
	m_buffer.append(bytes);
}

bool JsonLineSplitter::next(QJsonObject *object)
{
	for (;;) {
		const int lineFeed = int(m_buffer.indexOf('\n', m_scanned));
		if (lineFeed < 0) {
			// Remember how far we looked, so a long line arriving in
			// many small reads is not searched again from its start.
			m_scanned = int(m_buffer.size());
			return false;
		}
		const QByteArray line =
			m_buffer.mid(m_start, lineFeed - m_start).trimmed();
		m_start = lineFeed + 1;
		m_scanned = m_start;
		if (line.isEmpty())
			continue;
		QJsonParseError error;
		const QJsonDocument document =
			QJsonDocument::fromJson(line, &error);
		if (error.error != QJsonParseError::NoError ||
		    !document.isObject())
			continue;
		*object = document.object();
		return true;
	}
}

void JsonLineSplitter::clear()
{
	m_buffer.clear();
	m_start = 0;
	m_scanned = 0;
}

} // namespace quillmarch
