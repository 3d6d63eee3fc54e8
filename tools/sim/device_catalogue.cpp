#include "device_catalogue.h"

#include <QLatin1String>

namespace quillmarch::sim {

namespace {

// Auth modes as numbers, in the radio driver's numbering.
constexpr int kAuthOpen = 0;
constexpr int kAuthWpa2 = 3;
constexpr int kAuthWpaWpa2 = 4;

QList<VenueNetwork> makeNetworks()
{
	auto net = [](const char *ssid, int rssi, const QJsonValue &auth,
		      const char *password, const char *address) {
		VenueNetwork n;
		n.ssid = QString::fromUtf8(ssid);
		n.rssi = rssi;
		n.auth = auth;
		n.password = QString::fromUtf8(password);
		n.address = QString::fromLatin1(address);
		return n;
	};
	QList<VenueNetwork> list;
	// Three access points of one mesh, not strongest first.
	list << net("VenueNet", -71, kAuthWpa2, "scoreboard1", "192.168.50.23")
	     << net("VenueNet", -48, kAuthWpa2, "scoreboard1", "192.168.50.23")
	     << net("PressBox", -56, QStringLiteral("WPA2_PSK"), "deadline24",
		    "172.16.4.61")
	     << net("BoxOffice", -60, kAuthWpaWpa2, "tickets99",
		    "192.168.10.57")
	     << net("VenueNet", -83, kAuthWpa2, "scoreboard1", "192.168.50.23")
	     << net("Concessions", -64, QStringLiteral("WPA_WPA2_PSK"),
		    "popcorn2024", "10.20.0.112")
	     << net("FanZone-Free", -69, kAuthOpen, "", "192.168.88.140");

	// The operations network does not broadcast its name, but a device
	// told the name and password joins it all the same.
	VenueNetwork hidden =
		net("Stadium-Ops", -77, kAuthWpa2, "ops-only-7", "10.0.9.14");
	hidden.hidden = true;
	list << hidden;

	// Its router hands out no addresses: a join never finishes.
	VenueNetwork stuck = net("LockerRoom", -81, QStringLiteral("WPA3_PSK"),
				 "towels123", "");
	stuck.behaviour = JoinBehaviour::NeverFinishes;
	list << stuck;
	return list;
}

struct ControllerEntry {
	const char *manufacturer;
	const char *model;
	const char *sport;
	const char *inputType;
};

// The firmware's table as it is: an entry listed twice by mistake, and
// models that take the same sport over more than one input.
constexpr ControllerEntry kControllers[] = {
	{"daktronics", "5000", "basketball", "cl"},
	{"daktronics", "5000", "basketball", "rs232"},
	{"daktronics", "5000", "football", "rs232"},
	{"daktronics", "5000", "volleyball", "cl"},
	{"daktronics", "5000", "hockey", "wireless"},
	{"nevco", "MPC7-W", "basketball", "nevco"},
	{"nevco", "MPC7-W", "volleyball", "nevco"},
	{"nevco", "MPC-5", "baseball", "nevco"},
	{"oes", "ISC85X", "basketball", "rs485"},
	{"oes", "ISC9000", "football", "rs232"},
	{"oes", "Pro", "hockey", "wireless"},
	{"oes", "ISC85X", "basketball", "rs485"},
	{"varsity", "Gen2", "soccer", "wireless"},
	{"fairplay", "Proline", "basketball", "rs232"},
	{"allamerican", "8000", "wrestling", "rs232"},
	{"electromech", "LX", "football", "cl"},
	{"quillmarch", "Wireless Bridge", "basketball", "channel_1"},
	{"quillmarch", "Wireless Bridge", "basketball", "channel_2"},
	{"quillmarch", "Ethernet Bridge", "basketball", "ethernet_bridge"},
};

QJsonObject toJson(const ControllerEntry &e)
{
	return QJsonObject{
		{QStringLiteral("manufacturer"),
		 QString::fromUtf8(e.manufacturer)},
		{QStringLiteral("model"), QString::fromUtf8(e.model)},
		{QStringLiteral("sport"), QString::fromUtf8(e.sport)},
		{QStringLiteral("input_type"), QString::fromUtf8(e.inputType)}};
}

} // namespace

const QList<VenueNetwork> &venueNetworks()
{
	static const QList<VenueNetwork> networks = makeNetworks();
	return networks;
}

const VenueNetwork *findNetwork(const QString &ssid)
{
	for (const VenueNetwork &n : venueNetworks())
		if (!ssid.isEmpty() && n.ssid == ssid)
			return &n;
	return nullptr;
}

QJsonArray scanResult(const std::function<quint32()> &next, int jitter)
{
	QJsonArray networks;
	for (const VenueNetwork &n : venueNetworks()) {
		const int spread = 2 * jitter + 1;
		const int rssi =
			n.rssi + int(next() % quint32(spread)) - jitter;
		networks.append(QJsonObject{
			{QStringLiteral("ssid"), n.hidden ? QString() : n.ssid},
			{QStringLiteral("rssi"), qMin(-1, rssi)},
			{QStringLiteral("auth"), n.auth}});
	}
	return networks;
}

QJsonArray controllerList()
{
	QJsonArray list;
	for (const ControllerEntry &e : kControllers)
		list.append(toJson(e));
	return list;
}

bool isKnownController(const QJsonObject &choice)
{
	for (const ControllerEntry &e : kControllers) {
		const QJsonObject entry = toJson(e);
		bool same = true;
		for (auto it = entry.begin(); it != entry.end() && same; ++it)
			same = choice.value(it.key()) == it.value();
		if (same)
			return true;
	}
	return false;
}

QJsonObject defaultController()
{
	return toJson(kControllers[1]);
}

} // namespace quillmarch::sim
