// The Bluetooth helper: connects back to the plug-in on 127.0.0.1, proves
// itself with the token from its command line, then carries out the
// plug-in's JSON-line requests on a Bluetooth central until the plug-in
// says "quit" or closes the connection.

#include "bridge.h"
#include "helper_args.h"
#include "line_io.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>

namespace quillmarch::ble {
// The central this build carries: Qt Bluetooth, or the simulated radio.
Central *createCentral(QObject *parent);
} // namespace quillmarch::ble

namespace {

enum ExitStatus { kDone = 0, kNoConnection = 2, kUsage = 64 };

// A loopback connect either succeeds or is refused at once; this only
// bounds a system that is badly stuck.
constexpr int kConnectWaitMs = 10000;

} // namespace

int main(int argc, char **argv)
{
	using namespace quillmarch::ble;

	QStringList arguments;
	for (int i = 1; i < argc; ++i)
		arguments.append(QString::fromUtf8(argv[i]));
	const HelperArguments given = parseHelperArguments(arguments);
	if (!given.usable)
		return kUsage;

	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(
		QStringLiteral("Quillmarch Bluetooth Helper"));

	// Everything runs on this thread's event loop: requests are handled
	// one at a time in arrival order, and each line is written whole,
	// so lines never interleave.
	QTcpSocket socket;
	socket.connectToHost(QHostAddress(QHostAddress::LocalHost),
			     quint16(given.port));
	if (!socket.waitForConnected(kConnectWaitMs))
		return kNoConnection;
	socket.write(encodeLine(
		QJsonObject{{QStringLiteral("hello"), given.token}}));

	bool quitting = false;
	Bridge bridge(
		createCentral,
		[&socket](const QJsonObject &line) {
			if (socket.state() == QAbstractSocket::ConnectedState)
				socket.write(encodeLine(line));
		},
		Bridge::Timings());
	QObject::connect(&bridge, &Bridge::quitRequested, &app,
			 [&quitting, &socket] {
				 quitting = true;
				 socket.flush();
				 QCoreApplication::exit(kDone);
			 });

	LineReader reader;
	QObject::connect(&socket, &QTcpSocket::readyRead, &app, [&] {
		for (const QJsonObject &request :
		     reader.feed(socket.readAll())) {
			if (quitting)
				return;
			bridge.handle(request);
		}
	});
	// End of stream or a failed read: the plug-in is gone.
	QObject::connect(&socket, &QTcpSocket::disconnected, &app,
			 [] { QCoreApplication::exit(kDone); });
	QObject::connect(&socket, &QAbstractSocket::errorOccurred, &app,
			 [] { QCoreApplication::exit(kDone); });
	return app.exec();
}
