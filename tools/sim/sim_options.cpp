#include "sim_options.h"

#include <QCommandLineParser>

namespace quillmarch::sim {

namespace {

bool toInt(const QString &text, int low, int high, int *out)
{
	bool ok = false;
	const qlonglong value = text.toLongLong(&ok);
	if (!ok || value < low || value > high)
		return false;
	*out = int(value);
	return true;
}

} // namespace

bool parseHostPort(const QString &text, QString *host, int *port)
{
	const int colon = text.lastIndexOf(QLatin1Char(':'));
	if (colon < 0)
		return false;
	QString name = text.left(colon);
	// "[::1]:8080" names an IPv6 host.
	if (name.startsWith(QLatin1Char('[')) &&
	    name.endsWith(QLatin1Char(']')))
		name = name.mid(1, name.size() - 2);
	if (name.contains(QLatin1Char(' ')))
		return false;
	int number = 0;
	if (!toInt(text.mid(colon + 1), 0, 65535, &number))
		return false;
	*host = name;
	*port = number;
	return true;
}

ParseOutcome parseDeviceCommandLine(const QStringList &arguments,
				    DeviceOptions *options, QString *text)
{
	QCommandLineParser parser;
	parser.setApplicationDescription(QStringLiteral(
		"A Quillmarch device you can run without hardware.\n"
		"On start it prints one line per carrier to stdout, e.g. "
		"\"usb /dev/pts/7\", then logs to stderr.\n"
		"Stop it with SIGTERM or SIGINT, or type \"quit\". Other "
		"commands on stdin: unplug, plug, link on, link off."));
	parser.addHelpOption();
	parser.addPositionalArgument(QStringLiteral("command"),
				     QStringLiteral("\"device\""));

	const QCommandLineOption usb(
		QStringLiteral("usb"),
		QStringLiteral("Serve the USB cable on a pseudo-terminal "
			       "(the default)."));
	const QCommandLineOption link(
		QStringLiteral("link"),
		QStringLiteral("Also make a symbolic link to the terminal."),
		QStringLiteral("path"));
	const QCommandLineOption rate(
		QStringLiteral("rate"),
		QStringLiteral("Live-data envelopes per second, 1 to 50."),
		QStringLiteral("n"), QStringLiteral("4"));
	const QCommandLineOption seed(QStringLiteral("seed"),
				      QStringLiteral("Seed of the game."),
				      QStringLiteral("n"), QStringLiteral("1"));
	const QCommandLineOption speed(
		QStringLiteral("speed"),
		QStringLiteral("Game seconds per real second (0.1 to 600)."),
		QStringLiteral("x"), QStringLiteral("1"));
	const QCommandLineOption receiver(
		QStringLiteral("receiver"),
		QStringLiteral("Be a wireless receiver with the device behind "
			       "it."));
	const QCommandLineOption unpaired(
		QStringLiteral("unpaired"),
		QStringLiteral("With --receiver: start without a pairing "
			       "key."));
	const QCommandLineOption tunnel(
		QStringLiteral("tunnel"),
		QStringLiteral("Cloud relay target named in the hello answer."),
		QStringLiteral("host:port"));
	const QCommandLineOption stream(
		QStringLiteral("stream"),
		QStringLiteral("A stream destination for the hello answer; "
			       "repeatable."),
		QStringLiteral("name=host:port"));
	const QCommandLineOption noHello(QStringLiteral("no-hello"),
					 QStringLiteral("Never answer hello."));
	const QCommandLineOption helloAfter(
		QStringLiteral("answer-hello-after"),
		QStringLiteral("Answer hello only from the Nth one on."),
		QStringLiteral("n"), QStringLiteral("1"));
	const QCommandLineOption replyDelay(
		QStringLiteral("reply-delay-ms"),
		QStringLiteral("Delay every admin reply by this much."),
		QStringLiteral("ms"), QStringLiteral("0"));
	const QCommandLineOption password(
		QStringLiteral("password"),
		QStringLiteral("The admin password the device starts with "
			       "(default: the factory password, which must "
			       "be changed)."),
		QStringLiteral("password"));
	const QCommandLineOption deviceId(
		QStringLiteral("device-id"),
		QStringLiteral("The device id (default QM-00A1B2)."),
		QStringLiteral("id"));
	parser.addOptions({usb, link, rate, seed, speed, receiver, unpaired,
			   tunnel, stream, noHello, helloAfter, replyDelay,
			   password, deviceId});

	auto error = [&](const QString &message) {
		*text = QStringLiteral("%1\nTry --help.").arg(message);
		return ParseOutcome::Error;
	};

	if (!parser.parse(arguments))
		return error(parser.errorText());
	if (parser.isSet(QStringLiteral("help"))) {
		*text = parser.helpText();
		return ParseOutcome::Help;
	}
	const QStringList positional = parser.positionalArguments();
	if (positional.size() != 1 ||
	    positional.first() != QLatin1String("device"))
		return error(QStringLiteral("Say what to simulate: device."));

	DeviceOptions out;
	if (!toInt(parser.value(rate), 1, DeviceModel::kMaxRate,
		   &out.device.envelopesPerSecond))
		return error(QStringLiteral("--rate takes 1 to %1.")
				     .arg(DeviceModel::kMaxRate));
	bool ok = false;
	const qulonglong seedValue = parser.value(seed).toULongLong(&ok);
	if (!ok || seedValue > 0xffffffffULL)
		return error(QStringLiteral("--seed takes 0 to 4294967295."));
	out.device.game.seed = quint32(seedValue);
	const double speedValue = parser.value(speed).toDouble(&ok);
	if (!ok || speedValue < 0.1 || speedValue > 600)
		return error(QStringLiteral("--speed takes 0.1 to 600."));
	out.device.gameSpeed = speedValue;
	if (!toInt(parser.value(replyDelay), 0, 600000,
		   &out.device.replyDelayMs))
		return error(QStringLiteral("--reply-delay-ms takes 0 to "
					    "600000."));
	if (parser.isSet(password)) {
		if (parser.value(password).isEmpty())
			return error(QStringLiteral("--password is empty."));
		out.device.password = parser.value(password);
	}
	if (parser.isSet(deviceId))
		out.device.deviceId = parser.value(deviceId);

	// The cable is the only carrier so far, so it is on either way.
	out.usb = true;
	UsbSide::Config &side = out.usbSide;
	side.linkPath = parser.value(link);
	side.receiver = parser.isSet(receiver);
	side.receiverConfig.paired = !parser.isSet(unpaired);
	side.answerHello = !parser.isSet(noHello);
	if (!toInt(parser.value(helloAfter), 1, 1000000,
		   &side.answerHelloAfter))
		return error(QStringLiteral("--answer-hello-after takes a "
					    "number from 1."));
	if (parser.isSet(tunnel) &&
	    !parseHostPort(parser.value(tunnel), &side.tunnelHost,
			   &side.tunnelPort))
		return error(QStringLiteral("--tunnel takes host:port."));
	for (const QString &value : parser.values(stream)) {
		const int equals = value.indexOf(QLatin1Char('='));
		UsbSide::Destination destination;
		if (equals <= 0 ||
		    !parseHostPort(value.mid(equals + 1), &destination.host,
				   &destination.port) ||
		    destination.host.isEmpty() || destination.port < 1)
			return error(QStringLiteral("--stream takes "
						    "name=host:port, not %1.")
					     .arg(value));
		side.streams.insert(value.left(equals), destination);
	}
	*options = out;
	return ParseOutcome::Run;
}

} // namespace quillmarch::sim
