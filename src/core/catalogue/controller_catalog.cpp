#include "catalogue/controller_catalog.h"

namespace quillmarch {

namespace {

// First character upper-cased, the rest as it was.
QString capitalised(const QString &text)
{
	if (text.isEmpty())
		return text;
	return text.left(1).toUpper() + text.mid(1);
}

ControllerCatalog buildCatalog()
{
	const QStringList serial = {QStringLiteral("rs232"),
				    QStringLiteral("rs485"),
				    QStringLiteral("wireless")};
	QStringList bridgeInputs;
	for (int channel = 1; channel <= 10; ++channel)
		bridgeInputs << QStringLiteral("channel_%1").arg(channel);
	bridgeInputs << QStringLiteral("ethernet_bridge");

	ControllerCatalog c;
	c.insert(QStringLiteral("daktronics"),
		 {QStringLiteral("Daktronics"),
		  {QStringLiteral("5000")},
		  {QStringLiteral("cl"), QStringLiteral("rs232"),
		   QStringLiteral("wireless")},
		  {}});
	c.insert(QStringLiteral("nevco"),
		 {QStringLiteral("NEVCO"),
		  {QStringLiteral("MPC7-W"), QStringLiteral("MPC-5")},
		  {QStringLiteral("nevco")},
		  {}});
	c.insert(QStringLiteral("oes"),
		 {QStringLiteral("OES"),
		  {QStringLiteral("ISC85X"), QStringLiteral("ISC9000"),
		   QStringLiteral("Pro")},
		  serial,
		  {}});
	c.insert(QStringLiteral("varsity"),
		 {QStringLiteral("Varsity / Sportable"),
		  {QStringLiteral("Varsity"), QStringLiteral("Gen2")},
		  serial,
		  {}});
	c.insert(QStringLiteral("fairplay"), {QStringLiteral("Fair-Play"),
					      {QStringLiteral("Proline")},
					      {QStringLiteral("rs232")},
					      {}});
	c.insert(QStringLiteral("allamerican"),
		 {QStringLiteral("All-American"),
		  {QStringLiteral("3000"), QStringLiteral("8000"),
		   QStringLiteral("9000")},
		  {QStringLiteral("rs232"), QStringLiteral("wireless")},
		  {}});
	c.insert(QStringLiteral("electromech"), {QStringLiteral("Electromech"),
						 {QStringLiteral("LX")},
						 {QStringLiteral("cl")},
						 {QStringLiteral("football")}});
	// The maker's own bridge: scores from another device over one of the
	// ten wireless channels or over Ethernet.
	c.insert(QStringLiteral("quillmarch"),
		 {QStringLiteral("Quillmarch wireless / ethernet bridge"),
		  {QStringLiteral("Wireless Bridge"),
		   QStringLiteral("Ethernet Bridge")},
		  bridgeInputs,
		  {}});
	return c;
}

} // namespace

const ControllerCatalog &controllerCatalog()
{
	// Function-local statics are initialised once, thread-safely.
	static const ControllerCatalog catalog = buildCatalog();
	return catalog;
}

const QStringList &allSports()
{
	static const QStringList sports = {
		QStringLiteral("basketball"), QStringLiteral("football"),
		QStringLiteral("baseball"),   QStringLiteral("volleyball"),
		QStringLiteral("soccer"),     QStringLiteral("hockey"),
		QStringLiteral("lacrosse"),   QStringLiteral("wrestling")};
	return sports;
}

QString manufacturerLabel(const QString &key)
{
	const ControllerCatalog &c = controllerCatalog();
	const auto it = c.constFind(key.toLower());
	if (it != c.constEnd())
		return it->label;
	return capitalised(key);
}

QString sportLabel(const QString &key)
{
	QString text = key;
	return capitalised(text.replace(QLatin1Char('_'), QLatin1Char(' ')));
}

QString inputTypeLabel(const QString &key)
{
	static const QMap<QString, QString> known = {
		{QStringLiteral("cl"), QStringLiteral("Current loop (CL)")},
		{QStringLiteral("rs232"), QStringLiteral("RS-232")},
		{QStringLiteral("rs485"), QStringLiteral("RS-485")},
		{QStringLiteral("rs422"), QStringLiteral("RS-422")},
		{QStringLiteral("wireless"), QStringLiteral("Wireless")},
		{QStringLiteral("nevco"), QStringLiteral("NEVCO serial")},
		{QStringLiteral("ethernet_bridge"),
		 QStringLiteral("Ethernet bridge")},
	};
	const QString lower = key.toLower();
	const auto it = known.constFind(lower);
	if (it != known.constEnd())
		return *it;
	const QLatin1String channel("channel_");
	if (lower.startsWith(channel))
		return QStringLiteral("Wireless channel ") +
		       key.mid(channel.size());
	QString text = key;
	return capitalised(text.replace(QLatin1Char('_'), QLatin1Char(' ')));
}

} // namespace quillmarch
