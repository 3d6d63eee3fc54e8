#include "sim_options.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QRegularExpression>

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

// The receiver address a device behind a receiver is paired with.
const char kReceiverMac[] = "a4:cf:12:0b:7e:31";

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

bool parseListenAddress(const QString &text, quint16 defaultPort,
			QHostAddress *address, quint16 *port)
{
	QString host = text;
	int number = defaultPort;
	if (text.startsWith(QLatin1Char('['))) {
		const int close = text.indexOf(QLatin1Char(']'));
		if (close < 0)
			return false;
		host = text.mid(1, close - 1);
		const QString rest = text.mid(close + 1);
		if (!rest.isEmpty() && (!rest.startsWith(QLatin1Char(':')) ||
					!toInt(rest.mid(1), 0, 65535, &number)))
			return false;
	} else if (text.count(QLatin1Char(':')) == 1) {
		// One colon separates a port; a bare IPv6 address has more.
		const int colon = text.indexOf(QLatin1Char(':'));
		host = text.left(colon);
		if (!toInt(text.mid(colon + 1), 0, 65535, &number))
			return false;
	}
	QHostAddress parsed;
	if (host.isEmpty())
		parsed = QHostAddress(QHostAddress::Any);
	else if (host == QLatin1String("localhost"))
		parsed = QHostAddress(QHostAddress::LocalHost);
	else if (!parsed.setAddress(host))
		return false;
	*address = parsed;
	*port = quint16(number);
	return true;
}

bool parseHttpFailure(const QString &text, HttpSide::Failure *failure)
{
	static const QRegularExpression form(
		QStringLiteral("^(/\\S*)=(\\d{1,3})(?:x(\\d{1,6}))?$"));
	const QRegularExpressionMatch match = form.match(text);
	if (!match.hasMatch())
		return false;
	HttpSide::Failure out;
	out.path = match.captured(1);
	out.status = match.captured(2).toInt();
	out.count = match.captured(3).isEmpty() ? 1 : match.captured(3).toInt();
	if ((out.status != 0 && (out.status < 400 || out.status > 599)) ||
	    out.count < 1)
		return false;
	*failure = out;
	return true;
}

