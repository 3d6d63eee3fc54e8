// The portal's answers come over the internet, and a captive Wi-Fi page or a
// proxy may stand in for it. Input:
//   2 bytes   HTTP status, big-endian, taken modulo 600
//   the rest  the answer's body
// The body read as device and graphics lists must give only usable rows:
// every device has an id, every graphic an id, a name, a share token, a size
// a browser source can show and a share address on the portal itself. The
// sentence for a failure is never empty and has no placeholder left in it.
#include "account/portal_client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

const QString kBase = QStringLiteral("https://portal.example.com");

bool fits(int side)
{
	return side >= 16 && side <= 8192;
}

void checkDevices(const QJsonObject &body)
{
	const QList<PortalDevice> devices = PortalClient::parseDevices(body);
	if (devices.size() >
	    body.value(QLatin1String("devices")).toArray().size())
		abort();
	for (const PortalDevice &d : devices) {
		if (d.deviceId.isEmpty() ||
		    !d.displayName().contains(d.deviceId))
			abort();
		if (d.nickname.isEmpty() && d.displayName() != d.deviceId)
			abort();
	}
}

void checkOutputs(const QJsonObject &body)
{
	const QList<GraphicsOutput> outputs =
		PortalClient::parseOutputs(body, kBase);
	if (outputs.size() >
	    body.value(QLatin1String("outputs")).toArray().size())
		abort();
	const QUrl base(kBase);
	for (const GraphicsOutput &g : outputs) {
		if (g.id.isEmpty() || g.name.isEmpty() ||
		    g.shareToken.isEmpty())
			abort();
		if (!fits(g.width) || !fits(g.height))
			abort();
		if (g.shareUrl !=
		    kBase + QStringLiteral("/graphics/o/") + g.shareToken)
			abort();
		// Whatever the token holds, the browser source stays on the
		// portal's own host.
		const QUrl url(g.shareUrl);
		if (url.scheme() != base.scheme() || url.host() != base.host())
			abort();
	}
}

void checkSentence(int status, const QJsonObject &body)
{
	const QJsonValue detail = body.value(QLatin1String("detail"));
	const QString code =
		detail.isObject()
			? detail.toObject()
				  .value(QLatin1String("error"))
				  .toString()
			: body.value(QLatin1String("error")).toString();
	const QString message =
		PortalClient::friendly(status, code, detail.toString());
	// The server's own words are shown as they are, "%1" included; our
	// sentences must have every placeholder filled.
	if (message.trimmed().isEmpty() ||
	    (message.contains(QLatin1String("%1")) &&
	     message != detail.toString()))
		abort();
	if (status == 0 && code.isEmpty() &&
	    !message.startsWith(QLatin1String("Could not reach")))
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	const int status = (data[0] << 8 | data[1]) % 600;
	const QByteArray bytes(reinterpret_cast<const char *>(data + 2),
			       static_cast<int>(size - 2));
	const QJsonObject body = QJsonDocument::fromJson(bytes).object();
	checkDevices(body);
	checkOutputs(body);
	checkSentence(status, body);
	return 0;
}
