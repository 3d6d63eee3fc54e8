#include "simulated_game.h"

#include <algorithm>

namespace quillmarch::tools {

// How a sport is timed and how often it scores.
struct SimulatedGame::Rules {
	const char *sport; // null: any other sport
	int periods;
	int periodSeconds;
	int overtimeSeconds;
	bool clockCountsUp;
	// Basketball's extras: a shot clock, free throws once a team is in
	// the bonus, and fouls, timeouts and possession on the scoreboard.
	bool basketball;
	// Chance of a shot per second of play, in thousandths; percentages
	// of shots made, and of made ones worth a point more.
	int shotChance;
	int shotMade;
	int points;
	int extraPoint;
	int timeouts; // per team and game
};

namespace {

// A basketball possession ends in a shot about every seven seconds; that
// keeps the scores moving on a demo screen while the totals stay
// recognisable as basketball.
constexpr SimulatedGame::Rules kRules[] = {
	{"basketball", 4, 600, 300, false, true, 150, 52, 2, 28, 5},
	{"hockey", 3, 1200, 300, false, false, 20, 9, 1, 0, 1},
	{"soccer", 2, 2700, 900, true, false, 8, 11, 1, 0, 0},
	{nullptr, 4, 1200, 300, false, false, 40, 50, 1, 0, 2},
};

// Chances per second of play, in thousandths, after those of a shot.
constexpr int kFoulChance = 30;
constexpr int kTurnoverChance = 15;
constexpr int kTimeoutChance = 3;
// Percentages.
constexpr int kOffensiveRebound = 28;
constexpr int kFreeThrowMade = 75;
constexpr int kShotClockSeconds = 24;
// Team fouls after which every defensive foul gives two free throws.
constexpr int kBonusFouls = 4;
constexpr int kResetAfterRebound = 14;

const SimulatedGame::Rules *rulesFor(const QString &sport)
{
	const SimulatedGame::Rules *rules = kRules;
	while (rules->sport && sport != QLatin1String(rules->sport))
		++rules;
	return rules;
}

} // namespace

SimulatedGame::SimulatedGame() : SimulatedGame(Config()) {}

SimulatedGame::SimulatedGame(const Config &config)
	: m_config(config),
	  m_rules(rulesFor(config.sport)),
	  m_rng(config.seed)
{
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

int SimulatedGame::periodLength() const
{
	return m_period > m_rules->periods ? m_rules->overtimeSeconds
					   : m_rules->periodSeconds;
}

void SimulatedGame::newGame()
{
	++m_games;
	m_home = Team();
	m_away = Team();
	m_home.timeouts = m_away.timeouts = m_rules->timeouts;
	m_period = 1;
	m_clock = periodLength();
	m_shotClock = kShotClockSeconds;
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
	m_shotClock = kShotClockSeconds;
}

void SimulatedGame::endPeriod()
{
	if (m_period >= m_rules->periods && m_home.score != m_away.score) {
		m_final = true;
		m_finalHeld = 0;
		m_clock = 0;
		m_shotClock = 0;
		return;
	}
	++m_period;
	m_clock = periodLength();
	m_home.fouls = m_away.fouls = 0;
	m_shotClock = kShotClockSeconds;
	// Possession alternates between periods.
	m_homeHasBall = m_period % 2 == 1;
}

void SimulatedGame::playOneSecond()
{
	++m_seconds;
	if (m_final) {
		if (++m_finalHeld >= m_config.finalHoldSeconds)
			newGame();
		return;
	}

	--m_clock;
	--m_shotClock;

	int chance = roll(1000);
	if (chance < m_rules->shotChance) {
		if (roll(100) < m_rules->shotMade) {
			offence().score +=
				m_rules->points +
				(roll(100) < m_rules->extraPoint ? 1 : 0);
			endPossession();
		} else if (roll(100) < kOffensiveRebound) {
			m_shotClock = std::max(m_shotClock, kResetAfterRebound);
		} else {
			endPossession();
		}
	} else if ((chance -= m_rules->shotChance) < kFoulChance) {
		if (++defence().fouls > kBonusFouls && m_rules->basketball) {
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
	else if (m_shotClock <= 0 && m_rules->basketball)
		endPossession(); // shot-clock violation
}

QJsonObject SimulatedGame::fields() const
{
	const int shown = m_rules->clockCountsUp ? periodLength() - m_clock
						 : m_clock;
	QJsonObject f{
		{QStringLiteral("home_name"), m_config.homeName},
		{QStringLiteral("away_name"), m_config.awayName},
		{QStringLiteral("home_score"), m_home.score},
		{QStringLiteral("away_score"), m_away.score},
		{QStringLiteral("clock"), clockText(shown)},
		{QStringLiteral("period"), m_period},
		{QStringLiteral("status"),
		 m_final ? QStringLiteral("final") : QStringLiteral("live")},
	};
	if (!m_rules->basketball)
		return f;
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
	return f;
}

QJsonObject SimulatedGame::nextEnvelope(qint64 tsMs)
{
	++m_seq;
	m_last = QJsonObject{{QStringLiteral("type"), QStringLiteral("state")},
			     {QStringLiteral("sport"), m_config.sport},
			     {QStringLiteral("seq"), double(m_seq)},
			     {QStringLiteral("ts_ms"), double(tsMs)},
			     {QStringLiteral("fields"), fields()}};
	return m_last;
}

QJsonObject SimulatedGame::lastEnvelope() const
{
	if (!m_last.isEmpty())
		return m_last;
	return QJsonObject{{QStringLiteral("type"), QStringLiteral("state")},
			   {QStringLiteral("sport"), m_config.sport},
			   {QStringLiteral("seq"), 0},
			   {QStringLiteral("ts_ms"), 0},
			   {QStringLiteral("fields"), fields()}};
}

} // namespace quillmarch::tools
