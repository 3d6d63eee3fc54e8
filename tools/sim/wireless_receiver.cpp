#include "wireless_receiver.h"

#include <QRandomGenerator>

#include <cmath>

namespace quillmarch::sim {

namespace {

QJsonObject refusal(const QString &error)
{
	QJsonObject answer;
	answer.insert(QStringLiteral("t"), QStringLiteral("rx_error"));
	answer.insert(QStringLiteral("error"), error);
	return answer;
}

bool isHexKey(const QString &key)
{
	if (key.size() != WirelessReceiver::kKeyHexDigits)
		return false;
	for (const QChar c : key) {
		const bool hex =
			(c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
			(c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
			(c >= QLatin1Char('A') && c <= QLatin1Char('F'));
		if (!hex)
			return false;
	}
	return true;
}

} // namespace

WirelessReceiver::WirelessReceiver() : WirelessReceiver(Config()) {}

WirelessReceiver::WirelessReceiver(const Config &config)
	: m_firmware(config.firmware),
	  m_channel(qBound(kMinChannel, config.channel, kMaxChannel)),
	  m_generateKey(&WirelessReceiver::randomKey)
{
	if (config.paired)
		m_key = isHexKey(config.key) ? config.key.toLower()
					     : randomKey();
}

QString WirelessReceiver::randomKey()
{
	QByteArray bytes(kKeyHexDigits / 2, '\0');
	QRandomGenerator *random = QRandomGenerator::system();
	for (char &b : bytes)
		b = char(random->bounded(256));
	return QString::fromLatin1(bytes.toHex());
}

void WirelessReceiver::setKeyGenerator(std::function<QString()> generator)
{
	m_generateKey = generator ? std::move(generator)
				  : std::function<QString()>(&randomKey);
}

QJsonObject WirelessReceiver::status() const
{
	QJsonObject s;
	s.insert(QStringLiteral("t"), QStringLiteral("rx_status"));
	s.insert(QStringLiteral("configured"), configured());
	s.insert(QStringLiteral("link"), link());
	// Nothing heard, nothing measured: 0 stands for "no signal".
	s.insert(QStringLiteral("rssi"), link() ? kLinkedRssi : 0);
	s.insert(QStringLiteral("channel"), m_channel);
	s.insert(QStringLiteral("fw"), m_firmware);
	return s;
}

QJsonObject WirelessReceiver::handleSet(const QJsonObject &message)
{
	const bool generate =
		message.value(QLatin1String("generate_key")).toBool(false);
	const QJsonValue keyValue = message.value(QLatin1String("key"));
	const QJsonValue channelValue = message.value(QLatin1String("channel"));

	if (!generate && keyValue.isUndefined() && channelValue.isUndefined())
		return refusal(QStringLiteral("Nothing to set"));

	int channel = m_channel;
	if (!channelValue.isUndefined()) {
		const double number = channelValue.toDouble(-1);
		if (!channelValue.isDouble() || std::floor(number) != number ||
		    number < kMinChannel || number > kMaxChannel)
			return refusal(QStringLiteral(
				"The channel must be a number from 1 to 13"));
		channel = int(number);
	}

	QString key = m_key;
	if (generate) {
		key = m_generateKey();
	} else if (!keyValue.isUndefined()) {
		const QString given = keyValue.toString().trimmed();
		if (!keyValue.isString() || !isHexKey(given))
			return refusal(QStringLiteral(
				"The key must be 32 hexadecimal characters"));
		key = given.toLower();
	}

	m_channel = channel;
	m_key = key;

	QJsonObject answer;
	answer.insert(QStringLiteral("t"), QStringLiteral("rx_set"));
	answer.insert(QStringLiteral("ok"), true);
	answer.insert(QStringLiteral("key"), m_key);
	answer.insert(QStringLiteral("channel"), m_channel);
	return answer;
}

} // namespace quillmarch::sim
