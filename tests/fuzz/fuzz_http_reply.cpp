// HTTP answers come from a device on the network, in any shape. Input:
//   1 byte    which method was asked (index into kMethods)
//   2 bytes   HTTP status, big-endian, taken modulo 600 (0: no answer)
//   4 bytes   request id, big-endian
//   1 byte    length n of the Set-Cookie header
//   n bytes   the Set-Cookie header
//   the rest  the body
// Whatever the answer, the reply must be a JSON object for the RPC client:
// the request's id, a bool "ok", and either an object "result" or an "error"
// with a non-empty code and message. Only a successful sign-in may set the
// session, and its cookie and token must be fit to send as header values.
#include "lan/http_link.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

const char *const kMethods[] = {"login",    "getStatus", "reboot",
				"otaApply", "getLogs",   "configureWifi",
				"getState", ""};

bool headerSafe(const QByteArray &value)
{
	return !value.contains('\r') && !value.contains('\n') &&
	       !value.contains('\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 8)
		return 0;
	const QString method = QString::fromLatin1(
		kMethods[data[0] % (sizeof(kMethods) / sizeof(*kMethods))]);
	HttpAnswer answer;
	answer.status = (data[1] << 8 | data[2]) % 600;
	const int id = static_cast<int>(uint32_t(data[3]) << 24 |
					uint32_t(data[4]) << 16 |
					uint32_t(data[5]) << 8 | data[6]);
	const size_t cookieLength = data[7];
	size_t at = 8;
	const size_t take = cookieLength < size - at ? cookieLength : size - at;
	answer.setCookie = QByteArray(reinterpret_cast<const char *>(data + at),
				      static_cast<int>(take));
	at += take;
	answer.body = QByteArray(reinterpret_cast<const char *>(data + at),
				 static_cast<int>(size - at));

	const HttpAdminReply reply =
		HttpAdminTransport::replyFromHttp(id, method, answer);

	QJsonParseError error;
	const QJsonDocument doc =
		QJsonDocument::fromJson(reply.message, &error);
	if (error.error != QJsonParseError::NoError || !doc.isObject())
		abort();
	const QJsonObject message = doc.object();
	const QJsonValue replyId = message.value(QStringLiteral("id"));
	if (!replyId.isDouble() || replyId.toDouble() != id)
		abort();
	const QJsonValue ok = message.value(QStringLiteral("ok"));
	if (!ok.isBool())
		abort();
	if (ok.toBool()) {
		if (!message.value(QStringLiteral("result")).isObject() ||
		    message.contains(QStringLiteral("error")))
			abort();
	} else {
		const QJsonObject err =
			message.value(QStringLiteral("error")).toObject();
		if (err.value(QStringLiteral("code")).toString().isEmpty() ||
		    err.value(QStringLiteral("message")).toString().isEmpty() ||
		    message.contains(QStringLiteral("result")))
			abort();
	}

	// Success exactly for a 2xx answer, or for a restart or an update
	// that dropped the connection.
	const bool restarting = method == QLatin1String("reboot") ||
				method == QLatin1String("otaApply");
	const bool expectOk = answer.status == 0 ? restarting
						 : answer.status >= 200 &&
							   answer.status <= 299;
	if (ok.toBool() != expectOk)
		abort();

	if (reply.signedIn != (expectOk && answer.status != 0 &&
			       method == QLatin1String("login")))
		abort();
	if (!reply.signedIn &&
	    (!reply.cookie.isEmpty() || !reply.csrfToken.isEmpty()))
		abort();
	if (!headerSafe(reply.cookie) || !headerSafe(reply.csrfToken) ||
	    !answer.setCookie.startsWith(reply.cookie))
		abort();
	// Attributes never travel back; a header that has something before
	// any line break always gives a cookie.
	if (reply.cookie.indexOf(';') > 0)
		abort();
	if (reply.signedIn && reply.cookie.isEmpty() &&
	    !answer.setCookie.isEmpty() && headerSafe(answer.setCookie.left(1)))
		abort();
	return 0;
}