ParseOutcome parseDeviceCommandLine(const QStringList &arguments,
				    DeviceOptions *options, QString *text)
{
	QCommandLineParser parser;
	parser.setApplicationDescription(QStringLiteral(
		"A Quillmarch device you can run without hardware.\n"
		"On start it prints one line per carrier to stdout: "
		"\"usb /dev/pts/7\", \"http 127.0.0.1:8080\", "
		"\"feed 127.0.0.1:1010\", and with a network side "
		"\"token <access token>\" (again whenever the token "
		"changes); then it logs to stderr.\n"
		"Without --http or --feed the USB cable is on.\n"
		"Stop it with SIGTERM or SIGINT, or type \"quit\". Other "
		"commands on stdin: unplug, plug, link on, link off, reboot, "
		"busy N, http-fail PATH STATUS [N], csrf expire, feed drop, "
		"feed reject, feed refuse MS."));
	parser.addHelpOption();
	parser.addPositionalArgument(QStringLiteral("command"),
				     QStringLiteral("\"device\""));

	const QCommandLineOption usb(
		QStringLiteral("usb"),
		QStringLiteral("Serve the USB cable on a pseudo-terminal "
			       "(the default without a network side)."));
	const QCommandLineOption http(
		QStringLiteral("http"),
		QStringLiteral("Serve the HTTP admin interface here; port 0 "
			       "picks a free one (e.g. 127.0.0.1:0)."),
		QStringLiteral("addr:port"));
	const QCommandLineOption feed(
		QStringLiteral("feed"),
		QStringLiteral("Serve the TLS live feed here (port 1010 when "
			       "none is given)."),
		QStringLiteral("addr[:port]"));
	const QCommandLineOption cert(
		QStringLiteral("cert"),
		QStringLiteral("PEM certificate of the live feed (default: "
			       "the built-in test certificate)."),
		QStringLiteral("file"));
	const QCommandLineOption key(
		QStringLiteral("key"),
		QStringLiteral("PEM private key of the live feed."),
		QStringLiteral("file"));
	const QCommandLineOption apiToken(
		QStringLiteral("api-token"),
		QStringLiteral("The access token the device starts with "
			       "(default with a network side: one derived "
			       "from --seed)."),
		QStringLiteral("token"));
	const QCommandLineOption httpFail(
		QStringLiteral("http-fail"),
		QStringLiteral("Answer the next N requests to PATH with "
			       "STATUS (0 drops the connection); "
			       "repeatable."),
		QStringLiteral("path=status[xN]"));
	const QCommandLineOption link(
		QStringLiteral("link"),
		QStringLiteral("Also make a symbolic link to the terminal."),
		QStringLiteral("path"));
	const QCommandLineOption rate(
		QStringLiteral("rate"),
		QStringLiteral("Live-data envelopes per second, 1 to 50."),
		QStringLiteral("n"), QStringLiteral("4"));
	const QCommandLineOption seed(
		QStringLiteral("seed"),
		QStringLiteral("Seed of the game, and of the device's "
			       "keys, tokens and random busy answers."),
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
	const QCommandLineOption operationSpeed(
		QStringLiteral("operation-speed"),
		QStringLiteral("Run Wi-Fi scans and joins, firmware updates, "
			       "network tests and restarts this many times "
			       "faster (0.1 to 1000)."),
		QStringLiteral("x"), QStringLiteral("1"));
	const QCommandLineOption busy(
		QStringLiteral("busy"),
		QStringLiteral("Answer the next N admin requests \"busy\"."),
		QStringLiteral("n"), QStringLiteral("0"));
	const QCommandLineOption busyChance(
		QStringLiteral("busy-chance"),
		QStringLiteral("Then answer each request \"busy\" with this "
			       "chance (0 to 1), drawn from --seed."),
		QStringLiteral("p"), QStringLiteral("0"));
	const QCommandLineOption noAnswer(
		QStringLiteral("no-answer"),
		QStringLiteral("Never answer this method; repeatable."),
		QStringLiteral("method"));
	const QCommandLineOption fail(
		QStringLiteral("fail"),
		QStringLiteral("Make this method fail with this error code; "
			       "repeatable."),
		QStringLiteral("method=code"));
	const QCommandLineOption rebootUnplugs(
		QStringLiteral("reboot-unplugs"),
		QStringLiteral("A restart hangs up the terminal and brings the "
			       "device back on a new one (printed again)."));
	const QCommandLineOption relayDelay(
		QStringLiteral("relay-delay-ms"),
		QStringLiteral("With --receiver: how long a request takes to "
			       "reach the device."),
		QStringLiteral("ms"), QStringLiteral("1500"));
	const QCommandLineOption noWifi(
		QStringLiteral("no-wifi"),
		QStringLiteral("Start without a Wi-Fi network set up."));
	const QCommandLineOption noUpdate(
		QStringLiteral("no-update"),
		QStringLiteral("Offer no newer firmware."));
	const QCommandLineOption otaFailAt(
		QStringLiteral("ota-fail-at"),
		QStringLiteral("Break firmware downloads off at this "
			       "percentage."),
		QStringLiteral("percent"));
	parser.addOptions(
		{usb,        link,       rate,     seed,      speed,
		 receiver,   unpaired,   tunnel,   stream,    noHello,
		 helloAfter, replyDelay, password, deviceId,  operationSpeed,
		 busy,       busyChance, noAnswer, fail,      rebootUnplugs,
		 relayDelay, noWifi,     noUpdate, otaFailAt, http,
		 feed,       cert,       key,      apiToken,  httpFail});

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
	out.device.seed = quint32(seedValue);
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

	DeviceModel::Config &device = out.device;
	device.operationSpeed = parser.value(operationSpeed).toDouble(&ok);
	if (!ok || device.operationSpeed < 0.1 || device.operationSpeed > 1000)
		return error(QStringLiteral("--operation-speed takes 0.1 to "
					    "1000."));
	if (!toInt(parser.value(busy), 0, 1000000, &device.busyReplies))
		return error(QStringLiteral("--busy takes a count from 0."));
	device.busyChance = parser.value(busyChance).toDouble(&ok);
	if (!ok || device.busyChance < 0 || device.busyChance > 1)
		return error(QStringLiteral("--busy-chance takes 0 to 1."));
	const QStringList methods = DeviceModel::methodNames();
	for (const QString &method : parser.values(noAnswer)) {
		if (!methods.contains(method))
			return error(QStringLiteral("--no-answer: the device "
						    "has no method %1.")
					     .arg(method));
		device.silentMethods.insert(method);
	}
	static const QRegularExpression codeWord(
		QStringLiteral("^[a-z][a-z0-9_]*$"));
	for (const QString &value : parser.values(fail)) {
		const int equals = value.indexOf(QLatin1Char('='));
		const QString method = value.left(equals);
		const QString code = value.mid(equals + 1);
		if (equals <= 0 || !methods.contains(method) ||
		    !codeWord.match(code).hasMatch())
			return error(QStringLiteral("--fail takes method=code "
						    "with a method of the "
						    "device, not %1.")
					     .arg(value));
		device.failingMethods.insert(method, code);
	}
	if (parser.isSet(noWifi))
		device.wifiSsid.clear();
	if (parser.isSet(noUpdate))
		device.updateVersion.clear();
	if (parser.isSet(otaFailAt) &&
	    !toInt(parser.value(otaFailAt), 0, 100, &device.otaFailAtPercent))
		return error(QStringLiteral("--ota-fail-at takes 0 to 100."));

	if (parser.isSet(apiToken)) {
		static const QRegularExpression tokenText(
			QStringLiteral("^[\\x21-\\x7e]{1,128}$"));
		if (!tokenText.match(parser.value(apiToken)).hasMatch())
			return error(
				QStringLiteral("--api-token takes 1 to 128 "
					       "printable characters."));
		device.apiToken = parser.value(apiToken);
	}
	out.http = parser.isSet(http);
	if (out.http &&
	    !parseListenAddress(parser.value(http), 80, &out.httpSide.address,
				&out.httpSide.port))
		return error(QStringLiteral("--http takes addr:port, e.g. "
					    "127.0.0.1:0."));
	for (const QString &value : parser.values(httpFail)) {
		HttpSide::Failure failure;
		if (!parseHttpFailure(value, &failure))
			return error(QStringLiteral("--http-fail takes "
						    "path=status[xN] with a "
						    "status of 0 or 400 to "
						    "599, not %1.")
					     .arg(value));
		out.httpSide.failures.append(failure);
	}
	out.feed = parser.isSet(feed);
	if (out.feed &&
	    !parseListenAddress(parser.value(feed), FeedSide::kDefaultPort,
				&out.feedSide.address, &out.feedSide.port))
		return error(QStringLiteral("--feed takes addr[:port]."));
	out.feedSide.certificatePath = parser.value(cert);
	out.feedSide.keyPath = parser.value(key);
	if (parser.isSet(cert) != parser.isSet(key))
		return error(QStringLiteral("--cert and --key go together."));

	// The cable is on unless only the network side was asked for.
	out.usb = parser.isSet(usb) || parser.isSet(receiver) ||
		  (!out.http && !out.feed);
	if (parser.isSet(receiver) && (out.http || out.feed))
		return error(QStringLiteral("The device behind a receiver has "
					    "Wi-Fi off: --receiver does not "
					    "go with --http or --feed."));
	UsbSide::Config &side = out.usbSide;
	side.linkPath = parser.value(link);
	side.receiver = parser.isSet(receiver);
	side.receiverConfig.paired = !parser.isSet(unpaired);
	side.rebootUnplugs = parser.isSet(rebootUnplugs);
	if (!toInt(parser.value(relayDelay), 0, 60000, &side.relayDelayMs))
		return error(QStringLiteral("--relay-delay-ms takes 0 to "
					    "60000."));
	if (side.receiver) {
		// The device behind a receiver sends to it instead of using
		// Wi-Fi.
		device.espNowRole = QStringLiteral("tx");
		device.espNowPeerMac = QString::fromLatin1(kReceiverMac);
	}
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
