#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace quillmarch {

// A Bluetooth write is small (20 to 244 bytes), so an admin message longer
// than one write is cut into chunks, each with a header the device uses to
// put it back together: 0xFF, the request tag, the total length (big-endian
// 16 bits), the chunk index (big-endian 16 bits), then the data.
inline constexpr int kBleMinWritePayload = 20;
inline constexpr int kBleMaxWritePayload = 244;
inline constexpr int kBleMaxRequest = 8192;
inline constexpr int kBleChunkHeader = 6;

// The writes that carry `message`, in order; a message that fits one write
// goes out unchanged. Empty when the message is longer than kBleMaxRequest.
QList<QByteArray> bleEncodeRequest(const QByteArray &message, int writePayload,
				   quint8 tag);

// Puts a device reply back together from its notifications. A notification
// is either a whole reply ("{" first), a fragment with a long header (0xFF,
// any byte, total BE16, index BE16, data) or one with a short header (total
// BE16, index u8, data).
class BleReplyAssembler {
public:
	using ErrorCallback = std::function<void(const QString &message)>;

	void setOnError(ErrorCallback onError)
	{
		m_onError = std::move(onError);
	}

	// The replies this notification completes (zero or one).
	QList<QByteArray> feed(const QByteArray &notification);
	void reset();

	bool inProgress() const { return m_expected > 0; }

private:
	ErrorCallback m_onError;
	QList<QByteArray> m_parts;
	int m_received = 0;
	int m_expected = 0;
	int m_nextIndex = 0;
};

} // namespace quillmarch
