#include "simulated_game.h"

#include <algorithm>

namespace quillmarch::sim {

namespace {

// Chances per second of play, in thousandths. A possession ends in a shot
// about every seven seconds; that keeps the scores moving on a demo screen
// while the totals stay recognisable as basketball.
constexpr int kShotChance = 150;
constexpr int kFoulChance = 30;
constexpr int kTurnoverChance = 15;
constexpr int kTimeoutChance = 3;
// Percentages.
constexpr int kShotMade = 52;
constexpr int kThreePointer = 28;
constexpr int kOffensiveRebound = 28;
constexpr int kFreeThrowMade = 75;
// Team fouls after which every defensive foul gives two free throws.
constexpr int kBonusFouls = 4;
constexpr int kResetAfterRebound = 14;

} // namespace

SimulatedGame::SimulatedGame() : SimulatedGame(Config()) {}

SimulatedGame::SimulatedGame(const Config &config)
	: m_config(config),
	  m_rng(config.seed)
{
	m_config.periods = std::max(1, m_config.periods);
	m_config.periodSeconds = std::max(1, m_config.periodSeconds);
	m_config.overtimeSeconds = std::max(1, m_config.overtimeSeconds);
	m_config.shotClockSeconds = std::max(1, m_config.shotClockSeconds);
	newGame();
}

QString SimulatedGame::clockText(int seconds)
{
	seconds = std::max(0, seconds);
	return QStringLiteral("%1:%2")
		.arg(seconds / 60)
		.arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

int SimulatedGame::roll(int bound)
{
	// Plain modulo keeps the sequence identical on every standard
	// library, which a distribution object does not promise.
	return int(m_rng() % quint32(bound));
}

void SimulatedGame::newGame()
{
	++m_games;
	m_home = Team();
	m_away = Team();
	m_home.timeouts = m_away.timeouts = m_config.timeoutsPerGame;
	m_period = 1;
	m_clock = m_config.periodSeconds;
	m_shotClock = m_config.shotClockSeconds;
	m_homeHasBall = roll(2) == 0;
	m_final = false;
	m_finalHeld = 0;
}

void SimulatedGame::advance(qint64 gameMs)
{
	if (gameMs <= 0)
		return;
	m_carryMs += gameMs;
	while (m_carryMs >= 1000) {
		m_carryMs -= 1000;
		playOneSecond();
	}
}

void SimulatedGame::endPossession()
{
	m_homeHasBall = !m_homeHasBall;
	m_shotClock = m_config.shotClockSeconds;
}

void SimulatedGame::endPeriod()
{
	if (m_period >= m_config.periods && m_home.score != m_away.score) {
		m_final = true;
		m_finalHeld = 0;
		m_clock = 0;
		m_shotClock = 0;
		return;
	}
	++m_period;
	m_clock = m_period > m_config.periods ? m_config.overtimeSeconds
					      : m_config.periodSeconds;
	m_home.fouls = m_away.fouls = 0;
	m_shotClock = m_config.shotClockSeconds;
	// Possession alternates between periods.
	m_homeHasBall = m_period % 2 == 1;
}

void SimulatedGame::playOneSecond()
{
	if (m_final) {
		if (++m_finalHeld >= m_config.finalHoldSeconds)
			newGame();
		return;
	}

	--m_clock;
	--m_shotClock;

	int chance = roll(1000);
	if (chance < kShotChance) {
		if (roll(100) < kShotMade) {
			offence().score += roll(100) < kThreePointer ? 3 : 2;
			endPossession();
		} else if (roll(100) < kOffensiveRebound) {
			m_shotClock = std::max(m_shotClock, kResetAfterRebound);
		} else {
			endPossession();
		}
	} else if ((chance -= kShotChance) < kFoulChance) {
		if (++defence().fouls > kBonusFouls) {
			for (int shot = 0; shot < 2; ++shot)
				if (roll(100) < kFreeThrowMade)
					offence().score += 1;
			endPossession();
		} else {
			m_shotClock = std::max(m_shotClock, kResetAfterRebound);
		}
	} else if ((chance -= kFoulChance) < kTurnoverChance) {
		endPossession();
	} else if ((chance -= kTurnoverChance) < kTimeoutChance) {
		Team &caller = roll(2) == 0 ? m_home : m_away;
		if (caller.timeouts > 0)
			--caller.timeouts;
	}

	if (m_clock <= 0)
		endPeriod();
	else if (m_shotClock <= 0)
		endPossession(); // shot-clock violation
}

QJsonObject SimulatedGame::fields() const
{
	QJsonObject f;
	f.insert(QStringLiteral("home_name"), QStringLiteral("Harbor Hawks"));
	f.insert(QStringLiteral("away_name"),
		 QStringLiteral("Mill City Miners"));
	f.insert(QStringLiteral("home_score"), m_home.score);
	f.insert(QStringLiteral("away_score"), m_away.score);
	f.insert(QStringLiteral("clock"), clockText(m_clock));
	f.insert(QStringLiteral("period"), m_period);
	// A scoreboard shows no more on the shot clock than is left to play.
	f.insert(QStringLiteral("shot_clock"),
		 std::max(0, std::min(m_shotClock, m_clock)));
	f.insert(QStringLiteral("home_fouls"), m_home.fouls);
	f.insert(QStringLiteral("away_fouls"), m_away.fouls);
	f.insert(QStringLiteral("home_timeouts"), m_home.timeouts);
	f.insert(QStringLiteral("away_timeouts"), m_away.timeouts);
	f.insert(QStringLiteral("possession"),
		 m_homeHasBall ? QStringLiteral("home")
			       : QStringLiteral("away"));
	f.insert(QStringLiteral("status"),
		 m_final ? QStringLiteral("final") : QStringLiteral("live"));
	return f;
}

QJsonObject SimulatedGame::nextEnvelope(qint64 tsMs)
{
	++m_seq;
	QJsonObject e;
	e.insert(QStringLiteral("type"), QStringLiteral("state"));
	e.insert(QStringLiteral("sport"), QStringLiteral("basketball"));
	e.insert(QStringLiteral("seq"), double(m_seq));
	e.insert(QStringLiteral("ts_ms"), double(tsMs));
	e.insert(QStringLiteral("fields"), fields());
	m_last = e;
	return e;
}

QJsonObject SimulatedGame::lastEnvelope() const
{
	if (!m_last.isEmpty())
		return m_last;
	QJsonObject e;
	e.insert(QStringLiteral("type"), QStringLiteral("state"));
	e.insert(QStringLiteral("sport"), QStringLiteral("basketball"));
	e.insert(QStringLiteral("seq"), 0);
	e.insert(QStringLiteral("ts_ms"), 0);
	e.insert(QStringLiteral("fields"), fields());
	return e;
}

} // namespace quillmarch::sim
