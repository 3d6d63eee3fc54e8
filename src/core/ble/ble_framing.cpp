#include "ble/ble_framing.h"

#include <QObject>

#include <algorithm>

namespace quillmarch {

QList<QByteArray> bleEncodeRequest(const QByteArray &message, int writePayload,
				   quint8 tag)
{
	if (message.size() > kBleMaxRequest)
		return {};
	const int writeSize = std::clamp(writePayload, kBleMinWritePayload,
					 kBleMaxWritePayload);
	if (message.size() <= writeSize)
		return {message};

	const int step = writeSize - kBleChunkHeader;
	const int total = int(message.size());
	QList<QByteArray> writes;
	writes.reserve((total + step - 1) / step);
	for (int offset = 0, index = 0; offset < total;
	     offset += step, ++index) {
		QByteArray chunk;
		chunk.reserve(writeSize);
		chunk.append(char(0xFF));
		chunk.append(char(tag));
		chunk.append(char((total >> 8) & 0xFF));
		chunk.append(char(total & 0xFF));
		chunk.append(char((index >> 8) & 0xFF));
		chunk.append(char(index & 0xFF));
		chunk.append(message.mid(offset, step));
		writes.append(chunk);
	}
	return writes;
}

namespace {

int byteAt(const QByteArray &bytes, int i)
{
	return quint8(bytes.at(i));
}

} // namespace

QList<QByteArray> BleReplyAssembler::feed(const QByteArray &notification)
{
	if (notification.isEmpty())
		return {};
	if (notification.at(0) == '{')
		return {notification};

	int total = 0;
	int index = 0;
	QByteArray data;
	const bool longHeader = byteAt(notification, 0) == 0xFF;
	if (longHeader) {
		if (notification.size() < 6)
			return {};
		total = byteAt(notification, 2) << 8 | byteAt(notification, 3);
		index = byteAt(notification, 4) << 8 | byteAt(notification, 5);
		data = notification.mid(6);
	} else {
		if (notification.size() < 3)
			return {};
		total = byteAt(notification, 0) << 8 | byteAt(notification, 1);
		index = byteAt(notification, 2);
		data = notification.mid(3);
	}

	// The short header counts fragments in one byte: the 257th fragment of
	// a long reply says 0 again. That is the reply going on, not a new one,
	// when it is exactly where the count wraps and announces the same
	// total.
	const bool shortWrap = !longHeader && m_expected > 0 &&
			       m_nextIndex > 0 && m_nextIndex % 256 == 0 &&
			       index == 0 && total == m_expected;
	if (index == 0 && !shortWrap) {
		reset();
		m_expected = total;
		if (total == 0)
			return {};
	}
	if (m_expected == 0)
		return {};
	const int wanted = longHeader ? m_nextIndex : m_nextIndex % 256;
	if (index != wanted) {
		reset();
		if (m_onError)
			m_onError(QObject::tr(
				"the device reply was truncated (a fragment was lost)"));
		return {};
	}

	m_parts.append(data);
	m_received += int(data.size());
	++m_nextIndex;
	if (m_received < m_expected)
		return {};
	QByteArray reply;
	reply.reserve(m_received);
	for (const QByteArray &part : std::as_const(m_parts))
		reply.append(part);
	reset();
	return {reply};
}

void BleReplyAssembler::reset()
{
	m_parts.clear();
	m_received = 0;
	m_expected = 0;
	m_nextIndex = 0;
}

} // namespace quillmarch
