#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <limits>
#include <type_traits>

namespace quillmarch::tools {

// The command line of a stand-in program: Qt's parser, plus numbers read
// within a range and one error text with a hint.
//
//   CommandLine line(QStringLiteral("What the program does."));
//   line.add(QStringLiteral("port"), QStringLiteral("Port."),
//   	  QStringLiteral("port"), QStringLiteral("8787"));
//   if (line.parse(arguments) != CommandLine::Outcome::Run) ...
//   line.number(QStringLiteral("port"), 0, 65535, &port);
//   if (line.failed()) ...
class CommandLine {
public:
	enum class Outcome { Run, Help, Error };

	explicit CommandLine(const QString &description);

	// An option; with a value name it takes a value.
	void add(const QString &name, const QString &help,
		 const QString &valueName = QString(),
		 const QString &defaultValue = QString());
	void addPositional(const QString &name, const QString &help);

	// The whole command line, program name first.
	Outcome parse(const QStringList &arguments);

	bool isSet(const QString &name) const { return m_parser.isSet(name); }
	QString value(const QString &name) const
	{
		return m_parser.value(name);
	}
	QStringList values(const QString &name) const
	{
		return m_parser.values(name);
	}
	QStringList positional() const
	{
		return m_parser.positionalArguments();
	}

	// Reads the option's value as a number from low to high into *out;
	// otherwise records an error and leaves *out alone.
	template<class T>
	bool number(const QString &name, T low, T high, T *out)
	{
		bool ok = false;
		const QString text = value(name);
		if constexpr (std::is_floating_point_v<T>) {
			const double v = text.toDouble(&ok);
			ok = ok && v >= low && v <= high;
			if (ok)
				*out = T(v);
		} else {
			const qlonglong v = text.toLongLong(&ok);
			ok = ok && v >= qlonglong(low) && v <= qlonglong(high);
			if (ok)
				*out = T(v);
		}
		if (ok)
			return true;
		return fail(high == std::numeric_limits<T>::max()
				    ? QStringLiteral("--%1 takes a number from "
						     "%2.")
					      .arg(name)
					      .arg(low)
				    : QStringLiteral("--%1 takes %2 to %3.")
					      .arg(name)
					      .arg(low)
					      .arg(high));
	}

	// Records an error (the first one counts); returns false.
	bool fail(const QString &message);
	bool failed() const { return !m_error.isEmpty(); }

	// The usage after Help; the error with a hint after a failure.
	QString text() const;

	// A program's answer to an outcome that is not Run: the text on
	// stdout or stderr, and the exit status (0 for help, 2 otherwise).
	static int report(Outcome outcome, const QString &text);

private:
	QCommandLineParser m_parser;
	QString m_error;
};

} // namespace quillmarch::tools
