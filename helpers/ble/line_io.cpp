#include "line_io.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace quillmarch::ble {

QList<QJsonObject> LineReader::feed(const QByteArray &bytes)
{
	QList<QJsonObject> objects;
	m_buffer.append(bytes);
	int start = 0;
	int end;
	while ((end = m_buffer.indexOf('\n', start)) >= 0) {
		const QByteArray line = m_buffer.mid(start, end - start);
		start = end + 1;
		QJsonParseError error;
		const QJsonDocument document =
			QJsonDocument::fromJson(line, &error);
		if (error.error == QJsonParseError::NoError &&
		    document.isObject())
			objects.append(document.object());
	}
	m_buffer.remove(0, start);
	if (m_buffer.size() > kMaxLine)
		m_buffer.clear();
	return objects;
}

QByteArray encodeLine(const QJsonObject &object)
{
	QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
	if (line.isEmpty())
		return line;
	line.append('\n');
	return line;
}

} // namespace quillmarch::ble
