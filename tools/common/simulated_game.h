#pragma once

#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <random>

namespace quillmarch::tools {

// A game that plays itself, so a simulated device always has something to
// publish. Everything that happens follows from the seed and the game time
// advanced so far, never from the wall clock: two games with the same
// config and the same calls produce the same envelopes.
//
// Basketball is played possession by possession with a shot clock, fouls,
// free throws and timeouts; hockey, soccer and any other sport with the
// same model under their own periods, clocks and scoring rates.
class SimulatedGame {
public:
	struct Config {
		quint32 seed = 1;
		QString sport = QStringLiteral("basketball");
		QString homeName = QStringLiteral("Harbor Hawks");
		QString awayName = QStringLiteral("Mill City Miners");
		// How long the final score stays up before a new game starts.
		int finalHoldSeconds = 60;
	};
	struct Rules;

	SimulatedGame();
	explicit SimulatedGame(const Config &config);

	// Advances the game by this much game time. Time is played in whole
	// seconds; the remainder is kept for the next call.
	void advance(qint64 gameMs);

	// The next live-data envelope: advances "seq" and stamps ts_ms.
	QJsonObject nextEnvelope(qint64 tsMs);
	// The envelope last returned by nextEnvelope(), or one for the
	// current state with seq 0 when none was made yet.
	QJsonObject lastEnvelope() const;

	// The scoreboard fields as a device publishes them.
	QJsonObject fields() const;

	const QString &sport() const { return m_config.sport; }
	int homeScore() const { return m_home.score; }
	int awayScore() const { return m_away.score; }
	int period() const { return m_period; }
	bool isFinal() const { return m_final; }
	int gamesStarted() const { return m_games; }
	quint64 seq() const { return m_seq; }
	qint64 secondsPlayed() const { return m_seconds; }

	// "M:SS" for a number of whole seconds.
	static QString clockText(int seconds);

private:
	struct Team {
		int score = 0;
		int fouls = 0;
		int timeouts = 0;
	};

	void newGame();
	void playOneSecond();
	void endPossession();
	void endPeriod();
	int periodLength() const;
	int roll(int bound); // uniform in [0, bound)
	Team &offence() { return m_homeHasBall ? m_home : m_away; }
	Team &defence() { return m_homeHasBall ? m_away : m_home; }

	Config m_config;
	const Rules *m_rules;
	std::mt19937 m_rng;
	Team m_home;
	Team m_away;
	int m_period = 1;
	int m_clock = 0; // seconds left in the period
	int m_shotClock = 0;
	bool m_homeHasBall = true;
	bool m_final = false;
	int m_finalHeld = 0;
	int m_games = 0;
	qint64 m_carryMs = 0;
	qint64 m_seconds = 0;
	quint64 m_seq = 0;
	QJsonObject m_last;
};

} // namespace quillmarch::tools
