#pragma once

#include "simulated_game.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace quillmarch::portalsim {

struct Device {
	QString id;
	QString nickname;
	QString status; // "online", "offline" or "pending"
	QString blePasskey;
	QString claimCode;
	QString adminPassword;
	QString firmware;
	QJsonObject config;
	// An envelope a test or demo posted; served instead of the game.
	QJsonObject postedEnvelope;
	// Its scoreboard's game, one second of game clock per tick, played
	// up to playedUntilMs on the portal's clock.
	tools::SimulatedGame game;
	qint64 playedUntilMs = -1;

	// Plays the whole ticks of `tickMs` that passed since the last call;
	// while not running, time passes without play.
	void play(qint64 nowMs, qint64 tickMs, bool running);
	// The live state as the portal relays it.
	QJsonObject envelope(bool online) const;
};

struct Account {
	QString email;
	QString password;
	QString role;
	QString totpCode; // empty: no authenticator code asked
	bool cloudPlan = true;
	QStringList deviceIds;
	QJsonArray outputs;
};

// The portal's accounts and devices, read from a JSON description (the
// built-in one, or a file the user wrote from it).
class PortalState {
public:
	static QJsonObject defaultState();

	// Replaces everything; on a bad description keeps nothing and says
	// what is wrong.
	bool load(const QJsonObject &state, quint32 seed, QString *error);

	// E-mail addresses compare without regard to case.
	Account *account(const QString &email);
	Device *device(const QString &id);
	// The first account that lists the device, or none.
	Account *ownerOf(const QString &deviceId);
	// The output with that share token and the account holding it.
	QJsonObject outputByToken(const QString &token) const;

	QList<Account> &accounts() { return m_accounts; }

private:
	QList<Account> m_accounts;
	QMap<QString, Device> m_devices;
};

} // namespace quillmarch::portalsim
