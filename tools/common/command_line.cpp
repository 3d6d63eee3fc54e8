#include "command_line.h"

#include <QCoreApplication>

#include <cstdio>

namespace quillmarch::tools {

CommandLine::CommandLine(const QString &description)
{
	m_parser.setApplicationDescription(description);
	m_parser.addHelpOption();
}

void CommandLine::add(const QString &name, const QString &help,
		      const QString &valueName, const QString &defaultValue)
{
	m_parser.addOption(
		QCommandLineOption(name, help, valueName, defaultValue));
}

void CommandLine::addPositional(const QString &name, const QString &help)
{
	m_parser.addPositionalArgument(name, help);
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
	if (!m_parser.parse(arguments)) {
		fail(m_parser.errorText());
		return Outcome::Error;
	}
	return isSet(QStringLiteral("help")) ? Outcome::Help : Outcome::Run;
}

bool CommandLine::fail(const QString &message)
{
	if (m_error.isEmpty())
		m_error = message;
	return false;
}

QString CommandLine::text() const
{
	return failed() ? QStringLiteral("%1\nTry --help.").arg(m_error)
			: m_parser.helpText();
}

int CommandLine::report(Outcome outcome, const QString &text)
{
	if (outcome == Outcome::Help) {
		std::fputs(text.toLocal8Bit().constData(), stdout);
		return 0;
	}
	std::fprintf(
		stderr, "%s: %s\n",
		QCoreApplication::applicationName().toLocal8Bit().constData(),
		text.toLocal8Bit().constData());
	return 2;
}

} // namespace quillmarch::tools
