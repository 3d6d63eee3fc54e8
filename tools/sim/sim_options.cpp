#include "sim_options.h"

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
	tools::CommandLine line(QStringLiteral(
		"A Quillmarch device you can run without hardware.\n"
		"On start it prints one line per carrier to stdout: "
		"\"usb /dev/pts/7\", \"http 127.0.0.1:8080\", "
		"\"feed 127.0.0.1:1010\", \"ble 127.0.0.1:40123\" (the value "
		"for QUILLMARCH_BLE_SIM), and with a network side "
		"\"token <access token>\" (again whenever the token "
		"changes); then it logs to stderr.\n"
		"Without --http, --feed or --ble the USB cable is on.\n"
		"Stop it with SIGTERM or SIGINT, or type \"quit\". Other "
		"commands on stdin: unplug, plug, link on, link off, reboot, "
		"busy N, http-fail PATH STATUS [N], csrf expire, feed drop, "
		"feed reject, feed refuse MS, ble drop, ble vanish."));
	line.addPositional("command", "\"device\"");
	line.add("usb", "Serve the USB cable on a pseudo-terminal (the default "
			"without a network side).");
	line.add("link", "Also make a symbolic link to the terminal.", "path");
	line.add("rate", "Live-data envelopes per second, 1 to 50.", "n", "4");
	line.add(
		"seed",
		"Seed of the game, and of the device's keys, tokens and random "
		"busy answers.",
		"n", "1");
	line.add("speed", "Game seconds per real second (0.1 to 600).", "x",
		 "1");
	line.add("receiver",
		 "Be a wireless receiver with the device behind it.");
	line.add("unpaired", "With --receiver: start without a pairing key.");
	line.add("tunnel", "Cloud relay target named in the hello answer.",
		 "host:port");
	line.add("stream",
		 "A stream destination for the hello answer; repeatable.",
		 "name=host:port");
	line.add("no-hello", "Never answer hello.");
	line.add("answer-hello-after", "Answer hello only from the Nth one on.",
		 "n", "1");
	line.add("reply-delay-ms", "Delay every admin reply by this much.",
		 "ms", "0");
	line.add("password",
		 "The admin password the device starts with (default: the "
		 "factory password, which must be changed).",
		 "password");
	line.add("device-id", "The device id (default QM-00A1B2).", "id");
	line.add(
		"operation-speed",
		"Run Wi-Fi scans and joins, firmware updates, network tests and "
		"restarts this many times faster (0.1 to 1000).",
		"x", "1");
	line.add("busy", "Answer the next N admin requests \"busy\".", "n",
		 "0");
	line.add("busy-chance",
		 "Then answer each request \"busy\" with this chance (0 to 1), "
		 "drawn from --seed.",
		 "p", "0");
	line.add("no-answer", "Never answer this method; repeatable.",
		 "method");
	line.add("fail",
		 "Make this method fail with this error code; repeatable.",
		 "method=code");
	line.add(
		"reboot-unplugs",
		"A restart hangs up the terminal and brings the device back on a "
		"new one (printed again).");
	line.add(
		"relay-delay-ms",
		"With --receiver: how long a request takes to reach the device.",
		"ms", "1500");
	line.add("no-wifi", "Start without a Wi-Fi network set up.");
	line.add("no-update", "Offer no newer firmware.");
	line.add("ota-fail-at",
		 "Break firmware downloads off at this percentage.", "percent");
	line.add("c6-fail-at", "Fail wireless-chip updates at this percentage.",
		 "percent");
	line.add("http",
		 "Serve the HTTP admin interface here; port 0 picks a free one "
		 "(e.g. 127.0.0.1:0).",
		 "addr:port");
	line.add("feed",
		 "Serve the TLS live feed here (port 1010 when none is given).",
		 "addr[:port]");
	line.add("cert",
		 "PEM certificate of the live feed (default: the built-in test "
		 "certificate).",
		 "file");
	line.add("key", "PEM private key of the live feed.", "file");
	line.add(
		"api-token",
		"The access token the device starts with (default with a network "
		"side: one derived from --seed).",
		"token");
	line.add("ble",
		 "Serve the Bluetooth radio for the helper's simulated central "
		 "here; port 0 picks a free one (e.g. 127.0.0.1:0).",
		 "addr:port");
	line.add("ble-name",
		 "Advertised name (default: \"Quillmarch \" and "
		 "the device id).",
		 "name");
	line.add("ble-no-service",
		 "Leave the Quillmarch service out of the advertisement.");
	line.add("ble-others", "Other (non-Quillmarch) advertisers in range.",
		 "n", "0");
	line.add("ble-write-size",
		 "Largest write the device accepts (20 to "
		 "244).",
		 "bytes", "185");
	line.add("ble-pairing", "Refuse notifications to an unpaired central.");
	line.add("ble-fragments",
		 "How replies are notified: whole, short, long or mixed.",
		 "form", "short");
	line.add("ble-notify-size",
		 "Bytes per notification of a fragmented "
		 "reply (7 to 512).",
		 "bytes", "20");
	line.add("http-fail",
		 "Answer the next N requests to PATH with STATUS (0 drops the "
		 "connection); repeatable.",
		 "path=status[xN]");

	const ParseOutcome outcome = line.parse(arguments);
	if (outcome == ParseOutcome::Run &&
	    line.positional() != QStringList{QStringLiteral("device")})
		line.fail(QStringLiteral("Say what to simulate: device."));
	if (outcome != ParseOutcome::Run || line.failed()) {
		*text = line.text();
		return line.failed() ? ParseOutcome::Error : outcome;
	}

	DeviceOptions out;
	DeviceModel::Config &device = out.device;
	line.number("rate", 1, int(DeviceModel::kMaxRate),
		    &device.envelopesPerSecond);
	line.number("seed", 0u, 0xffffffffu, &device.seed);
	device.game.seed = device.seed;
	line.number("speed", 0.1, 600.0, &device.gameSpeed);
	line.number("reply-delay-ms", 0, 600000, &device.replyDelayMs);
	if (line.isSet("password") && line.value("password").isEmpty())
		line.fail(QStringLiteral("--password is empty."));
	else if (line.isSet("password"))
		device.password = line.value("password");
	if (line.isSet("device-id"))
		device.deviceId = line.value("device-id");
	line.number("operation-speed", 0.1, 1000.0, &device.operationSpeed);
	line.number("busy", 0, 1000000, &device.busyReplies);
	line.number("busy-chance", 0.0, 1.0, &device.busyChance);
	const QStringList methods = DeviceModel::methodNames();
	for (const QString &method : line.values("no-answer")) {
		if (!methods.contains(method))
			line.fail(QStringLiteral("--no-answer: the device has "
						 "no method %1.")
					  .arg(method));
		device.silentMethods.insert(method);
	}
	static const QRegularExpression codeWord(
		QStringLiteral("^[a-z][a-z0-9_]*$"));
	for (const QString &given : line.values("fail")) {
		const int equals = given.indexOf(QLatin1Char('='));
		const QString method = given.left(equals);
		const QString code = given.mid(equals + 1);
		if (equals <= 0 || !methods.contains(method) ||
		    !codeWord.match(code).hasMatch())
			line.fail(
				QStringLiteral("--fail takes method=code with "
					       "a method of the device, not "
					       "%1.")
					.arg(given));
		device.failingMethods.insert(method, code);
	}
	if (line.isSet("no-wifi"))
		device.wifiSsid.clear();
	if (line.isSet("no-update"))
		device.updateVersion.clear();
	if (line.isSet("ota-fail-at"))
		line.number("ota-fail-at", 0, 100, &device.otaFailAtPercent);
	if (line.isSet("c6-fail-at"))
		line.number("c6-fail-at", 0, 100, &device.c6FailAtPercent);
	if (line.isSet("api-token")) {
		static const QRegularExpression tokenText(
			QStringLiteral("^[\\x21-\\x7e]{1,128}$"));
		if (!tokenText.match(line.value("api-token")).hasMatch())
			line.fail(QStringLiteral("--api-token takes 1 to 128 "
						 "printable characters."));
		device.apiToken = line.value("api-token");
	}

	out.http = line.isSet("http");
	if (out.http &&
	    !parseListenAddress(line.value("http"), 80, &out.httpSide.address,
				&out.httpSide.port))
		line.fail(QStringLiteral("--http takes addr:port, e.g. "
					 "127.0.0.1:0."));
	for (const QString &given : line.values("http-fail")) {
		HttpSide::Failure failure;
		if (!parseHttpFailure(given, &failure))
			line.fail(
				QStringLiteral("--http-fail takes "
					       "path=status[xN] with a status "
					       "of 0 or 400 to 599, not %1.")
					.arg(given));
		out.httpSide.failures.append(failure);
	}
	out.feed = line.isSet("feed");
	if (out.feed &&
	    !parseListenAddress(line.value("feed"), FeedSide::kDefaultPort,
				&out.feedSide.address, &out.feedSide.port))
		line.fail(QStringLiteral("--feed takes addr[:port]."));
	out.feedSide.certificatePath = line.value("cert");
	out.feedSide.keyPath = line.value("key");
	if (line.isSet("cert") != line.isSet("key"))
		line.fail(QStringLiteral("--cert and --key go together."));

	out.ble = line.isSet("ble");
	if (out.ble && !parseListenAddress(line.value("ble"), 0,
					   &out.bleAddress, &out.blePort))
		line.fail(QStringLiteral("--ble takes addr:port, e.g. "
					 "127.0.0.1:0."));
	BleSide::Config &ble = out.bleSide;
	ble.name = line.value("ble-name");
	ble.advertiseService = !line.isSet("ble-no-service");
	line.number("ble-others", 0, 1000, &ble.otherAdvertisers);
	line.number("ble-write-size", 20, 244, &ble.writePayload);
	ble.requirePairing = line.isSet("ble-pairing");
	line.number("ble-notify-size", 7, 512, &ble.notifySize);
	const QString form = line.value("ble-fragments");
	if (form == QLatin1String("whole"))
		ble.fragments = BleSide::Config::Fragments::Whole;
	else if (form == QLatin1String("long"))
		ble.fragments = BleSide::Config::Fragments::Long;
	else if (form == QLatin1String("mixed"))
		ble.fragments = BleSide::Config::Fragments::Mixed;
	else if (!form.isEmpty() && form != QLatin1String("short"))
		line.fail(QStringLiteral("--ble-fragments takes whole, short, "
					 "long or mixed."));

	// The cable is on unless only a wireless side was asked for.
	out.usb = line.isSet("usb") || line.isSet("receiver") ||
		  (!out.http && !out.feed && !out.ble);
	if (line.isSet("receiver") && (out.http || out.feed))
		line.fail(QStringLiteral("The device behind a receiver has "
					 "Wi-Fi off: --receiver does not go "
					 "with --http or --feed."));
	UsbSide::Config &side = out.usbSide;
	side.linkPath = line.value("link");
	side.receiver = line.isSet("receiver");
	side.receiverConfig.paired = !line.isSet("unpaired");
	side.rebootUnplugs = line.isSet("reboot-unplugs");
	line.number("relay-delay-ms", 0, 60000, &side.relayDelayMs);
	if (side.receiver) {
		// The device behind a receiver sends to it instead of using
		// Wi-Fi.
		device.espNowRole = QStringLiteral("tx");
		device.espNowPeerMac = QString::fromLatin1(kReceiverMac);
	}
	side.answerHello = !line.isSet("no-hello");
	line.number("answer-hello-after", 1, 1000000, &side.answerHelloAfter);
	if (line.isSet("tunnel") &&
	    !parseHostPort(line.value("tunnel"), &side.tunnelHost,
			   &side.tunnelPort))
		line.fail(QStringLiteral("--tunnel takes host:port."));
	for (const QString &given : line.values("stream")) {
		const int equals = given.indexOf(QLatin1Char('='));
		UsbSide::Destination destination;
		if (equals <= 0 ||
		    !parseHostPort(given.mid(equals + 1), &destination.host,
				   &destination.port) ||
		    destination.host.isEmpty() || destination.port < 1)
			line.fail(QStringLiteral("--stream takes "
						 "name=host:port, not %1.")
					  .arg(given));
		side.streams.insert(given.left(equals), destination);
	}
	if (line.failed()) {
		*text = line.text();
		return ParseOutcome::Error;
	}
	*options = out;
	return ParseOutcome::Run;
}

} // namespace quillmarch::sim
