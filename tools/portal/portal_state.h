#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <random>

namespace quillmarch::portalsim {

// A game that plays by itself, so a device's live state keeps changing: one
// tick is one second of game clock, and points fall at random (from a fixed
// seed, so a run can be repeated).
class ScoreTicker {
public:
	void reset(const QString &sport, const QString &home,
		   const QString &away, quint32 seed);
	// Plays the whole ticks of `tickMs` that passed since the last call;
	// while not running, time passes without play.
	void advance(qint64 nowMs, qint64 tickMs, bool running);
	QJsonObject envelope(bool online, const QString &firmware) const;

	qint64 ticks() const { return m_seq; }

private:
	void tick();

	QString m_sport;
	QString m_home;
	QString m_away;
	std::mt19937 m_rng;
	qint64 m_lastMs = -1;
	qint64 m_seq = 0;
	int m_homeScore = 0;
	int m_awayScore = 0;
	int m_period = 1;
	int m_periods = 4;
	int m_periodSeconds = 480;
	int m_clock = 480;
	bool m_countsUp = false;
};

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
	ScoreTicker game;
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
