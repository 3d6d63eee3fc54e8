#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>

namespace quillmarch::sim {

// The fixed world around a simulated device: the Wi-Fi networks it can
// hear at the venue and the scoreboard controllers its firmware reads.
// Plain data and look-ups, no state.

// What happens when the device tries to join a network.
enum class JoinBehaviour {
	Joins,        // with the right password it gets an address
	NeverFinishes // associates, but no address ever comes
};

struct VenueNetwork {
	QString ssid;
	int rssi = 0;
	// The auth mode as the radio reports it: a number for some
	// networks, a name for others, as firmware versions differ.
	QJsonValue auth;
	QString password; // empty: open network
	QString address;  // what the device gets there
	bool hidden = false;
	JoinBehaviour behaviour = JoinBehaviour::Joins;
};

// Every network in range, in the order the radio reports them. Some
// appear more than once (mesh access points); one hides its name.
const QList<VenueNetwork> &venueNetworks();
// The network by name (hidden ones too); null when out of range.
const VenueNetwork *findNetwork(const QString &ssid);

// The "networks" array of a scan: the networks in range with their
// strengths varied by up to +-jitter dBm, drawn from next().
QJsonArray scanResult(const std::function<quint32()> &next, int jitter);

// The controllers the firmware reads, as "getControllerList" reports
// them, in the firmware's order (with its duplicates).
QJsonArray controllerList();
// Whether manufacturer, model, sport and input_type of choice name an
// entry of the list.
bool isKnownController(const QJsonObject &choice);
// What a new device reads.
QJsonObject defaultController();

} // namespace quillmarch::sim
