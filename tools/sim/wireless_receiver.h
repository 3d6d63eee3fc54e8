#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

namespace quillmarch::sim {

// The wireless receiver's own state and its answers to "rx_set": the
// pairing key it shares with a device, its radio channel and whether it
// hears the paired device. Pure state, no I/O: the USB carrier sends what
// this produces.
class WirelessReceiver {
public:
	struct Config {
		bool paired = true; // starts with a key, linked to the device
		int channel = 1;
		QString firmware = QStringLiteral("rx-1.3.0");
		QString key; // empty with paired: a generated one
	};
	static constexpr int kMinChannel = 1;
	static constexpr int kMaxChannel = 13;
	static constexpr int kKeyHexDigits = 32; // a 16-byte link key
	static constexpr int kLinkedRssi = -55;

	WirelessReceiver();
	explicit WirelessReceiver(const Config &config);

	bool configured() const { return !m_key.isEmpty(); }
	// Hearing the paired device now: it needs a key and the device in
	// range.
	bool link() const { return configured() && m_deviceInRange; }
	int channel() const { return m_channel; }
	QString key() const { return m_key; }

	// Whether the paired device is on and in range (a test or the
	// operator switches it).
	void setDeviceInRange(bool inRange) { m_deviceInRange = inRange; }
	bool deviceInRange() const { return m_deviceInRange; }

	// The "rx_status" control message for the current state.
	QJsonObject status() const;

	// Applies one "rx_set" message and returns the answer: "rx_set" with
	// "ok" true, or "rx_error" with an "error" text. Nothing changes
	// unless every member given is valid.
	QJsonObject handleSet(const QJsonObject &message);

	// Where new keys come from; the system's random source by default.
	void setKeyGenerator(std::function<QString()> generator);
	static QString randomKey();

private:
	QString m_firmware;
	QString m_key;
	int m_channel = 1;
	bool m_deviceInRange = true;
	std::function<QString()> m_generateKey;
};

} // namespace quillmarch::sim
